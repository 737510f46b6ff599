#!/usr/bin/env python3
"""The replay of transaction logs on two real hives (real/README.md), read
back through hivex: the keys and values the logs bring, counted as the
table there counts them.

    NETVANE_REPLAY_TOOL=build/tests/replay_tool python3 tests/hive/test_hive_logs.py
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

WITH_LOGS = os.path.join(HERE, "real", "with-logs")
TOOL = os.environ.get("NETVANE_REPLAY_TOOL", os.path.join(os.path.dirname(os.path.dirname(HERE)),
                                                          "build", "tests", "replay_tool"))


def unpack(name, directory):
    path = os.path.join(directory, name)
    with open(path, "wb") as out:
        subprocess.run(["xz", "-dc", os.path.join(WITH_LOGS, name + ".xz")], stdout=out, check=True)
    return path


def marked_clean(path):
    """A copy of a dirty primary whose header says clean, as its bins are,
    so that hivex reads it as it is."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[8:12] = data[4:8]
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(data[:508])):
        checksum ^= word
    data[508:512] = struct.pack("<I", {0: 1, 0xFFFFFFFF: 0xFFFFFFFE}.get(checksum, checksum))
    clean = path + ".clean"
    with open(clean, "wb") as f:
        f.write(data)
    return clean


def keys_and_values(hive):
    """{full key path, lower-cased: set of its value names, lower-cased}, as
    hivexregedit exports them. Real names are not all UTF-8, so the lines are
    taken as bytes: a key line is "[path]", a value line begins with its
    quoted name, or "@=" for the default value."""
    export = subprocess.run(["hivexregedit", "--export", "--prefix", "ROOT", hive, "\\"],
                            capture_output=True, check=True).stdout
    keys = {}
    names = None
    for line in export.decode("latin-1").split("\n"):
        if line.startswith("[") and line.endswith("]"):
            names = keys.setdefault(line[1:-1].lower(), set())
        elif line.startswith("@="):
            names.add("")
        elif line.startswith('"'):
            end = 1
            while line[end] != '"':
                end += 2 if line[end] == "\\" else 1
            names.add(line[1:end].lower())
    return keys


class RealLogs(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="netvane-hive-logs-")

    def tearDown(self):
        shutil.rmtree(self.directory)

    def test_keys_and_values_brought_by_the_logs(self):
        # hive: (keys before, keys after, new keys, removed keys, new values)
        table = {"NTUSER.DAT": (2590, 3105, 521, 6, 57),
                 "UsrClass.dat": (6205, 6238, 33, 0, 40)}
        for hive, expected in table.items():
            with self.subTest(hive=hive):
                primary = unpack(hive, self.directory)
                logs = [unpack(hive + suffix, self.directory) for suffix in (".LOG1", ".LOG2")]
                recovered = os.path.join(self.directory, hive + ".recovered")
                run = subprocess.run([TOOL, primary, recovered] + logs, capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertTrue(run.stdout.startswith("recovered "), run.stdout)
                before = keys_and_values(marked_clean(primary))
                after = keys_and_values(recovered)
                both = before.keys() & after.keys()
                new_values = sum(len(after[key] - before[key]) for key in both)
                self.assertEqual((len(before), len(after), len(after.keys() - before.keys()),
                                  len(before.keys() - after.keys()), new_values), expected)
                # libregf reads it too. (regfinfo lists every key, and real
                # key names hold words like "Error", so only its status and
                # its own messages are judged.)
                check = subprocess.run(["regfinfo", recovered], capture_output=True, text=True)
                self.assertEqual((check.returncode, check.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
