// The toolkit's diagnostic lines and its tracked allocator.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../../libui/windows/uipriv_windows.hpp"

namespace {

std::vector<std::wstring> lines;
void capture(const wchar_t* line) {
  lines.emplace_back(line);
}

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    uiprivSetDiagnosticSink(capture);
  }
  void TearDown() override { uiprivSetDiagnosticSink(nullptr); }
};

std::wstring system_text(DWORD code) {
  wchar_t buffer[512];
  uiprivSystemMessage(code, buffer, 512);
  return buffer;
}

TEST_F(DiagnosticsTest, HresultLineHasTheDocumentedForm) {
  uiprivLogHRESULT("libui/windows/draw.cpp", "531", "uiNewImageBuffer",
                   "error creating ImageBuffer", static_cast<HRESULT>(0x80070005));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            L"[libui] libui/windows/draw.cpp:531:uiNewImageBuffer() error creating ImageBuffer: "
            L"HRESULT == 0x80070005 " +
                system_text(0x80070005));
}

TEST_F(DiagnosticsTest, LastErrorLineHasTheDocumentedForm) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  logLastError("error opening something");
  ASSERT_EQ(lines.size(), 1u);
  // The file is named from its "libui" directory on, whatever the build's source path.
  const std::wstring& line = lines[0];
  std::wstring expected_tail = L":TestBody() error opening something: GetLastError() == 2 " +
                               system_text(ERROR_FILE_NOT_FOUND);
  ASSERT_GE(line.size(), expected_tail.size());
  EXPECT_EQ(line.substr(line.size() - expected_tail.size()), expected_tail) << line.c_str();
  EXPECT_EQ(line.rfind(L"[libui] ", 0), 0u);
}

TEST_F(DiagnosticsTest, SystemTextHasNoTrailingLineBreak) {
  std::wstring text = system_text(ERROR_ACCESS_DENIED);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), L'\n');
  EXPECT_NE(text.back(), L'\r');
  EXPECT_NE(text.back(), L' ');
}

TEST_F(DiagnosticsTest, TrackedBlocksAreCountedAndZeroed) {
  size_t before = uiprivLiveBlockCount();
  auto* p = static_cast<unsigned char*>(uiprivAlloc(64, "testBlock"));
  EXPECT_EQ(uiprivLiveBlockCount(), before + 1);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(max_align_t), 0u);
  uiprivFree(p);
  EXPECT_EQ(uiprivLiveBlockCount(), before);
  uiprivFree(nullptr);  // harmless
  EXPECT_EQ(uiprivLiveBlockCount(), before);
}

TEST_F(DiagnosticsTest, LeakReportListsEveryLiveBlockWithAddressAndType) {
  void* a = uiprivAlloc(8, "uiWindow");
  void* b = uiprivAlloc(16, "uiDrawContext");
  void* c = uiprivAlloc(4, "uiBox");
  uiprivFree(b);
  uiprivReportLeaks();
  auto has = [&](void* p, const wchar_t* type) {
    char address[32];
    snprintf(address, sizeof(address), "%p", p);
    std::wstring waddress(address, address + strlen(address));
    for (const std::wstring& line : lines)
      if (line.rfind(L"[libui] ", 0) == 0 && line.find(waddress) != std::wstring::npos &&
          line.find(type) != std::wstring::npos)
        return true;
    return false;
  };
  EXPECT_TRUE(has(a, L"uiWindow"));
  EXPECT_TRUE(has(c, L"uiBox"));
  EXPECT_EQ(lines.size(), uiprivLiveBlockCount());
  for (const std::wstring& line : lines) EXPECT_EQ(line.find(L"uiDrawContext"), std::wstring::npos);
  uiprivFree(a);
  uiprivFree(c);
}

TEST_F(DiagnosticsTest, Utf8TitlesBecomeUtf16) {
  wchar_t* text = uiprivToUTF16("Downloader \xE4\xB8\x8B\xE8\xBD\xBD");
  EXPECT_EQ(std::wstring(text), L"Downloader \u4E0B\u8F7D");
  uiprivFree(text);
}

}  // namespace
