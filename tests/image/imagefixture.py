#!/usr/bin/env python3
"""Builds disk images that hold an offline Windows installation, with tools
that are not netvane's: sfdisk lays out the disk, mkntfs makes each NTFS
volume, an ntfs-3g mount (as root) puts the files in as Windows keeps them,
and qemu-img converts the raw disk into other formats. An installation is
a directory that holds what the volume's root holds (Windows/System32/config
and the hives, hiberfil.sys...).
"""

import contextlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "hive"))
import ntfsdamage  # noqa: E402
import regf  # noqa: E402

SECTOR = 512
MIB = 1 << 20
EFI = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
RESERVED = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"
BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
RECOVERY = "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC"
# What Windows gives its registry files: hidden, system and archive
# (FILE_ATTRIBUTE_*), and one name that is both the long and the short one.
HIVE_ATTRIBUTES = 0x2 | 0x4 | 0x20
# The other hives of a Windows config directory, each with its two logs:
# with them the directory's index outgrows its MFT record into an index
# block, as on a real installation.
OTHER_HIVES = ("BBI", "COMPONENTS", "DEFAULT", "DRIVERS", "ELAM", "SAM", "SECURITY")


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, **options)


def hive_descriptor():
    """The security descriptor Windows gives its registry files: owner
    Administrators, group SYSTEM, full control for both and for no one
    else. ntfs-3g gives a file it creates another one."""
    administrators, system = regf.sid(5, 32, 544), regf.sid(5, 18)
    file_all_access = 0x1F01FF
    aces = b"".join(struct.pack("<BBHI", 0, 0, 8 + len(who), file_all_access) + who
                    for who in (system, administrators))
    dacl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 2, 0) + aces
    se_dacl_present, se_self_relative = 0x0004, 0x8000
    owner = 20
    header = struct.pack("<BBHIIII", 1, 0, se_dacl_present | se_self_relative, owner,
                         owner + len(administrators), 0, owner + len(administrators) + len(system))
    return header + administrators + system + dacl


def add_other_hives(installation):
    config = os.path.join(installation, "Windows", "System32", "config")
    for hive in OTHER_HIVES:
        for suffix in ("", ".LOG1", ".LOG2"):
            with open(os.path.join(config, hive + suffix), "wb"):
                pass


def settle_hive(path):
    """Gives a hive file in a mounted volume what Windows gives it: one
    name that is both the long and the short one, its attributes and its
    security descriptor."""
    name = os.path.basename(path).upper()
    os.setxattr(path, "system.ntfs_dos_name", name.encode())
    os.setxattr(path, "system.ntfs_attrib_be", HIVE_ATTRIBUTES.to_bytes(4, "big"))
    os.setxattr(path, "system.ntfs_acl", hive_descriptor())


@contextlib.contextmanager
def mounted(path, *options):
    """The NTFS volume in the file `path`, mounted by ntfs-3g (as root)."""
    with tempfile.TemporaryDirectory(prefix="netvane-ntfs-") as mount:
        run("ntfs-3g", *options, path, mount)
        try:
            yield mount
        finally:
            run("umount", mount)


def fill(mount, free):
    """Fills the mounted volume with a page file until fewer than `free`
    bytes are left."""
    with open(os.path.join(mount, "pagefile.sys"), "wb") as f:
        while True:
            status = os.statvfs(mount)
            left = status.f_bavail * status.f_frsize
            if left < free:
                return
            f.write(bytes(min(left - free + status.f_frsize, 1 << 20)))
            f.flush()


def ntfs_volume(path, size, start_sector, installation=None, label="Windows", then=None):
    """An NTFS volume of `size` bytes in the file `path`, made for a
    partition at `start_sector`, holding the files below `installation`;
    then(mount) does more through the same mount."""
    with open(path, "wb") as f:
        f.truncate(size)
    run("mkntfs", "-F", "-Q", "-q", "-p", str(start_sector), "-L", label, path)
    if installation is None:
        return
    with mounted(path) as mount:
        for directory, _, names in os.walk(installation):
            inside = os.path.join(mount, os.path.relpath(directory, installation))
            os.makedirs(inside, exist_ok=True)
            for name in names:
                target = os.path.join(inside, name)
                shutil.copyfile(os.path.join(directory, name), target)
                if name.upper() in ("SYSTEM", "SOFTWARE"):
                    settle_hive(target)
        if then is not None:
            then(mount)


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


def bare(path, installation, size=64 * MIB, then=None):
    """One NTFS volume and no partition table: a partition's device, or a
    volume copied off one."""
    ntfs_volume(path, size, 0, installation, then=then)
    return [(0, size)]


def convert(raw, image_format, out):
    run("qemu-img", "convert", "-O", image_format, raw, out)


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
    volume = ntfsdamage.Volume(path, offset)
    start = offset + volume.extents(volume.attribute(ntfsdamage.LOG_FILE, ntfsdamage.DATA).runs)[0][0]
    with open(path, "r+b") as f:
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

