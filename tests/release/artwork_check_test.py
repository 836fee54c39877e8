#!/usr/bin/env python3
"""The configure-time check of a publisher's banner and icon (cmake/check_artwork.py): which files
pass, with which warnings, and the reason given for each one refused."""

import os
import struct
import subprocess
import sys
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(REPO, "cmake"), os.path.join(REPO, "tests", "support")]

from artwork import bitmap, chunk, four_size_icon, ico, png  # noqa: E402
from check_artwork import Png, Unusable, check_banner, check_icon  # noqa: E402


def rgb(x, y):
    return (x * 8 % 256, y * 8 % 256, 128)


def damaged(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def check(fn, data):
    try:
        return "ok: " + " | ".join(fn(data))
    except Unusable as e:
        return str(e)


GOOD = png(300, 20, rgb, colour=2)
PALETTE = [(b"PLTE", bytes(range(48)))]
PNG_256 = png(256, 256, lambda x, y: (x, y, 0, 255))
ICON = four_size_icon()


def with_height(height):  # GOOD's data under a header of another height
    header = struct.pack(">IIBBBBB", 300, height, 8, 2, 0, 0, 0)
    return GOOD[:8] + chunk(b"IHDR", header) + GOOD[33:]


BANNERS = [
    ("8-bit RGB", GOOD, "ok: "),
    ("interlaced palette, opaque tRNS", png(300, 20, lambda x, y: ((x + y) % 16,), colour=3,
                                            interlace=1, extra=PALETTE + [(b"tRNS", b"\xff")]),
     "ok: "),
    ("16-bit grey", png(300, 20, lambda x, y: (x * 200,), colour=0, depth=16),
     "ok: 16 bits per sample: the window shows 8"),
    ("narrow", png(100, 20, rgb, colour=2), "ok: 100 pixels wide: the window is widened"),
    ("too wide", png(1025, 1, lambda x, y: (0,), colour=0),
     "1025x1 pixels is larger than the window may be: at most 1024x672"),
    ("translucent pixels", png(300, 20, lambda x, y: rgb(x, y) + (254 if x == y else 255,)),
     "not every pixel is fully opaque (20 are not)"),
    ("16-bit alpha", png(300, 2, lambda x, y: (0, 0, 0, 65534 if x == 5 else 65535), depth=16),
     "(2 are not)"),
    ("transparent palette entry", png(300, 20, lambda x, y: (x % 16,), colour=3,
                                      extra=PALETTE + [(b"tRNS", b"\xff\x00")]), "(380 are not)"),
    ("transparent RGB colour", png(300, 20, rgb, colour=2, extra=[(b"tRNS", b"\0\0\0\x08\0\x80")]),
     "(10 are not)"),
    ("index past the palette", png(300, 20, lambda x, y: (16,), colour=3, extra=PALETTE),
     "palette index 16 is past the palette's 16 colours"),
    ("4-bit RGB", png(300, 20, rgb, colour=2, depth=4),
     "bit depth 4 is invalid for colour type 2 (RGB); allowed: 8, 16"),
    ("bad row filter", png(300, 20, rgb, colour=2, row_filter=5), "invalid row filter type 5"),
    ("damaged chunk", damaged(GOOD, 60), "chunk IDAT at byte 33 is damaged (CRC mismatch)"),
    ("cut short", GOOD[:-30], "runs past the end of the file"),
    ("data short of the size", with_height(21), "shorter than the header's size"),
    ("data beyond the size", with_height(19), "longer than the header's size"),
]

ICONS = [
    ("16, 32, 48 and 256", ICON, "ok: "),
    ("48 only", ico([(48, bitmap(48, (7, 8, 9)))]),
     "ok: no 16x16, 32x32, 256x256 image: Explorer scales another size"),
    ("cursor", ICON[:2] + b"\2\0" + ICON[4:], "this is a cursor file"),
    ("cut short", ICON[:-100], "image 4 (256x256) lies outside the file"),
    ("entry size differs", ico([(32, bitmap(16, (1, 1, 1)))]), "(32x32) holds a picture of 16x16"),
    ("bitmap short", ico([(16, bitmap(16, (1, 1, 1))[:-8])]), "bytes where its bitmap needs 1128"),
    ("damaged PNG", ico([(256, damaged(PNG_256, 60))]), "image 1 (256x256): chunk IDAT at byte "
     "33 is damaged"),
]


class ArtworkCheck(unittest.TestCase):
    def test_banners_and_icons(self):
        for fn, table in ((check_banner, BANNERS), (check_icon, ICONS)):
            for name, data, expected in table:
                with self.subTest(name):
                    result = check(fn, data)
                    if expected == "ok: ":
                        self.assertEqual(result, expected)
                    else:
                        self.assertIn(expected, result)

    def test_every_row_filter_unfilters_to_the_pixels_it_was_made_from(self):
        # Rows filtered in turn with None, Sub, Up, Average and Paeth (the PNG standard's
        # definitions), half of the pixels translucent.
        width, height, bpp = 40, 10, 4
        rows = [bytes(v for x in range(width) for v in rgb(x, y) + ((x * 7 + y) % 256,))
                for y in range(height)]

        def paeth(a, b, c):
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            return a if pa <= pb and pa <= pc else b if pb <= pc else c

        predictors = (lambda a, b, c: 0, lambda a, b, c: a, lambda a, b, c: b,
                      lambda a, b, c: (a + b) // 2, paeth)
        raw, prior = bytearray(), bytes(width * bpp)
        for y, row in enumerate(rows):
            kind = y % 5
            raw.append(kind)
            for i, v in enumerate(row):
                a = row[i - bpp] if i >= bpp else 0
                c = prior[i - bpp] if i >= bpp else 0
                raw.append((v - predictors[kind](a, prior[i], c)) % 256)
            prior = row
        header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
        data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))
        self.assertEqual([line for _, line in Png(data).rows()], rows)
        self.assertIn("are not)", check(check_banner, data))

if __name__ == "__main__":
    unittest.main(verbosity=2)
