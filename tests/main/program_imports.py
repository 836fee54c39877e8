#!/usr/bin/env python3
"""The program's import table holds only DLLs that Windows never takes from the program's folder.

    program_imports.py OBJDUMP QuorvelSetup.exe

The program is usually started from the user's downloads folder. Imports are resolved before main,
with the program's folder searched first, except for the system's known DLLs and for Common
Controls 6, which the manifest redirects to the side-by-side store. Every other system DLL is
loaded by the program itself, by full path from the system directory (secur32 and crypt32 also
only when the first connection needs them).
"""

import re
import subprocess
import sys

ALLOWED = {"kernel32.dll", "user32.dll", "gdi32.dll", "ole32.dll", "ws2_32.dll", "msvcrt.dll",
           "ntdll.dll", "comctl32.dll"}


def main():
    objdump, program = sys.argv[1:3]
    dump = subprocess.run([objdump, "-p", program], capture_output=True, text=True,
                          check=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    if "kernel32.dll" not in imported:
        print("no import table found in the dump")
        return 1
    outside = sorted(imported - ALLOWED)
    print("imports:", " ".join(sorted(imported)))
    if outside:
        print("imported, so looked up in the program's folder first:", " ".join(outside))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
