#!/usr/bin/env python3
"""Draws the bootstrapper's banner and icon and writes them as PNG / ICO files.

The output is byte-for-byte reproducible: no randomness beyond a fixed-seed generator, no
timestamps, and the PNG chunk layout is written by hand (IHDR, a fixed number of IDAT chunks, IEND,
nothing else) so the files keep the exact properties the program and its tests rely on.

    python3 resources/generate_artwork.py [OUTPUT_DIR]   (default: the directory of this script)
"""

import math
import os
import struct
import sys
import zlib

BANNER_WIDTH = 300
BANNER_HEIGHT = 169
BANNER_IDAT_CHUNKS = 12

# 5x7 capitals for the title; '#' is ink.
GLYPHS = {
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "N": ["#   #", "##  #", "# # #", "#  ##", "#   #", "#   #", "#   #"],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    " ": ["     "] * 7,
}


class Lcg:
    """A tiny fixed-seed generator so the star field is the same on every machine."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        return (self.state >> 33) / float(1 << 31)


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def smoothstep(e0, e1, x):
    t = max(0.0, min(1.0, (x - e0) / (e1 - e0)))
    return t * t * (3 - 2 * t)


def text_mask(text, scale, spacing):
    """Returns (width, height, ink(x, y)) for text set in the 5x7 font, scaled by `scale`."""
    cell = 5 * scale + spacing
    width = len(text) * cell - spacing
    height = 7 * scale

    def ink(x, y):
        if x < 0 or y < 0 or x >= width or y >= height:
            return False
        index, cx = divmod(int(x), cell)
        if cx >= 5 * scale:
            return False
        return GLYPHS[text[index]][int(y) // scale][cx // scale] == "#"

    return width, height, ink


def sky(x, y, w, h):
    horizon = h * 0.72
    top, middle, low = (12, 14, 46), (78, 38, 96), (238, 126, 62)
    if y < horizon * 0.55:
        c = mix(top, middle, y / (horizon * 0.55))
    else:
        c = mix(middle, low, (y - horizon * 0.55) / (horizon * 0.45))
    # The setting sun behind the peaks, with a soft halo.
    sx, sy, r = w * 0.68, h * 0.60, h * 0.16
    d = math.hypot(x - sx, y - sy)
    c = mix(c, (255, 222, 150), smoothstep(r * 3.2, r, d) * 0.55)
    c = mix(c, (255, 240, 196), smoothstep(r + 0.8, r - 0.8, d))
    return c


def ridge(x, w, base, amplitude, phases):
    u = x / w
    return base - amplitude * sum(a * math.sin(f * u * math.tau + p) for f, a, p in phases)


def banner_pixels(w, h):
    rng = Lcg(0x5155_4F52)  # "QUOR"
    stars = {}
    for _ in range(90):
        sx, sy, b = int(rng.next() * w), int(rng.next() * h * 0.45), 0.35 + 0.65 * rng.next()
        stars[(sx, sy)] = b

    layers = [  # (base line, amplitude, sine terms, colour): far to near
        (h * 0.66, h * 0.16, [(2, 0.6, 0.3), (5, 0.3, 1.1), (11, 0.1, 2.0)], (96, 52, 104)),
        (h * 0.76, h * 0.14, [(3, 0.5, 2.2), (7, 0.35, 0.4), (17, 0.15, 1.3)], (52, 30, 70)),
        (h * 0.90, h * 0.10, [(2, 0.4, 4.0), (9, 0.4, 2.7), (23, 0.2, 0.9)], (22, 14, 36)),
    ]

    title_w, title_h, title_ink = text_mask("QUORVEL", 4, 4)
    title_x, title_y = (w - title_w) // 2, int(h * 0.16)
    sub_w, sub_h, sub_ink = text_mask("LAUNCHER", 2, 3)
    sub_x, sub_y = (w - sub_w) // 2, title_y + title_h + 7

    rows = []
    ss = 3  # supersampling per axis for smooth ridge and letter edges
    for y in range(h):
        row = bytearray()
        for x in range(w):
            acc = [0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    px, py = x + (sx + 0.5) / ss, y + (sy + 0.5) / ss
                    c = sky(px, py, w, h)
                    for base, amplitude, phases, colour in layers:
                        top = ridge(px, w, base, amplitude, phases)
                        if py >= top:
                            # Rim light on the far side of each ridge from the sun.
                            c = mix(colour, (255, 170, 90), smoothstep(2.0, 0.0, py - top) * 0.35)
                    # Title: dark drop shadow, then gold letters shaded top to bottom.
                    if title_ink(px - title_x - 2, py - title_y - 2):
                        c = mix(c, (10, 6, 20), 0.75)
                    if title_ink(px - title_x, py - title_y):
                        t = (py - title_y) / title_h
                        c = mix((255, 236, 160), (214, 132, 36), t)
                    if sub_ink(px - sub_x, py - sub_y):
                        c = (236, 224, 255)
                    acc = [a + v for a, v in zip(acc, c)]
            r, g, b = (a / (ss * ss) for a in acc)
            star = stars.get((x, y))
            if star is not None and y < h * 0.45:
                r, g, b = mix((r, g, b), (255, 255, 240), star)
            row += bytes((int(r + 0.5), int(g + 0.5), int(b + 0.5), 255))
        rows.append(bytes(row))
    return rows


def icon_pixels(size):
    """A gold 'Q' emblem on a dark rounded tile, with anti-aliased edges (straight RGBA)."""
    rows = []
    ss = 4
    radius = size * 0.18
    for y in range(size):
        row = bytearray()
        for x in range(size):
            cov_tile = 0.0
            cov_ring = 0.0
            colour = [0.0, 0.0, 0.0]
            for sy in range(ss):
                for sx in range(ss):
                    u, v = (x + (sx + 0.5) / ss) / size, (y + (sy + 0.5) / ss) / size
                    # Rounded square tile.
                    qx = max(abs(u - 0.5) - (0.5 - radius / size), 0.0)
                    qy = max(abs(v - 0.5) - (0.5 - radius / size), 0.0)
                    if math.hypot(qx, qy) > radius / size:
                        continue
                    cov_tile += 1
                    c = mix((70, 40, 110), (18, 12, 40), v)
                    d = math.hypot(u - 0.5, v - 0.47)
                    tail = abs((u - 0.5) - (v - 0.47)) < 0.055 and 0.12 < u - 0.5 < 0.36
                    if 0.20 < d < 0.31 or tail:
                        cov_ring += 1
                        c = mix((255, 236, 160), (214, 132, 36), v)
                    colour = [a + b for a, b in zip(colour, c)]
            alpha = cov_tile / (ss * ss)
            if cov_tile:
                colour = [c / cov_tile for c in colour]
            row += bytes((*(int(c + 0.5) for c in colour), int(alpha * 255 + 0.5)))
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def encode_png(width, height, rows, idat_chunks):
    """8-bit RGBA, not interlaced, only IHDR / IDAT x idat_chunks / IEND."""
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    stream = zlib.compress(raw, 9)
    if len(stream) < idat_chunks:
        raise ValueError("image too small to split into that many IDAT chunks")
    step = -(-len(stream) // idat_chunks)
    parts = [stream[i * step:(i + 1) * step] for i in range(idat_chunks)]
    if any(not part for part in parts):
        step = len(stream) // idat_chunks
        parts = [stream[i * step:(i + 1) * step] for i in range(idat_chunks - 1)]
        parts.append(stream[(idat_chunks - 1) * step:])
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    out = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
    for part in parts:
        out += png_chunk(b"IDAT", part)
    return out + png_chunk(b"IEND", b"")


def encode_dib(size, rows):
    """A 32-bit icon image: BITMAPINFOHEADER (double height), bottom-up BGRA, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(
        bytes(b for i in range(0, len(r), 4) for b in (r[i + 2], r[i + 1], r[i], r[i + 3]))
        for r in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for r in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(size):
            if r[x * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def encode_ico(images):
    """images: list of (size, bytes); a 256 size is written as 0 in the directory."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return out + body


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    banner = encode_png(BANNER_WIDTH, BANNER_HEIGHT, banner_pixels(BANNER_WIDTH, BANNER_HEIGHT),
                        BANNER_IDAT_CHUNKS)
    with open(os.path.join(out_dir, "banner.png"), "wb") as f:
        f.write(banner)
    big = encode_png(256, 256, icon_pixels(256), 1)
    small = encode_dib(48, icon_pixels(48))
    with open(os.path.join(out_dir, "quorvel.ico"), "wb") as f:
        f.write(encode_ico([(256, big), (48, small)]))


if __name__ == "__main__":
    main()
