#!/usr/bin/env python3
"""Makes the dirty hives a running Windows leaves on disk, from clean ones:
the primary file as it was before a series of changes, with its base block
marked dirty, and transaction logs that carry the changes.

The changes themselves are made by hivex (hivexregedit --merge), each on a
copy of the previous state, so the expected hive, the last state, is written
by a registry writer we did not write. The logs are written here from the
public description of the Windows registry file format (msuhanov/regf, sections
"Base block", "Format of transaction log files", "Dirty state of a hive" and
"Multiple transaction log files"), independently of netvane's replay.

    dirtyhive.py HIVE CHANGE.reg [CHANGE.reg...] [--prefix P] [--expected FILE]

replaces HIVE by its dirty primary and writes HIVE.LOG1 with one log entry
per change (the last state goes to FILE).
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import regf  # noqa: E402

PAGE = 4096
SECTOR = 512
# The format keeps this 64-bit number in little-endian order; every entry of
# the real logs we hold verifies with it read that way.
MARVIN_SEED = 0x82EF4D887A4E55C5
FILE_TYPE_PRIMARY, FILE_TYPE_OLD_LOG, FILE_TYPE_NEW_LOG = 0, 1, 6
_MASK = 0xFFFFFFFF


def _rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & _MASK


def marvin32(data, seed=MARVIN_SEED):
    """Marvin32 as a 64-bit number: the low state word in the low half."""
    s0, s1 = seed & _MASK, seed >> 32

    def mix(s0, s1):
        s1 ^= s0
        s0 = _rotl(s0, 20)
        s0 = (s0 + s1) & _MASK
        s1 = _rotl(s1, 9)
        s1 ^= s0
        s0 = _rotl(s0, 27)
        s0 = (s0 + s1) & _MASK
        s1 = _rotl(s1, 19)
        return s0, s1

    whole = len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        s0, s1 = mix((s0 + word) & _MASK, s1)
    # The tail is padded with a single 0x80 byte, then zeros.
    final = int.from_bytes(bytes(data[whole:]) + b"\x80", "little")
    s0, s1 = mix((s0 + final) & _MASK, s1)
    s0, s1 = mix(s0, s1)
    return s0 | (s1 << 32)


# --- base blocks ---------------------------------------------------------

def sequence_numbers(hive):
    return struct.unpack_from("<II", hive, 4)


def bins_size(hive):
    return struct.unpack_from("<I", hive, 40)[0]


def timestamp(hive):
    return struct.unpack_from("<Q", hive, 12)[0]


def is_clean(hive):
    """Both sequence numbers equal and the checksum right ("Dirty state of a hive")."""
    primary, secondary = sequence_numbers(hive)
    return primary == secondary and \
        struct.unpack_from("<I", hive, 508)[0] == regf.base_block_checksum(hive[:508])


def with_base_block(hive, primary, secondary, file_type=FILE_TYPE_PRIMARY, size=None, stamp=None):
    """The hive's base block with these fields and its checksum refreshed."""
    block = bytearray(hive[:regf.BASE_BLOCK_SIZE])
    struct.pack_into("<I", block, 28, file_type)
    if size is not None:
        struct.pack_into("<I", block, 40, size)
    if stamp is not None:
        struct.pack_into("<Q", block, 12, stamp)
    regf.set_sequence_numbers(block, primary, secondary)
    return bytes(block)


def aimed(hive, target, xor=None, size=None):
    """The hive with its reserved word at 496, which every copy of the base
    block keeps, changed so that a block that XORed to `xor` XORs to `target`."""
    if xor is None:
        # As a replay leaves it: the equal sequence numbers cancel out.
        xor = regf.base_block_xor(with_base_block(hive, 0, 0, size=size))
    block = bytearray(hive[:regf.BASE_BLOCK_SIZE])
    struct.pack_into("<I", block, 496, struct.unpack_from("<I", block, 496)[0] ^ xor ^ target)
    regf.set_sequence_numbers(block, *sequence_numbers(block))
    return bytes(block) + hive[regf.BASE_BLOCK_SIZE:]


def highest_logged(logs):
    """The highest sequence number that any log holds, in its base block or in
    an entry Windows would refuse: a clean hive must stand above them all."""
    highest = 0
    for log in logs:
        highest = max(highest, *sequence_numbers(log))
        for at in range(SECTOR, len(log) - 40 + 1, SECTOR):
            if log[at:at + 4] == b"HvLE":
                highest = max(highest, struct.unpack_from("<I", log, at + 12)[0])
    return highest


def dirty_primary(clean, damaged=False):
    """The primary as Windows leaves it once it has begun writing to the logs:
    the primary sequence number one ahead of the secondary. `damaged` tears
    the base block (a root cell offset and size that the checksum denies)."""
    _, secondary = sequence_numbers(clean)
    block = bytearray(with_base_block(clean, secondary + 1, secondary))
    if damaged:
        block[36:44] = b"\xde\xad\xbe\xef\xde\xad\xbe\xef"
    return bytes(block) + clean[regf.BASE_BLOCK_SIZE:]


# --- the changes, as pages ------------------------------------------------

def changed_runs(before, after, page=PAGE):
    """[(offset in the hive bins, bytes)] of the pages of `after` that differ
    from `before`, contiguous pages joined, as Windows writes them."""
    old, new = before[regf.BASE_BLOCK_SIZE:], after[regf.BASE_BLOCK_SIZE:]
    size = bins_size(after)
    runs = []
    for offset in range(0, size, page):
        if old[offset:offset + page] == new[offset:offset + page]:
            continue
        if runs and runs[-1][0] + len(runs[-1][1]) == offset:
            runs[-1] = (runs[-1][0], runs[-1][1] + new[offset:offset + page])
        else:
            runs.append((offset, new[offset:offset + page]))
    return runs


class Entry:
    """One log entry (new format): the pages a flush wrote."""

    def __init__(self, sequence, size, runs, bad_hash=False):
        self.sequence, self.size, self.runs, self.bad_hash = sequence, size, runs, bad_hash

    def encode(self, file_offset):
        """The entry, padded so that the next one starts on a 4 KB boundary
        of the file, as the real logs do."""
        references = b"".join(struct.pack("<II", o, len(d)) for o, d in self.runs)
        body = references + b"".join(d for _, d in self.runs)
        length = 40 + len(body)
        length += -(file_offset + length) % PAGE
        body += b"\0" * (length - 40 - len(body))
        hash1 = marvin32(body)
        if self.bad_hash:
            hash1 ^= 1
        head = b"HvLE" + struct.pack("<IIIIIQ", length, 0, self.sequence, self.size,
                                     len(self.runs), hash1)
        return head + struct.pack("<Q", marvin32(head)) + body


def new_format_log(primary, entries):
    """A log file (new format): the first sector of the base block, as the
    hive stood when the first entry was written, then the entries."""
    first = entries[0].sequence
    block = with_base_block(primary, first, first, FILE_TYPE_NEW_LOG)[:SECTOR]
    out = bytearray(block)
    for entry in entries:
        out += entry.encode(len(out))
    return bytes(out)


def old_format_log(clean, after, stamp=None):
    """A log file (old format) that brings `clean` to `after`: the first
    sector of the base block, both sequence numbers one ahead of the clean
    hive's and its timestamp; the dirty vector, one bit per 512-byte page of
    the hive bins, lowest bit first; then the dirty pages in bit order."""
    size = bins_size(after)
    sequence = sequence_numbers(clean)[1] + 1
    # The base block is copied from memory, where the hive already has its new size.
    out = bytearray(with_base_block(clean, sequence, sequence, FILE_TYPE_OLD_LOG, size,
                                    stamp)[:SECTOR])
    bitmap = bytearray(size // SECTOR // 8)
    pages = bytearray()
    for offset, data in changed_runs(clean, after):
        for page in range(offset // SECTOR, (offset + len(data)) // SECTOR):
            bitmap[page // 8] |= 1 << (page % 8)
            start = regf.BASE_BLOCK_SIZE + page * SECTOR
            pages += after[start:start + SECTOR]
    vector = b"DIRT" + bitmap
    out += vector + b"\0" * (-len(vector) % SECTOR) + pages
    return bytes(out)


# --- making the states with hivex -----------------------------------------

def merged(hive, change, prefix):
    """The hive's bytes after hivexregedit merged the .reg text into a copy."""
    with tempfile.TemporaryDirectory(prefix="dirtyhive-") as scratch:
        path, reg = os.path.join(scratch, "hive"), os.path.join(scratch, "change.reg")
        with open(path, "wb") as f:
            f.write(hive)
        with open(reg, "w", encoding="utf-8") as f:
            f.write(change)
        result = subprocess.run(["hivexregedit", "--merge", "--prefix", prefix, path, reg],
                                env=dict(os.environ, PERL_UNICODE="D"), capture_output=True,
                                text=True)
        if result.returncode != 0:
            raise ValueError("hivexregedit cannot merge: " + result.stderr.strip())
        with open(path, "rb") as f:
            return f.read()


def states(clean, changes, prefix):
    """[clean, after the first change, after the second, ...]."""
    out = [clean]
    for change in changes:
        out.append(merged(out[-1], change, prefix))
    return out


def entries_between(hives, first_sequence):
    """One entry per change: the pages it dirtied, as they stood after it."""
    return [Entry(first_sequence + i, bins_size(after), changed_runs(before, after))
            for i, (before, after) in enumerate(zip(hives, hives[1:]))]


def with_marker(hive, touched, marker):
    """The hive with `marker` written into a 4 KB page that is not in
    `touched` (a set of page numbers), and that page as a run. Applied, the
    page shows as changed data, and the marker stays in any copy of the hive."""
    untouched = [page for page in range(bins_size(hive) // PAGE) if page not in touched]
    if not untouched:
        raise ValueError("every page of the hive changes")
    start = regf.BASE_BLOCK_SIZE + untouched[-1] * PAGE
    out = bytearray(hive)
    out[start + SECTOR:start + SECTOR + len(marker)] = marker
    return bytes(out), (untouched[-1] * PAGE, bytes(out[start:start + PAGE]))


def pages_of(entries):
    return {(offset + i) // PAGE for entry in entries for offset, data in entry.runs
            for i in range(0, len(data), PAGE)}


# --- a replay of our own, to check the logs above ---------------------------

def replay(primary, logs):
    """The hive brought up to date from its logs, as the format says, for
    logs this module writes: new-format entries in sequence order from the
    primary's secondary sequence number, stopping at a gap or a bad hash; or
    the first old-format log whose timestamp matches. None when none applies."""
    hive = bytearray(primary)
    clean_checksum = struct.unpack_from("<I", hive, 508)[0] == regf.base_block_checksum(hive[:508])
    new, old = [], []
    for log in logs:
        if len(log) < SECTOR or log[:4] != b"regf":
            continue
        file_type = struct.unpack_from("<I", log, 28)[0]
        (new if file_type == FILE_TYPE_NEW_LOG else old).append(log)
    if new:
        # "Log entries", note 6: a base block with a wrong checksum comes from a log.
        if not clean_checksum:
            hive[:SECTOR] = with_base_block(new[0], *sequence_numbers(new[0]))[:SECTOR]
        found = {}
        for log in new:
            offset = SECTOR
            while offset + 40 <= len(log) and log[offset:offset + 4] == b"HvLE":
                length, _, sequence, size, count, hash1, hash2 = \
                    struct.unpack_from("<IIIIIQQ", log, offset + 4)
                entry = log[offset:offset + length]
                # Note 7: a wrong hash or hive-bins size ends the entries.
                if length < 40 or offset + length > len(log) or size % PAGE or \
                        marvin32(entry[40:]) != hash1 or marvin32(entry[:32]) != hash2:
                    break
                found[sequence] = (size, count, entry)
                offset += length
        # "Log entries", note 5: only subsequent entries apply. The note counts
        # from the primary sequence number, but the real NTUSER.DAT logs begin
        # at the secondary one (567/566, first entry 566), which Windows applies.
        subsequent = [sequence for sequence in found if sequence >= sequence_numbers(hive)[1]]
        if not subsequent:
            return None
        expected, applied = min(subsequent), 0
        while expected in found:
            size, count, entry = found[expected]
            hive = hive[:regf.BASE_BLOCK_SIZE + size].ljust(regf.BASE_BLOCK_SIZE + size, b"\0")
            data = 40 + 8 * count
            for i in range(count):
                at, length = struct.unpack_from("<II", entry, 40 + 8 * i)
                hive[regf.BASE_BLOCK_SIZE + at:regf.BASE_BLOCK_SIZE + at + length] = \
                    entry[data:data + length]
                data += length
            struct.pack_into("<I", hive, 40, size)
            applied, expected = expected, expected + 1
        return with_base_block(hive, applied + 1, applied + 1) + bytes(hive[regf.BASE_BLOCK_SIZE:])
    # "Multiple transaction log files", old format: the log whose timestamp
    # is the primary's applies.
    for log in old:
        if timestamp(log) != timestamp(primary):
            continue
        size = bins_size(log)
        hive = hive[:regf.BASE_BLOCK_SIZE + size].ljust(regf.BASE_BLOCK_SIZE + size, b"\0")
        struct.pack_into("<I", hive, 40, size)
        vector = log[SECTOR:SECTOR + 4 + size // SECTOR // 8]
        pages = SECTOR + (len(vector) + SECTOR - 1) // SECTOR * SECTOR
        for page in range(size // SECTOR):
            if vector[4 + page // 8] >> (page % 8) & 1:
                at = regf.BASE_BLOCK_SIZE + page * SECTOR
                hive[at:at + SECTOR] = log[pages:pages + SECTOR]
                pages += SECTOR
        sequence = sequence_numbers(log)[0]
        return with_base_block(hive, sequence, sequence) + bytes(hive[regf.BASE_BLOCK_SIZE:])
    return None


def same_hive_bins(a, b):
    """Whether two hives hold the same hive bins (their base blocks aside)."""
    return bins_size(a) == bins_size(b) and \
        a[regf.BASE_BLOCK_SIZE:regf.BASE_BLOCK_SIZE + bins_size(a)] == \
        b[regf.BASE_BLOCK_SIZE:regf.BASE_BLOCK_SIZE + bins_size(b)]


# --- dirty installations --------------------------------------------------

SYSTEM_PREFIX = "HKEY_LOCAL_MACHINE\\SYSTEM"
SOFTWARE_PREFIX = "HKEY_LOCAL_MACHINE\\SOFTWARE"


def reg(*sections):
    """A .reg text from (key below the hive's root, [value lines]) pairs."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in sections:
        lines += ["[%s\\%s]" % (SYSTEM_PREFIX, key)] + list(values) + [""]
    return "\n".join(lines) + "\n"


# Changes a running Windows might have made since the hive was last written,
# outside every adapter's keys, so that a replay left undone shows.
CHANGES = [
    reg(("ControlSet001\\Services\\LoggedDriver",
         ['"Start"=dword:00000003', '"ImagePath"="\\\\SystemRoot\\\\logged.sys"'])),
    reg(("Select", ['"LastKnownGood"=dword:00000002']),
        ("ControlSet001\\Services\\LoggedDriver\\Parameters", ['"Note"="second change"'])),
    reg(("ControlSet001\\Services\\LoggedDriver\\Parameters", ['"Third"=dword:00000003'])),
]
# Enough data to need hive bins the hive does not have yet, in values that
# hivex keeps in one cell each (it writes no big-data records).
GROWTH = reg(("ControlSet001\\Services\\LoggedDriver\\Tables",
              ['"Blob%d"=hex:' % n + ",".join("%02x" % (i * n % 251) for i in range(12000))
               for n in (3, 5, 7)]))
HISTORY = reg(("ControlSet001\\Services\\Archive",
               ['"Table"=hex:' + ",".join("%02x" % (i * 13 % 256) for i in range(12000))]))
# Carried only by an entry whose hash is wrong: it must never show.
NOT_APPLIED_KEY = "ControlSet001\\Services\\NotApplied"
NOT_APPLIED = reg((NOT_APPLIED_KEY, ['"Marker"="from an entry with a bad hash"']))
STALE_MARKER = b"STALE-ENTRY-MUST-NOT-BE-APPLIED"
NEW_CARD = ("NewNic", "Northwind Gigabit Adapter")
NEW_CARD_SYSTEM = reg(
    ("ControlSet001\\Services\\NewNic", []),
    ("ControlSet001\\Services\\NewNic\\Parameters", []),
    ("ControlSet001\\Services\\NewNic\\Parameters\\Tcpip",
     ['"EnableDHCP"=dword:00000001', '"IPAddress"=hex(7):30,00,2e,00,30,00,2e,00,30,00,2e,00,'
      '30,00,00,00,00,00']),
    ("ControlSet001\\Services\\Tcpip\\Parameters\\Interfaces\\NewNic",
     ['"EnableDHCP"=dword:00000001']))
NEW_CARD_SOFTWARE = "\n".join([
    "Windows Registry Editor Version 5.00", "",
    "[%s\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\3]" % SOFTWARE_PREFIX,
    '"Description"="%s"' % NEW_CARD[1], '"ServiceName"="%s"' % NEW_CARD[0], ""])

# Changes to keys that every Windows SYSTEM hive has and the fixture machine
# has not: on a real hive they touch pages scattered through it.
SCATTERED = reg(
    ("ControlSet001\\Control\\ComputerName\\ComputerName", ['"ComputerName"="LOGGED"']),
    ("ControlSet001\\Control\\TimeZoneInformation", ['"DaylightBias"=dword:ffffffc3']),
    ("ControlSet001\\Services\\W32Time\\Config", ['"SpikeWatchPeriod"=dword:00000385']),
    ("ControlSet001\\Control\\Session Manager\\Environment", ['"NETVANE_LOGGED"="yes"']))
REAL_CASE = "a real machine's SYSTEM"
# Where a clean base block XORs to 0 or 0xFFFFFFFF, Windows stores 1 or
# 0xFFFFFFFE as its checksum, and hivex reads and writes the plain XOR. The
# installations that a configure run writes so ("written ...") are dirty
# ones that the test aims once a probe run shows what hivex writes.
XOR_CASES = {"clean, its checksum stored as 1": 0, "clean, its checksum stored as 0xFFFFFFFE": 0xFFFFFFFF,
             "recovered to a base block that XORs to 0": 0, "written to a base block that XORs to 0": 0,
             "written to a base block that XORs to 0xFFFFFFFF": 0xFFFFFFFF}
CASES = ("entries split over both logs", "stale and bad entries", "a hive that grows",
         "a damaged base block", "old format", "old format in one .LOG",
         "SOFTWARE with a card only in its log", "an entry with a page of no bytes") + tuple(XOR_CASES)


class Dirty:
    """What make_installation wrote, and what a replay must make of it."""

    def __init__(self):
        self.expected = {}        # hive name -> the bytes its logs bring it to
        self.logs = {}            # file name -> bytes
        self.absent_keys = []     # keys below SYSTEM's root that must not appear
        self.absent_bytes = []    # bytes the recovered SYSTEM must not hold
        # Why netvane stops at an entry Windows would apply: the hive is then
        # read as the entries before it leave it, and never written.
        self.stopped = None


def make_installation(case, config):
    """Turns the clean SYSTEM and SOFTWARE in the directory `config` into the
    dirty hives and logs of the case; returns a Dirty."""
    paths = {name: os.path.join(config, name) for name in ("SYSTEM", "SOFTWARE")}
    clean = {}
    for name, path in paths.items():
        with open(path, "rb") as f:
            clean[name] = f.read()
    out = Dirty()
    out.expected = dict(clean)
    hive = "SYSTEM"
    # Long-standing data whose pages no change touches.
    system = merged(clean["SYSTEM"], HISTORY, SYSTEM_PREFIX)
    out.expected["SYSTEM"] = system
    sequence = sequence_numbers(system)[1]
    primary = dirty_primary(system, damaged=case == "a damaged base block")

    if case.startswith("clean"):
        out.expected["SYSTEM"] = aimed(system, XOR_CASES[case])
        with open(paths["SYSTEM"], "wb") as f:
            f.write(out.expected["SYSTEM"])
        return out
    if case in XOR_CASES:
        hives = states(system, CHANGES, SYSTEM_PREFIX)
        if case.startswith("recovered"):
            primary = aimed(primary, XOR_CASES[case], size=bins_size(hives[-1]))
        out.logs = {"SYSTEM.LOG1": new_format_log(primary, entries_between(hives, sequence))}
    elif case == "an entry with a page of no bytes":
        hives = states(system, CHANGES, SYSTEM_PREFIX)
        entries = entries_between(hives, sequence)
        # Its hashes hold, so Windows would apply it: the format stops only at
        # a gap, a wrong hash or a wrong hive-bins size.
        entries[-1].runs.append((0, b""))
        out.logs = {"SYSTEM.LOG1": new_format_log(primary, entries)}
        out.stopped = "entry %d of SYSTEM.LOG1, which has a page of no bytes" % entries[-1].sequence
    elif case == "entries split over both logs":
        hives = states(system, CHANGES, SYSTEM_PREFIX)
        entries = entries_between(hives, sequence)
        # Windows went on in .LOG1 once .LOG2 had the first two.
        out.logs = {"SYSTEM.LOG2": new_format_log(primary, entries[:2]),
                    "SYSTEM.LOG1": new_format_log(primary, entries[2:])}
    elif case == REAL_CASE:
        hives = states(system, CHANGES + [SCATTERED], SYSTEM_PREFIX)
        entries = entries_between(hives, sequence)
        out.logs = {"SYSTEM.LOG1": new_format_log(primary, entries[:2]),
                    "SYSTEM.LOG2": new_format_log(primary, entries[2:])}
    elif case == "stale and bad entries":
        hives = states(system, CHANGES[:2] + [NOT_APPLIED], SYSTEM_PREFIX)
        entries = entries_between(hives, sequence)
        entries[-1].bad_hash = True
        # .LOG2 holds entries from before the primary was last written: their
        # page differs from the primary's, and must not replace it.
        _, stale_run = with_marker(system, pages_of(entries), STALE_MARKER)
        stale = [Entry(sequence - 2 + i, bins_size(system), [stale_run]) for i in range(2)]
        out.logs = {"SYSTEM.LOG1": new_format_log(primary, entries),
                    "SYSTEM.LOG2": new_format_log(with_base_block(primary, sequence - 2,
                                                                  sequence - 2), stale)}
        hives.pop()
        out.absent_keys.append(NOT_APPLIED_KEY)
        out.absent_bytes.append(STALE_MARKER)
    elif case == "a hive that grows":
        hives = states(system, [CHANGES[0], GROWTH], SYSTEM_PREFIX)
        if bins_size(hives[-1]) <= bins_size(system):
            raise ValueError("the change did not grow the hive")
        out.logs = {"SYSTEM.LOG1": new_format_log(primary, entries_between(hives, sequence))}
    elif case == "a damaged base block":
        hives = states(system, CHANGES[:2], SYSTEM_PREFIX)
        out.logs = {"SYSTEM.LOG1": new_format_log(dirty_primary(system),
                                                  entries_between(hives, sequence))}
    elif case in ("old format", "old format in one .LOG"):
        hives = states(system, CHANGES[:1], SYSTEM_PREFIX)
        applicable = old_format_log(system, hives[-1])
        if case == "old format":
            # A log from an earlier write: its timestamp is not the primary's.
            marked, _ = with_marker(system, set(), STALE_MARKER)
            out.logs = {"SYSTEM.LOG1": old_format_log(system, marked, timestamp(system) - 1),
                        "SYSTEM.LOG2": applicable}
            out.absent_bytes.append(STALE_MARKER)
        else:
            # Found whatever the case of its name, as the hives themselves are.
            out.logs = {"SYSTEM.log": applicable}
    elif case == "SOFTWARE with a card only in its log":
        hive = "SOFTWARE"
        out.expected["SYSTEM"] = merged(system, NEW_CARD_SYSTEM, SYSTEM_PREFIX)
        software = clean["SOFTWARE"]
        hives = states(software, [NEW_CARD_SOFTWARE], SOFTWARE_PREFIX)
        sequence = sequence_numbers(software)[1]
        primary = dirty_primary(software)
        out.logs = {"SOFTWARE.LOG1": new_format_log(primary, entries_between(hives, sequence))}
    else:
        raise ValueError("no such case: " + case)

    out.expected[hive] = hives[-2] if out.stopped else hives[-1]
    recovered = replay(primary, list(out.logs.values()))
    if recovered is None or not same_hive_bins(recovered, hives[-1]):
        raise ValueError("%s: the logs written do not replay to the changed hive" % case)
    if hive == "SOFTWARE":
        with open(paths["SYSTEM"], "wb") as f:
            f.write(out.expected["SYSTEM"])
    with open(paths[hive], "wb") as f:
        f.write(primary)
    for name, data in out.logs.items():
        with open(os.path.join(config, name), "wb") as f:
            f.write(data)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("hive")
    parser.add_argument("changes", nargs="+", help=".reg files, one log entry each")
    parser.add_argument("--prefix", default="HKEY_LOCAL_MACHINE\\SYSTEM",
                        help="the key the .reg files name the hive's root by")
    parser.add_argument("--expected", help="where to write the hive as the logs leave it")
    args = parser.parse_args()
    try:
        with open(args.hive, "rb") as f:
            clean = f.read()
        changes = []
        for change in args.changes:
            with open(change, encoding="utf-8") as f:
                changes.append(f.read())
        hives = states(clean, changes, args.prefix)
        primary = dirty_primary(clean)
        log = new_format_log(primary, entries_between(hives, sequence_numbers(clean)[1]))
        if not same_hive_bins(replay(primary, [log]), hives[-1]):
            raise ValueError("the logs written do not replay to the changed hive")
        if args.expected:
            with open(args.expected, "wb") as f:
                f.write(hives[-1])
        with open(args.hive + ".LOG1", "wb") as f:
            f.write(log)
        with open(args.hive, "wb") as f:
            f.write(primary)
    except (OSError, ValueError) as error:
        print("dirtyhive: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
