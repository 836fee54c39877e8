/* The subset of the libui GUI toolkit that the program uses, with the same names, signatures and
 * record layouts as the upstream toolkit, plus this project's extensions (the image buffer, finding
 * a running window). C linkage. */
#ifndef QUORVEL_LIBUI_UI_H
#define QUORVEL_LIBUI_UI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define _UI_EXTERN extern

typedef struct uiInitOptions uiInitOptions;
struct uiInitOptions {
  size_t Size;
};

_UI_EXTERN const char* uiInit(uiInitOptions* options);
_UI_EXTERN void uiUninit(void);
_UI_EXTERN void uiFreeInitError(const char* err);

_UI_EXTERN void uiMain(void);
_UI_EXTERN void uiMainSteps(void);
_UI_EXTERN int uiMainStep(int wait);
_UI_EXTERN void uiQuit(void);

/* The common base of every control. */
typedef struct uiControl uiControl;
struct uiControl {
  uint32_t Signature;
  uint32_t OSSignature;
  uint32_t TypeSignature;
  void (*Destroy)(uiControl*);
  uintptr_t (*Handle)(uiControl*);
  uiControl* (*Parent)(uiControl*);
  void (*SetParent)(uiControl*, uiControl*);
  int (*Toplevel)(uiControl*);
  int (*Visible)(uiControl*);
  void (*Show)(uiControl*);
  void (*Hide)(uiControl*);
  int (*Enabled)(uiControl*);
  void (*Enable)(uiControl*);
  void (*Disable)(uiControl*);
};
#define uiControl(this) ((uiControl*)(this))
_UI_EXTERN void uiControlDestroy(uiControl* c);
_UI_EXTERN uintptr_t uiControlHandle(uiControl* c);
_UI_EXTERN uiControl* uiControlParent(uiControl* c);
_UI_EXTERN int uiControlToplevel(uiControl* c);
_UI_EXTERN int uiControlVisible(uiControl* c);
_UI_EXTERN void uiControlShow(uiControl* c);
_UI_EXTERN void uiControlHide(uiControl* c);

typedef struct uiWindow uiWindow;
#define uiWindow(this) ((uiWindow*)(this))
_UI_EXTERN uiWindow* uiNewWindow(const char* title, int width, int height, int hasMenubar);
_UI_EXTERN void uiWindowOnClosing(uiWindow* w, int (*f)(uiWindow* sender, void* senderData),
                                  void* data);
_UI_EXTERN void uiWindowSetMargined(uiWindow* w, int margined);
_UI_EXTERN void uiWindowSetBorderless(uiWindow* w, int borderless);
_UI_EXTERN void uiWindowSetResizeable(uiWindow* w, int resizeable);
_UI_EXTERN void uiWindowSetPosition(uiWindow* w, int x, int y);
_UI_EXTERN void uiWindowSetChild(uiWindow* w, uiControl* child);
/* This project's extension: the handle (HWND) of a toplevel uiWindow with this title, in any
 * process of the session, or 0. Needs no uiInit, so a second copy can find the first one's. */
_UI_EXTERN uintptr_t uiWindowFindToplevel(const char* title);

typedef struct uiBox uiBox;
#define uiBox(this) ((uiBox*)(this))
_UI_EXTERN uiBox* uiNewVerticalBox(void);
_UI_EXTERN void uiBoxSetPadded(uiBox* b, int padded);
_UI_EXTERN void uiBoxAppend(uiBox* b, uiControl* child, int stretchy);

typedef struct uiProgressBar uiProgressBar;
#define uiProgressBar(this) ((uiProgressBar*)(this))
_UI_EXTERN uiProgressBar* uiNewProgressBar(void);
_UI_EXTERN int uiProgressBarValue(uiProgressBar* p);
_UI_EXTERN void uiProgressBarSetValue(uiProgressBar* p, int n);

typedef struct uiArea uiArea;
typedef struct uiAreaHandler uiAreaHandler;
typedef struct uiAreaDrawParams uiAreaDrawParams;
typedef struct uiAreaMouseEvent uiAreaMouseEvent;
typedef struct uiAreaKeyEvent uiAreaKeyEvent;
typedef struct uiDrawContext uiDrawContext;

struct uiAreaHandler {
  void (*Draw)(uiAreaHandler*, uiArea*, uiAreaDrawParams*);
  void (*MouseEvent)(uiAreaHandler*, uiArea*, uiAreaMouseEvent*);
  void (*MouseCrossed)(uiAreaHandler*, uiArea*, int left);
  void (*DragBroken)(uiAreaHandler*, uiArea*);
  int (*KeyEvent)(uiAreaHandler*, uiArea*, uiAreaKeyEvent*);
};

#define uiArea(this) ((uiArea*)(this))
_UI_EXTERN uiArea* uiNewArea(uiAreaHandler* ah);
_UI_EXTERN void uiAreaQueueRedrawAll(uiArea* a);

struct uiAreaDrawParams {
  uiDrawContext* Context;
  double AreaWidth;
  double AreaHeight;
  double ClipX;
  double ClipY;
  double ClipWidth;
  double ClipHeight;
};

typedef unsigned int uiModifiers;
enum {
  uiModifierCtrl = 1 << 0,
  uiModifierAlt = 1 << 1,
  uiModifierShift = 1 << 2,
  uiModifierSuper = 1 << 3,
};

typedef int uiExtKey;
enum {
  uiExtKeyEscape = 1,
  uiExtKeyInsert,
  uiExtKeyDelete,
  uiExtKeyHome,
  uiExtKeyEnd,
  uiExtKeyPageUp,
  uiExtKeyPageDown,
  uiExtKeyUp,
  uiExtKeyDown,
  uiExtKeyLeft,
  uiExtKeyRight,
  uiExtKeyF1,
  uiExtKeyF2,
  uiExtKeyF3,
  uiExtKeyF4,
  uiExtKeyF5,
  uiExtKeyF6,
  uiExtKeyF7,
  uiExtKeyF8,
  uiExtKeyF9,
  uiExtKeyF10,
  uiExtKeyF11,
  uiExtKeyF12,
  uiExtKeyN0,
  uiExtKeyN1,
  uiExtKeyN2,
  uiExtKeyN3,
  uiExtKeyN4,
  uiExtKeyN5,
  uiExtKeyN6,
  uiExtKeyN7,
  uiExtKeyN8,
  uiExtKeyN9,
  uiExtKeyNDot,
  uiExtKeyNEnter,
  uiExtKeyNAdd,
  uiExtKeyNSubtract,
  uiExtKeyNMultiply,
  uiExtKeyNDivide,
};

struct uiAreaMouseEvent {
  double X;
  double Y;
  double AreaWidth;
  double AreaHeight;
  int Down;
  int Up;
  int Count;
  uiModifiers Modifiers;
  uint64_t Held1To64;
};

struct uiAreaKeyEvent {
  char Key;
  uiExtKey ExtKey;
  uiModifiers Modifier;
  uiModifiers Modifiers;
  int Up;
};

/* Image buffer: a bitmap of R, G, B, A bytes that belongs to one drawing context and is drawn into
 * rectangles of the area during the draw event in which it was created. */
typedef struct uiImageBuffer uiImageBuffer;
typedef struct uiRect uiRect;
struct uiRect {
  int X;
  int Y;
  int Width;
  int Height;
};
_UI_EXTERN uiImageBuffer* uiNewImageBuffer(uiDrawContext* c, int width, int height, int alpha);
_UI_EXTERN void uiImageBufferUpdate(uiImageBuffer* buf, const void* data);
_UI_EXTERN void uiImageBufferDraw(uiDrawContext* c, uiImageBuffer* buf, uiRect* srcrect,
                                  uiRect* dstrect);
_UI_EXTERN void uiFreeImageBuffer(uiImageBuffer* buf);

#ifdef __cplusplus
}
#endif

#endif
