"""A small reader for registry export files, independent of netvane's own.

It reads both flavours that the registry's tools write: "REGEDIT4" in an
8-bit code page, and "Windows Registry Editor Version 5.00" in UTF-16LE with a
byte-order mark. Values come back as the registry keeps them: a type number
and the stored bytes, with every string type held as UTF-16LE.
"""

import codecs

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_MULTI_SZ = 7
STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)

HEADER_4 = "REGEDIT4"
HEADER_5 = "Windows Registry Editor Version 5.00"

ROOT_NAMES = {
    "HKLM": "HKEY_LOCAL_MACHINE",
    "HKCU": "HKEY_CURRENT_USER",
    "HKCR": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS",
}


class RegFileError(Exception):
    pass


def fold(name):
    """Registry names compare case-insensitively, by upper-cased name."""
    return name.upper()


class Value:
    def __init__(self, name, type_, data):
        self.name = name
        self.type = type_
        self.data = bytes(data)

    def decoded(self):
        """The content as it should compare: text for string types (every
        unit, terminators included), bytes otherwise."""
        if self.type in STRING_TYPES:
            text = self.data[: len(self.data) // 2 * 2].decode("utf-16-le", "surrogatepass")
            return (self.type, text, self.data[len(self.data) // 2 * 2:])
        return (self.type, self.data)

    def describe(self):
        if self.type in STRING_TYPES:
            return "type %d %r" % (self.type, self.decoded()[1])
        return "type %d %s" % (self.type, self.data.hex(","))


class Key:
    def __init__(self, path):
        self.path = path
        self.values = {}  # folded name -> Value, in file order

    def set(self, value):
        self.values[fold(value.name)] = value


class RegFile:
    def __init__(self, flavour):
        self.flavour = flavour  # 4 or 5
        self.keys = {}  # folded full path -> Key, in file order
        self.deleted_keys = []

    def key(self, path):
        return self.keys.get(fold(normalise_path(path)))


def normalise_path(path):
    parts = path.split("\\")
    parts[0] = ROOT_NAMES.get(parts[0].upper(), parts[0].upper())
    while len(parts) > 1 and parts[-1] == "":
        parts.pop()
    return "\\".join(parts)


def _decode_file(raw, codepage):
    if raw.startswith(codecs.BOM_UTF16_LE):
        return raw[2:].decode("utf-16-le", "surrogatepass"), True
    if raw.startswith(codecs.BOM_UTF8):
        raw = raw[3:]
    return raw.decode(codepage, "replace"), False


def _unescape(text, start, where):
    """Reads a quoted string from text[start] (just after the opening quote);
    returns the string and the index after the closing quote."""
    out = []
    i = start
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(nxt, nxt))
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise RegFileError("%s: unterminated string" % where)


def _hex_bytes(text, where):
    text = text.replace(" ", "").replace("\t", "")
    if text == "":
        return b""
    try:
        return bytes(int(part, 16) for part in text.split(","))
    except ValueError:
        raise RegFileError("%s: bad hex data" % where)


def _data(text, flavour, codepage, where):
    """Parses the text after "=": returns (type, bytes), or None for "-"."""
    text = text.strip()
    if text == "-":
        return None
    if text.startswith('"'):
        value, end = _unescape(text, 1, where)
        rest = text[end:].strip()
        if rest and not rest.startswith(";"):
            raise RegFileError("%s: text after the string" % where)
        return REG_SZ, (value + "\0").encode("utf-16-le", "surrogatepass")
    lower = text.lower()
    if lower.startswith("dword:"):
        try:
            number = int(text[6:].split(";")[0].strip(), 16)
        except ValueError:
            raise RegFileError("%s: bad dword" % where)
        return REG_DWORD, number.to_bytes(4, "little")
    if lower.startswith("hex:"):
        return REG_BINARY, _hex_bytes(text[4:].split(";")[0], where)
    if lower.startswith("hex("):
        close = text.find("):")
        if close < 0:
            raise RegFileError("%s: bad hex type" % where)
        type_ = int(text[4:close], 16)
        data = _hex_bytes(text[close + 2:].split(";")[0], where)
        if flavour == 4 and type_ in STRING_TYPES:
            # REGEDIT4 keeps string data in the 8-bit code page; the registry
            # holds it as UTF-16.
            data = data.decode(codepage, "replace").encode("utf-16-le", "surrogatepass")
        return type_, data
    raise RegFileError("%s: unknown value form" % where)


def parse(raw, codepage="utf-8", name="<reg>"):
    """Parses the bytes of a .reg file. `codepage` is the 8-bit code page of
    a REGEDIT4 file: UTF-8 for netvane's Linux stand-in, the ANSI code page
    (cp1252 here) for Windows and Wine."""
    text, utf16 = _decode_file(raw, codepage)
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    header = lines[0].strip() if lines else ""
    if header == HEADER_4:
        flavour = 4
    elif header == HEADER_5:
        flavour = 5
    else:
        raise RegFileError("%s: unknown header %r" % (name, header))
    reg = RegFile(flavour)
    current = None
    i = 1
    while i < len(lines):
        line = lines[i].strip()
        where = "%s:%d" % (name, i + 1)
        i += 1
        # A value's hex data goes on over lines that end with a backslash.
        while line.endswith("\\") and not line.startswith("[") and "=hex" in line.lower() \
                and i < len(lines):
            line = line[:-1] + lines[i].strip()
            i += 1
        if line == "" or line.startswith(";"):
            continue
        if line.startswith("["):
            end = line.rfind("]")
            if end < 0:
                raise RegFileError("%s: unclosed key name" % where)
            path = line[1:end]
            if path.startswith("-"):
                reg.deleted_keys.append(normalise_path(path[1:]))
                current = None
                continue
            path = normalise_path(path)
            current = reg.keys.setdefault(fold(path), Key(path))
            continue
        if current is None:
            raise RegFileError("%s: value outside a key" % where)
        if line.startswith("@"):
            value_name, rest = "", line[1:]
        elif line.startswith('"'):
            value_name, end = _unescape(line, 1, where)
            rest = line[end:]
        else:
            raise RegFileError("%s: unreadable line %r" % (where, line))
        rest = rest.lstrip()
        if not rest.startswith("="):
            raise RegFileError("%s: missing '='" % where)
        data = _data(rest[1:], flavour, codepage, where)
        if data is None:
            current.values.pop(fold(value_name), None)
        else:
            current.set(Value(value_name, data[0], data[1]))
    return reg


def read(path, codepage="utf-8"):
    with open(path, "rb") as f:
        return parse(f.read(), codepage, path)


def _escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def write_version5(keys, deleted=()):
    """A Version 5.00 file (UTF-16LE with its mark) that deletes the
    `deleted` keys and then defines `keys`: a list of (path, [Value])."""
    out = [HEADER_5, ""]
    for path in deleted:
        out += ["[-%s]" % path, ""]
    for path, values in keys:
        out.append("[%s]" % path)
        for v in values:
            name = "@" if v.name == "" else '"%s"' % _escape(v.name)
            out.append("%s=hex(%x):%s" % (name, v.type, v.data.hex(",")))
        out.append("")
    return codecs.BOM_UTF16_LE + ("\r\n".join(out) + "\r\n").encode("utf-16-le", "surrogatepass")
