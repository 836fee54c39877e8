#!/usr/bin/env python3
"""The committed banner PNG has exactly the layout the program relies on, and its generator
reproduces it byte for byte."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RESOURCES = os.path.join(REPO, "resources")
BANNER = os.path.join(RESOURCES, "banner.png")


def chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    pos = 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        yield kind, body, crc
        pos += 12 + length


def unfilter(raw, width, height, bpp=4):
    stride = width * bpp
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        ftype, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 0xFF
            elif ftype == 2:
                line[i] = (line[i] + b) & 0xFF
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
            elif ftype != 0:
                raise ValueError(f"bad filter type {ftype}")
        rows.append(bytes(line))
        prev = line
    assert pos == len(raw), "extra image data"
    return rows


class BannerPng(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(BANNER, "rb") as f:
            cls.data = f.read()
        cls.chunks = list(chunks(cls.data))

    def test_chunk_layout(self):
        kinds = [kind for kind, _, _ in self.chunks]
        self.assertEqual(kinds, [b"IHDR"] + [b"IDAT"] * 12 + [b"IEND"])
        for kind, body, crc in self.chunks:
            self.assertEqual(zlib.crc32(kind + body), crc, kind)
        self.assertEqual(self.chunks[-1][1], b"")

    def test_header(self):
        kind, body, _ = self.chunks[0]
        width, height, depth, colour, compression, filtering, interlace = struct.unpack(
            ">IIBBBBB", body)
        self.assertEqual((width, height), (300, 169))
        self.assertEqual(depth, 8)
        self.assertEqual(colour, 6)
        self.assertEqual((compression, filtering, interlace), (0, 0, 0))

    def test_every_pixel_is_opaque_and_the_picture_is_not_flat(self):
        raw = zlib.decompress(b"".join(body for kind, body, _ in self.chunks if kind == b"IDAT"))
        rows = unfilter(raw, 300, 169)
        self.assertEqual(len(rows), 169)
        colours = set()
        for row in rows:
            self.assertEqual(set(row[3::4]), {255})
            colours.update(row[i:i + 3] for i in range(0, len(row), 4))
        # Artwork, not a fill: many distinct colours.
        self.assertGreater(len(colours), 1000)

    def test_generator_reproduces_the_committed_files(self):
        with tempfile.TemporaryDirectory() as tmp:
            subprocess.run([sys.executable, os.path.join(RESOURCES, "generate_artwork.py"), tmp],
                           check=True)
            for name in ("banner.png", "quorvel.ico"):
                with open(os.path.join(tmp, name), "rb") as a, \
                        open(os.path.join(RESOURCES, name), "rb") as b:
                    self.assertTrue(a.read() == b.read(), f"{name} differs from its generator")

    def test_icon_has_a_256_png_and_a_48_bitmap_image(self):
        with open(os.path.join(RESOURCES, "quorvel.ico"), "rb") as f:
            ico = f.read()
        reserved, kind, count = struct.unpack("<HHH", ico[:6])
        self.assertEqual((reserved, kind, count), (0, 1, 2))
        entries = [struct.unpack("<BBBBHHII", ico[6 + 16 * i:22 + 16 * i]) for i in range(count)]
        big, small = entries
        self.assertEqual((big[0], big[1], big[5]), (0, 0, 32))  # 0 means 256
        self.assertEqual(ico[big[7]:big[7] + 8], b"\x89PNG\r\n\x1a\n")
        png_header = ico[big[7] + 16:big[7] + 29]
        self.assertEqual(struct.unpack(">IIBB", png_header[:10]), (256, 256, 8, 6))
        self.assertEqual((small[0], small[1], small[5]), (48, 48, 32))
        header = struct.unpack("<IiiHH", ico[small[7]:small[7] + 16])
        self.assertEqual(header, (40, 48, 96, 1, 32))
        self.assertEqual(small[6], 40 + 48 * 48 * 4 + 48 * 8)


if __name__ == "__main__":
    unittest.main(verbosity=2)
