"""Hive contents as two readers we did not write see them: hivex's hivexget
and libyal's regfexport (libregf). Each returns {value name: (type, data)},
"" naming the default value, or None when the reader cannot show the key."""

import hashlib
import re
import subprocess
import tempfile

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7

_TYPE_NAMES = {
    "REG_NONE": 0, "REG_SZ": REG_SZ, "REG_EXPAND_SZ": REG_EXPAND_SZ,
    "REG_BINARY": REG_BINARY, "REG_DWORD_LITTLE_ENDIAN": REG_DWORD,
    "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": REG_MULTI_SZ,
    "REG_QWORD_LITTLE_ENDIAN": 11,
}


def _unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


_HIVEX_LINE = re.compile(r'^"((?:[^"\\]|\\.)*)"=(.*)$')


def hivex_values(hive, key):
    """Through hivexget. Strings come back as text, since hivexget prints
    them decoded; everything else as bytes, DWORDs as numbers."""
    result = subprocess.run(["hivexget", hive, "\\" + key], capture_output=True)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.decode("utf-8").splitlines():
        match = _HIVEX_LINE.match(line)
        if not match:
            raise ValueError("hivexget printed an unexpected line: %r" % line)
        name, data = _unescape(match.group(1)), match.group(2)
        # hivexget prints the default value under the name "@".
        if name == "@":
            name = ""
        if data.startswith('"'):
            values[name] = (REG_SZ, _unescape(data[1:-1]))
        elif data.startswith("dword:"):
            values[name] = (REG_DWORD, int(data[6:], 16))
        elif data.startswith("hex:"):
            values[name] = (REG_BINARY, _hex_list(data[4:]))
        elif data.startswith("str("):
            typed = re.match(r'str\((\d+)\):"(.*)"$', data)
            values[name] = (int(typed.group(1)), _unescape(typed.group(2)))
        else:
            # Unlike a .reg file, hivexsh gives the type in decimal.
            typed = re.match(r"hex\((\d+)\):(.*)$", data)
            if not typed:
                raise ValueError("hivexget printed an unexpected value: %r" % line)
            values[name] = (int(typed.group(1)), _hex_list(typed.group(2)))
    return values


def _hex_list(text):
    return bytes(int(b, 16) for b in text.split(",") if b)


def regf_values(hive, key):
    """Through regfexport. Strings come back as text with their stored size
    checked to hold exactly one terminator; multi-strings as their bytes."""
    result = subprocess.run(["regfexport", "-K", key, hive], capture_output=True)
    if result.returncode != 0:
        return None
    lines = result.stdout.decode("utf-8").split("\n")
    # regfexport goes on into the subkeys; each begins with its "Key path:".
    starts = [i for i, line in enumerate(lines) if line.startswith("Key path: ")]
    if not starts:
        return None
    lines = lines[starts[0]:starts[1] if len(starts) > 1 else len(lines)]
    values = {}
    i = 0
    while i < len(lines):
        match = re.match(r"Value: \d+ (.*)$", lines[i])
        if not match:
            i += 1
            continue
        name = "" if match.group(1) == "(default)" else match.group(1)
        type_name = re.search(r"\((REG_\w+)\)", lines[i + 1]).group(1)
        value_type = _TYPE_NAMES[type_name]
        size = int(lines[i + 2].split(":", 1)[1])
        data_line = lines[i + 3]
        i += 4
        if value_type in (REG_SZ, REG_EXPAND_SZ):
            text = data_line[len("Data: "):]
            if size != 2 * (len(text.encode("utf-16-le")) // 2 + 1):
                raise ValueError("%s: %d bytes do not hold %r and one terminator" % (name, size, text))
            values[name] = (value_type, text)
        elif value_type == REG_DWORD:
            values[name] = (REG_DWORD, int(data_line[len("Data: "):]))
        else:
            data = bytearray()
            while i < len(lines) and re.match(r"[0-9a-f]{8}: ", lines[i]):
                data += bytes(int(b, 16) for b in lines[i][10:59].split())
                i += 1
            if len(data) != size:
                raise ValueError("%s: regfexport showed %d of %d bytes" % (name, len(data), size))
            values[name] = (value_type, bytes(data))
    return values


def multi_string(*texts):
    """The bytes Windows keeps for a REG_MULTI_SZ of these texts."""
    return "".join(text + "\0" for text in texts).encode("utf-16-le") + b"\0\0"


def regfinfo_problems(hive):
    """What libregf's regfinfo reports against a hive; empty when it opens cleanly."""
    result = subprocess.run(["regfinfo", hive], capture_output=True, text=True)
    problems = []
    if result.returncode != 0:
        problems.append("regfinfo exited with %d" % result.returncode)
    problems += [line for line in (result.stdout + result.stderr).splitlines()
                 if re.search(r"error|corrupt|unable", line, re.IGNORECASE)]
    return problems


def _blocks(output, header):
    """{key path below the root, upper-cased: a digest of the lines printed
    for it}; `header` matches the line that begins a key and holds its path.
    Digests keep a real hive's dumps small enough to hold several."""
    starts = list(header.finditer(output))
    blocks = {}
    for match, following in zip(starts, starts[1:] + [None]):
        end = following.start() if following else len(output)
        path = _below_root(match.group(1).decode("utf-8", "surrogateescape")).upper()
        blocks[path] = hashlib.sha256(output[match.start():end]).hexdigest()
    return blocks


def _below_root(path):
    return path.split("\\", 1)[1] if "\\" in path else ""


def whole_hive(hive):
    """Every key and value of the hive as each reader prints it:
    {"hivex": blocks, "regfexport": blocks}, blocks mapping each key's path
    below the root (upper-cased) to a digest of its printed text. The two
    readers run at once, since each takes seconds on a real hive, and write
    to files: regfexport makes a write call for every few bytes, which a
    file takes faster than a pipe."""
    commands = (["hivexregedit", "--export", "--prefix", "ROOT", hive, "\\"],
                ["regfexport", hive])
    files = [tempfile.TemporaryFile() for _ in commands]
    processes = [subprocess.Popen(command, stdout=out, stderr=subprocess.PIPE)
                 for command, out in zip(commands, files)]
    texts = []
    for out, process in zip(files, processes):
        with out:
            error = process.communicate()[1]
            if process.returncode != 0:
                raise ValueError("cannot dump %s: %s" % (hive, error.decode("utf-8", "replace")))
            out.seek(0)
            texts.append(out.read())
    return {"hivex": _blocks(texts[0], re.compile(rb"^\[(.*)\]$", re.M)),
            "regfexport": _blocks(texts[1], re.compile(rb"^Key path: (.*)$", re.M))}


def hivex_export(hive, key):
    """The key and every key below it as hivexregedit exports them: Version
    5.00 text, every value in hex as stored, paths beginning with ROOT."""
    result = subprocess.run(["hivexregedit", "--export", "--prefix", "ROOT", hive, "\\" + key],
                            capture_output=True, check=True)
    return result.stdout.decode("utf-8")
