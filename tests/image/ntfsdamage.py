#!/usr/bin/env python3
"""Just enough of NTFS, read from a raw image at a volume's offset, to find
what a damaged volume has wrong where it matters to netvane: the boot
sector's geometry, an MFT record by number (its update sequence undone),
its attributes, the data runs of one of them, and a file by its path. And
the damage the image tests make with it, each as chkdsk would find it on a
Windows disk that a crash or a bad sector had hit."""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hive"))
import regf  # noqa: E402

# Attribute types (ntfs-3g's layout.h, ATTR_TYPES).
FILE_NAME, DATA, INDEX_ALLOCATION, BITMAP = 0x30, 0x80, 0xA0, 0xB0
END = 0xFFFFFFFF
# System files by record number.
MFT, MFT_MIRROR, LOG_FILE, ROOT, VOLUME_BITMAP = 0, 1, 2, 5, 6
# Update sequences protect each 512-byte stride, whatever the sector size.
STRIDE = 512


def u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


def u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def u64(data, at):
    return int.from_bytes(data[at:at + 8], "little")


def unprotect(block):
    """The block with each stride's last two bytes restored from the update
    sequence array, as NTFS reads an MFT record or an index block."""
    block = bytearray(block)
    usa, count = u16(block, 4), u16(block, 6)
    for i in range(1, count):
        block[i * STRIDE - 2:i * STRIDE] = block[usa + 2 * i:usa + 2 * i + 2]
    return block


def protect(block):
    """The inverse of unprotect, keeping the block's update sequence number."""
    block = bytearray(block)
    usa, count = u16(block, 4), u16(block, 6)
    for i in range(1, count):
        block[usa + 2 * i:usa + 2 * i + 2] = block[i * STRIDE - 2:i * STRIDE]
        block[i * STRIDE - 2:i * STRIDE] = block[usa:usa + 2]
    return block


class Attribute:
    """One attribute of an MFT record: `at` is its offset in the record."""

    def __init__(self, record, at):
        self.at = at
        self.type, self.length = u32(record, at), u32(record, at + 4)
        self.resident = record[at + 8] == 0
        name_length, name_at = record[at + 9], u16(record, at + 10)
        self.name = bytes(record[at + name_at:at + name_at + 2 * name_length]).decode("utf-16-le")
        if self.resident:
            start = at + u16(record, at + 20)
            self.value = bytes(record[start:start + u32(record, at + 16)])
            self.value_at = start
        else:
            self.allocated, self.size, self.initialized = (u64(record, at + 40), u64(record, at + 48),
                                                           u64(record, at + 56))
            self.runs = self._runs(record, at + u16(record, at + 32))

    @staticmethod
    def _runs(record, at):
        """[(first cluster or None where sparse, clusters)]."""
        runs, lcn = [], 0
        while record[at]:
            length_size, offset_size = record[at] & 0xF, record[at] >> 4
            length = int.from_bytes(record[at + 1:at + 1 + length_size], "little")
            if offset_size:
                lcn += int.from_bytes(record[at + 1 + length_size:at + 1 + length_size + offset_size],
                                      "little", signed=True)
                runs.append((lcn, length))
            else:
                runs.append((None, length))
            at += 1 + length_size + offset_size
        return runs


class Volume:
    """The NTFS volume at `offset` in the raw image `path`."""

    def __init__(self, path, offset=0):
        self.path, self.offset = path, offset
        boot = self.read(0, 512)
        self.cluster = u16(boot, 11) * boot[13]

        def size(field):
            # Clusters per record when positive, else a power of two in bytes.
            value = int.from_bytes(bytes([field]), "little", signed=True)
            return value * self.cluster if value > 0 else 1 << -value

        self.record_size, self.index_size = size(boot[64]), size(boot[68])
        self.size = u64(boot, 40) * u16(boot, 11)
        # Record 0 is where the boot sector says; the others where its runs say.
        self.mft_runs = [(u64(boot, 48), 1 << 40)]
        data = self.attribute(MFT, DATA)
        self.mft_runs, self.records = data.runs, data.size // self.record_size

    def read(self, at, count):
        with open(self.path, "rb") as f:
            f.seek(self.offset + at)
            return f.read(count)

    def write(self, at, data):
        with open(self.path, "r+b") as f:
            f.seek(self.offset + at)
            f.write(data)

    def extents(self, runs):
        """[(offset in the volume, bytes)] of the allocated runs."""
        return [(lcn * self.cluster, length * self.cluster) for lcn, length in runs if lcn is not None]

    def record_at(self, number):
        """Where MFT record `number` starts, as an offset in the volume."""
        at = number * self.record_size
        for start, length in self.extents(self.mft_runs):
            if at < length:
                return start + at
            at -= length
        raise ValueError("record %d lies past the MFT" % number)

    def record(self, number):
        return unprotect(self.read(self.record_at(number), self.record_size))

    def write_record(self, number, record):
        self.write(self.record_at(number), protect(record))

    @staticmethod
    def attributes(record):
        found, at = [], u16(record, 20)
        while at + 8 <= len(record) and u32(record, at) != END:
            found.append(Attribute(record, at))
            at += found[-1].length
        return found

    def attribute(self, number, type_, name=""):
        for attribute in self.attributes(self.record(number)):
            if attribute.type == type_ and attribute.name == name:
                return attribute
        raise KeyError("record %d has no attribute 0x%x %r" % (number, type_, name))

    def names(self):
        """{(parent record, name in upper case): record} of every file and
        directory in use, by its long names (a DOS-only name is left out)."""
        found = {}
        for number in range(self.records):
            record = self.record(number)
            # In use, and a base record (not an extension of another).
            if record[:4] != b"FILE" or not u16(record, 22) & 1 or u64(record, 32):
                continue
            for attribute in self.attributes(record):
                value = attribute.value if attribute.type == FILE_NAME else None
                if value is not None and value[65] != 2:
                    name = value[66:66 + 2 * value[64]].decode("utf-16-le").upper()
                    found[(u64(value, 0) & 0xFFFFFFFFFFFF, name)] = number
        return found

    def lookup(self, path):
        """The record number of the file or directory at `path` ("a/b/c"),
        names compared without case, as Windows compares them."""
        names, number = self.names(), ROOT
        for name in path.strip("/").split("/"):
            number = names[(number, name.upper())]
        return number

    def listdir(self, path):
        """The names in the directory at `path`, in upper case."""
        directory = self.lookup(path)
        return sorted(name for parent, name in self.names() if parent == directory)

    def index_blocks(self, directory):
        """Where the directory's index blocks start, as offsets in the volume."""
        allocation = self.attribute(directory, INDEX_ALLOCATION, "$I30")
        return [start + at for start, length in self.extents(allocation.runs)
                for at in range(0, length, self.index_size)]


# The damage, each done to the volume at `offset` in the raw image `path`.

def zero_bitmap(path, offset=0, mft_bitmap=False):
    """$Bitmap's clusters all zero: every cluster free, the MFT's and the
    hive's among them; with `mft_bitmap`, every MFT record too."""
    volume = Volume(path, offset)
    for start, length in volume.extents(volume.attribute(VOLUME_BITMAP, DATA).runs):
        volume.write(start, bytes(length))
    if mft_bitmap:
        bitmap = volume.attribute(MFT, BITMAP)
        if bitmap.resident:
            record = volume.record(MFT)
            record[bitmap.value_at:bitmap.value_at + len(bitmap.value)] = bytes(len(bitmap.value))
            volume.write_record(MFT, record)
        else:
            for start, length in volume.extents(bitmap.runs):
                volume.write(start, bytes(length))


def shift_index_update_sequence(path, offset, directory):
    """The directory's first index block with its update sequence array's
    offset one byte off (0x28 to 0x29), as a torn or mis-written block
    leaves it."""
    volume = Volume(path, offset)
    start = volume.index_blocks(volume.lookup(directory))[0]
    block = volume.read(start, 8)
    assert block[:4] == b"INDX" and u16(block, 4) == 0x28, block
    volume.write(start + 4, struct.pack("<H", 0x29))


def double_data_size(path, offset, file):
    """The file's $DATA claiming twice the bytes it has, past what is
    allocated to it."""
    volume = Volume(path, offset)
    number = volume.lookup(file)
    record = volume.record(number)
    data = [a for a in volume.attributes(record) if a.type == DATA and a.name == ""][0]
    assert not data.resident
    struct.pack_into("<Q", record, data.at + 48, 2 * data.size)
    volume.write_record(number, record)


def short_hive_bins(hive):
    """A hive whose base block gives its bins one byte fewer than they hold,
    the base block's checksum made right again."""
    hive = bytearray(hive)
    struct.pack_into("<I", hive, 40, u32(hive, 40) - 1)
    struct.pack_into("<I", hive, 508, regf.base_block_checksum(hive))
    return bytes(hive)
