#!/usr/bin/python3
"""The Windows ZIP as a user gets it: its files and their line ends, and
what each executable says about itself, read back with pefile (Debian's
python3-pefile, so Debian's own python3), a PE reader that is not ours."""
import re
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

import pefile

MACHINES = {"x64/netvane.exe": 0x8664, "x86/netvane.exe": 0x14C}  # AMD64, I386
# What every Windows from Vista on ships; MinGW's runtimes must be linked in.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ws2_32.dll", "ntdll.dll",
               "user32.dll", "iphlpapi.dll"}
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
RT_MANIFEST = 24


def exe_problems(data, machine, version):
    pe = pefile.PE(data=data)
    problems = []
    if pe.FILE_HEADER.Machine != machine:
        problems.append("machine 0x%x, expected 0x%x" % (pe.FILE_HEADER.Machine, machine))

    # Properties shows the fixed file info as the numbers, the strings as text.
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    for fixed in getattr(pe, "VS_FIXEDFILEINFO", [None])[:1]:
        for field in ("FileVersion", "ProductVersion"):
            ms, ls = (getattr(fixed, field + half, 0) for half in ("MS", "LS"))
            got = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            if got != numbers:
                problems.append("fixed %s %s, expected %s" % (field, got, numbers))
    strings = {}
    for block in sum(getattr(pe, "FileInfo", []), []):
        for table in getattr(block, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "netvane",
              "CompanyName": "the netvane authors", "OriginalFilename": "netvane.exe"}
    problems += ["%s %r, expected %r" % (k, strings.get(k), v)
                 for k, v in wanted.items() if strings.get(k) != v]
    if not strings.get("FileDescription") or "the netvane authors" not in strings.get(
            "LegalCopyright", ""):
        problems.append("FileDescription or LegalCopyright missing: %r" % strings)

    # The loader applies manifest resource 1 to the process.
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    manifests = [(name.id, language.data.struct)
                 for kind in (resources.entries if resources else [])
                 if kind.id == RT_MANIFEST
                 for name in kind.directory.entries for language in name.directory.entries]
    if [m[0] for m in manifests] != [1]:
        problems.append("manifest resources %r, expected one, 1" % [m[0] for m in manifests])
    else:
        root = ElementTree.fromstring(pe.get_data(manifests[0][1].OffsetToData, manifests[0][1].Size))
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        systems = {e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")}
        if levels != ["asInvoker"] or systems != SUPPORTED_OS:
            problems.append("manifest asks for %r on %r" % (levels, sorted(systems)))

    imports = {e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not imports or not imports <= SYSTEM_DLLS:
        problems.append("imports %s" % sorted(imports - SYSTEM_DLLS or imports))
    return problems


def main(path):
    found = re.search(r"netvane-([0-9]+\.[0-9]+\.[0-9]+)-windows\.zip$", path)
    if not found:
        sys.exit("%s: not named netvane-VERSION-windows.zip" % path)
    version = found.group(1)
    problems = []
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        if names != sorted(list(MACHINES) + ["README.txt", "LICENSE.txt"]):
            sys.exit("%s holds %s" % (path, names))
        for name in ("README.txt", "LICENSE.txt"):
            data = archive.read(name)
            if data.count(b"\n") == 0 or data.count(b"\n") != data.count(b"\r\n"):
                problems.append("%s: line ends are not all CR LF" % name)
        if ("netvane %s" % version).encode() not in archive.read("README.txt"):
            problems.append("README.txt: does not name netvane %s" % version)
        for name, machine in MACHINES.items():
            problems += ["%s: %s" % (name, p) for p in exe_problems(archive.read(name), machine, version)]
    for problem in problems:
        print("FAIL " + problem)
    print("%s: %d files, %s" % (path, len(names), "%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
