#!/usr/bin/env python3
"""Checks a publisher's banner picture and icon before they are built into the program.

    check_artwork.py banner FILE    a PNG the program's decoder takes and its window can show
    check_artwork.py icon FILE      a well-formed icon file (.ico) for the icon group

Prints one "warning: ..." line per weakness worth knowing about and exits 0, or prints the reason
the file cannot be used and exits 1. Standard library only: it runs on the build machine while the
build is configured.
"""

import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# What a centred window can show on a 1024x768 screen with the bar still clear of a taskbar of up
# to 48 pixels (Windows 11's) at the bottom: 768 - 2 * 48 rows.
MAX_BANNER_WIDTH = 1024
MAX_BANNER_HEIGHT = 672
# The progress bar's minimum width (150 dialog units) in the usual 9-point Segoe UI at 100 %;
# a narrower window is widened to it, leaving a strip beside the banner.
BAR_MIN_WIDTH = 262
# Explorer picks among these for its views (details, classic large, medium, large and extra large).
ICON_SIZES = (16, 32, 48, 256)

# Allowed bit depths per colour type, and samples per pixel.
COLOUR_TYPES = {
    0: ("greyscale", (1, 2, 4, 8, 16), 1),
    2: ("RGB", (8, 16), 3),
    3: ("palette", (1, 2, 4, 8), 1),
    4: ("greyscale with alpha", (8, 16), 2),
    6: ("RGBA", (8, 16), 4),
}
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


class Unusable(Exception):
    pass


class Png:
    """A PNG's header, palette, transparency chunk and image data, chunk CRCs checked."""

    def __init__(self, data):
        if data[:8] != PNG_SIGNATURE:
            raise Unusable("not a PNG file (no PNG signature)")
        pos, kinds, idat = 8, [], []
        self.plte = self.trns = None
        while "IEND" not in kinds:
            if pos + 12 > len(data):
                raise Unusable("the file ends inside a chunk or before the end chunk (IEND)")
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            name = kind.decode("latin-1")
            if length > 0x7FFFFFFF or pos + 12 + length > len(data):
                raise Unusable(f"chunk {name} at byte {pos} runs past the end of the file")
            body = data[pos + 8:pos + 8 + length]
            if not kind.isalpha():
                raise Unusable(f"chunk type {name!r} at byte {pos} is not four letters")
            (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
            if zlib.crc32(kind + body) != crc:
                raise Unusable(f"chunk {name} at byte {pos} is damaged (CRC mismatch)")
            if not kinds and name != "IHDR":
                raise Unusable("the first chunk is not the image header (IHDR)")
            if name == "IDAT" and idat and kinds[-1] != "IDAT":
                raise Unusable("the image data chunks (IDAT) are not consecutive")
            if name == "IHDR":
                self._header(body, kinds)
            elif name == "PLTE":
                self.plte = body
            elif name == "tRNS":
                self.trns = body
            elif name == "IDAT":
                idat.append(body)
            elif name != "IEND" and name[0].isupper():
                raise Unusable(f"unknown critical chunk {name}: decoders refuse the file")
            kinds.append(name)
            pos += 12 + length
        if not idat:
            raise Unusable("no image data (IDAT chunk)")
        self._check_palette(kinds)
        self.idat = b"".join(idat)

    def _header(self, body, kinds):
        if kinds or len(body) != 13:
            raise Unusable("malformed image header (IHDR)")
        (self.width, self.height, self.depth, self.colour, compression, filtering,
         self.interlace) = struct.unpack(">IIBBBBB", body)
        if not (0 < self.width < 2**31 and 0 < self.height < 2**31):
            raise Unusable(f"invalid size {self.width}x{self.height}")
        if self.colour not in COLOUR_TYPES:
            raise Unusable(f"invalid colour type {self.colour}")
        name, depths, self.samples = COLOUR_TYPES[self.colour]
        if self.depth not in depths:
            raise Unusable(f"bit depth {self.depth} is invalid for colour type {self.colour} "
                           f"({name}); allowed: {', '.join(map(str, depths))}")
        if compression != 0 or filtering != 0:
            raise Unusable(f"unknown compression method {compression} or filter method "
                           f"{filtering} (only 0 exists)")
        if self.interlace not in (0, 1):
            raise Unusable(f"unknown interlace method {self.interlace} (0 or 1)")

    def _check_palette(self, kinds):
        if "PLTE" in kinds and kinds.index("PLTE") > kinds.index("IDAT"):
            raise Unusable("the palette (PLTE) comes after the image data")
        if self.colour == 3:
            if self.plte is None:
                raise Unusable("a palette image without a palette (PLTE chunk)")
            entries = len(self.plte) // 3
            if len(self.plte) % 3 or not 0 < entries <= 1 << self.depth:
                raise Unusable(f"palette of {len(self.plte)} bytes for bit depth {self.depth}")
            if self.trns is not None and len(self.trns) > entries:
                raise Unusable("more transparency entries (tRNS) than palette entries")
        elif self.plte is not None and self.colour in (0, 4):
            raise Unusable("a greyscale image with a palette (PLTE chunk)")
        if self.trns is not None and self.colour in (4, 6):
            raise Unusable("a transparency chunk (tRNS) in an image that has an alpha channel")
        if self.trns is not None and len(self.trns) != {0: 2, 2: 6, 3: len(self.trns)}[self.colour]:
            raise Unusable("malformed transparency chunk (tRNS)")

    def _passes(self):
        if not self.interlace:
            return [(self.width, self.height)]
        return [((self.width - x0 + dx - 1) // dx, (self.height - y0 + dy - 1) // dy)
                for x0, y0, dx, dy in ADAM7]

    def rows(self):
        """Every scanline of every pass, unfiltered, as (pass_width, bytes)."""
        bits = self.depth * self.samples
        bpp = max(1, bits // 8)
        passes = [(w, h, (w * bits + 7) // 8) for w, h in self._passes() if w and h]
        expected = sum(h * (1 + stride) for _, h, stride in passes)
        # Never more than the header's size, whatever the data would inflate to.
        decompressor = zlib.decompressobj()
        try:
            raw = decompressor.decompress(self.idat, expected + 1)
        except zlib.error as e:
            raise Unusable(f"the compressed image data is damaged ({e})") from None
        if len(raw) > expected:
            raise Unusable("the image data is longer than the header's size")
        if len(raw) < expected:
            raise Unusable("the image data is shorter than the header's size" +
                           ("" if decompressor.eof else " (the compressed data is cut short)"))
        pos = 0
        for width, height, stride in passes:
            prev = bytearray(stride)
            for _ in range(height):
                kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
                pos += 1 + stride
                unfilter(kind, line, prev, bpp)
                yield width, line
                prev = line

    def translucent_pixels(self):
        """How many pixels are not fully opaque (alpha channel, or tRNS chunk)."""
        size = 2 if self.depth == 16 else 1
        key = None
        if self.trns is not None and self.colour in (0, 2):
            key = [int.from_bytes(self.trns[i:i + 2], "big") for i in range(0, len(self.trns), 2)]
        count = 0
        for width, line in self.rows():
            if self.colour in (4, 6):
                step, first = self.samples * size, (self.samples - 1) * size
                if size == 1:
                    count += width - line[first::step].count(255)
                else:
                    count += sum(1 for high, low in zip(line[first::step], line[first + 1::step])
                                 if high != 255 or low != 255)
            elif self.colour == 3:
                indexes = samples(line, width, self.depth)
                if max(indexes) >= len(self.plte) // 3:
                    raise Unusable(f"palette index {max(indexes)} is past the palette's "
                                   f"{len(self.plte) // 3} colours")
                if self.trns is not None:
                    count += sum(1 for i in indexes if i < len(self.trns) and self.trns[i] != 255)
            elif key is not None:
                values = samples(line, width * self.samples, self.depth)
                count += sum(1 for i in range(0, len(values), self.samples)
                             if list(values[i:i + self.samples]) == key)
        return count


def samples(line, count, depth):
    """The first `count` samples of a scanline, as numbers."""
    if depth == 16:
        return [int.from_bytes(line[i:i + 2], "big") for i in range(0, 2 * count, 2)]
    if depth == 8:
        return line[:count]
    per_byte, mask = 8 // depth, (1 << depth) - 1
    return [(line[i // per_byte] >> (8 - depth * (i % per_byte + 1))) & mask for i in range(count)]


def unfilter(kind, line, prev, bpp):
    if kind == 0:
        return
    n = len(line)
    if kind == 1:
        for i in range(bpp, n):
            line[i] = (line[i] + line[i - bpp]) & 0xFF
    elif kind == 2:
        for i in range(n):
            line[i] = (line[i] + prev[i]) & 0xFF
    elif kind == 3:
        for i in range(n):
            left = line[i - bpp] if i >= bpp else 0
            line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
    elif kind == 4:
        for i in range(n):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], (prev[i - bpp] if i >= bpp else 0)
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
    else:
        raise Unusable(f"invalid row filter type {kind}")


def check_banner(data):
    png = Png(data)
    size = f"{png.width}x{png.height}"
    if png.width > MAX_BANNER_WIDTH or png.height > MAX_BANNER_HEIGHT:
        raise Unusable(f"{size} pixels is larger than the window may be: at most "
                       f"{MAX_BANNER_WIDTH}x{MAX_BANNER_HEIGHT}, so that on a 1024x768 screen "
                       "the centred window, progress bar included, stays clear of the taskbar")
    translucent = png.translucent_pixels()
    if translucent:
        raise Unusable(f"not every pixel is fully opaque ({translucent} are not): the window has "
                       "nothing behind the banner to show through; flatten the picture onto a "
                       "background")
    warnings = []
    if png.depth == 16:
        warnings.append("16 bits per sample: the window shows 8, and how they are rounded is "
                        "the system decoder's choice; save it with 8 bits to decide yourself")
    if png.width < BAR_MIN_WIDTH:
        warnings.append(f"{png.width} pixels wide: the window is widened to the progress bar's "
                        f"minimum width (about {BAR_MIN_WIDTH} pixels), with a strip beside "
                        "the banner")
    return warnings


def check_icon(data):
    if len(data) < 6:
        raise Unusable("too short for an icon file")
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1:
        raise Unusable("not an icon file (a .ico starts with 0, 1)" +
                       (", this is a cursor file" if reserved == 0 and kind == 2 else ""))
    if count == 0:
        raise Unusable("the icon file holds no image")
    table_end = 6 + 16 * count
    if table_end > len(data):
        raise Unusable(f"the file ends inside its directory of {count} images")
    sizes = set()
    for n in range(count):
        width, height, _, _, _, _, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * n:22 + 16 * n])
        width, height = width or 256, height or 256
        where = f"image {n + 1} ({width}x{height})"
        if length == 0 or offset < table_end or offset + length > len(data):
            raise Unusable(f"{where} lies outside the file (offset {offset}, {length} bytes)")
        image = data[offset:offset + length]
        try:
            actual = png_icon_size(image) if image[:8] == PNG_SIGNATURE else bitmap_icon_size(image)
        except Unusable as e:
            raise Unusable(f"{where}: {e}") from None
        if actual != (width, height):
            raise Unusable(f"{where} holds a picture of {actual[0]}x{actual[1]}")
        sizes.add((width, height))
    missing = [f"{s}x{s}" for s in ICON_SIZES if (s, s) not in sizes]
    if missing:
        return ["no " + ", ".join(missing) + " image: Explorer scales another size for the "
                "views that use it, which looks blurred"]
    return []


def png_icon_size(image):
    png = Png(image)
    if png.width <= 256 and png.height <= 256:  # no icon size is larger: no need to decode more
        for _ in png.rows():
            pass
    return png.width, png.height


def bitmap_icon_size(image):
    if len(image) < 40:
        raise Unusable("neither a PNG nor a bitmap (too short for a bitmap header)")
    header, width, height, planes, bits, compression, _, _, _, used, _ = struct.unpack(
        "<IiiHHIIiiII", image[:40])
    if header not in (40, 108, 124) or planes != 1:
        raise Unusable("neither a PNG nor a bitmap with a BITMAPINFOHEADER")
    if bits not in (1, 4, 8, 24, 32) or compression != 0:
        raise Unusable(f"a {bits}-bit bitmap with compression {compression}: icons take "
                       "uncompressed 1, 4, 8, 24 or 32-bit bitmaps")
    if width <= 0 or height <= 0 or height % 2:
        raise Unusable(f"bitmap height {height} is not twice a positive image height")
    height //= 2
    colours = (used or 1 << bits) if bits <= 8 else 0
    xor_stride = (width * bits + 31) // 32 * 4
    and_stride = (width + 31) // 32 * 4
    needed = header + 4 * colours + (xor_stride + and_stride) * height
    if len(image) < needed:
        raise Unusable(f"{len(image)} bytes where its bitmap needs {needed}")
    return width, height


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("banner", "icon"):
        sys.exit(__doc__)
    what, path = sys.argv[1:]
    try:
        with open(path, "rb") as f:
            data = f.read()
        warnings = check_banner(data) if what == "banner" else check_icon(data)
    except OSError as e:
        print(f"cannot read it: {e.strerror}")
        return 1
    except Unusable as e:
        print(e)
        return 1
    for w in warnings:
        print("warning: " + w)
    return 0


if __name__ == "__main__":
    sys.exit(main())
