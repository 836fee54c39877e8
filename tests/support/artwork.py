"""Pictures made at test time (png, ico), and the icon group read back from a built program."""

import struct
import subprocess
import zlib

ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, pixel, colour=6, depth=8, interlace=0, extra=(), row_filter=0):
    """pixel(x, y) gives the samples of one pixel; extra chunks go before the image data."""
    raw = bytearray()
    fmt = ">%dH" if depth == 16 else "%dB"
    for x0, y0, dx, dy in ADAM7 if interlace else ((0, 0, 1, 1),):
        xs = range(x0, width, dx)
        for y in range(y0, height, dy) if xs else ():
            values = [v for x in xs for v in pixel(x, y)]
            raw += bytes([row_filter]) + struct.pack(fmt % len(values), *values)
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            b"".join(chunk(kind, body) for kind, body in extra) +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def bitmap(size, rgb):
    """A 32-bit icon bitmap of one colour: header (height doubled for the mask), pixels, mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + bytes(rgb[::-1] + (255,)) * size * size + bytes((size + 31) // 32 * 4 * size)


def ico(images):
    """An icon file of (size, image bytes) pairs; a size of 256 is written as 0."""
    offset = 6 + 16 * len(images)
    table, data = b"", b""
    for size, image in images:
        table += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image),
                             offset + len(data))
        data += image
    return struct.pack("<HHH", 0, 1, len(images)) + table + data


def four_size_icon():
    """An icon file with the sizes Explorer uses: bitmaps of 16, 32 and 48, a PNG of 256."""
    return ico([(16, bitmap(16, (200, 30, 30))), (32, bitmap(32, (30, 200, 30))),
                (48, bitmap(48, (30, 30, 200))),
                (256, png(256, 256, lambda x, y: (x, y, 255 - x, 255)))])


def icon_group(exe, name="ICON_NAME"):
    """The program's icon group as an icon file, rebuilt from its resources by icoutils."""
    data = subprocess.run(["wrestool", "-x", "--type=14", "--name=" + name, exe],
                          capture_output=True, check=True).stdout
    # wrestool 0.32 pads the file with zeros: it ends where its directory's last image ends.
    count = struct.unpack("<H", data[4:6])[0]
    end = max(sum(struct.unpack("<II", data[14 + 16 * n:22 + 16 * n])) for n in range(count))
    assert not data[end:].strip(b"\0"), "wrestool wrote more than the icon file"
    return data[:end]
