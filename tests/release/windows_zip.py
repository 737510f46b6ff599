#!/usr/bin/python3
"""The Windows ZIP as a user gets it: its files, their line ends, and what
each executable says about itself, read back with pefile (Debian's
python3-pefile, hence Debian's own python3), a PE reader that is not ours:
the version resource, the embedded manifest, and the DLLs it imports."""
import io
import re
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

import pefile

ARCHITECTURES = {"x64/netvane.exe": 0x8664, "x86/netvane.exe": 0x14C}  # AMD64, I386
# DLLs every Windows from Vista on ships; the C and C++ runtimes of MinGW
# must be linked in, never imported.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ws2_32.dll", "ntdll.dll",
               "user32.dll", "iphlpapi.dll"}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
RT_MANIFEST = 24


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def manifest(pe):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else []:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                return name.id, pe.get_data(data.OffsetToData, data.Size)
    return None, None


def check_exe(name, data, version, problems):
    def expect(ok, what):
        if not ok:
            problems.append("%s: %s" % (name, what))

    pe = pefile.PE(data=data)
    expect(pe.FILE_HEADER.Machine == ARCHITECTURES[name],
           "machine 0x%x, expected 0x%x" % (pe.FILE_HEADER.Machine, ARCHITECTURES[name]))

    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    expect(fixed is not None, "no version resource")
    if fixed is not None:
        for field in ("FileVersion", "ProductVersion"):
            ms, ls = getattr(fixed, field + "MS"), getattr(fixed, field + "LS")
            got = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            expect(got == numbers, "fixed %s %s, expected %s" % (field, got, numbers))
    strings = version_strings(pe)
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "netvane",
              "CompanyName": "the netvane authors", "OriginalFilename": "netvane.exe"}
    for key, value in wanted.items():
        expect(strings.get(key) == value, "%s %r, expected %r" % (key, strings.get(key), value))
    expect(strings.get("FileDescription"), "no FileDescription")
    expect("the netvane authors" in strings.get("LegalCopyright", ""),
           "LegalCopyright %r" % strings.get("LegalCopyright"))

    # Resource 1 is the manifest the loader applies to the process.
    identifier, text = manifest(pe)
    expect(identifier == 1, "manifest resource %r, expected 1" % identifier)
    if text is not None:
        root = ElementTree.fromstring(text)
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        expect(levels == ["asInvoker"], "requestedExecutionLevel %r" % levels)
        systems = {e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")}
        expect(systems == SUPPORTED_OS, "supportedOS %r" % sorted(systems))

    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    expect(imports and imports <= SYSTEM_DLLS, "imports %s" % sorted(imports - SYSTEM_DLLS or imports))


def main(path):
    found = re.search(r"netvane-([0-9]+\.[0-9]+\.[0-9]+)-windows\.zip$", path)
    if not found:
        sys.exit("%s: not named netvane-VERSION-windows.zip" % path)
    version = found.group(1)
    problems = []
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        expected = sorted(list(ARCHITECTURES) + ["README.txt", "LICENSE.txt"])
        if names != expected:
            sys.exit("%s holds %s, expected %s" % (path, names, expected))
        for text in ("README.txt", "LICENSE.txt"):
            data = archive.read(text)
            if data.count(b"\n") == 0 or data.count(b"\n") != data.count(b"\r\n"):
                problems.append("%s: line ends are not all CR LF" % text)
        if ("netvane %s" % version).encode() not in archive.read("README.txt"):
            problems.append("README.txt does not name netvane %s" % version)
        for name in ARCHITECTURES:
            check_exe(name, archive.read(name), version, problems)
    for problem in problems:
        print("FAIL " + problem)
    print("%s: %d files, %s" % (path, len(names), "%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
