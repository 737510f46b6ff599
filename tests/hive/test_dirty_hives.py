#!/usr/bin/env python3
"""netvane on installations that Windows left dirty, with the transaction
logs beside their hives (made by dirtyhive.py from the fixture machine): a
listing shows the hives as their logs leave them, and a configure run writes
that state, with its change, as a clean hive. What was written is read back
by hivex and libregf, and compared with the hive the logs were made from.

    NETVANE_BINARY=build/netvane python3 tests/hive/test_dirty_hives.py
"""

import hashlib
import lzma
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dirtyhive  # noqa: E402
import hivefixture  # noqa: E402
import readers  # noqa: E402
import regf  # noqa: E402
from test_hive_store import CONFIG, FIXTURES, NETVANE, RUN_SECONDS, keys_of, killed_runs  # noqa: E402
from test_real_hives import REAL, adapters_of, network_cards  # noqa: E402


def run(root, *arguments):
    """(stdout, stderr, exit status) of netvane run on the installation."""
    result = subprocess.run([NETVANE] + list(arguments), capture_output=True, timeout=RUN_SECONDS,
                            env={"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": root})
    return result.stdout.decode("utf-8"), result.stderr.decode("utf-8"), result.returncode


def configure_arguments(number):
    return (str(number), "10.20.%d.5" % number, "*", "10.20.%d.1" % number)


def files_below(root):
    out = {}
    for directory, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                out[os.path.relpath(os.path.join(directory, name), root)] = f.read()
    return out


class Case:
    """One dirty installation, kept as a template, and what it must read as."""

    def __init__(self, name, clean, scratch):
        self.name = name
        self.root = os.path.join(scratch, re.sub(r"\W+", "-", name))
        shutil.copytree(clean, self.root)
        self.dirty = dirtyhive.make_installation(name, os.path.join(self.root, CONFIG))
        if name.startswith("written"):
            # hivex adds bins for the change: a probe run shows what its base
            # block XORs to, and the primary's reserved word then aims it.
            probe = self.copy("probe")
            run(probe, *configure_arguments(1))
            system, written = (os.path.join(root, CONFIG, "SYSTEM") for root in (self.root, probe))
            with open(system, "rb") as f, open(written, "rb") as g:
                primary, xor = f.read(), regf.base_block_xor(g.read())
            with open(system, "wb") as f:
                f.write(dirtyhive.aimed(primary, dirtyhive.XOR_CASES[name], xor))
        # The same hives, clean, as the logs leave them: what netvane must see.
        self.expected_root = self.root + "-expected"
        os.makedirs(os.path.join(self.expected_root, CONFIG))
        for hive, data in self.dirty.expected.items():
            with open(os.path.join(self.expected_root, CONFIG, hive), "wb") as f:
                f.write(data)
        self.expected_system = os.path.join(self.expected_root, CONFIG, "SYSTEM")
        # hivex and libregf take only the plain XOR as the checksum.
        with open(self.expected_system + ".readers", "wb") as f:
            data = self.dirty.expected["SYSTEM"]
            f.write(data[:508] + struct.pack("<I", regf.base_block_xor(data)) + data[512:])
        self.dumps = readers.whole_hive(self.expected_system + ".readers")

    def copy(self, label):
        root = self.root + "-" + label
        shutil.rmtree(root, ignore_errors=True)
        shutil.copytree(self.root, root)
        return root


class DirtyHivesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="netvane-dirty-hives-")
        clean = os.path.join(cls.scratch.name, "clean")
        hivefixture.build(clean, [os.path.join(FIXTURES, "machine.reg")])
        cls.cases = {name: Case(name, clean, cls.scratch.name) for name in dirtyhive.CASES}

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def assertWrittenAsItsLogsSay(self, case, system, service):
        """The SYSTEM hive is clean and reads as the expected one, but for the
        configured adapter's five locations."""
        with open(system, "rb") as f:
            written = f.read()
        self.assertTrue(dirtyhive.is_clean(written), "the hive was left dirty")
        self.assertGreater(dirtyhive.sequence_numbers(written)[0],
                           dirtyhive.highest_logged(case.dirty.logs.values()),
                           "Windows would replay the logs over the written hive")
        for marker in case.dirty.absent_bytes:
            self.assertNotIn(marker, written)
        for key in case.dirty.absent_keys:
            self.assertIsNone(readers.hivex_values(system, key), key)
        configured = {key.upper() for key in keys_of(service).values()}
        after = readers.whole_hive(system)
        for reader, expected in case.dumps.items():
            self.assertLessEqual(set(after[reader]) ^ set(expected), configured, reader)
            differ = {path for path in after[reader] if after[reader][path] != expected.get(path)}
            self.assertTrue(differ, "%s: nothing was configured" % reader)
            self.assertLessEqual(differ, configured, reader)

    def assertListsAndConfiguresAsItsLogsSay(self, case, adapters):
        """A listing shows the hives as the logs leave them and writes
        nothing; configuring each adapter writes that state, with its change."""
        expected_listing, _, status = run(case.expected_root)
        self.assertEqual(status, 0, expected_listing)
        services = re.findall(r"\tName: (.*)\n", expected_listing)
        self.assertEqual(len(services), adapters, expected_listing)
        before = files_below(case.root)
        stopped = "%s/SYSTEM is not fully up to date: the replay stopped at %s; " % (CONFIG, case.dirty.stopped)
        warning = "netvane: registry hive %s/%sit was read with the entries before it\n" % (case.root, stopped)
        self.assertEqual(run(case.root), (expected_listing, warning if case.dirty.stopped else "", 0))
        self.assertEqual(files_below(case.root), before, "a listing wrote")

        for number, service in enumerate(services, 1):
            root = case.copy("configured")
            arguments = configure_arguments(number)
            if case.dirty.stopped:
                refusal = "Registry hive %s/%swriting it would lose what Windows has yet to apply, so " \
                    "nothing was written\n" % (root, stopped)
                self.assertEqual(run(root, *arguments), (refusal, "", min(len(refusal), 255)))
                self.assertEqual(files_below(root), before, "a refused run wrote")
                continue
            self.assertEqual(run(root, *arguments), ("", "", 0), arguments)
            with open(os.path.join(root, CONFIG, "SYSTEM"), "rb") as f:
                stamp = dirtyhive.timestamp(f.read())
            # hivex keeps the timestamp; netvane moves it on only to keep
            # clear of the XOR that the case aimed hivex's base block at.
            moved = number == 1 and case.name.startswith("written")
            self.assertEqual(stamp, dirtyhive.timestamp(case.dirty.expected["SYSTEM"]) + moved)
            self.assertWrittenAsItsLogsSay(case, os.path.join(root, CONFIG, "SYSTEM"), service)
            # The logs stay: Windows ignores them beside a clean hive. SOFTWARE
            # is only ever read.
            after = files_below(root)
            for path, data in before.items():
                if not path.endswith("/SYSTEM"):
                    self.assertEqual(after.get(path), data, path)
            self.assertEqual(set(after), set(before))
        return expected_listing

    def test_each_case_lists_and_configures_every_adapter_as_its_logs_say(self):
        for name, case in self.cases.items():
            with self.subTest(name):
                card_in_log = name == "SOFTWARE with a card only in its log"
                listing = self.assertListsAndConfiguresAsItsLogsSay(case, 4 if card_in_log else 3)
                if card_in_log:
                    self.assertIn("\t%s\n\tName: %s\n" % dirtyhive.NEW_CARD[::-1], listing)

    def test_a_real_machines_hive_with_logs_split_over_both_files(self):
        clean = os.path.join(self.scratch.name, "real-clean")
        config = os.path.join(clean, CONFIG)
        os.makedirs(config)
        system = os.path.join(config, "SYSTEM")
        with open(system, "wb") as f:
            subprocess.run(["xz", "-dc", os.path.join(REAL, "both-layouts-SYSTEM.xz")], stdout=f,
                           check=True)
        cards = os.path.join(self.scratch.name, "cards.reg")
        with open(cards, "w", encoding="utf-8") as f:
            f.write(network_cards(adapters_of(system)))
        hivefixture.build(os.path.join(self.scratch.name, "cards"), [cards])
        os.replace(os.path.join(self.scratch.name, "cards", CONFIG, "SOFTWARE"),
                   os.path.join(config, "SOFTWARE"))
        case = Case(dirtyhive.REAL_CASE, clean, self.scratch.name)
        self.assertListsAndConfiguresAsItsLogsSay(case, 2)

    def test_the_generator_reads_the_format_as_windows_wrote_it(self):
        """Its own replay, on the logs of two real machines, gives the hive
        bins that real/README.md measured with another reader: so its hashes,
        sequence rules and page references are Windows' own."""
        measured = {
            "NTUSER.DAT": "9c5e83727e19ff8f7fd95b73ba006dbc20dffbeead9ace35a88753f3fc7e4299",
            "UsrClass.dat": "ecc04a58aa3d2467871e80e393eb8469a5fdd425f37fc88f55308efc2f384930"}
        for name, digest in measured.items():
            with self.subTest(name):
                with lzma.open(os.path.join(REAL, "with-logs", name + ".xz")) as f:
                    primary = f.read()
                logs = []
                for suffix in (".LOG1", ".LOG2"):
                    with lzma.open(os.path.join(REAL, "with-logs", name + suffix + ".xz")) as f:
                        logs.append(f.read())
                recovered = dirtyhive.replay(primary, logs)
                bins = recovered[4096:4096 + dirtyhive.bins_size(recovered)]
                self.assertEqual(hashlib.sha256(bins).hexdigest(), digest)

    def test_a_run_killed_at_any_moment_leaves_the_dirty_hive_and_its_logs_or_the_new(self):
        case = self.cases["entries split over both logs"]
        root = case.copy("killed")
        config = os.path.join(root, CONFIG)
        old = files_below(root)
        arguments = [NETVANE, "1", "192.168.1.10", "*", "192.168.1.1"]
        environment = {"PATH": "/usr/bin:/bin", "NETVANE_REGISTRY": root}
        new = None
        seen = {"old": 0, "new": 0}
        for moment in killed_runs(arguments, environment, 40, lambda: case.copy("killed")):
            if moment is None:
                new = new or files_below(root)
                self.assertNotEqual(new, old)
                self.assertEqual(files_below(root), new, "whole runs wrote different files")
                continue
            for name in os.listdir(config):
                # Left by the kill: the temporary SYSTEM file, and the locks.
                if re.match(r"^(SYSTEM\.[A-Za-z0-9]{6}|SYSTEM\.lock|SOFTWARE\.lock)$", name):
                    os.unlink(os.path.join(config, name))
            now = files_below(root)
            self.assertIn(now, (old, new), "killed after %.1f ms" % (moment * 1000))
            seen["old" if now == old else "new"] += 1
        self.assertGreater(seen["old"], 0)
        self.assertGreater(seen["new"], 0)
        print("dirty hive kills: %(old)d left the dirty hive and its logs, %(new)d the new hive"
              % seen, file=sys.stderr)

if __name__ == "__main__":
    unittest.main()
