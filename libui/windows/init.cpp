// uiInit / uiUninit: the toolkit-wide resources, created once per process on the GUI thread.
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "uipriv_windows.hpp"

HINSTANCE uiprivInstance = nullptr;
int uiprivShowCommand = SW_SHOWDEFAULT;
HICON uiprivDefaultIcon = nullptr;
HCURSOR uiprivDefaultCursor = nullptr;
HFONT uiprivMessageFont = nullptr;
ID2D1Factory* uiprivD2DFactory = nullptr;
HWND uiprivUtilWindow = nullptr;

namespace {

bool initialized = false;
bool com_initialized = false;

// The error texts are plain heap strings: they outlive a failed initialisation and are released
// by uiFreeInitError, not by the tracked allocator.
const char* init_error(const char* step, const char* detail) {
  size_t n = strlen(step) + strlen(detail) + 3;
  char* text = new char[n];
  uiprivFormat(text, n, "%s: %s", step, detail);
  return text;
}

const char* init_error_code(const char* step, const char* what, DWORD code, bool is_hresult) {
  wchar_t system_text[512];
  uiprivSystemMessage(code, system_text, 512);
  char system_utf8[1024];
  if (WideCharToMultiByte(CP_UTF8, 0, system_text, -1, system_utf8, sizeof(system_utf8), nullptr,
                          nullptr) == 0)
    system_utf8[0] = '\0';
  char detail[1200];
  if (is_hresult)
    uiprivFormat(detail, sizeof(detail), "%s HRESULT == 0x%08lX %s", what,
                 static_cast<unsigned long>(code), system_utf8);
  else
    uiprivFormat(detail, sizeof(detail), "%s GetLastError() == %lu %s", what,
                 static_cast<unsigned long>(code), system_utf8);
  // "what" may be empty; drop the leading space it leaves.
  return init_error(step, detail[0] == ' ' ? detail + 1 : detail);
}

const char* last_error(const char* step) {
  return init_error_code(step, "", GetLastError(), false);
}
const char* hresult_error(const char* step, HRESULT hr) {
  return init_error_code(step, "", static_cast<DWORD>(hr), true);
}

LRESULT CALLBACK util_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return DefWindowProcW(hwnd, msg, wp, lp);
}

const char* create_util_window(void) {
  WNDCLASSW wc = {};
  wc.lpszClassName = uiprivUtilWindowClass;
  wc.lpfnWndProc = util_window_proc;
  wc.hInstance = uiprivInstance;
  wc.hIcon = uiprivDefaultIcon;
  wc.hCursor = uiprivDefaultCursor;
  if (RegisterClassW(&wc) == 0) return last_error("registering utility window class");
  uiprivUtilWindow =
      CreateWindowExW(0, uiprivUtilWindowClass, L"libui utility window", WS_OVERLAPPEDWINDOW, 0, 0,
                      100, 100, nullptr, nullptr, uiprivInstance, nullptr);
  if (uiprivUtilWindow == nullptr) return last_error("creating utility window");
  return nullptr;
}

// Direct2D is not one of the system's known DLLs: a d2d1.dll beside the program (typically in the
// user's downloads) would be taken instead of the system's if it were imported or loaded by name.
using D2D1CreateFactoryFn = HRESULT(WINAPI*)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*,
                                             void**);

D2D1CreateFactoryFn system_d2d1_create_factory(void) {
  wchar_t path[MAX_PATH + 16];
  const UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  wcscpy(path + n, L"\\d2d1.dll");
  HMODULE d2d1 = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (d2d1 == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)  // older Windows 7
    d2d1 = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (d2d1 == nullptr) return nullptr;
  // Kept loaded: the factory and everything made from it live in it.
  return reinterpret_cast<D2D1CreateFactoryFn>(
      reinterpret_cast<void*>(GetProcAddress(d2d1, "D2D1CreateFactory")));
}

void release_everything(void) {
  if (uiprivD2DFactory != nullptr) {
    uiprivD2DFactory->Release();
    uiprivD2DFactory = nullptr;
  }
  if (com_initialized) {
    CoUninitialize();
    com_initialized = false;
  }
  if (uiprivUtilWindow != nullptr) {
    DestroyWindow(uiprivUtilWindow);
    uiprivUtilWindow = nullptr;
  }
  uiprivUnregisterClasses();
  UnregisterClassW(uiprivUtilWindowClass, uiprivInstance);
  if (uiprivMessageFont != nullptr) {
    DeleteObject(uiprivMessageFont);
    uiprivMessageFont = nullptr;
  }
  // The icon is a shared resource icon and the cursor a system one: neither is destroyed.
  uiprivDefaultIcon = nullptr;
  uiprivDefaultCursor = nullptr;
}

}  // namespace

extern "C" const char* uiInit(uiInitOptions* options) {
  (void)options;
  if (initialized) return init_error("initializing the toolkit", "it is already initialized");

  uiprivInstance = GetModuleHandleW(nullptr);
  STARTUPINFOW si;
  GetStartupInfoW(&si);
  uiprivShowCommand = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT;

  // The program's own icon, by name, from its own module, for every window class.
  uiprivDefaultIcon = static_cast<HICON>(
      LoadImageW(uiprivInstance, L"ICON_NAME", IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (uiprivDefaultIcon == nullptr) {
    const char* err = last_error("loading default icon for window classes");
    release_everything();
    return err;
  }
  uiprivDefaultCursor =
      static_cast<HCURSOR>(LoadImageW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */,
                                      IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (uiprivDefaultCursor == nullptr) {
    const char* err = last_error("loading default cursor for window classes");
    release_everything();
    return err;
  }

  const char* err = create_util_window();
  if (err == nullptr) {
    NONCLIENTMETRICSW ncm = {};
    ncm.cbSize = sizeof(ncm);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(ncm), &ncm, 0) == 0)
      err = last_error("getting default fonts");
    else if ((uiprivMessageFont = CreateFontIndirectW(&ncm.lfMessageFont)) == nullptr)
      err = last_error("loading default messagebox font; this is the default UI font");
  }
  if (err == nullptr && uiprivRegisterWindowClass() == 0)
    err = last_error("registering uiWindow window class");
  if (err == nullptr && uiprivRegisterContainerClass() == 0)
    err = last_error("registering container window class");
  if (err == nullptr && uiprivRegisterAreaClass() == 0)
    err = last_error("registering uiArea window class");
  if (err == nullptr) {
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof(icc);
    icc.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_WIN95_CLASSES;
    if (InitCommonControlsEx(&icc) == 0) err = last_error("initializing Common Controls");
  }
  if (err == nullptr) {
    HRESULT hr = CoInitialize(nullptr);
    if (hr != S_OK && hr != S_FALSE)
      err = hresult_error("initializing COM", hr);
    else
      com_initialized = true;
  }
  if (err == nullptr) {
    D2D1_FACTORY_OPTIONS opts = {};
    opts.debugLevel = D2D1_DEBUG_LEVEL_NONE;
    D2D1CreateFactoryFn create_factory = system_d2d1_create_factory();
    if (create_factory == nullptr) {
      err = last_error("initializing Direct2D");
    } else {
      HRESULT hr = create_factory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), &opts,
                                  reinterpret_cast<void**>(&uiprivD2DFactory));
      if (hr != S_OK) err = hresult_error("initializing Direct2D", hr);
    }
  }
  if (err != nullptr) {
    release_everything();
    return err;
  }
  initialized = true;
  return nullptr;
}

extern "C" void uiFreeInitError(const char* err) {
  delete[] err;
}

extern "C" void uiUninit(void) {
  if (!initialized) return;
  release_everything();
  uiprivReportLeaks();
  initialized = false;
}
