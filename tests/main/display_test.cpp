// The output search on scripted DXGI objects: which adapter is tried, what comes back, and that
// every reference taken is given back.
#include "main/display.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace quorvel {
namespace {

#define NOT_USED \
  { return E_NOTIMPL; }

std::vector<const void*> released;  // every Release, in order

// Reference counting shared by the fakes; the test owns the objects and checks the counts.
template <class Interface>
class Counted : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    released.push_back(this);
    return --refs;
  }
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override NOT_USED;
  ULONG refs = 1;  // the test's own reference
};

class FakeOutput : public Counted<IDXGIOutput1> {
 public:
  FakeOutput(RECT rect, bool offers_output1) : rect_(rect), offers_output1_(offers_output1) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IDXGIOutput1) && !offers_output1_) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *out = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
    *desc = {};
    desc->DesktopCoordinates = rect_;
    desc->AttachedToDesktop = TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayModeList(DXGI_FORMAT, UINT, UINT*,
                                               DXGI_MODE_DESC*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE FindClosestMatchingMode(const DXGI_MODE_DESC*, DXGI_MODE_DESC*,
                                                    IUnknown*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE WaitForVBlank() override NOT_USED;
  HRESULT STDMETHODCALLTYPE TakeOwnership(IUnknown*, WINBOOL) override NOT_USED;
  void STDMETHODCALLTYPE ReleaseOwnership() override {}
  HRESULT STDMETHODCALLTYPE
  GetGammaControlCapabilities(DXGI_GAMMA_CONTROL_CAPABILITIES*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE SetGammaControl(const DXGI_GAMMA_CONTROL*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetGammaControl(DXGI_GAMMA_CONTROL*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE SetDisplaySurface(IDXGISurface*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData(IDXGISurface*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetDisplayModeList1(DXGI_FORMAT, UINT, UINT*,
                                                DXGI_MODE_DESC1*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE FindClosestMatchingMode1(const DXGI_MODE_DESC1*, DXGI_MODE_DESC1*,
                                                     IUnknown*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData1(IDXGIResource*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown*, IDXGIOutputDuplication**) override NOT_USED;

 private:
  RECT rect_;
  bool offers_output1_;
};

class FakeAdapter : public Counted<IDXGIAdapter1> {
 public:
  explicit FakeAdapter(FakeOutput* output) : output_(output) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    AddRef();
    *out = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** out) override {
    ++enum_outputs_calls;
    if (index != 0 || output_ == nullptr) {
      *out = nullptr;
      return DXGI_ERROR_NOT_FOUND;
    }
    output_->AddRef();
    *out = output_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1*) override NOT_USED;
  int enum_outputs_calls = 0;

 private:
  FakeOutput* output_;
};

class FakeFactory : public Counted<IDXGIFactory1> {
 public:
  explicit FakeFactory(std::vector<FakeAdapter*> adapters) : adapters_(std::move(adapters)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    AddRef();
    *out = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** out) override {
    asked.push_back(index);
    if (index >= adapters_.size()) {
      *out = nullptr;
      return DXGI_ERROR_NOT_FOUND;
    }
    adapters_[index]->AddRef();
    *out = adapters_[index];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumAdapters(UINT, IDXGIAdapter**) override NOT_USED;
  HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND, UINT) override NOT_USED;
  HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND*) override NOT_USED;
  HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*,
                                            IDXGISwapChain**) override NOT_USED;
  HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) override NOT_USED;
  WINBOOL STDMETHODCALLTYPE IsCurrent() override { return TRUE; }
  std::vector<UINT> asked;

 private:
  std::vector<FakeAdapter*> adapters_;
};

TEST(FindOutputOn, TakesOutputZeroOfAdapterZero) {
  FakeOutput output({0, 0, 1920, 1080}, true);
  FakeAdapter adapter(&output);
  FakeFactory factory({&adapter});
  {
    Result<PrimaryOutput> result = find_output_on(&factory);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->rect.right, 1920);
    EXPECT_EQ(result->rect.bottom, 1080);
    EXPECT_EQ(result->adapter.get(), &adapter);
    EXPECT_EQ(result->output.get(), &output);
    EXPECT_EQ(factory.asked, std::vector<UINT>{0});
    // While held: one reference each for the result.
    EXPECT_EQ(adapter.refs, 2u);
    EXPECT_EQ(output.refs, 2u);
    released.clear();
  }
  // The output goes before the adapter it belongs to.
  EXPECT_EQ(released, (std::vector<const void*>{&output, &adapter}));
  EXPECT_EQ(adapter.refs, 1u);
  EXPECT_EQ(output.refs, 1u);
  EXPECT_EQ(factory.refs, 1u);
}

TEST(FindOutputOn, FallsBackToAdapterOneWhenAdapterZeroHasNoOutput1) {
  FakeOutput plain({0, 0, 800, 600}, false);
  FakeOutput second({1920, 0, 3840, 1080}, true);
  FakeAdapter adapter0(&plain);
  FakeAdapter adapter1(&second);
  FakeFactory factory({&adapter0, &adapter1});
  {
    Result<PrimaryOutput> result = find_output_on(&factory);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->rect.left, 1920);
    EXPECT_EQ(result->adapter.get(), &adapter1);
    EXPECT_EQ(factory.asked, (std::vector<UINT>{0, 1}));
    EXPECT_EQ(adapter0.refs, 1u);
    EXPECT_EQ(plain.refs, 1u);
  }
  EXPECT_EQ(adapter1.refs, 1u);
  EXPECT_EQ(second.refs, 1u);
}

TEST(FindOutputOn, FallsBackWhenAdapterZeroHasNoOutputAtAll) {
  FakeOutput second({0, 0, 1280, 1024}, true);
  FakeAdapter adapter0(nullptr);
  FakeAdapter adapter1(&second);
  FakeFactory factory({&adapter0, &adapter1});
  Result<PrimaryOutput> result = find_output_on(&factory);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->rect.right, 1280);
}

TEST(FindOutputOn, NoAdapterIsEntityNotFoundWithoutTryingAdapterOne) {
  FakeFactory factory({});
  Result<PrimaryOutput> result = find_output_on(&factory);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "entity not found");
  EXPECT_EQ(factory.asked, std::vector<UINT>{0});
}

TEST(FindOutputOn, NoUsableOutputOnEitherAdapterIsEntityNotFound) {
  FakeOutput plain0({0, 0, 800, 600}, false);
  FakeOutput plain1({0, 0, 800, 600}, false);
  FakeOutput never({0, 0, 1, 1}, true);
  FakeAdapter adapter0(&plain0);
  FakeAdapter adapter1(&plain1);
  FakeAdapter adapter2(&never);  // a third adapter is never looked at
  FakeFactory factory({&adapter0, &adapter1, &adapter2});
  Result<PrimaryOutput> result = find_output_on(&factory);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(factory.asked, (std::vector<UINT>{0, 1}));
  EXPECT_EQ(adapter2.enum_outputs_calls, 0);
  for (ULONG refs : {adapter0.refs, adapter1.refs, plain0.refs, plain1.refs}) EXPECT_EQ(refs, 1u);
}

TEST(FindOutputOn, AdapterZeroWithoutUsableOutputAndNoAdapterOne) {
  FakeOutput plain({0, 0, 800, 600}, false);
  FakeAdapter adapter0(&plain);
  FakeFactory factory({&adapter0});
  Result<PrimaryOutput> result = find_output_on(&factory);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(error_text(result.error()), "entity not found");
  EXPECT_EQ(adapter0.refs, 1u);
}

}  // namespace
}  // namespace quorvel
