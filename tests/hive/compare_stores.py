#!/usr/bin/env python3
"""Runs the same scenarios against a .reg store and against the hives of an
installation built from the same fixture, and reports every difference in
stdout, exit status or resulting registry contents. The two stores must be
indistinguishable to the tool.

    NETVANE_BINARY=build/netvane python3 tests/hive/compare_stores.py [-v]

The resulting .reg file is read back by importing it into fresh hives with
hivex's importer, so both results are compared as hivex sees them.
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import hivefixture  # noqa: E402
from tool import FIXTURES, run_raw  # noqa: E402

GUID = "{6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}"
SCENARIOS = [
    (),
    ("/?",),
    ("2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"),
    ("10.0.0.5",),
    ("?",),
    ("1", "?", "*", "*", "?", "*", "?"),
    ("1", "?", "*", "*", "10.0.0.1"),
    ("3", "10.1.1.1", "255.255.0.0", "10.1.1.254", "10.0.0.53", "10.0.0.54", "10.0.0.9", "10.0.0.10"),
    ("2", "10.2.2.2", "*", "*", "*", "10.0.0.2", "", "10.0.0.9"),
    ("1", "10.7.7.7", "255.0.255.0"),
    ("1", "10.0.0.300"),
    ("e100a", "10.3.3.3"),
    (GUID.lower(), "10.4.4.4", "255.255.255.128"),
    ("NoSuchNic", "10.5.5.5"),
    ("0", "10.6.6.6"),
    ("4", "10.6.6.6"),
    ("1x2", "10.6.6.6"),
    ("99999999999", "10.6.6.6"),
    ("1", "10.8.8.8", "*", "*", "?"),
    ("1", "10.9.9.9", "*", "*", "n" * 140),
]


def reg_store(fixture, scratch):
    """The fixture as a store file, in the encoding its export would have."""
    path = os.path.join(scratch, "store.reg")
    with open(fixture, "rb") as f:
        data = f.read()
    if "-v5" in os.path.basename(fixture):
        data = b"\xff\xfe" + data.decode("utf-8").replace("\r\n", "\n").replace(
            "\n", "\r\n").encode("utf-16-le")
    with open(path, "wb") as f:
        f.write(data)
    return path


EXPORT_KEY = re.compile(r"^\[(.*)\]$")
EXPORT_VALUE = re.compile(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$')


def contents(root):
    """{key path: {value name: data as exported}} of an installation."""
    tree = {}
    key = None
    for line in hivefixture.export(root).splitlines():
        header = EXPORT_KEY.match(line)
        if header:
            key = header.group(1)
            tree[key] = {}
            continue
        value = EXPORT_VALUE.match(line)
        if value and key is not None:
            tree[key][value.group(1)] = value.group(2)
    return tree


def differences(a, b):
    lines = []
    for key in sorted(set(a) | set(b)):
        if key not in a or key not in b:
            lines.append("  key %s only in the %s result" % (key, "hive" if key in b else ".reg"))
            continue
        for name in sorted(set(a[key]) | set(b[key])):
            if a[key].get(name) != b[key].get(name):
                lines.append("  %s %s: .reg %s, hive %s" % (key, name, a[key].get(name), b[key].get(name)))
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    fixtures = [os.path.join(FIXTURES, name) for name in ("machine.reg", "machine-v5.utf8.reg")]
    failures = 0
    count = 0
    with tempfile.TemporaryDirectory(prefix="netvane-compare-") as scratch:
        for fixture in fixtures:
            template = os.path.join(scratch, "template")
            shutil.rmtree(template, ignore_errors=True)
            hivefixture.build(template, [fixture])
            for arguments in SCENARIOS:
                count += 1
                case = os.path.join(scratch, "case")
                shutil.rmtree(case, ignore_errors=True)
                os.mkdir(case)
                store = reg_store(fixture, case)
                installation = os.path.join(case, "mnt")
                shutil.copytree(template, installation)

                reg_result = run_raw(store, arguments)
                hive_result = run_raw(installation, arguments)
                problems = []
                if reg_result != hive_result:
                    problems.append("  .reg store: %r\n  hive store: %r" % (reg_result, hive_result))
                written = os.path.join(case, "from-reg")
                hivefixture.build(written, [store])
                problems += differences(contents(written), contents(installation))

                label = "%s %s" % (os.path.basename(fixture), " ".join(arguments) or "(no arguments)")
                if problems:
                    failures += 1
                    print("DIFFERENT %s\n%s" % (label, "\n".join(problems)))
                elif args.verbose:
                    print("same      %s" % label)
    print("%d of %d scenarios differ between the .reg store and the hive store" % (failures, count))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
