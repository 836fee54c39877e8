// The common base of the controls: the public uiControl entry points and the parts that every
// Windows control shares (its HWND, parent, visibility and enabled state).
#include "uipriv_windows.hpp"

namespace {

void control_destroy(uiControl* c) {
  uiprivControl(c)->ops->destroy(uiprivControl(c));
}

uintptr_t control_handle(uiControl* c) {
  return reinterpret_cast<uintptr_t>(uiprivControl(c)->hwnd);
}

uiControl* control_parent(uiControl* c) {
  return uiprivControl(c)->parent;
}

void control_set_parent(uiControl* c, uiControl* parent) {
  HWND parent_hwnd = parent != nullptr ? uiprivControl(parent)->hwnd : uiprivUtilWindow;
  uiprivControlSetParent(c, parent, parent_hwnd);
}

int control_toplevel_no(uiControl*) {
  return 0;
}
int control_toplevel_yes(uiControl*) {
  return 1;
}

int control_visible(uiControl* c) {
  return uiprivControl(c)->visible;
}

void child_show(uiControl* c) {
  uiprivWindowsControl* wc = uiprivControl(c);
  wc->visible = 1;
  ShowWindow(wc->hwnd, SW_SHOW);
  uiprivControlRelayoutToplevel(c);
}

void child_hide(uiControl* c) {
  uiprivWindowsControl* wc = uiprivControl(c);
  wc->visible = 0;
  ShowWindow(wc->hwnd, SW_HIDE);
  uiprivControlRelayoutToplevel(c);
}

int control_enabled(uiControl* c) {
  return uiprivControl(c)->enabled;
}

void control_enable(uiControl* c) {
  uiprivControl(c)->enabled = 1;
  EnableWindow(uiprivControl(c)->hwnd, TRUE);
}

void control_disable(uiControl* c) {
  uiprivControl(c)->enabled = 0;
  EnableWindow(uiprivControl(c)->hwnd, FALSE);
}

}  // namespace

void uiprivInitControl(uiprivWindowsControl* c, uint32_t typeSignature, const uiprivControlOps* ops,
                       int toplevel) {
  c->c.Signature = uiprivControlSignature;
  c->c.OSSignature = uiprivWindowsSignature;
  c->c.TypeSignature = typeSignature;
  c->c.Destroy = control_destroy;
  c->c.Handle = control_handle;
  c->c.Parent = control_parent;
  c->c.SetParent = control_set_parent;
  c->c.Toplevel = toplevel ? control_toplevel_yes : control_toplevel_no;
  c->c.Visible = control_visible;
  // A top-level window installs its own Show and Hide.
  c->c.Show = child_show;
  c->c.Hide = child_hide;
  c->c.Enabled = control_enabled;
  c->c.Enable = control_enable;
  c->c.Disable = control_disable;
  c->ops = ops;
  c->visible = toplevel ? 0 : 1;
  c->enabled = 1;
}

void uiprivControlSetParent(uiControl* child, uiControl* parent, HWND parentHWND) {
  uiprivWindowsControl* wc = uiprivControl(child);
  wc->parent = parent;
  wc->ops->setParentHWND(wc, parentHWND != nullptr ? parentHWND : uiprivUtilWindow);
}

void uiprivControlMinimumSize(uiControl* c, int* width, int* height) {
  *width = 0;
  *height = 0;
  uiprivControl(c)->ops->minimumSize(uiprivControl(c), width, height);
}

void uiprivControlLayout(uiControl* c, int x, int y, int width, int height) {
  uiprivControl(c)->ops->layout(uiprivControl(c), x, y, width, height);
}

void uiprivControlRelayoutToplevel(uiControl* c) {
  while (c != nullptr && !c->Toplevel(c)) c = uiprivControl(c)->parent;
  if (c != nullptr) uiprivWindowRelayout(uiWindow(c));
}

extern "C" void uiControlDestroy(uiControl* c) {
  c->Destroy(c);
}
extern "C" uintptr_t uiControlHandle(uiControl* c) {
  return c->Handle(c);
}
extern "C" uiControl* uiControlParent(uiControl* c) {
  return c->Parent(c);
}
extern "C" int uiControlToplevel(uiControl* c) {
  return c->Toplevel(c);
}
extern "C" int uiControlVisible(uiControl* c) {
  return c->Visible(c);
}
extern "C" void uiControlShow(uiControl* c) {
  c->Show(c);
}
extern "C" void uiControlHide(uiControl* c) {
  c->Hide(c);
}
