#!/usr/bin/env python3
"""cmake/gc_link.py: the discards it makes of ld's report, and its check of function tables."""
import contextlib, os, struct, sys, tempfile, unittest  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
from gc_link import check_function_table, discard_script  # noqa: E402


def image(table):  # .text 0x1000-0x1100, .xdata 0x3000-0x3010, the table in .pdata at 0x2000
    n = 12 * len(table)
    data = bytearray(0x200) + b"".join(struct.pack("<III", *entry) for entry in table)
    struct.pack_into("<I6xH12xH2xH134xII", data, 0x3C, 0x40, 3, 240, 0x20B, 0x2000, n)
    for i, (name, rva, size, raw) in enumerate([(b".text", 0x1000, 0x100, 0), (b".xdata", 0x3000,
                                                0x10, 0), (b".pdata", 0x2000, n, 0x200)]):
        struct.pack_into("<8sIIII", data, 0x148 + 40 * i, name, size, rva, size, raw)
    return bytes(data)


class GcLink(unittest.TestCase):
    def test_dropped_functions_go_with_their_unwind_data(self):
        report = "\n".join(f"ld: removing unused section '{s}' in file '{f}'" for s, f in [
            (".text$_Z1fv[_Z1fv]", "/l/libstdc++.a(x.o)"), (".rdata$_ZTS1A", "/l/libstdc++.a(x.o)"),
            (".text", "crt2.o"), (".text.unlikely.g", "src/a b.obj")])
        self.assertEqual(discard_script(report).split("\n")[4:6], [
            '    "/l/libstdc++.a:x.o"(.text$_Z1fv .pdata$_Z1fv .xdata$_Z1fv)',
            '    "src/a b.obj"(.text.unlikely.g .pdata.unlikely.g .xdata.unlikely.g)'])

    def test_function_table_check(self):
        for table, refused in [([(0x1000, 0x1010, 0x3000), (0x1010, 0x1100, 0x3008)], None),
                               ([(0, 0, 0x3000)], 0), ([(0x10F0, 0x1110, 0x3000)], 0),
                               ([(0x1020, 0x1030, 0x3000), (0x1000, 0x1010, 0x3008)], 1),
                               ([(0x1000, 0x1010, 0x2000)], 0)]:
            with self.subTest(table), tempfile.NamedTemporaryFile(suffix=".exe") as exe:
                exe.write(image(table))
                exe.flush()
                with (contextlib.nullcontext() if refused is None else
                      self.assertRaisesRegex(SystemExit, f"entry {refused} ")):
                    check_function_table(exe.name)

if __name__ == "__main__":
    unittest.main()
