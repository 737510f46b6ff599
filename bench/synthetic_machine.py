#!/usr/bin/env python3
"""Writes a REGEDIT4 file that grows a fixture machine to the size of a real
installation: a SYSTEM part with services, device instances and device
classes, and a SOFTWARE part with COM registrations and installer records,
with the binary property values that make up most of a real hive's bytes.
Deterministic for given key counts.

    synthetic_machine.py SYSTEM_KEYS SOFTWARE_KEYS > bulk.reg

Keys are spread over many parents (no parent gets more than 200 children):
hivex copies a key's whole subkey list each time it adds one, without reusing
the old cell, so a few parents with tens of thousands of children would fill
the hive with dead lists that real hives do not have.
"""

import random
import sys

SYSTEM = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"
SOFTWARE = "HKEY_LOCAL_MACHINE\\SOFTWARE"
FAN_OUT = 200


def hex_bytes(data):
    return ",".join("%02x" % b for b in data)


def multi(*texts):
    return "hex(7):" + hex_bytes(b"".join(t.encode() + b"\0" for t in texts) + b"\0")


def guid(rng):
    return "{%08X-%04X-%04X-%04X-%012X}" % (rng.getrandbits(32), rng.getrandbits(16),
                                             rng.getrandbits(16), rng.getrandbits(16),
                                             rng.getrandbits(48))


class Writer:
    def __init__(self, out):
        self.out = out
        self.keys = 0

    def key(self, path, values=()):
        self.out.write("[%s]\n" % path)
        for name, data in values:
            self.out.write('%s=%s\n' % ('@' if name == "" else '"%s"' % name, data))
        self.out.write("\n")
        self.keys += 1


def parents(prefixes, count):
    """Parent paths for `count` children, at most FAN_OUT each."""
    for i in range((count + FAN_OUT - 1) // FAN_OUT):
        prefix = prefixes[i % len(prefixes)]
        yield prefix if i < len(prefixes) else "%s%d" % (prefix, i // len(prefixes))


def system_part(w, rng, target):
    start = w.keys
    for i in range(min(target // 40, FAN_OUT)):
        name = "SynthSvc%04d" % i
        w.key(SYSTEM + "\\Services\\" + name, [
            ("Type", "dword:%08x" % rng.choice((1, 2, 16, 32))),
            ("Start", "dword:%08x" % rng.randrange(5)),
            ("ErrorControl", "dword:00000001"),
            ("ImagePath", '"\\\\SystemRoot\\\\System32\\\\drivers\\\\%s.sys"' % name.lower()),
            ("DisplayName", '"Synthetic service %d"' % i),
            ("Description", '"%s"' % ("Provides a synthetic function for benchmarking. " * 3))])
        w.key(SYSTEM + "\\Services\\" + name + "\\Parameters", [
            ("ServiceDll", '"C:\\\\Windows\\\\System32\\\\%s.dll"' % name.lower())])
    buses = ["PCI", "USB", "HID", "ACPI", "SWD", "ROOT", "STORAGE", "DISPLAY", "SCSI", "HDAUDIO"]
    devices_left = (target - (w.keys - start)) // 8
    for parent in parents([SYSTEM + "\\Enum\\" + bus for bus in buses], devices_left):
        for _ in range(min(FAN_OUT, devices_left)):
            devices_left -= 1
            vendor, product = rng.randrange(0x10000), rng.randrange(0x10000)
            base = "%s\\VEN_%04X&DEV_%04X\\%d&%08x&0" % (parent, vendor, product,
                                                        rng.randrange(8), rng.getrandbits(32))
            w.key(base, [
                ("DeviceDesc", '"Synthetic device %04X:%04X"' % (vendor, product)),
                ("HardwareID", multi("VEN_%04X&DEV_%04X" % (vendor, product), "CC_0200")),
                ("CompatibleIDs", multi("CC_020000", "CC_0200")),
                ("ConfigFlags", "dword:00000000"),
                ("ClassGUID", '"%s"' % guid(rng))])
            w.key(base + "\\Device Parameters", [
                ("InterruptManagement", "hex:" + hex_bytes(rng.randbytes(64)))])
            properties = guid(rng)
            for prop in range(5):
                w.key("%s\\Properties\\%s\\%04d" % (base, properties, prop + 2), [
                    ("", "hex(12):" + hex_bytes(rng.randbytes(rng.randrange(100, 500))))])


def software_part(w, rng, target):
    roots = [SOFTWARE + "\\Classes\\CLSID", SOFTWARE + "\\Classes\\Interface",
             SOFTWARE + "\\WOW6432Node\\Classes\\CLSID", SOFTWARE + "\\Classes\\TypeLib",
             SOFTWARE + "\\Microsoft\\Windows\\CurrentVersion\\Installer\\Components"]
    entries_left = target // 3
    for parent in parents(roots, entries_left):
        for _ in range(min(FAN_OUT, entries_left)):
            entries_left -= 1
            base = parent + "\\" + guid(rng)
            w.key(base, [("", '"Synthetic registration %d"' % entries_left),
                         ("AppID", '"%s"' % guid(rng))])
            w.key(base + "\\InprocServer32", [
                ("", '"C:\\\\Windows\\\\System32\\\\synth%05d.dll"' % entries_left),
                ("ThreadingModel", '"Both"')])
            w.key(base + "\\Data", [("Blob", "hex:" + hex_bytes(rng.randbytes(rng.randrange(200, 900))))])


def main():
    system_keys, software_keys = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(2026)
    w = Writer(sys.stdout)
    sys.stdout.write("REGEDIT4\n\n")
    system_part(w, rng, system_keys)
    software_part(w, rng, software_keys)
    print("%d keys written" % w.keys, file=sys.stderr)


if __name__ == "__main__":
    main()
