#include "main/display.h"

#include "main/dxgi_result.h"
#include "runtime/system_library.h"

namespace quorvel {

namespace {

// Output 0 of the adapter, when it offers IDXGIOutput1. Only whether an object came back
// counts; the result codes are not examined.
bool try_adapter(IDXGIAdapter1* adapter, PrimaryOutput& result) {
  ComRef<IDXGIOutput> output;
  adapter->EnumOutputs(0, output.put());
  if (!output) return false;
  DXGI_OUTPUT_DESC desc = {};
  output->GetDesc(&desc);
  ComRef<IDXGIOutput1> output1;
  output->QueryInterface(__uuidof(IDXGIOutput1), output1.put_void());
  output.reset();
  if (!output1) return false;
  result.rect = DesktopRect{static_cast<int32_t>(desc.DesktopCoordinates.left),
                            static_cast<int32_t>(desc.DesktopCoordinates.top),
                            static_cast<int32_t>(desc.DesktopCoordinates.right),
                            static_cast<int32_t>(desc.DesktopCoordinates.bottom)};
  result.output = std::move(output1);
  adapter->AddRef();
  result.adapter = ComRef<IDXGIAdapter1>(adapter);
  return true;
}

}  // namespace

Result<PrimaryOutput> find_output_on(IDXGIFactory1* factory) {
  PrimaryOutput result;
  ComRef<IDXGIAdapter1> adapter;
  factory->EnumAdapters1(0, adapter.put());
  if (!adapter) return Error::kind(ErrorKind::NotFound);
  if (try_adapter(adapter.get(), result)) return result;

  adapter.reset();
  factory->EnumAdapters1(1, adapter.put());
  if (adapter && try_adapter(adapter.get(), result)) return result;
  return Error::kind(ErrorKind::NotFound);
}

Result<PrimaryOutput> find_primary_output() {
  // dxgi.dll by full path: it is not one of the system's known DLLs.
  auto dxgi = load_system_library(L"dxgi.dll");
  if (!dxgi) return dxgi.take_error();
  auto create_factory =
      library_function<decltype(&CreateDXGIFactory1)>(*dxgi, "CreateDXGIFactory1");
  if (create_factory == nullptr) return last_os_error();
  ComRef<IDXGIFactory1> factory;
  HRESULT hr = create_factory(__uuidof(IDXGIFactory1), factory.put_void());
  if (FAILED(hr)) return dxgi_factory_error(static_cast<uint32_t>(hr));
  return find_output_on(factory.get());
}

}  // namespace quorvel
