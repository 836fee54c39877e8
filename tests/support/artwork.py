"""Pictures made at test time, and the icon group read back from a built program.

png(...) and ico(...) write files in the formats a publisher brings; icon_group(exe) reads the
program's icon group resource and its images straight from the PE file.
"""

import struct
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


def icon_file_images(data):
    """The icon file's directory entries (without their offsets) and images."""
    count = struct.unpack("<H", data[4:6])[0]
    out = []
    for n in range(count):
        entry = struct.unpack("<BBBBHHII", data[6 + 16 * n:22 + 16 * n])
        out.append((entry[:7], data[entry[7]:entry[7] + entry[6]]))
    return out


def _resources(exe):
    """{(type, name or id): bytes} of a PE file's resources (first language of each)."""
    pe = struct.unpack("<I", exe[0x3C:0x40])[0]
    sections, optional_size = struct.unpack("<H12xH", exe[pe + 6:pe + 22])
    optional = pe + 24
    rsrc_rva = struct.unpack("<I", exe[optional + 112 + 16:optional + 116 + 16])[0]
    table = optional + optional_size
    spans = [struct.unpack("<8xIIII", exe[table + 40 * i:table + 40 * i + 24])
             for i in range(sections)]

    def offset(rva):
        return next(ptr + rva - va for _, va, size, ptr in spans if va <= rva < va + size)

    base = offset(rsrc_rva)

    def entries(at):
        named, ids = struct.unpack("<HH", exe[base + at + 12:base + at + 16])
        for i in range(named + ids):
            name, target = struct.unpack("<II", exe[base + at + 16 + 8 * i:base + at + 24 + 8 * i])
            if name & 0x80000000:
                start = base + (name & 0x7FFFFFFF)
                length = struct.unpack("<H", exe[start:start + 2])[0]
                name = exe[start + 2:start + 2 + 2 * length].decode("utf-16-le")
            yield name, target & 0x7FFFFFFF

    found = {}
    for kind, names in entries(0):
        for name, languages in entries(names):
            _, leaf = next(entries(languages))
            rva, size = struct.unpack("<II", exe[base + leaf:base + leaf + 8])
            found[(kind, name)] = exe[offset(rva):offset(rva) + size]
    return found


def icon_group(exe, name="ICON_NAME"):
    """The group's entries in icon-file form (without offsets) and their RT_ICON images."""
    found = _resources(exe)
    group = found[(14, name)]  # RT_GROUP_ICON
    count = struct.unpack("<H", group[4:6])[0]
    out = []
    for n in range(count):
        entry = struct.unpack("<BBBBHHIH", group[6 + 14 * n:20 + 14 * n])
        out.append((entry[:7], found[(3, entry[7])]))  # RT_ICON by its id
    return out
