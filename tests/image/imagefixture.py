#!/usr/bin/env python3
"""Builds disk images that hold an offline Windows installation, with tools
that are not netvane's: sfdisk lays out the disk, mkntfs makes each NTFS
volume, an ntfs-3g mount (as root) puts the files in as Windows keeps them,
and qemu-img converts the raw disk into other formats. An installation is
a directory that holds what the volume's root holds (Windows/System32/config
and the hives, hiberfil.sys...).
"""

import json
import os
import shutil
import subprocess
import tempfile

SECTOR = 512
MIB = 1 << 20
EFI = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
RESERVED = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"
BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
RECOVERY = "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC"
# What Windows gives its registry files: hidden, system and archive
# (FILE_ATTRIBUTE_*), and one name that is both the long and the short one.
HIVE_ATTRIBUTES = 0x2 | 0x4 | 0x20


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, **options)


def ntfs_volume(path, size, start_sector, installation=None, label="Windows"):
    """An NTFS volume of `size` bytes in the file `path`, made for a
    partition at `start_sector`, holding the files below `installation`."""
    with open(path, "wb") as f:
        f.truncate(size)
    run("mkntfs", "-F", "-Q", "-q", "-p", str(start_sector), "-L", label, path)
    if installation is None:
        return
    with tempfile.TemporaryDirectory(prefix="netvane-ntfs-") as mount:
        run("ntfs-3g", path, mount)
        try:
            for directory, _, names in os.walk(installation):
                inside = os.path.join(mount, os.path.relpath(directory, installation))
                os.makedirs(inside, exist_ok=True)
                for name in names:
                    target = os.path.join(inside, name)
                    shutil.copyfile(os.path.join(directory, name), target)
                    if name.upper() in ("SYSTEM", "SOFTWARE"):
                        os.setxattr(target, "system.ntfs_dos_name", name.upper().encode())
                        os.setxattr(target, "system.ntfs_attrib_be", HIVE_ATTRIBUTES.to_bytes(4, "big"))
        finally:
            run("umount", mount)


def disk(path, label, partitions, size=96 * MIB):
    """A raw disk laid out by sfdisk: `partitions` are (bytes, type,
    installation or None or "ntfs" for an empty NTFS volume or "fat").
    Returns each partition's (offset, size)."""
    with open(path, "wb") as f:
        f.truncate(size)
    script = "label: %s\n" % label + "".join(
        "size=%dKiB, type=%s\n" % (size // 1024, kind) for size, kind, _ in partitions)
    run("sfdisk", "-q", path, input=script.encode())
    table = json.loads(run("sfdisk", "--json", path).stdout)["partitiontable"]["partitions"]
    for (size, _, content), entry in zip(partitions, table):
        offset = entry["start"] * SECTOR
        if content is None:
            continue
        if content == "fat":
            # A FAT32 boot sector is enough for anyone who only looks.
            with open(path, "r+b") as f:
                f.seek(offset)
                f.write(b"\xeb\x58\x90MSDOS5.0")
                f.seek(offset + 82)
                f.write(b"FAT32   ")
                f.seek(offset + 510)
                f.write(b"\x55\xaa")
            continue
        volume = path + ".volume"
        ntfs_volume(volume, entry["size"] * SECTOR, entry["start"],
                    None if content == "ntfs" else content,
                    "Recovery" if content == "ntfs" else "Windows")
        run("dd", "if=" + volume, "of=" + path, "bs=1M", "oflag=seek_bytes", "seek=%d" % offset,
            "conv=notrunc,sparse", "status=none")
        os.unlink(volume)
    return [(entry["start"] * SECTOR, entry["size"] * SECTOR) for entry in table]


def gpt(path, installation, size=96 * MIB):
    """EFI system, reserved, Windows and recovery partitions, as Windows
    Setup lays out a disk."""
    return disk(path, "gpt", [(8 * MIB, EFI, "fat"), (16 * MIB, RESERVED, None),
                              (size - 40 * MIB, BASIC_DATA, installation),
                              (12 * MIB, RECOVERY, "ntfs")], size)


def mbr(path, installation, size=96 * MIB):
    """A "System Reserved" NTFS volume before Windows, as Windows 7 to 10
    lay out a BIOS disk."""
    return disk(path, "dos", [(16 * MIB, "7", "ntfs"), (size - 20 * MIB, "7", installation)], size)


def bare(path, installation, size=64 * MIB):
    """One NTFS volume and no partition table: a partition's device, or a
    volume copied off one."""
    ntfs_volume(path, size, 0, installation)
    return [(0, size)]


def convert(raw, image_format, out):
    run("qemu-img", "convert", "-O", image_format, raw, out)


def _log_file_start(f, offset):
    """Where $LogFile's data starts: the first run of record 2's $DATA
    attribute in the MFT, its sectors' last words restored from the update
    sequence array."""
    f.seek(offset)
    boot = f.read(512)
    cluster = int.from_bytes(boot[11:13], "little") * boot[13]
    per_record = int.from_bytes(boot[64:65], "little", signed=True)
    record_size = per_record * cluster if per_record > 0 else 1 << -per_record
    f.seek(offset + int.from_bytes(boot[48:56], "little") * cluster + 2 * record_size)
    record = bytearray(f.read(record_size))
    usa, count = int.from_bytes(record[4:6], "little"), int.from_bytes(record[6:8], "little")
    for i in range(1, count):
        record[i * 512 - 2:i * 512] = record[usa + 2 * i:usa + 2 * i + 2]
    at = int.from_bytes(record[20:22], "little")
    while int.from_bytes(record[at:at + 4], "little") != 0x80:
        at += int.from_bytes(record[at + 4:at + 8], "little")
    pairs = at + int.from_bytes(record[at + 32:at + 34], "little")
    length_size, lcn_size = record[pairs] & 0xF, record[pairs] >> 4
    lcn = record[pairs + 1 + length_size:pairs + 1 + length_size + lcn_size]
    return offset + int.from_bytes(lcn, "little", signed=True) * cluster


def mark_journal_unclean(path, offset=0):
    """Writes $LogFile's two restart pages as a Windows that had the volume
    mounted leaves them: a log client in use, and no clean flag (the
    layout libntfs-3g checks, logfile.h). mkntfs leaves the journal empty,
    which counts as clean."""
    page = bytearray(4096)
    page[0:4] = b"RSTR"
    # The update sequence array after the 30-byte header: 1 + 4096 / 512
    # words, the first the sequence number that ends every sector.
    page[4:8] = (30).to_bytes(2, "little") + (9).to_bytes(2, "little")
    page[16:30] = (4096).to_bytes(4, "little") * 2 + (48).to_bytes(2, "little") + \
        (1).to_bytes(2, "little") * 2
    page[30:32] = (1).to_bytes(2, "little")
    for end in range(510, 4096, 512):
        page[end:end + 2] = (1).to_bytes(2, "little")
    with open(path, "r+b") as f:
        start = _log_file_start(f, offset)
        f.seek(offset)
        log_size = 2 << 20
        area = 48
        page[area:area + 48] = ((0x1000).to_bytes(8, "little") + (1).to_bytes(2, "little") +
                                (0xFFFF).to_bytes(2, "little") + (0).to_bytes(2, "little") +
                                (0).to_bytes(2, "little") +
                                (67 - log_size.bit_length()).to_bytes(4, "little") +
                                (64 + 160).to_bytes(2, "little") + (64).to_bytes(2, "little") +
                                log_size.to_bytes(8, "little") + bytes(4) +
                                (48).to_bytes(2, "little") + (64).to_bytes(2, "little") +
                                (1).to_bytes(4, "little") + bytes(4))
        client = area + 64
        page[client + 16:client + 20] = b"\xff\xff\xff\xff"
        page[client + 28:client + 40] = (8).to_bytes(4, "little") + "NTFS".encode("utf-16-le")
        f.seek(start)
        f.write(page + page)

