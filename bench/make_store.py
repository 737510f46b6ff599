#!/usr/bin/env python3
"""Writes a registry export shaped like `reg export HKLM` of a real machine.

    make_store.py SIZE FLAVOUR OUT [SHAPE]    SIZE like 100K, 10M, 100M; FLAVOUR 4 or 5

Many keys with several values each, long hex(7) lists wrapped at 80 columns,
the occasional comment, a NetworkCards key and the adapter keys netvane reads
and writes. REGEDIT4 comes out as 8-bit text, Version 5.00 as UTF-16LE with a
byte-order mark; both with CRLF.

SHAPE says how the sections are laid out, for the files users really have:
  export    every key its own section, depth first, subkeys in
            case-insensitive order, as `reg export` writes them (default)
  shuffled  the same sections in random order, as after hand edits
  reversed  the same sections last to first
  orphans   deep sections without sections for their parents: keys that
            only hold subkeys have none
  joined    two exports joined as the README advises: SYSTEM's, then
            SOFTWARE's with its header line removed
  repeated  one key's section repeated throughout the file with a value that
            changes each time, and an adapter's key named again at the end
"""
import random
import sys

ADAPTERS = [("1", "E1G60", "Intel(R) PRO/1000 MT Network Connection"),
            ("2", "{4D36E972-E325-11CE-BFC1-08002BE10318}", "Realtek PCIe GbE Family Controller"),
            ("3", "NdisWan", "WAN Miniport (IP)"),
            ("4", "El90x1", "3Com EtherLink XL 10/100 PCI - Günther's NIC")]


def escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def hex_value(name_part, type_tag, data):
    """A hex value wrapped the way regedit wraps it."""
    out = name_part + type_tag
    line_len = len(out)
    pieces = []
    for i, b in enumerate(data):
        pieces.append("%02x" % b)
        if i == len(data) - 1:
            break
        pieces.append(",")
        line_len += 3
        if line_len >= 77:
            pieces.append("\\\r\n  ")
            line_len = 2
    return out + "".join(pieces)


class Writer:
    def __init__(self, unicode):
        self.unicode = unicode

    def text_bytes(self, text):
        return text.encode("utf-16-le") if self.unicode else text.encode("utf-8")

    def sz(self, name, text):
        return '"%s"="%s"' % (escape(name), escape(text))

    def dword(self, name, value):
        return '"%s"=dword:%08x' % (escape(name), value)

    def binary(self, name, data):
        return hex_value('"%s"=' % escape(name), "hex:", data)

    def multi(self, name, strings):
        raw = "".join(s + "\0" for s in strings) + "\0"
        return hex_value('"%s"=' % escape(name), "hex(7):", self.text_bytes(raw))

    def expand(self, name, text):
        return hex_value('"%s"=' % escape(name), "hex(2):", self.text_bytes(text + "\0"))


class Tree:
    def __init__(self):
        self.children = {}
        self.values = []
        self.comment = None

    def key(self, path):
        node = self
        for part in path.split("\\"):
            node = node.children.setdefault(part, Tree())
        return node


def filler_values(w, rnd, size_hint):
    values = []
    for i in range(rnd.randint(1, 8)):
        kind = rnd.random()
        name = rnd.choice(["DisplayName", "ImagePath", "Description", "Start", "Type",
                           "ErrorControl", "Group", "DependOnService", "ObjectName",
                           "Data", "Flags", "Version", "InstallDate", "Path"]) + str(i)
        if kind < 0.40:
            text = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz ABCDEF\\.-_\"")
                           for _ in range(rnd.randint(4, 60)))
            values.append(w.sz(name, text))
        elif kind < 0.65:
            values.append(w.dword(name, rnd.getrandbits(32)))
        elif kind < 0.80:
            values.append(w.binary(name, bytes(rnd.getrandbits(8)
                                               for _ in range(rnd.randint(1, 120)))))
        elif kind < 0.92:
            strings = ["\\Device\\Tcpip_{%08X-%04X}" % (rnd.getrandbits(32), rnd.getrandbits(16))
                       for _ in range(rnd.randint(1, 8))]
            values.append(w.multi(name, strings))
        else:
            values.append(w.expand(name, "%%SystemRoot%%\\system32\\drivers\\x%d.sys" % i))
    if rnd.random() < 0.2:
        values.insert(0, '@="%s"' % escape("default %d" % rnd.getrandbits(16)))
    return values


def build(target, unicode, seed=1, leaves_only=False):
    rnd = random.Random(seed)
    w = Writer(unicode)
    root = Tree()
    hklm = "HKEY_LOCAL_MACHINE"
    cards = hklm + "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"
    services = hklm + "\\SYSTEM\\CurrentControlSet\\Services"
    root.key(cards).comment = "; Installed network cards"
    for number, service, description in ADAPTERS:
        card = root.key(cards + "\\" + number)
        card.values = [w.sz("ServiceName", service), w.sz("Description", description),
                       w.dword("InstallDate", 0x3a1b2c4d)]
        tcpip = root.key(services + "\\" + service + "\\Parameters\\Tcpip")
        tcpip.values = [w.dword("EnableDHCP", 1), w.multi("IPAddress", ["0.0.0.0"]),
                        w.multi("SubnetMask", ["0.0.0.0"]), w.multi("DefaultGateway", [""]),
                        w.sz("DhcpIPAddress", "192.168.7.20"), w.sz("DhcpSubnetMask", "255.255.255.0"),
                        w.sz("DhcpServer", "192.168.7.1"), w.multi("DhcpDefaultGateway", ["192.168.7.1"]),
                        w.binary("DhcpSubnetMaskOpt", b"\xff\xff\xff\x00"), w.dword("LeaseObtainedTime", 0x3e8)]
        interface = root.key(services + "\\Tcpip\\Parameters\\Interfaces\\" + service)
        interface.values = list(tcpip.values) + [w.sz("NameServer", ""), w.sz("DhcpDomain", "example.net"),
                                                 w.sz("DhcpNameServer", "192.168.7.1 192.168.7.2")]
        root.key(services + "\\NetBT\\Parameters\\Interfaces\\Tcpip_" + service).values = [
            w.multi("NameServerList", [""])]
        root.key(services + "\\NetBT\\Adapters\\" + service).values = [
            w.sz("NameServer", ""), w.sz("NameServerBackup", "")]
    root.key(services + "\\Tcpip\\Parameters").values = [
        w.sz("Hostname", "bench-host"), w.sz("Domain", ""), w.sz("NameServer", ""),
        w.expand("DataBasePath", "%SystemRoot%\\System32\\drivers\\etc")]

    # Filler until the text reaches the target size: classes, services and
    # device enumeration, the bulk of a real export.
    areas = [hklm + "\\SOFTWARE\\Classes\\CLSID", hklm + "\\SOFTWARE\\Vendor",
             services, hklm + "\\SYSTEM\\CurrentControlSet\\Enum\\PCI"]
    unit = 2 if unicode else 1
    size = 0
    n = 0
    while size < target:
        area = areas[n % len(areas)]
        base = "%s\\{%08X-%04X-%04X}" % (area, rnd.getrandbits(32), rnd.getrandbits(16), n & 0xFFFF)
        for sub in ("", "\\InprocServer32", "\\Parameters", "\\Parameters\\Settings"):
            node = root.key(base + sub)
            if leaves_only and sub in ("", "\\Parameters"):
                continue
            node.values = filler_values(w, rnd, target)
            size += unit * (len(base) + len(sub) + 6 + sum(len(v) + 2 for v in node.values))
            if rnd.random() < 0.02:
                node.comment = "; checked %d" % n
        n += 1
    return root


def sections(node, path, out):
    """(path, lines, has subkeys) for every key, in export order."""
    if path:
        lines = ([node.comment] if node.comment else []) + ["[%s]" % path] + node.values + [""]
        out.append((path, lines, bool(node.children)))
    for name in sorted(node.children, key=lambda s: s.upper()):
        sections(node.children[name], path + "\\" + name if path else name, out)
    return out


def lay_out(all_sections, shape, header, w):
    rnd = random.Random(2)
    if shape == "export":
        chosen = all_sections
    elif shape == "shuffled":
        chosen = list(all_sections)
        rnd.shuffle(chosen)
    elif shape == "reversed":
        chosen = all_sections[::-1]
    elif shape == "orphans":
        # A key that only holds subkeys gets no section of its own.
        chosen = [s for s in all_sections if any(l.startswith(('"', "@")) for l in s[1])]
    elif shape == "joined":
        first = [s for s in all_sections if s[0].startswith("HKEY_LOCAL_MACHINE\\SYSTEM")]
        software = [s for s in all_sections if s[0].startswith("HKEY_LOCAL_MACHINE\\SOFTWARE")]
        # The second export's blank line after its header stays, as a join
        # by hand leaves it.
        return ([header, ""] + [l for s in first for l in s[1]] + [""] +
                [l for s in software for l in s[1]])
    elif shape == "repeated":
        chosen = []
        hot = next(s for s in all_sections if "Vendor\\{" in s[0])
        for i, s in enumerate(all_sections):
            chosen.append(s)
            if i % 50 == 49:
                chosen.append((hot[0], ["[%s]" % hot[0], w.dword("Round", i), ""], False))
        interface = next(s for s in all_sections if s[0].endswith("\\Interfaces\\E1G60"))
        chosen.append((interface[0], ["[%s]" % interface[0], w.sz("NamedAgain", "later"), ""], False))
    else:
        raise SystemExit("unknown shape " + shape)
    return [header, ""] + [l for s in chosen for l in s[1]]


def main():
    size_text, flavour, out_path = sys.argv[1:4]
    shape = sys.argv[4] if len(sys.argv) > 4 else "export"
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    target = int(size_text[:-1]) * scale[size_text[-1].upper()] if size_text[-1].isalpha() else int(size_text)
    unicode = flavour == "5"
    sys.setrecursionlimit(10000)
    header = "Windows Registry Editor Version 5.00" if unicode else "REGEDIT4"
    tree = build(target, unicode, leaves_only=shape == "orphans")
    lines = lay_out(sections(tree, "", []), shape, header, Writer(unicode))
    text = "\r\n".join(lines) + "\r\n"
    with open(out_path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le") if unicode else text.encode("utf-8"))


if __name__ == "__main__":
    main()
