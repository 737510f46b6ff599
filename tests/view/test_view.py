#!/usr/bin/env python3
"""netvane --json against values read without netvane: the test's own .reg
reader (tests/scenarios/regfile.py) on the sample machine and every fixture,
hostile ones included, and hivex on the SYSTEM hives of two real machines
(tests/hive/real). Then configure runs on each registry layout, each
followed by --json, which must show what was set.

    NETVANE_BINARY=build/netvane python3 tests/view/test_view.py
"""

import codecs
import datetime
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "hive"))
sys.path.insert(0, os.path.join(TESTS, "scenarios"))
import hivefixture  # noqa: E402
import readers  # noqa: E402
import regfile  # noqa: E402
from test_hive_store import FIXTURES, run  # noqa: E402
from test_real_hives import MACHINES, Machine  # noqa: E402

CARDS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"
SERVICES = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
NETWORK = ("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\"
           "{4D36E972-E325-11CE-BFC1-08002BE10318}\\")
TCPIP = ["EnableDHCP", "IPAddress", "SubnetMask", "DefaultGateway", "NameServer", "DhcpIPAddress",
         "DhcpSubnetMask", "DhcpDefaultGateway", "DhcpNameServer", "DhcpServer", "LeaseObtainedTime",
         "LeaseTerminatesTime"]
# The largest value netvane shows whole, in bytes as the registry keeps it.
SHOWN_WHOLE = 8192


# -- the model: what --json must say, from the registry's contents ----------

class Registry:
    """A RegFile with the registry's rules: names without regard to case,
    and keys that exist because a deeper key does."""

    def __init__(self, reg):
        self.reg = reg

    def exists(self, path):
        folded = regfile.fold(path)
        return any(k == folded or k.startswith(folded + "\\") for k in self.reg.keys)

    def value(self, path, name):
        key = self.reg.keys.get(regfile.fold(path))
        return key.values.get(regfile.fold(name)) if key else None

    def children(self, path):
        prefix = regfile.fold(path) + "\\"
        names = {}
        for key in self.reg.keys.values():
            if regfile.fold(key.path).startswith(prefix):
                child = key.path[len(prefix):].split("\\")[0]
                names.setdefault(regfile.fold(child), child)
        return sorted(names.values(), key=regfile.fold)


def items(value, split=False):
    """What a value holds, as the texts --json shows for it."""
    if value is None:
        return []
    data = value.data
    if len(data) > SHOWN_WHOLE:
        return ["(value of %d bytes, too large to show)" % len(data)]
    if value.type in regfile.STRING_TYPES:
        stored = data[:len(data) // 2 * 2].decode("utf-16-le", "surrogatepass")
        if value.type == regfile.REG_MULTI_SZ:
            parts = stored.rstrip("\0").split("\0") if stored.rstrip("\0") else []
        else:
            parts = stored.split("\0")[:1]
        # An unpaired surrogate is U+FFFD.
        parts = [p.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace") for p in parts]
        if split:
            parts = [p for part in parts for p in re.split("[, ]", part) if p]
        return parts
    if (value.type, len(data)) in ((regfile.REG_DWORD, 4), (11, 8)):
        return [str(int.from_bytes(data, "little"))]
    return [("hex:" if value.type == regfile.REG_BINARY else "hex(%x):" % value.type) + data.hex(",")]


def text(value):
    return None if value is None else ",".join(items(value))


def dword(value):
    if value is not None and value.type == regfile.REG_DWORD and len(value.data) == 4:
        return int.from_bytes(value.data, "little")
    return None


def switch(value):
    return text(value) if dword(value) is None else dword(value) != 0


def time(value):
    seconds = dword(value)
    if seconds is None:
        return text(value)
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def eight_bit_name(value):
    """The service name as the listing reads it: the 8-bit query (UTF-8
    here) into 260 bytes, cut at its first NUL; (name, whether it was read)."""
    if value is None:
        return "", False
    data = value.data
    if value.type in regfile.STRING_TYPES:
        data = data[:len(data) // 2 * 2].decode("utf-16-le", "replace").encode("utf-8")
    if len(data) > 260 or (len(data) == 260 and data[-1] != 0):
        return "", False
    return data.split(b"\0")[0].decode("utf-8", "replace"), True


def table(registry):
    """The listing's cards: (subkey, service name), walked as the listing walks them."""
    out = []
    for subkey in registry.children(CARDS):
        if len(CARDS.split("\\", 1)[1] + "\\" + subkey) >= 260:
            break
        name, read = eight_bit_name(registry.value(CARDS + "\\" + subkey, "ServiceName"))
        out.append((subkey, name))
        if not read:
            break
    return out


def expected_adapter(registry, number, subkey, name):
    card = CARDS + "\\" + subkey
    adapter, interface = SERVICES + name + "\\Parameters\\Tcpip", SERVICES + "Tcpip\\Parameters\\Interfaces\\" + name
    netbt_interface = SERVICES + "NetBT\\Parameters\\Interfaces\\Tcpip_" + name
    netbt_adapter = SERVICES + "NetBT\\Adapters\\" + name
    usable = 0 < len(name.encode("utf-8")) < 128
    has = {path: usable and registry.exists(path) for path in (adapter, interface, netbt_interface, netbt_adapter)}
    tcpip = interface if has[interface] else adapter if has[adapter] else None
    values = {n: registry.value(tcpip, n) if tcpip else None for n in TCPIP}
    if has[netbt_interface]:
        wins = items(registry.value(netbt_interface, "NameServerList"))
    elif has[netbt_adapter]:
        wins = [t for n in ("NameServer", "NameServerBackup")
                for t in items(registry.value(netbt_adapter, n)) if t]
    else:
        wins = []
    lease = None
    if switch(values["EnableDHCP"]) is True and any(values[n] for n in TCPIP[5:]):
        lease = {"ipAddress": text(values["DhcpIPAddress"]), "subnetMask": text(values["DhcpSubnetMask"]),
                 "gateway": items(values["DhcpDefaultGateway"]),
                 "nameServers": items(values["DhcpNameServer"], split=True),
                 "dhcpServer": text(values["DhcpServer"]), "obtained": time(values["LeaseObtainedTime"]),
                 "expires": time(values["LeaseTerminatesTime"])}
    layout = {(True, True): "both", (True, False): "adapter", (False, True): "interface"}
    return {
        "number": number,
        "description": text(registry.value(card, "Description")),
        "serviceName": text(registry.value(card, "ServiceName")),
        "connectionName": text(registry.value(NETWORK + name + "\\Connection", "Name")) if usable else None,
        "dhcp": switch(values["EnableDHCP"]),
        "ipAddress": items(values["IPAddress"]),
        "subnetMask": items(values["SubnetMask"]),
        "gateway": items(values["DefaultGateway"]),
        "nameServers": items(values["NameServer"], split=True),
        "winsServers": wins,
        "lease": lease,
        "layout": layout.get((has[adapter], has[interface])),
    }


def expected_json(registry):
    return [expected_adapter(registry, n, subkey, name) for n, (subkey, name) in enumerate(table(registry), 1)]


# -- the stores ----------------------------------------------------------------

def as_store(fixture, folder):
    """A fixture as a store file: a "*.utf8.reg" fixture is a Version 5.00
    export kept as UTF-8, turned into UTF-16LE with its mark as reg export
    writes it."""
    name = os.path.basename(fixture)
    store = os.path.join(folder, name.replace(".utf8.reg", ".reg"))
    if name.endswith(".utf8.reg"):
        with open(fixture, encoding="utf-8") as f:
            text = f.read()
        with open(store, "wb") as f:
            f.write(codecs.BOM_UTF16_LE + text.encode("utf-16-le"))
    else:
        shutil.copyfile(fixture, store)
    return store


def hivex_registry(root, adapters):
    """An installation's keys that the view reads, exported by hivex, as
    the registry names them (CurrentControlSet is ControlSet001 here)."""
    config = os.path.join(root, "Windows/System32/config")
    exports = [("SOFTWARE", "Microsoft\\Windows NT\\CurrentVersion\\NetworkCards", "HKEY_LOCAL_MACHINE\\SOFTWARE")]
    for key in ["Services\\Tcpip\\Parameters\\Interfaces", "Services\\NetBT",
                "Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}"] + \
            ["Services\\%s\\Parameters\\Tcpip" % guid for guid, _ in adapters]:
        exports.append(("SYSTEM", "ControlSet001\\" + key, "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"))
    merged = regfile.RegFile(5)
    for hive, key, root_name in exports:
        try:
            text = readers.hivex_export(os.path.join(config, hive), key)
        except subprocess.CalledProcessError:
            continue
        prefix = "ROOT\\ControlSet001" if hive == "SYSTEM" else "ROOT"
        text = text.replace("[" + prefix, "[" + root_name)
        merged.keys.update(regfile.parse(text.encode("utf-8")).keys)
    return Registry(merged)


class ViewTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="netvane-view-")

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def folder(self, name):
        path = os.path.join(self.scratch.name, name)
        os.makedirs(path)
        return path

    def assertViewMatches(self, store, registry):
        """--json shows every adapter as the model reads it, --json N each
        one alone, and --json names no adapter a configure run cannot find."""
        out, status = run(store, "--json")
        if not registry.exists(CARDS):
            self.assertEqual((out, status), ("Cannot locate any network cards...\n", 35))
            return []
        self.assertEqual(status, 0, out)
        expected = expected_json(registry)
        shown = json.loads(out)
        self.assertEqual(len(shown), len(expected))
        for got, want in zip(shown, expected):
            self.assertEqual(list(got), list(want), "keys in another order")
            self.assertEqual(got, want)
        for adapter in expected:
            out, status = run(store, "--json", str(adapter["number"]))
            if adapter["layout"] is None:
                self.assertEqual(out, "Cannot locate adapter %s\n" % table(registry)[adapter["number"] - 1][1][:127])
                self.assertEqual(status, min(len(out.encode("utf-8")), 255))
            else:
                self.assertEqual((json.loads(out), status), (adapter, 0))
        return expected

    def test_json_shows_what_the_registry_holds(self):
        home = self.folder("sample")
        # The sample machine is what a first run creates.
        out, status = run(os.path.join(home, ".local/state/netvane/registry.reg"), "--json",
                          NETVANE_REGISTRY="", HOME=home)
        self.assertEqual(status, 0, out)
        stores = [os.path.join(home, ".local/state/netvane/registry.reg")]
        folder = self.folder("fixtures")
        stores += [as_store(f, folder) for f in sorted(glob.glob(os.path.join(FIXTURES, "*.reg")))]
        for store in stores:
            with self.subTest(os.path.basename(store)):
                with open(store, "rb") as f:
                    before = f.read()
                expected = self.assertViewMatches(store, Registry(regfile.read(store)))
                with open(store, "rb") as f:
                    self.assertEqual(f.read(), before, "a view changed the store")
                self.assertFalse(os.path.exists(store + ".lock"))
                if os.path.basename(store) == "view-odd-values.reg":
                    # The model must meet what it exists for, or it proves nothing.
                    self.assertIn("\ufffd", expected[0]["connectionName"])
                    self.assertIn("\U0001f6f0", expected[0]["description"])
                    self.assertRegex(expected[4]["ipAddress"][0], "too large")
                    self.assertEqual([a["layout"] for a in expected], ["interface", "adapter", None, None, "interface"])

    def test_json_on_real_hives_matches_hivex(self):
        for name in MACHINES:
            with self.subTest(name):
                machine = Machine(name, self.folder(name))
                root, _ = machine.installation("view")
                expected = self.assertViewMatches(root, hivex_registry(root, machine.adapters))
                self.assertEqual([a["serviceName"] for a in expected], [guid for guid, _ in machine.adapters])
                self.assertTrue(any(a["lease"] for a in expected), "no lease to compare")

    def test_configured_settings_show_in_json(self):
        """A static configuration, then DHCP with "?" servers, on each layout
        of the registry, in a .reg store and in an installation's hives."""
        static = ["192.168.9.10", "255.255.255.0", "192.168.9.1", "192.168.9.2", "192.168.9.3",
                  "192.168.9.4", "192.168.9.5"]
        dhcp = ["?", "*", "*", "?", "*", "?"]
        cases = [  # fixture, adapter, whether it keeps DNS servers and has a NetBIOS interface key
            ("machine.reg", "1", True),           # both layouts, both NetBIOS keys
            ("machine.reg", "3", False),          # the adapter key alone, no NetBIOS key
            ("interface-only.reg", "1", True),    # the interface key alone
        ]
        for fixture, number, interface in cases:
            for kind in ("reg", "hive"):
                with self.subTest(fixture=fixture, adapter=number, store=kind):
                    folder = self.folder("round-trip-%s-%s-%s" % (fixture, number, kind))
                    store = as_store(os.path.join(FIXTURES, fixture), folder)
                    if kind == "hive":
                        hivefixture.build(os.path.join(folder, "hives"), [store])
                        store = os.path.join(folder, "hives")
                    before = json.loads(run(store, "--json", number)[0])
                    self.assertEqual(run(store, number, *static), ("", 0))
                    after = json.loads(run(store, "--json", number)[0])
                    self.assertEqual(after, dict(before, dhcp=False, ipAddress=static[:1], subnetMask=static[1:2],
                                                 gateway=static[2:3], nameServers=static[3:5] if interface else [],
                                                 winsServers=static[5:7] if interface else [], lease=None))
                    self.assertEqual(run(store, number, *dhcp), ("", 0))
                    after = json.loads(run(store, "--json", number)[0])
                    self.assertEqual({k: after[k] for k in ("dhcp", "ipAddress", "subnetMask", "gateway",
                                                            "nameServers", "winsServers")},
                                     {"dhcp": True, "ipAddress": ["0.0.0.0"], "subnetMask": [], "gateway": [],
                                      "nameServers": [], "winsServers": []})

if __name__ == "__main__":
    unittest.main()
