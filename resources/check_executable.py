#!/usr/bin/env python3
"""Checks a built qz4launcher.exe with the MinGW-w64 binutils: a GUI-subsystem program that
needs no MinGW runtime DLLs, large-address-aware when it is a 32-bit one, importing at start
only libraries the loader never looks for beside it, carrying the application manifest
(requireAdministrator, no UI access, the common controls taken from the system) as resource 1
of type 24 and the pictures as "PNG" 500 (550 x 313) and 102 (8 x 8), each byte for byte the
file in resources/.

    check_executable.py TOOL_PREFIX EXE      e.g. x86_64-w64-mingw32- build/win64/app/qz4launcher.exe
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# The loader resolves static imports before the program runs, and looks for a library in the
# program's folder first, where a user may have put one, unless it is one of the system's
# known libraries (these are on that list since Windows 7) or the manifest sends it to the
# system's side-by-side store (the common controls). Any other library must be delay-loaded
# (cmake/delay_load.cmake), after the entry point has limited the search to the system folder.
LOADED_FROM_THE_SYSTEM = {
    "advapi32.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll",
    "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll", "comctl32.dll",
}


def read_resources(windres, exe):
    """{(type, name): bytes} from the executable, types and names as ints or strings."""
    with tempfile.TemporaryDirectory() as work:
        res = os.path.join(work, "out.res")
        subprocess.run([windres, "-i", exe, "-O", "res", "-o", res], check=True)
        with open(res, "rb") as f:
            data = f.read()

    def name_at(header, position):
        if struct.unpack_from("<H", header, position)[0] == 0xFFFF:
            return struct.unpack_from("<H", header, position + 2)[0], position + 4
        end = position
        while struct.unpack_from("<H", header, end)[0] != 0:
            end += 2
        return header[position:end].decode("utf-16-le"), end + 2

    resources, position = {}, 0
    while position + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, position)
        header = data[position + 8:position + header_size]
        kind, after = name_at(header, 0)
        name, _ = name_at(header, after)
        start = position + header_size
        if data_size:
            resources[(kind, name)] = data[start:start + data_size]
        position = (start + data_size + 3) & ~3
    return resources


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack_from(">II", data, 16)


def main(prefix, exe):
    problems = []
    headers = subprocess.run([prefix + "objdump", "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    if "(Windows GUI)" not in headers:
        problems.append("not a GUI-subsystem executable")
    # A 32-bit program gets 4 GiB of address space on 64-bit Windows only when it says so.
    if "file format pei-i386" in headers and "large address aware" not in headers:
        problems.append("a 32-bit program that is not large-address-aware")
    for line in headers.splitlines():
        dll = line.strip()
        if not dll.startswith("DLL Name:"):
            continue
        name = dll[9:].strip()
        if any(runtime in name.lower() for runtime in ("libstdc++", "libgcc", "libwinpthread")):
            problems.append(f"depends on a MinGW runtime DLL ({name})")
        elif name.lower() not in LOADED_FROM_THE_SYSTEM:
            problems.append(f"imports {name} at start, which a DLL beside it could stand in for")

    resources = read_resources(prefix + "windres", exe)
    expected = {
        (24, 1): ("launcher.manifest", None),
        ("PNG", 500): ("splash.png", (550, 313)),
        ("PNG", 102): ("close.png", (8, 8)),
    }
    for key, (file_name, size) in expected.items():
        with open(os.path.join(HERE, file_name), "rb") as f:
            wanted = f.read()
        found = resources.get(key)
        if found is None:
            problems.append(f"resource {key} ({file_name}) is missing")
        elif found != wanted:
            problems.append(f"resource {key} differs from {file_name}")
        elif size is not None and png_size(found) != size:
            problems.append(f"resource {key} is not a {size[0]} x {size[1]} PNG")
    manifest = resources.get((24, 1), b"").decode("utf-8", "replace")
    for needed in ('level="requireAdministrator"', 'uiAccess="false"',
                   'name="Microsoft.Windows.Common-Controls"'):
        if needed not in manifest:
            problems.append(f"the manifest lacks {needed}")

    for problem in problems:
        print(f"{exe}: {problem}")
    if not problems:
        print(f"{exe}: GUI program, static runtime, resources {sorted(map(str, resources))}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
