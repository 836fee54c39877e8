// uiBox (vertical): children stacked top to bottom, each the full width.
#include <vector>

#include "uipriv_windows.hpp"

namespace {

struct BoxChild {
  uiControl* control;
  int stretchy;
};

constexpr int BOX_PADDING_DLU = 4;

}  // namespace

struct uiBox {
  uiprivWindowsControl base;
  std::vector<BoxChild>* children;  // owned; the record itself is a plain tracked block
  int padded;
};

namespace {

int padding_pixels(uiBox* b) {
  if (!b->padded) return 0;
  uiprivDialogUnits du = uiprivGetDialogUnits(b->base.hwnd);
  return uiprivDlgUnitsToY(BOX_PADDING_DLU, du.baseY);
}

void box_destroy(uiprivWindowsControl* c) {
  auto* b = reinterpret_cast<uiBox*>(c);
  for (BoxChild& child : *b->children) {
    uiprivControlSetParent(child.control, nullptr, nullptr);
    uiControlDestroy(child.control);
  }
  delete b->children;
  if (c->hwnd != nullptr && DestroyWindow(c->hwnd) == 0) logLastError("error destroying box");
  uiprivFree(b);
}

void box_minimum_size(uiprivWindowsControl* c, int* width, int* height) {
  auto* b = reinterpret_cast<uiBox*>(c);
  int visible = 0;
  for (BoxChild& child : *b->children) {
    if (!uiControlVisible(child.control)) continue;
    int w, h;
    uiprivControlMinimumSize(child.control, &w, &h);
    if (w > *width) *width = w;
    *height += h;
    ++visible;
  }
  if (visible > 1) *height += (visible - 1) * padding_pixels(b);
}

void box_layout(uiprivWindowsControl* c, int x, int y, int width, int height) {
  auto* b = reinterpret_cast<uiBox*>(c);
  if (MoveWindow(c->hwnd, x, y, width, height, TRUE) == 0) logLastError("error moving box");

  // Fixed children take their minimum height; stretchy ones share what is left equally.
  int padding = padding_pixels(b);
  int visible = 0, stretchy = 0, fixed_height = 0;
  std::vector<int> heights(b->children->size(), 0);
  for (size_t i = 0; i < b->children->size(); ++i) {
    BoxChild& child = (*b->children)[i];
    if (!uiControlVisible(child.control)) continue;
    ++visible;
    if (child.stretchy) {
      ++stretchy;
      continue;
    }
    int w, h;
    uiprivControlMinimumSize(child.control, &w, &h);
    heights[i] = h;
    fixed_height += h;
  }
  if (visible == 0) return;
  int left = height - fixed_height - (visible - 1) * padding;
  int stretchy_height = stretchy > 0 && left > 0 ? left / stretchy : 0;

  int cy = 0;
  for (size_t i = 0; i < b->children->size(); ++i) {
    BoxChild& child = (*b->children)[i];
    if (!uiControlVisible(child.control)) continue;
    int h = child.stretchy ? stretchy_height : heights[i];
    uiprivControlLayout(child.control, 0, cy, width, h);
    cy += h + padding;
  }
}

void box_set_parent_hwnd(uiprivWindowsControl* c, HWND parent) {
  if (SetParent(c->hwnd, parent) == nullptr) logLastError("error reparenting box");
}

const uiprivControlOps BOX_OPS = {box_destroy, box_minimum_size, box_layout, box_set_parent_hwnd};

}  // namespace

extern "C" void uiBoxSetPadded(uiBox* b, int padded) {
  b->padded = padded;
  uiprivControlRelayoutToplevel(uiControl(b));
}

extern "C" void uiBoxAppend(uiBox* b, uiControl* child, int stretchy) {
  b->children->push_back(BoxChild{child, stretchy});
  uiprivControlSetParent(child, uiControl(b), b->base.hwnd);
  uiprivControlRelayoutToplevel(uiControl(b));
}

extern "C" uiBox* uiNewVerticalBox(void) {
  auto* b = uiprivNew<uiBox>("uiBox");
  uiprivInitControl(&b->base, uiprivBoxSignature, &BOX_OPS, 0);
  b->children = new std::vector<BoxChild>();
  b->base.hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, uiprivContainerClass, L"",
                                 WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 100, 100,
                                 uiprivUtilWindow, nullptr, uiprivInstance, nullptr);
  if (b->base.hwnd == nullptr) logLastError("error creating box container");
  return b;
}
