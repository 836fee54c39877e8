#!/usr/bin/env python3
"""Links a Windows executable so that --gc-sections also drops the functions only unwind data
names.

GNU ld keeps every .pdata section (KEEP in its default PE script), and each .pdata entry refers to
its function: so on x64 Windows every function with unwind information that came in with an object
stays, used or not (about 50 KB of the C++ library's string and exception code alone). The link
therefore runs twice:

1. with the default script but .pdata not kept, printing what --gc-sections drops: these functions
   are referred to by nothing else (their .xdata stays kept, so the personality routines and the
   types that handlers catch stay alive);
2. the real link, with those functions, their .pdata and their .xdata discarded.

Afterwards the executable's function table is checked: every entry inside .text, in order, with
its unwind information in .xdata. Used as the CMake linker launcher: the arguments are the link
command.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

GC_LINE = re.compile(r"removing unused section '([^'\[]+)(?:\[[^']*\])?' in file '([^']+)'")


def output_of(command):
    for i, arg in enumerate(command[:-1]):
        if arg == "-o":
            return command[i + 1]
    return None


def default_script(compiler):
    ld = subprocess.run([compiler, "-print-prog-name=ld"], check=True, capture_output=True,
                        text=True).stdout.strip()
    text = subprocess.run([ld, "--verbose"], check=True, capture_output=True, text=True).stdout
    parts = re.split(r"^={20,}\s*$", text, flags=re.MULTILINE)
    if len(parts) != 3:
        sys.exit(f"gc_link.py: cannot find the default linker script in '{ld} --verbose'")
    script, kept = re.subn(r"KEEP\s*\(\s*\*\s*\(\s*\.pdata\*\s*\)\s*\)", "*(.pdata*)", parts[1])
    if kept != 1:
        sys.exit(f"gc_link.py: the default linker script of {ld} does not keep .pdata as expected")
    return script


def discard_script(gc_output):
    """The /DISCARD/ statement for each function the first link dropped, with its unwind data."""
    dropped = {}
    for line in gc_output.splitlines():
        match = GC_LINE.search(line)
        if match and match.group(1).startswith(".text") and match.group(1) != ".text":
            dropped.setdefault(match.group(2), set()).add(match.group(1)[len(".text"):])
    lines = []
    for file in sorted(dropped):
        member = re.fullmatch(r"(.*)\(([^()]*)\)", file)
        pattern = f"{member.group(1)}:{member.group(2)}" if member else file
        sections = " ".join(f"{kind}{suffix}" for suffix in sorted(dropped[file])
                            for kind in (".text", ".pdata", ".xdata"))
        lines.append(f'    "{pattern}"({sections})')
    return "SECTIONS\n{\n  /DISCARD/ :\n  {\n" + "\n".join(lines) + "\n  }\n}\nINSERT BEFORE .text;\n"


def check_function_table(path):
    """Exits with a message when the executable's .pdata is not a sorted table of its functions."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, = struct.unpack_from("<H", image, pe + 6)
    optional_size, = struct.unpack_from("<H", image, pe + 20)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        return  # not PE32+: no function table
    sections = {}
    for i in range(count):
        at = optional + optional_size + 40 * i
        name = image[at:at + 8].rstrip(b"\0").decode()
        size, rva, _, raw = struct.unpack_from("<IIII", image, at + 8)
        sections[name] = (rva, size, raw)
    table_rva, table_size = struct.unpack_from("<II", image, optional + 112 + 8 * 3)
    if table_size == 0:
        return
    text, xdata, pdata = sections[".text"], sections.get(".xdata"), sections[".pdata"]
    start = pdata[2] + table_rva - pdata[0]
    end_of_last = 0
    for i in range(table_size // 12):
        begin, end, unwind = struct.unpack_from("<III", image, start + 12 * i)
        if not (text[0] <= begin < end <= text[0] + text[1]) or begin < end_of_last or \
                xdata is None or not xdata[0] <= unwind < xdata[0] + xdata[1]:
            sys.exit(f"gc_link.py: {path}: function table entry {i} ({begin:#x}, {end:#x}, "
                     f"{unwind:#x}) is not a function of .text with unwind data in .xdata")
        end_of_last = end


def main():
    command = sys.argv[1:]
    out = output_of(command)
    if out is None or not out.endswith(".exe") or "-Wl,--gc-sections" not in command:
        os.execvp(command[0], command)
    with tempfile.TemporaryDirectory(prefix="gc-link-") as work:
        first = os.path.join(work, "first.ld")
        with open(first, "w") as f:
            f.write(default_script(command[0]))
        trial = command[:]
        trial[trial.index("-o") + 1] = os.path.join(work, "first.exe")
        trial = [a for a in trial if not a.startswith("-Wl,--out-implib,")]
        trial += [f"-Wl,-T,{first}", "-Wl,--print-gc-sections"]
        run = subprocess.run(trial, capture_output=True, text=True)
        if run.returncode != 0:
            sys.stderr.write(run.stderr)
            sys.exit(run.returncode)
        discard = os.path.join(work, "discard.ld")
        with open(discard, "w") as f:
            f.write(discard_script(run.stderr))
        code = subprocess.run(command + [f"-Wl,-T,{discard}"]).returncode
        if code != 0:
            sys.exit(code)
    check_function_table(out)


if __name__ == "__main__":
    main()
