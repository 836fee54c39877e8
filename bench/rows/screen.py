"""The X screen, read straight from the server (no screenshot tool in between), and the banner's
own pixels to compare it with."""

import ctypes
import os
import subprocess

import harness

BANNER_PNG = os.path.join(harness.SOURCE_DIR, "resources", "banner.png")
BANNER_W, BANNER_H = 300, 169
SCREEN_W, SCREEN_H = 1920, 1080  # the prefix's own Xvfb (harness.Xvfb's default size)
# Rows of the banner that both windows show (the program's progress bar covers the bottom rows).
PAINT_ROWS = 120


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


class Screen:
    def __init__(self, display):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x11.XGetImage.restype = ctypes.POINTER(XImage)
        self.x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                       ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.x11.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.dpy = self.x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError("cannot open display " + display)
        self.root = self.x11.XDefaultRootWindow(self.dpy)

    def rgb_rows(self, x, y, w, h):
        """The rectangle as packed RGB rows."""
        image = self.x11.XGetImage(self.dpy, self.root, x, y, w, h, 0xFFFFFFFF, 2)  # ZPixmap
        try:
            img = image.contents
            if img.bits_per_pixel != 32:
                raise RuntimeError("unexpected screen format")
            raw = ctypes.string_at(img.data, img.bytes_per_line * h)
        finally:
            self.x11.XDestroyImage(image)
        stride = w * 4
        out = bytearray(w * h * 3)
        for row in range(h):
            line = raw[row * img.bytes_per_line:row * img.bytes_per_line + stride]
            base = row * w * 3
            out[base + 0:base + w * 3:3] = line[2::4]  # BGRX little-endian pixels
            out[base + 1:base + w * 3:3] = line[1::4]
            out[base + 2:base + w * 3:3] = line[0::4]
        return bytes(out)

    def banner_rows(self):
        """The rows both windows show, where the centred banner stands."""
        x, y = (SCREEN_W - BANNER_W) // 2, (SCREEN_H - BANNER_H) // 2
        return self.rgb_rows(x, y, BANNER_W, PAINT_ROWS)

    def close(self):
        self.x11.XCloseDisplay(self.dpy)


def banner_reference():
    """The banner's pixels decoded by ImageMagick: RGB of the rows both windows show, and the whole
    picture as BGRA for the baseline program."""
    rgba = subprocess.run([harness.CONVERT, BANNER_PNG, "-depth", "8", "rgba:-"],
                          capture_output=True, check=True).stdout
    assert len(rgba) == BANNER_W * BANNER_H * 4
    rgb = bytearray()
    bgra = bytearray(len(rgba))
    bgra[0::4], bgra[1::4], bgra[2::4], bgra[3::4] = rgba[2::4], rgba[1::4], rgba[0::4], rgba[3::4]
    for i in range(0, BANNER_W * PAINT_ROWS * 4, 4):
        rgb += rgba[i:i + 3]
    return bytes(rgb), bytes(bgra)
