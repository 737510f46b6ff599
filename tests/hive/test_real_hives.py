#!/usr/bin/env python3
"""netvane on the SYSTEM hives of two real Windows machines (real/README.md):
one whose adapters keep both registry layouts, and a Windows 10 one whose
adapters have only their interface keys. Each machine is tried as an
installation's hives and as .reg exports of the same keys, and read back by
hivex and libregf, never by netvane.

    NETVANE_BINARY=build/netvane python3 tests/hive/test_real_hives.py
"""

import codecs
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scenarios"))
import hivefixture  # noqa: E402
import readers  # noqa: E402
import regfile  # noqa: E402
from test_hive_store import CONFIG, as_readers_show, keys_of, run, run_with_stderr  # noqa: E402

REAL = os.path.join(HERE, "real")
CLASS = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
INTERFACES = "ControlSet001\\Services\\Tcpip\\Parameters\\Interfaces"
# How many adapters each machine has (real/README.md), so that a broken way
# of finding them cannot pass by finding none.
MACHINES = {"both-layouts": 2, "win10-1709": 3}
# Dumping a whole real hive through both readers is most of this test's
# time, and its result does not depend on how netvane was built; a build
# that runs the rest of the test for itself (the sanitizer build) may leave
# it out with NETVANE_HIVE_DUMPS=0.
WHOLE_HIVE_DUMPS = os.environ.get("NETVANE_HIVE_DUMPS", "1") != "0"


def adapters_of(system):
    """(NetCfgInstanceId, DriverDesc) of each network adapter of the machine
    that has an interface key, in the order of its Class subkeys."""
    def children(key):
        exported = regfile.parse(readers.hivex_export(system, key).encode("utf-8"))
        parent = regfile.fold("ROOT\\" + key)
        return [k for f, k in exported.keys.items() if f.rsplit("\\", 1)[0] == parent]
    interfaces = {regfile.fold(key.path.rsplit("\\", 1)[1]) for key in children(INTERFACES)}
    found = []
    for key in children(CLASS):
        values = {name: value.decoded()[1].rstrip("\0") for name, value in key.values.items()
                  if value.type == regfile.REG_SZ}
        guid = values.get("NETCFGINSTANCEID")
        if guid and regfile.fold(guid) in interfaces:
            found.append((guid, values["DRIVERDESC"]))
    return found


def network_cards(adapters):
    """A SOFTWARE fixture listing the adapters as Windows lists them."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for number, (guid, description) in enumerate(adapters, 1):
        lines += ["[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\"
                  "NetworkCards\\%d]" % number,
                  '"Description"="%s"' % description.replace("\\", "\\\\").replace('"', '\\"'),
                  '"ServiceName"="%s"' % guid, ""]
    return "\n".join(lines)


def commands(adapters):
    """Each adapter in turn gets a static address, mask, gateway, two DNS
    servers and a WINS server; then the first goes back to DHCP, DNS and WINS
    included."""
    out = []
    for number in range(1, len(adapters) + 1):
        net = "192.168.%d." % (100 + number)
        out.append([str(number), net + "10", "255.255.255.0", net + "1", net + "2", net + "3",
                    net + "4"])
    return out + [["1", "?", "*", "*", "?", "*", "?"]]


def written(arguments):
    """What one run writes to each of the five locations: value name -> text,
    [texts] or number, None for a value it deletes."""
    _, ip, mask, gateway, dns1, dns2, wins = arguments
    static = ip != "?"
    if not static:
        ip, mask, gateway, dns1, dns2, wins = "0.0.0.0", "", "", "", "", ""
    dns = [d for d in (dns1, dns2) if d]
    both = {"IPAddress": [ip], "SubnetMask": [mask], "DefaultGateway": [gateway],
            "EnableDHCP": 0 if static else 1}
    adapter, interface = dict(both), dict(both, NameServer=",".join(dns))
    if static:
        adapter.update(DhcpDefaultGateway=None, DhcpSubnetMaskOpt=None, DhcpIPAddress="0.0.0.0",
                       DhcpServer="255.255.255.255", DhcpSubnetMask="255.0.0.0")
        interface.update({name: None for name in ("DhcpDefaultGateway", "DhcpIPAddress",
                                                  "DhcpSubnetMask", "DhcpSubnetMaskOpt",
                                                  "DhcpDomain", "DhcpNameServer")})
        interface["DhcpServer"] = "255.255.255.255"
    return {"adapter": adapter, "interface": interface, "global": {"NameServer": " ".join(dns)},
            "netbt interface": {"NameServerList": [wins]},
            "netbt adapter": {"NameServer": wins} if wins else {}}


def apply(values, writes):
    """A key's values, as a reader shows them, after the writes."""
    values = dict(values)
    for name, value in writes.items():
        if value is None:
            values.pop(name, None)
        else:
            values.update(as_readers_show({name: value}))
    return values


def as_hivex_shows(value):
    """A value read from a .reg store in the form hivexget gives it."""
    if value.type in (regfile.REG_SZ, regfile.REG_EXPAND_SZ):
        return (value.type, value.decoded()[1].split("\0")[0])
    if value.type == regfile.REG_DWORD:
        return (value.type, int.from_bytes(value.data, "little"))
    return (value.type, value.data)


class Machine:
    """One real machine: an installation of its SYSTEM hive and a SOFTWARE
    hive listing its adapters, its keys as each reader printed them before
    netvane ran, and its adapters."""

    def __init__(self, name, scratch):
        self.name = name
        self.scratch = os.path.join(scratch, name)
        self.template = os.path.join(self.scratch, "template")
        config = os.path.join(self.template, CONFIG)
        os.makedirs(config)
        system = os.path.join(config, "SYSTEM")
        with open(system, "wb") as f:
            subprocess.run(["xz", "-dc", os.path.join(REAL, name + "-SYSTEM.xz")], stdout=f,
                           check=True)
        self.before = readers.whole_hive(system) if WHOLE_HIVE_DUMPS else None
        self.adapters = adapters_of(system)
        self.cards = os.path.join(self.scratch, "cards.reg")
        with open(self.cards, "w", encoding="utf-8") as f:
            f.write(network_cards(self.adapters))
        built = os.path.join(self.scratch, "built")
        hivefixture.build(built, [self.cards])
        os.replace(os.path.join(built, CONFIG, "SOFTWARE"), os.path.join(config, "SOFTWARE"))

    def installation(self, label, as_found=False):
        """A fresh copy of the installation: (its directory, its SYSTEM hive);
        `as_found`, with the SYSTEM hive as it came off the machine, dirty."""
        root = os.path.join(self.scratch, label)
        shutil.copytree(self.template, root)
        system = os.path.join(root, CONFIG, "SYSTEM")
        if as_found:
            with open(system, "wb") as f:
                subprocess.run(["xz", "-dc", os.path.join(REAL, "as-found", self.name + "-SYSTEM.xz")],
                               stdout=f, check=True)
        return root, system


class RealHivesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="netvane-real-hives-")
        cls.machines = {name: Machine(name, cls.scratch.name) for name in MACHINES}

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def expected_listing(self, machine):
        return "\nNetwork adapters:\n" + "".join(
            "\n%d:\t%s\n\tName: %s\n" % (n, desc, guid)
            for n, (guid, desc) in enumerate(machine.adapters, 1))

    def test_hive_store_writes_each_adapter_where_its_machine_keeps_it_and_nothing_else(self):
        for name, machine in self.machines.items():
            with self.subTest(name):
                self.assertEqual(len(machine.adapters), MACHINES[name])
                root, system = machine.installation("hive")
                out, status = run(root)
                self.assertEqual(status, 0, out)
                self.assertTrue(out.endswith(self.expected_listing(machine)), out)

                before = {}
                for guid, _ in machine.adapters:
                    for key in keys_of(guid).values():
                        before[key] = {reader: reader(system, key)
                                       for reader in (readers.hivex_values, readers.regf_values)}
                models = {key: dict(views) for key, views in before.items()}
                record = os.path.join(machine.scratch, "dhcp.txt")
                for arguments in commands(machine.adapters):
                    guid = machine.adapters[int(arguments[0]) - 1][0]
                    self.assertEqual(run(root, *arguments, NETVANE_DHCP_RECORD=record),
                                     ("", 0), arguments)
                    for location, writes in written(arguments).items():
                        key = keys_of(guid)[location]
                        for reader, model in models[key].items():
                            shown = reader(system, key)
                            if model is None:
                                self.assertIsNone(shown, "%s created %s" % (arguments, key))
                                continue
                            models[key][reader] = apply(model, writes)
                            self.assertEqual(shown, models[key][reader],
                                             "%s of %s after %s" % (reader.__name__, key,
                                                                    arguments))
                with open(record) as f:
                    calls = f.read().splitlines()
                self.assertEqual(len(calls), len(commands(machine.adapters)))
                for call, arguments in zip(calls, commands(machine.adapters)):
                    self.assertTrue(call.endswith(
                        "new=0 index=0 address=0.0.0.0 mask=0.0.0.0 action=1" if arguments[1] == "?"
                        else "new=1 index=0 address=%s mask=255.255.255.0 action=0" % arguments[1]),
                        call)

                if machine.before is None:
                    continue
                # Only the five locations of the configured adapters changed.
                changed = {key.upper() for key in before}
                after = readers.whole_hive(system)
                for reader in ("hivex", "regfexport"):
                    self.assertEqual(set(after[reader]), set(machine.before[reader]),
                                     "%s: keys were added or removed" % reader)
                    differ = {path for path, text in after[reader].items()
                              if text != machine.before[reader][path]}
                    self.assertTrue(differ, reader)
                    self.assertLessEqual(differ, changed, reader)

    def test_dirty_hives_as_found_are_listed_as_they_are_and_never_written(self):
        """Their logs were not kept: a listing says so on stderr, and every
        configure run is refused and leaves the hive as it was."""
        for name, machine in self.machines.items():
            with self.subTest(name):
                root, system = machine.installation("as-found", as_found=True)
                with open(system, "rb") as f:
                    before = f.read()
                missing = "is not up to date: its transaction logs SYSTEM.LOG1, SYSTEM.LOG2 and " \
                          "SYSTEM.LOG are missing"
                out, stderr, status = run_with_stderr(root)
                self.assertEqual(status, 0, out)
                self.assertTrue(out.endswith(self.expected_listing(machine)), out)
                self.assertEqual(stderr, "netvane: registry hive %s %s; it was read as it is\n"
                                 % (system, missing))
                for arguments in commands(machine.adapters):
                    out, stderr, status = run_with_stderr(root, *arguments)
                    self.assertEqual(out, "Registry hive %s %s; writing it would lose what Windows "
                                          "has yet to apply, so nothing was written\n" % (system, missing))
                    self.assertEqual((stderr, status), ("", min(len(out), 255)))
                with open(system, "rb") as f:
                    self.assertEqual(f.read(), before)

    def test_reg_exports_of_the_same_machines_take_the_same_values(self):
        for name, machine in self.machines.items():
            # The hive store, configured by the same commands, is the reference.
            hive, system = machine.installation("reference")
            export = hivefixture.export(hive)
            for arguments in commands(machine.adapters):
                self.assertEqual(run(hive, *arguments), ("", 0))
            for flavour in ("REGEDIT4", "Version 5.00"):
                with self.subTest(name + " " + flavour):
                    store = os.path.join(machine.scratch, flavour.replace(" ", "") + ".reg")
                    with open(store, "wb") as f:
                        if flavour == "REGEDIT4":
                            f.write(hivefixture.as_regedit4(export).replace("\n", "\r\n")
                                    .encode("utf-8"))
                        else:
                            f.write(codecs.BOM_UTF16_LE +
                                    export.replace("\n", "\r\n").encode("utf-16-le"))
                    out, status = run(store)
                    self.assertEqual(status, 0, out)
                    self.assertTrue(out.endswith(self.expected_listing(machine)), out)
                    for arguments in commands(machine.adapters):
                        self.assertEqual(run(store, *arguments), ("", 0), arguments)
                    read_back = regfile.read(store)
                    for guid, _ in machine.adapters:
                        for key in keys_of(guid).values():
                            shown = read_back.key("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"
                                                  + key[len("ControlSet001"):])
                            if shown is not None:
                                shown = {v.name: as_hivex_shows(v) for v in shown.values.values()}
                            self.assertEqual(shown, readers.hivex_values(system, key), key)


if __name__ == "__main__":
    unittest.main()
