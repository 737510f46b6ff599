#!/usr/bin/env python3
"""Puts the two Windows executables, the README for Windows users and the
licence into one ZIP, texts with the CR LF line ends Notepad expects:

    packaging/windows_zip.py VERSION X64_EXE X86_EXE OUTPUT

Every entry gets the same time and no platform's extra fields, so the same
executables always give the same ZIP."""
import os
import sys
import zipfile

ENTRY_TIME = (2026, 1, 1, 0, 0, 0)


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main(version, x64, x86, output):
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "windows", "README.txt.in"), "rb") as f:
        readme = f.read().replace(b"@PROJECT_VERSION@", version.encode())
    with open(os.path.join(here, "..", "LICENSE"), "rb") as f:
        licence = f.read()
    entries = [("x64/netvane.exe", open(x64, "rb").read()),
               ("x86/netvane.exe", open(x86, "rb").read()),
               ("README.txt", crlf(readme)),
               ("LICENSE.txt", crlf(licence))]
    partial = output + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, ENTRY_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data, compresslevel=9)
    os.replace(partial, output)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
