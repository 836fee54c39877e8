// Private interface shared by the Windows backend's files.
#pragma once

// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>
#include <d2d1.h>

#include <new>

#include "../ui.h"

// ---- Tracked allocator (alloc.cpp) ----
// Every toolkit record is allocated with a type name; uiUninit lists the blocks still alive.
// Single-threaded: the toolkit runs on the GUI thread only.
void* uiprivAlloc(size_t size, const char* type);
void uiprivFree(void* p);
size_t uiprivLiveBlockCount(void);
void uiprivReportLeaks(void);

// Allocates a zeroed, tracked record of type T (a plain struct).
template <class T>
T* uiprivNew(const char* type) {
  return new (uiprivAlloc(sizeof(T), type)) T{};
}

// ---- Diagnostics (debug.cpp) ----
// One line per failed Windows call to the debugger output. Never breaks into a debugger and never
// aborts: callers carry on with a safe fallback.
void uiprivLogLastError(const char* file, const char* line, const char* func, const char* msg,
                        DWORD code);
void uiprivLogHRESULT(const char* file, const char* line, const char* func, const char* msg,
                      HRESULT hr);
// A plain line with the "[libui] " prefix (leak report, misuse of the API).
void uiprivLogLine(const char* text);
// snprintf with the system C runtime's own formatter (msvcrt's: %Iu for a size_t), always
// terminated, a longer text cut: the C++ runtime's standard one would bring a whole printf
// implementation into the program for these few error texts.
void uiprivFormat(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(ms_printf, 3, 4)));

// Receives every diagnostic line (without the trailing line feed) in addition to the debugger
// output; tests use it to read the lines. Returns the previous sink.
typedef void (*uiprivDiagnosticSink)(const wchar_t* line);
uiprivDiagnosticSink uiprivSetDiagnosticSink(uiprivDiagnosticSink sink);

// The system's text for a Win32 or HRESULT code, trailing white space removed.
void uiprivSystemMessage(DWORD code, wchar_t* buffer, size_t count);

#define uiprivLineStr2(n) #n
#define uiprivLineStr(n) uiprivLineStr2(n)
#define logLastError(msg) \
  uiprivLogLastError(__FILE__, uiprivLineStr(__LINE__), __func__, msg, GetLastError())
#define logHRESULT(msg, hr) uiprivLogHRESULT(__FILE__, uiprivLineStr(__LINE__), __func__, msg, hr)

// ---- Toolkit-wide state (init.cpp) ----
extern HINSTANCE uiprivInstance;
extern int uiprivShowCommand;
extern HICON uiprivDefaultIcon;
extern HCURSOR uiprivDefaultCursor;
extern HFONT uiprivMessageFont;
extern ID2D1Factory* uiprivD2DFactory;
// A DC render target as every area draws through: 96 DPI (the program is not DPI-aware, so one
// device-independent unit is one pixel), B8G8R8A8 with alpha ignored.
HRESULT uiprivCreateAreaRenderTarget(ID2D1DCRenderTarget** rt);
extern HWND uiprivUtilWindow;  // hidden parent of controls not yet placed in a window

#define uiprivWindowClass L"libui_uiWindow"
#define uiprivContainerClass L"libui_uiContainer"
#define uiprivAreaClass L"libui_uiArea"
#define uiprivUtilWindowClass L"libui_utilWindow"

// Each returns the class atom, or 0 with the thread's last error set.
ATOM uiprivRegisterWindowClass(void);
ATOM uiprivRegisterContainerClass(void);
ATOM uiprivRegisterAreaClass(void);
void uiprivUnregisterClasses(void);

// ---- Controls (control.cpp) ----
#define uiprivControlSignature 0x7569436F      // "uiCo"
#define uiprivWindowsSignature 0x57696E64      // "Wind"
#define uiprivWindowSignature 0x57696E64       // "Wind"
#define uiprivBoxSignature 0x426F784C          // "BoxL"
#define uiprivAreaSignature 0x41726561         // "Area"
#define uiprivProgressBarSignature 0x50426172  // "PBar"

struct uiprivWindowsControl;

// What the Windows backend needs from every control beyond the public base.
struct uiprivControlOps {
  void (*destroy)(uiprivWindowsControl* c);
  void (*minimumSize)(uiprivWindowsControl* c, int* width, int* height);
  // Places the control at (x, y) with the size given, in its parent window's client coordinates.
  void (*layout)(uiprivWindowsControl* c, int x, int y, int width, int height);
  void (*setParentHWND)(uiprivWindowsControl* c, HWND parent);
};

struct uiprivWindowsControl {
  uiControl c;
  const uiprivControlOps* ops;
  uiControl* parent;
  HWND hwnd;
  int visible;
  int enabled;
};

#define uiprivControl(this) ((uiprivWindowsControl*)(this))

// Fills the public base and the common members. Child controls start visible.
void uiprivInitControl(uiprivWindowsControl* c, uint32_t typeSignature, const uiprivControlOps* ops,
                       int toplevel);
void uiprivControlSetParent(uiControl* child, uiControl* parent, HWND parentHWND);
void uiprivControlMinimumSize(uiControl* c, int* width, int* height);
void uiprivControlLayout(uiControl* c, int x, int y, int width, int height);
// Lays out the window that (indirectly) holds c again, e.g. after a child was shown or added.
void uiprivControlRelayoutToplevel(uiControl* c);
void uiprivWindowRelayout(uiWindow* w);

// ---- Sizes (sizing.cpp) ----
struct uiprivDialogUnits {
  int baseX;
  int baseY;
};
uiprivDialogUnits uiprivGetDialogUnits(HWND hwnd);
int uiprivDlgUnitsToX(int units, int baseX);
int uiprivDlgUnitsToY(int units, int baseY);

// ---- Text (text.cpp) ----
// UTF-8 to UTF-16; the result is a tracked block ("wchar_t[]") released with uiprivFree.
wchar_t* uiprivToUTF16(const char* s);

// ---- Drawing (draw.cpp) ----
struct uiDrawContext {
  ID2D1RenderTarget* rt;
};
uiDrawContext* uiprivNewDrawContext(ID2D1RenderTarget* rt);
void uiprivFreeDrawContext(uiDrawContext* c);
// Draws a source rectangle of the buffer into a destination rectangle with the given
// D2D1_BITMAP_INTERPOLATION_MODE.
void uiprivImageBufferDrawMode(uiDrawContext* c, uiImageBuffer* buf, uiRect* srcrect,
                               uiRect* dstrect, int interpolationMode);
