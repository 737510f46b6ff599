#!/usr/bin/env python3
"""Builds the registry hives of an offline Windows installation from the
readable .reg fixtures that the .reg store tests use.

The hives start empty (regf.py) and are filled by hivex's own importer,
hivexregedit, so the fixture text is read by a .reg parser we did not write.
A fixture speaks of HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet, which a
hive file does not have: those keys go into ControlSet00N, and a Select key
says which control set is which.

    hivefixture.py build [options] OUTDIR FIXTURE.reg...
    hivefixture.py empty HIVE
    hivefixture.py dirty HIVE
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import regf  # noqa: E402

MACHINE = "HKEY_LOCAL_MACHINE"
HIVE_ROOTS = ("SYSTEM", "SOFTWARE")


class FixtureError(Exception):
    pass


def decode_reg(data):
    """A .reg file as text and whether it is the 8-bit REGEDIT4 flavour."""
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le")
    else:
        text = data.decode("utf-8")
    text = text.replace("\r\n", "\n")
    return text, text.lstrip().startswith("REGEDIT4")


def logical_lines(text):
    """Lines with backslash continuations joined."""
    pending = ""
    for line in text.split("\n"):
        if pending:
            line = pending + line.lstrip()
            pending = ""
        if not line.startswith("[") and line.rstrip().endswith("\\"):
            pending = line.rstrip()[:-1]
            continue
        yield line
    if pending:
        yield pending


STRING_HEX = re.compile(r'^(@|".*")=hex\((1|2|7)\):(.*)$', re.IGNORECASE)


def widen_8bit_strings(line):
    """REGEDIT4 writes the hex form of string types in the 8-bit code page
    (UTF-8 here); a hive keeps them as UTF-16LE, as the registry does."""
    match = STRING_HEX.match(line)
    if not match:
        return line
    digits = re.sub(r"[\s,]", "", match.group(3))
    text = bytes.fromhex(digits).decode("utf-8")
    wide = text.encode("utf-16-le")
    return "%s=hex(%s):%s" % (match.group(1), match.group(2),
                              ",".join("%02x" % b for b in wide))


def route(path, control_set):
    """(hive, path inside the hive as a list of names, whether it lies in the
    control set) for a fixture key path."""
    names = path.split("\\")
    if len(names) < 2 or names[0].upper() not in (MACHINE, "HKLM"):
        raise FixtureError("key outside HKEY_LOCAL_MACHINE\\SYSTEM or SOFTWARE: " + path)
    hive = names[1].upper()
    if hive not in HIVE_ROOTS:
        raise FixtureError("key outside HKEY_LOCAL_MACHINE\\SYSTEM or SOFTWARE: " + path)
    inside = names[2:]
    if hive == "SYSTEM" and inside and inside[0].lower() == "currentcontrolset":
        return hive, ["ControlSet%03d" % control_set] + inside[1:], True
    return hive, inside, False


class HiveText:
    """The part of the fixtures for one hive, as a file hivexregedit merges.
    hivexregedit creates a key only below an existing one, and a blank line
    ends a key's values, so each key is preceded by its ancestors and
    followed by exactly one blank line."""

    def __init__(self, hive):
        self.hive = hive
        self.lines = ["Windows Registry Editor Version 5.00", ""]
        self.known = set()

    def header(self, names):
        return "[%s\\%s%s]" % (MACHINE, self.hive, "".join("\\" + n for n in names))

    def open_key(self, names):
        for depth in range(1, len(names)):
            self._ensure(names[:depth])
        self.lines.append(self.header(names))
        self.known.add(tuple(n.lower() for n in names))

    def _ensure(self, names):
        folded = tuple(n.lower() for n in names)
        if folded not in self.known:
            self.lines += [self.header(names), ""]
            self.known.add(folded)

    def delete_key(self, names):
        folded = tuple(n.lower() for n in names)
        self.known = {k for k in self.known if k[:len(folded)] != folded}
        self.lines += ["[-%s\\%s%s]" % (MACHINE, self.hive, "".join("\\" + n for n in names)), ""]

    def value(self, line):
        self.lines.append(line)

    def close_key(self):
        if self.lines[-1] != "":
            self.lines.append("")

    def text(self):
        return "\n".join(self.lines) + "\n"


def split_fixture(texts, control_sets):
    """The fixtures' keys sorted into SYSTEM and SOFTWARE import texts; every
    CurrentControlSet key goes into each of the given control sets."""
    hives = {name: HiveText(name) for name in HIVE_ROOTS}
    for text, eight_bit in texts:
        for control_set in control_sets:
            current = None
            for line in logical_lines(text):
                stripped = line.strip()
                if line.startswith("["):
                    if current:
                        current.close_key()
                    deleting = line.startswith("[-")
                    path = line[2 if deleting else 1:line.rindex("]")]
                    hive, names, in_control_set = route(path, control_set)
                    if control_set != control_sets[0] and not in_control_set:
                        current = None  # keys outside the control set are imported once
                        continue
                    current = hives[hive]
                    if deleting:
                        current.delete_key(names)
                        current = None
                    else:
                        current.open_key(names)
                elif not stripped or stripped.startswith(";") or current is None:
                    continue
                else:
                    current.value(widen_8bit_strings(line) if eight_bit else line)
            if current:
                current.close_key()
    return hives


def merge(hive_path, hive_text):
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".reg", delete=False) as f:
        f.write(hive_text.text())
        reg_path = f.name
    try:
        # hivexregedit reads the file as bytes unless Perl is told it is UTF-8.
        env = dict(os.environ, PERL_UNICODE="D")
        result = subprocess.run(
            ["hivexregedit", "--merge", "--prefix", "%s\\%s" % (MACHINE, hive_text.hive),
             hive_path, reg_path], env=env, capture_output=True, text=True)
        if result.returncode != 0:
            raise FixtureError("hivexregedit failed on %s: %s" % (hive_path, result.stderr.strip()))
    finally:
        os.unlink(reg_path)


def select_lines(select):
    lines = []
    for name in ("Current", "Default", "Failed", "LastKnownGood"):
        if select.get(name) is not None:
            lines.append('"%s"=dword:%08x' % (name, select[name]))
    return lines


# What a freshly installed Windows keeps in SYSTEM\Select.
FRESH_SELECT = {"Current": 1, "Default": 1, "Failed": 0, "LastKnownGood": 1}


def build(out_dir, fixtures, config_path="Windows/System32/config",
          names=("SYSTEM", "SOFTWARE"), control_sets=(1,), select=FRESH_SELECT):
    """Writes the installation's hives below out_dir; returns the config directory.
    `select` maps Select's value names to numbers; None leaves the key out."""
    texts = []
    for fixture in fixtures:
        with open(fixture, "rb") as f:
            texts.append(decode_reg(f.read()))
    hives = split_fixture(texts, list(control_sets))
    system = hives["SYSTEM"]
    # An installation always has its control sets, whatever the fixture holds.
    for control_set in control_sets:
        system.open_key(["ControlSet%03d" % control_set])
        system.close_key()
    if select is not None:
        system.open_key(["Select"])
        for line in select_lines(select):
            system.value(line)
        system.close_key()
    config = os.path.join(out_dir, config_path)
    os.makedirs(config, exist_ok=True)
    for hive_name, file_name in zip(HIVE_ROOTS, names):
        path = os.path.join(config, file_name)
        with open(path, "wb") as f:
            f.write(regf.empty_hive(file_name=hive_name))
        merge(path, hives[hive_name])
    return config


# hivexregedit --export for several hives in one Perl process, since starting
# Perl costs more than exporting a small hive.
EXPORT_SCRIPT = """
use Win::Hivex;
use Win::Hivex::Regedit qw(reg_export);
while (my ($file, $prefix, $start) = splice(@ARGV, 0, 3)) {
    reg_export(Win::Hivex->open($file), $start, \\*STDOUT, prefix => $prefix);
}
"""


def export(out_dir, config_path="Windows/System32/config", control_set=1):
    """The installation's keys as a Version 5.00 export, read by hivex's
    exporter: SOFTWARE whole, and of SYSTEM the control set, shown as
    CurrentControlSet the way a running Windows shows it. Every value is
    given in hex, exactly as stored."""
    control = "ControlSet%03d" % control_set
    inside = "%s\\SYSTEM\\%s" % (MACHINE, control)
    config = os.path.join(out_dir, config_path)
    arguments = [os.path.join(config, "SYSTEM"), MACHINE + "\\SYSTEM", "\\" + control,
                 os.path.join(config, "SOFTWARE"), MACHINE + "\\SOFTWARE", "\\"]
    # Perl prints names outside ASCII as UTF-8 only when told to.
    result = subprocess.run(["perl", "-e", EXPORT_SCRIPT] + arguments,
                            env=dict(os.environ, PERL_UNICODE="SD"), capture_output=True)
    if result.returncode != 0:
        raise FixtureError("hivex cannot export %s: %s" %
                           (config, result.stderr.decode("utf-8", "replace").strip()))
    lines = ["Windows Registry Editor Version 5.00", ""]
    for line in result.stdout.decode("utf-8").split("\n"):
        if line.startswith("[" + inside):
            line = "[%s\\SYSTEM\\CurrentControlSet%s" % (MACHINE, line[len(inside) + 1:])
        lines.append(line)
    return "\n".join(lines)


def as_regedit4(text):
    """A Version 5.00 export as regedit writes it in REGEDIT4: strings in the
    8-bit code page (UTF-8 here), a plain string as "text" when it is one. A
    string that is not valid UTF-16 is carried as well as it can be, as
    regedit's own 8-bit export does."""
    lines = text.split("\n")
    lines[0] = "REGEDIT4"
    for i, line in enumerate(lines):
        match = STRING_HEX.match(line)
        if not match:
            continue
        data = bytes.fromhex(match.group(3).replace(",", ""))
        narrow = data[:len(data) // 2 * 2].decode("utf-16-le", "replace").encode("utf-8")
        plain = narrow.decode("utf-8")
        if match.group(2) == "1" and plain.endswith("\0") and \
                not any(c in plain[:-1] for c in "\0\r\n"):
            escaped = plain[:-1].replace("\\", "\\\\").replace('"', '\\"')
            lines[i] = '%s="%s"' % (match.group(1), escaped)
        else:
            lines[i] = "%s=hex(%s):%s" % (match.group(1), match.group(2), narrow.hex(","))
    return "\n".join(lines)


def mark_dirty(path):
    """Leaves the hive as a hibernated Windows does: a write begun, not ended."""
    with open(path, "r+b") as f:
        block = bytearray(f.read(regf.BASE_BLOCK_SIZE))
        primary = int.from_bytes(block[4:8], "little")
        regf.set_sequence_numbers(block, primary + 1, primary)
        f.seek(0)
        f.write(block)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    b = commands.add_parser("build", help="hives of an installation from .reg fixtures")
    b.add_argument("--config-path", default="Windows/System32/config")
    b.add_argument("--names", default="SYSTEM,SOFTWARE",
                   help="file names of the SYSTEM and SOFTWARE hives")
    b.add_argument("--control-sets", default="1",
                   help="control sets that receive CurrentControlSet, e.g. 1,2")
    b.add_argument("--select", default=",".join("%s=%d" % i for i in FRESH_SELECT.items()),
                   help="Select values, e.g. Default=2,Current=1; 'none' leaves the key out")
    b.add_argument("out_dir")
    b.add_argument("fixtures", nargs="+")
    e = commands.add_parser("empty", help="an empty hive")
    e.add_argument("hive")
    d = commands.add_parser("dirty", help="mark a hive as not shut down cleanly")
    d.add_argument("hive")
    args = parser.parse_args()

    try:
        if args.command == "build":
            select = None
            if args.select != "none":
                select = {}
                for item in filter(None, args.select.split(",")):
                    name, number = item.split("=")
                    select[name] = int(number)
            build(args.out_dir, args.fixtures, args.config_path,
                  tuple(args.names.split(",")),
                  tuple(int(n) for n in args.control_sets.split(",")), select)
        elif args.command == "empty":
            with open(args.hive, "wb") as f:
                f.write(regf.empty_hive(file_name=os.path.basename(args.hive)))
        else:
            mark_dirty(args.hive)
    except (FixtureError, OSError, ValueError) as error:
        print("hivefixture: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
