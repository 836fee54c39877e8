#!/usr/bin/env python3
"""The Windows link's second pass (cmake/gc_link.py): which of the sections GNU ld reports dropped
are discarded with their unwind data, and which function tables pass its check."""

import os
import struct
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "cmake"))

from gc_link import check_function_table, discard_script  # noqa: E402

LD = "/usr/bin/x86_64-w64-mingw32-ld: removing unused section '{}' in file '{}'"
STDCXX = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a"


def image(entries):
    """A PE32+ image with .text at 0x1000 (0x100 bytes), .pdata at 0x2000 holding `entries`
    (begin, end, unwind) as its function table, and .xdata at 0x3000 (0x10 bytes)."""
    pe, optional_size = 0x40, 240
    sections = [(b".text", 0x1000, 0x100), (b".pdata", 0x2000, 12 * len(entries)),
                (b".xdata", 0x3000, 0x10)]
    headers = pe + 24 + optional_size + 40 * len(sections)
    data = bytearray(headers + 12 * len(entries))
    struct.pack_into("<I", data, 0x3C, pe)
    struct.pack_into("<HH", data, pe + 6 - 2, 0x8664, len(sections))
    struct.pack_into("<H", data, pe + 20, optional_size)
    struct.pack_into("<H", data, pe + 24, 0x20B)
    struct.pack_into("<II", data, pe + 24 + 112 + 24, 0x2000, 12 * len(entries))
    for i, (name, rva, size) in enumerate(sections):
        raw = headers if name == b".pdata" else 0
        struct.pack_into("<8sIIII", data, pe + 24 + optional_size + 40 * i, name, size, rva, size,
                         raw)
    for i, entry in enumerate(entries):
        struct.pack_into("<III", data, headers + 12 * i, *entry)
    return bytes(data)


class GcLink(unittest.TestCase):
    def test_dropped_functions_are_discarded_with_their_unwind_data(self):
        gc = "\n".join([
            LD.format(".text$_ZNKSs4findEPKcy[_ZNKSs4findEPKcy]", STDCXX + "(cow-string-inst.o)"),
            LD.format(".text$_ZNKSs2atEy[_ZNKSs2atEy]", STDCXX + "(cow-string-inst.o)"),
            LD.format(".rdata$_ZTSSt8bad_cast[_ZTSSt8bad_cast]", STDCXX + "(bad_cast.o)"),
            LD.format(".text", "crt2.o"),  # a whole object's code: its unwind table is shared
            LD.format(".text.unlikely.cold_path", "src/download/libquorvel_download.a(x.cpp.obj)"),
            LD.format(".text$unused", "src/main/CMakeFiles/QuorvelSetup.dir/main.cpp.obj"),
            "some other line of the linker",
        ])
        self.assertEqual(discard_script(gc), "\n".join([
            "SECTIONS", "{", "  /DISCARD/ :", "  {",
            f'    "{STDCXX}:cow-string-inst.o"(.text$_ZNKSs2atEy .pdata$_ZNKSs2atEy '
            ".xdata$_ZNKSs2atEy .text$_ZNKSs4findEPKcy .pdata$_ZNKSs4findEPKcy "
            ".xdata$_ZNKSs4findEPKcy)",
            '    "src/download/libquorvel_download.a:x.cpp.obj"(.text.unlikely.cold_path '
            ".pdata.unlikely.cold_path .xdata.unlikely.cold_path)",
            '    "src/main/CMakeFiles/QuorvelSetup.dir/main.cpp.obj"(.text$unused .pdata$unused '
            ".xdata$unused)",
            "  }", "}", "INSERT BEFORE .text;", ""]))

    def test_function_table_check(self):
        cases = [
            ("sorted functions of .text", [(0x1000, 0x1010, 0x3000), (0x1010, 0x1100, 0x3008)],
             None),
            ("a dropped function's entry", [(0, 0, 0x3000)], "entry 0"),
            ("past the end of .text", [(0x10F0, 0x1110, 0x3000)], "entry 0"),
            ("out of order", [(0x1020, 0x1030, 0x3000), (0x1000, 0x1010, 0x3008)], "entry 1"),
            ("unwind data outside .xdata", [(0x1000, 0x1010, 0x2000)], "entry 0"),
        ]
        for name, entries, refused in cases:
            with self.subTest(name), tempfile.NamedTemporaryFile(suffix=".exe") as exe:
                exe.write(image(entries))
                exe.flush()
                if refused is None:
                    check_function_table(exe.name)
                else:
                    with self.assertRaisesRegex(SystemExit, f"function table {refused} "):
                        check_function_table(exe.name)


if __name__ == "__main__":
    unittest.main()
