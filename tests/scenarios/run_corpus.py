#!/usr/bin/env python3
"""Runs the scenario corpus on one or more backends.

Each backend's outcome is checked against what the scenario expects, and
with more than one backend, every outcome is compared with the first
backend's: stdout, exit status, the DHCP client's record, and every key the
fixture defines (names case-insensitively, values by type and content).

  run_corpus.py --linux build/netvane --wine build-win/netvane.exe \
      --wine build-win32/netvane.exe --wine-dlls DIR

A scenario with "needs" runs only on the backends that have what it names
("wow64": a 32-bit exe beside a 64-bit registry tool; "deny": keys that
refuse full access, as without elevation).
"""

import argparse
import codecs
import glob
import json
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import backends  # noqa: E402
import regfile  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "fixtures")
NETWORK_CARDS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards"


def load_corpus(folder, only):
    scenarios = []
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path, encoding="utf-8") as f:
            for scenario in json.load(f):
                scenario["file"] = os.path.basename(path)
                # Backends get the keys to deny as full paths.
                scenario["deny"] = [key_path(k) for k in scenario.get("deny", [])]
                scenarios.append(scenario)
    names = [s["name"] for s in scenarios]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        raise SystemExit("duplicate scenario names: %s" % ", ".join(sorted(duplicates)))
    if only:
        scenarios = [s for s in scenarios if any(re.search(p, s["name"]) for p in only)]
    return scenarios


def load_fixtures(scenarios, folder):
    """Every fixture the scenarios name: its parsed form, and the file that
    seeds a registry. A "*.utf8.reg" fixture is a Version 5.00 export kept as
    UTF-8 so that it reads and diffs as text; it is turned into UTF-16LE
    with a byte-order mark, as `reg export` writes it, in `folder`."""
    fixtures, paths = {}, {}
    for s in scenarios:
        name = s["fixture"]
        if name in fixtures:
            continue
        path = os.path.join(FIXTURES, name)
        if name.endswith(".utf8.reg"):
            with open(path, "rb") as f:
                text = f.read().decode("utf-8")
            os.makedirs(folder, exist_ok=True)
            path = os.path.join(folder, name[:-len(".utf8.reg")] + ".reg")
            with open(path, "wb") as f:
                f.write(codecs.BOM_UTF16_LE + text.encode("utf-16-le"))
        fixtures[name] = regfile.read(path)
        paths[name] = path
    return fixtures, paths


# -- expectations ------------------------------------------------------------

def expected_value(wanted):
    """A value as a scenario writes it: {"sz": text}, {"multi": [texts]},
    {"dword": n}; null means the value must not exist."""
    if wanted is None:
        return None
    if "sz" in wanted:
        return (regfile.REG_SZ, wanted["sz"] + "\0", b"")
    if "multi" in wanted:
        return (regfile.REG_MULTI_SZ, "\0".join(wanted["multi"]) + "\0\0", b"")
    if "dword" in wanted:
        return (regfile.REG_DWORD, int(wanted["dword"]).to_bytes(4, "little"))
    raise ValueError("unknown value form %r" % wanted)


SHORT_KEYS = {
    "adapter": "SYSTEM\\CurrentControlSet\\Services\\%s\\Parameters\\Tcpip",
    "interface": "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\%s",
    "global": "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters",
    "netbt-interface": "SYSTEM\\CurrentControlSet\\Services\\NetBT\\Parameters\\Interfaces\\Tcpip_%s",
    "netbt-adapter": "SYSTEM\\CurrentControlSet\\Services\\NetBT\\Adapters\\%s",
}


def key_path(path):
    """A key as a scenario names it: a path below HKEY_LOCAL_MACHINE, or one
    of the tool's five locations as "adapter:NAME", "interface:NAME",
    "global", "netbt-interface:NAME", "netbt-adapter:NAME"."""
    kind, _, name = path.partition(":")
    if kind in SHORT_KEYS:
        path = SHORT_KEYS[kind] % name if "%s" in SHORT_KEYS[kind] else SHORT_KEYS[kind]
    path = regfile.normalise_path(path)
    if not path.upper().startswith("HKEY_"):
        path = "HKEY_LOCAL_MACHINE\\" + path
    return regfile.fold(path)


def check_expectations(scenario, fixture, backend, outcome):
    expect = scenario.get("expect", {})
    problems = []
    if "subkey-order" in scenario.get("differences", []):
        problems += own_order(backend, fixture, outcome)
    status = expect.get("status")
    if status == "length":
        # The tool's convention: a failure's status is the number of
        # characters it printed.
        status = len(outcome.raw_stdout.replace(b"\r\n", b"\n"))
        if status == 0:
            problems.append("nothing printed, expected a message")
    if status is not None and outcome.status != status:
        problems.append("status %d, expected %d" % (outcome.status, status))
    if "stdout" in expect and outcome.stdout != expect["stdout"]:
        problems.append("stdout %r, expected %r" % (outcome.stdout, expect["stdout"]))
    if "stdout_matches" in expect and not re.fullmatch(expect["stdout_matches"], outcome.stdout):
        problems.append("stdout %r does not match %r" % (outcome.stdout, expect["stdout_matches"]))
    if "stdout_ends" in expect and not outcome.stdout.endswith(expect["stdout_ends"]):
        problems.append("stdout %r does not end with %r" % (outcome.stdout, expect["stdout_ends"]))
    for part in expect.get("stdout_has", []):
        if part not in outcome.stdout:
            problems.append("stdout %r lacks %r" % (outcome.stdout, part))
    if "stderr" in expect and outcome.stderr != expect["stderr"]:
        problems.append("stderr %r, expected %r" % (outcome.stderr, expect["stderr"]))
    for part in expect.get("stderr_has", []):
        if part not in outcome.stderr:
            problems.append("stderr %r lacks %r" % (outcome.stderr, part))
    if "dhcp" in expect and outcome.dhcp != expect["dhcp"]:
        problems.append("DHCP record %r, expected %r" % (outcome.dhcp, expect["dhcp"]))
    for path, values in expect.get("values", {}).items():
        key = outcome.keys.get(key_path(path))
        if key is None:
            problems.append("key %s missing" % path)
            continue
        for name, wanted in values.items():
            want = expected_value(wanted)
            got = key.values.get(regfile.fold(name))
            got = got.decoded() if got is not None else None
            if got != want:
                problems.append("%s\\%s is %r, expected %r" % (path, name, got, want))
    if expect.get("unchanged"):
        for folded, given in fixture.keys.items():
            problems += ["unchanged: " + d for d in
                         compare_key(given.path, given, outcome.keys.get(folded))]
    return problems


# -- comparison between backends ----------------------------------------------

def compare_key(path, a, b):
    if a is None or b is None:
        if a is None and b is None:
            return []
        return ["%s exists on one side only" % path]
    out = []
    for name in sorted(set(a.values) | set(b.values)):
        va, vb = a.values.get(name), b.values.get(name)
        if va is None or vb is None:
            shown = (va or vb).name
            out.append("%s\\%s exists on one side only (%s)" % (path, shown, (va or vb).describe()))
        elif va.decoded() != vb.decoded():
            out.append("%s\\%s: %s vs %s" % (path, va.name, va.describe(), vb.describe()))
    return out


LISTING_ENTRY = re.compile(r"\n(\d+):\t([^\n]*)\n\tName: ([^\n]*)\n")


def listing(stdout):
    head, sep, tail = stdout.partition("\nNetwork adapters:\n")
    return head + sep, LISTING_ENTRY.findall("\n" + tail if not tail.startswith("\n") else tail)


def cards_in_order(backend, fixture):
    """The fixture's cards' service names in the backend's subkey order."""
    prefix = regfile.fold(NETWORK_CARDS) + "\\"
    cards = []
    for folded, key in fixture.keys.items():
        if folded.startswith(prefix) and "\\" not in folded[len(prefix):]:
            service = key.values.get("SERVICENAME")
            name = service.decoded()[1].rstrip("\0") if service else ""
            cards.append((key.path[len(prefix):], name))
    return [name for _, name in sorted(cards, key=lambda c: backend.subkey_order(c[0]))]


def own_order(backend, fixture, outcome):
    """Subkey order is a known platform difference (see backends.WineBackend):
    each backend must list the cards in its own registry's order."""
    _, entries = listing(outcome.stdout)
    names = [e[2] for e in entries]
    numbers = [int(e[0]) for e in entries]
    expected = cards_in_order(backend, fixture)
    if names != expected or numbers != list(range(1, len(names) + 1)):
        return ["lists %r, expected %r in its registry's order" % (names, expected)]
    return []


def same_cards(first, other):
    """Listings that differ only in their order (see own_order)."""
    head_a, entries_a = listing(first.stdout)
    head_b, entries_b = listing(other.stdout)
    return head_a == head_b and sorted(e[1:] for e in entries_a) == sorted(e[1:] for e in entries_b)


def compare(scenario, fixture, results):
    in_own_order = "subkey-order" in scenario.get("differences", [])
    problems = []
    first_backend, first = results[0]
    for backend, other in results[1:]:
        pair = "%s/%s" % (first_backend.name, backend.name)
        if in_own_order and not same_cards(first, other):
            problems.append("%s list different cards" % pair)
        if not in_own_order and first.stdout != other.stdout:
            problems.append("%s stdout differs:\n      %r\n      %r" %
                            (pair, first.stdout, other.stdout))
        if first.status != other.status:
            problems.append("%s status %d vs %d" % (pair, first.status, other.status))
        if first.dhcp != other.dhcp:
            problems.append("%s DHCP record differs:\n      %r\n      %r" %
                            (pair, first.dhcp, other.dhcp))
        for folded, given in fixture.keys.items():
            problems += ["%s %s" % (pair, d) for d in
                         compare_key(given.path, first.keys.get(folded), other.keys.get(folded))]
    return problems


# -- driver ---------------------------------------------------------------------

def wine_backends(exes, args, folder):
    # Every exe runs in one prefix: one wineboot, and the 32-bit exe meets
    # the 64-bit registry tools as it would on 64-bit Windows.
    prefix = backends.WinePrefix(folder)
    return [backends.WineBackend(exe, args.wine_dlls, prefix) for exe in exes]


# The backends a run can use, in the order they run; the first is the one the
# others are compared with. Each entry: option, its value's name, help, and
# how to make the backends from the option's values, the parsed options and
# a folder.
BACKENDS = [
    ("linux", "BINARY", "the Linux build of netvane",
     lambda values, args, folder: [backends.LinuxBackend(v) for v in values]),
    ("hive", "BINARY", "the Linux build on an offline installation's hives",
     lambda values, args, folder: [backends.HiveBackend(v) for v in values]),
    ("wine", "EXE", "a Windows build of netvane, run under Wine (needs --wine-dlls); "
     "give it once per exe", wine_backends),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option, metavar, text, _ in BACKENDS:
        parser.add_argument("--" + option, metavar=metavar, help=text, action="append")
    parser.add_argument("--wine-dlls", metavar="DIR",
                        help="folder with MACHINE/dhcpcsvc.dll (the recording DHCP client) "
                        "and MACHINE/no-entry/dhcpcsvc.dll, for x86-64 and i686, and "
                        "x86-64/regdeny.exe (tests/wine/regdeny.c)")
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus"))
    parser.add_argument("--only", action="append", default=[], metavar="REGEX",
                        help="run only the scenarios whose name matches")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args()
    if args.wine and not args.wine_dlls:
        parser.error("--wine needs --wine-dlls")
    wanted = [(option, make) for option, _, _, make in BACKENDS if getattr(args, option)]
    if not wanted:
        parser.error("name at least one backend")
    scenarios = load_corpus(args.corpus, args.only)
    if not scenarios:
        parser.error("no scenario matches")

    root = tempfile.mkdtemp(prefix="netvane-corpus.")
    chosen = []
    try:
        fixtures, fixture_paths = load_fixtures(scenarios, os.path.join(root, "fixtures"))
        for option, make in wanted:
            chosen += make(getattr(args, option), args, os.path.join(root, option))
        names = [b.name for b in chosen]
        if len(set(names)) < len(names):
            raise backends.BackendError("two backends named alike: %s" % ", ".join(names))
        return run(scenarios, fixtures, fixture_paths, chosen, root, args.verbose)
    except (backends.BackendError, regfile.RegFileError) as e:
        print("error: %s" % e)
        return 2
    finally:
        for backend in chosen:
            backend.close()
        if args.keep:
            print("kept %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)


def runs_on(backend, scenario):
    return scenario.get("needs") in (None, *backend.capabilities)


def run(scenarios, fixtures, fixture_paths, chosen, root, verbose):
    outcomes = {}
    failures = 0
    for backend in chosen:
        started = time.monotonic()
        folder = os.path.join(root, backend.name.replace(" ", "-"))
        os.makedirs(folder, exist_ok=True)
        backend.prepare(fixtures)
        prepared = time.monotonic()
        bad = 0
        mine = [s for s in scenarios if runs_on(backend, s)]
        for s in mine:
            workdir = backends.make_workdir(folder, s)
            outcome = backend.run(s, fixture_paths[s["fixture"]], fixtures[s["fixture"]], workdir)
            outcomes[(backend.name, s["name"])] = outcome
            problems = check_expectations(s, fixtures[s["fixture"]], backend, outcome)
            if problems:
                bad += 1
                print("FAIL %s on %s:" % (s["name"], backend.name))
                for p in problems:
                    print("    " + p)
                print("    stdout was %r, status %d" % (outcome.stdout, outcome.status))
                if outcome.stderr.strip():
                    print("    stderr was %r" % outcome.stderr[-2000:])
            elif verbose:
                print("ok   %s on %s" % (s["name"], backend.name))
        failures += bad
        left = len(scenarios) - len(mine)
        print("%s: %d scenarios%s, %d failed their expectations, %.1f s (%.1f s to prepare)" %
              (backend.name, len(mine), " (%d not for it)" % left if left else "", bad,
               time.monotonic() - started, prepared - started))
        if backend.summary():
            print("%s: %s" % (backend.name, backend.summary()))

    first = chosen[0]
    for other in chosen[1:]:
        bad = 0
        both = [s for s in scenarios if runs_on(first, s) and runs_on(other, s)]
        for s in both:
            results = [(b, outcomes[(b.name, s["name"])]) for b in (first, other)]
            problems = compare(s, fixtures[s["fixture"]], results)
            if problems:
                bad += 1
                print("DIFF %s:" % s["name"])
                for p in problems:
                    print("    " + p)
            elif verbose:
                print("same %s on %s and %s" % (s["name"], first.name, other.name))
        failures += bad
        print("differential check (%s vs %s): %d scenarios, %d differ" %
              (first.name, other.name, len(both), bad))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
