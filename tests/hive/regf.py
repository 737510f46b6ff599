"""The smallest valid Windows registry hive, built from the published regf
layout, so that the hive tests never need a binary file in the repository.

hivex can edit a hive but cannot make one from nothing; the hive written here
is what it starts from. Layout: a 4096-byte base block, then one 4096-byte
hive bin holding the root key (nk), its security descriptor (sk) and one free
cell for the rest of the bin. Offsets inside the bins are relative to the
first bin, 4096 bytes into the file.
"""

import struct
import time

BASE_BLOCK_SIZE = 4096
BIN_SIZE = 4096
BIN_HEADER_SIZE = 32

# Key node flags: the hive's root, which may not be deleted, whose name is
# stored as 8-bit text.
KEY_HIVE_ENTRY = 0x0004
KEY_NO_DELETE = 0x0008
KEY_COMP_NAME = 0x0020

NO_CELL = 0xFFFFFFFF


def filetime(seconds=None):
    """Seconds since 1970 as a FILETIME: 100 ns units since 1601."""
    if seconds is None:
        seconds = time.time()
    return int(seconds * 10_000_000) + 116_444_736_000_000_000


def base_block_xor(block):
    """XOR of the first 508 bytes taken as little-endian 32-bit words: the
    checksum as hivex and libregf require it."""
    total = 0
    for (word,) in struct.iter_unpack("<I", block[:508]):
        total ^= word
    return total


def base_block_checksum(block):
    """The checksum as Windows stores it."""
    total = base_block_xor(block)
    # Windows reserves these two results, so it stores a neighbour instead.
    if total == 0xFFFFFFFF:
        total = 0xFFFFFFFE
    elif total == 0:
        total = 1
    return total


def set_sequence_numbers(block, primary, secondary):
    """Sets both sequence numbers of a base block and refreshes its checksum."""
    struct.pack_into("<II", block, 4, primary, secondary)
    struct.pack_into("<I", block, 508, base_block_checksum(block))


def cell(payload):
    """An allocated cell: negative size, payload, padded to 8 bytes."""
    size = (4 + len(payload) + 7) & ~7
    return struct.pack("<i", -size) + payload + b"\0" * (size - 4 - len(payload))


def sid(authority, *subauthorities):
    return struct.pack("<BB", 1, len(subauthorities)) + authority.to_bytes(6, "big") + \
        b"".join(struct.pack("<I", s) for s in subauthorities)


def security_descriptor():
    """Self-relative descriptor: owner Administrators, group SYSTEM, and a
    DACL giving both full control and Users read access, inherited by the
    subkeys that hivex adds later (they share this sk cell)."""
    administrators = sid(5, 32, 544)
    system = sid(5, 18)
    users = sid(5, 32, 545)
    key_all_access = 0xF003F
    key_read = 0x20019
    container_inherit = 0x02

    def allow(mask, who):
        body = struct.pack("<I", mask) + who
        return struct.pack("<BBH", 0, container_inherit, 4 + len(body)) + body

    aces = allow(key_all_access, administrators) + allow(key_all_access, system) + \
        allow(key_read, users)
    dacl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 3, 0) + aces
    se_dacl_present = 0x0004
    se_self_relative = 0x8000
    header_size = 20
    owner_offset = header_size
    group_offset = owner_offset + len(administrators)
    dacl_offset = group_offset + len(system)
    header = struct.pack("<BBHIIII", 1, 0, se_dacl_present | se_self_relative,
                         owner_offset, group_offset, 0, dacl_offset)
    return header + administrators + system + dacl


def empty_hive(file_name="SYSTEM", root_name="ROOT", written=None):
    """The bytes of a hive with a root key and nothing else."""
    stamp = filetime(written)
    root_offset = BIN_HEADER_SIZE
    name = root_name.encode("ascii")
    nk_size = (4 + 76 + len(name) + 7) & ~7
    sk_offset = root_offset + nk_size

    descriptor = security_descriptor()
    sk = b"sk" + struct.pack("<H", 0) + struct.pack("<III", sk_offset, sk_offset, 1) + \
        struct.pack("<I", len(descriptor)) + descriptor
    nk = b"nk" + struct.pack(
        "<HQIIIIIIIIIIIIIIIHH",
        KEY_HIVE_ENTRY | KEY_NO_DELETE | KEY_COMP_NAME,
        stamp,
        0,          # spare
        NO_CELL,    # parent: the root has none
        0, 0,       # subkeys, volatile subkeys
        NO_CELL, NO_CELL,
        0, NO_CELL,  # values
        sk_offset,
        NO_CELL,    # class name
        0, 0, 0, 0,  # largest subkey name, class name, value name, value data
        0,          # work var
        len(name), 0) + name

    cells = cell(nk) + cell(sk)
    assert len(cell(nk)) == nk_size
    free = BIN_SIZE - BIN_HEADER_SIZE - len(cells)
    hbin = b"hbin" + struct.pack("<IIQQI", 0, BIN_SIZE, 0, stamp, 0) + cells + \
        struct.pack("<i", free) + b"\0" * (free - 4)
    assert len(hbin) == BIN_SIZE

    block = bytearray(BASE_BLOCK_SIZE)
    block[0:4] = b"regf"
    struct.pack_into("<Q", block, 12, stamp)
    # Version 1.5: the hash-leaf subkey lists that hivex writes belong to it.
    struct.pack_into("<IIIIIII", block, 20, 1, 5, 0, 1, root_offset, BIN_SIZE, 1)
    label = file_name.encode("utf-16-le")[:64]
    block[48:48 + len(label)] = label
    set_sequence_numbers(block, 1, 1)
    return bytes(block) + hbin
