// The view as JSON, for scripts: UTF-8 on every platform, whatever the
// code page, since the values are read as the UTF-16 the registry keeps.
#include <string.h>

#include "platform/platform.h"
#include "view/view_values.h"

namespace {

const uint32_t kReplacementCharacter = 0xFFFD;

// Output gathered into small pieces, so that a long text is not printed a
// character at a time.
struct JsonOut {
  char chunk[512];
  size_t used;
};

void flush(JsonOut* out) {
  if (out->used > 0) platformPrint("%.*s", static_cast<int>(out->used), out->chunk);
  out->used = 0;
}

void put(JsonOut* out, const char* bytes, size_t count) {
  if (out->used + count > sizeof out->chunk) flush(out);
  memcpy(out->chunk + out->used, bytes, count);
  out->used += count;
}

void putCodePoint(JsonOut* out, uint32_t c) {
  char bytes[12];
  size_t count = 0;
  const char kHex[] = "0123456789abcdef";
  if (c == '"' || c == '\\') {
    bytes[count++] = '\\';
    bytes[count++] = static_cast<char>(c);
  } else if (c < 0x20) {
    const char* named = c == '\b' ? "b" : c == '\f' ? "f" : c == '\n' ? "n" : c == '\r' ? "r" : c == '\t' ? "t" : NULL;
    bytes[count++] = '\\';
    if (named != NULL) {
      bytes[count++] = named[0];
    } else {
      bytes[count++] = 'u';
      bytes[count++] = '0';
      bytes[count++] = '0';
      bytes[count++] = kHex[c >> 4];
      bytes[count++] = kHex[c & 0xF];
    }
  } else if (c < 0x80) {
    bytes[count++] = static_cast<char>(c);
  } else if (c < 0x800) {
    bytes[count++] = static_cast<char>(0xC0 | (c >> 6));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    bytes[count++] = static_cast<char>(0xE0 | (c >> 12));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    bytes[count++] = static_cast<char>(0xF0 | (c >> 18));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  }
  put(out, bytes, count);
}

// UTF-16LE units as the inside of a JSON string. A surrogate without its
// partner is no character, and no UTF-8 can hold it: it becomes U+FFFD, so
// that every parser reads the output, and the rest of the text stays.
void putUnits(JsonOut* out, const unsigned char* text, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t c = textUnit(text, i, 1);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
      uint32_t next = textUnit(text, i + 1, 1);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        putCodePoint(out, 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    putCodePoint(out, c >= 0xD800 && c <= 0xDFFF ? kReplacementCharacter : c);
  }
}

// The inside of a JSON string for one item; the other kinds are ASCII.
void putItem(JsonOut* out, const ValueItem* item) {
  if (item->kind == kItemText) {
    putUnits(out, item->text, item->length);
    return;
  }
  flush(out);
  printItemForm(item);
}

// A list: every item of the value; [] when it is absent or holds none.
void printList(const ViewValue* value, int32_t split) {
  JsonOut out = {{0}, 0};
  ItemCursor cursor;
  ValueItem item;
  startItems(&cursor, value, 1, split);
  put(&out, "[", 1);
  for (int first = 1; nextItem(&cursor, &item); first = 0) {
    if (!first) put(&out, ", ", 2);
    put(&out, "\"", 1);
    putItem(&out, &item);
    put(&out, "\"", 1);
  }
  put(&out, "]", 1);
  flush(&out);
}

// A text: null when absent; the parts of a multi-string joined by commas.
void printText(const ViewValue* value) {
  if (value->state == kValueAbsent) {
    platformPrint("null");
    return;
  }
  JsonOut out = {{0}, 0};
  ItemCursor cursor;
  ValueItem item;
  startItems(&cursor, value, 1, 0);
  put(&out, "\"", 1);
  for (int first = 1; nextItem(&cursor, &item); first = 0) {
    if (!first) put(&out, ",", 1);
    putItem(&out, &item);
  }
  put(&out, "\"", 1);
  flush(&out);
}

// A REG_DWORD switch as true or false; null when absent; any other type as
// its text.
void printSwitch(const ViewValue* value) {
  uint32_t number = 0;
  if (dwordOf(value, &number)) {
    platformPrint(number != 0 ? "true" : "false");
  } else {
    printText(value);
  }
}

// A REG_DWORD time as ISO 8601; any other type as its text.
void printTime(const ViewValue* value) {
  uint32_t seconds = 0;
  char text[kTimeTextSize];
  if (dwordOf(value, &seconds)) {
    formatTime(seconds, text);
    platformPrint("\"%s\"", text);
  } else {
    printText(value);
  }
}

void printName(const char* indent, const char* name) { platformPrint("%s  \"%s\": ", indent, name); }

void printLease(const AdapterView* view, const char* indent) {
  if (!leaseRecorded(view)) {
    platformPrint("null");
    return;
  }
  char inner[64];
  size_t length = strlen(indent);
  if (length + 3 > sizeof inner) length = sizeof inner - 3;
  memcpy(inner, indent, length);
  memcpy(inner + length, "  ", 3);
  platformPrint("{\n");
  printName(inner, "ipAddress");
  printText(&view->values[kDhcpIpAddress]);
  platformPrint(",\n");
  printName(inner, "subnetMask");
  printText(&view->values[kDhcpSubnetMask]);
  platformPrint(",\n");
  printName(inner, "gateway");
  printList(&view->values[kDhcpGateway], 0);
  platformPrint(",\n");
  printName(inner, "nameServers");
  printList(&view->values[kDhcpNameServer], 1);
  platformPrint(",\n");
  printName(inner, "dhcpServer");
  printText(&view->values[kDhcpServer]);
  platformPrint(",\n");
  printName(inner, "obtained");
  printTime(&view->values[kLeaseObtained]);
  platformPrint(",\n");
  printName(inner, "expires");
  printTime(&view->values[kLeaseExpires]);
  platformPrint("\n%s  }", indent);
}

// NameServerList where the NetBIOS interface key is; else the NetBIOS
// adapter key's two values, each that is given.
void printWinsServers(const AdapterView* view) {
  if (view->netbtInterfaceKey) {
    printList(&view->values[kWinsList], 0);
    return;
  }
  JsonOut out = {{0}, 0};
  put(&out, "[", 1);
  int first = 1;
  for (int field = kWinsPrimary; field <= kWinsBackup; ++field) {
    ItemCursor cursor;
    ValueItem item;
    startItems(&cursor, &view->values[field], 1, 0);
    while (nextItem(&cursor, &item)) {
      if (item.kind == kItemText && item.length == 0) continue;
      if (!first) put(&out, ", ", 2);
      first = 0;
      put(&out, "\"", 1);
      putItem(&out, &item);
      put(&out, "\"", 1);
    }
  }
  put(&out, "]", 1);
  flush(&out);
}

}  // namespace

void printAdapterJson(const AdapterView* view, const char* indent) {
  platformPrint("%s{\n", indent);
  printName(indent, "number");
  if (view->number > 0) {
    platformPrint("%d", static_cast<int>(view->number));
  } else {
    platformPrint("null");
  }
  platformPrint(",\n");
  printName(indent, "description");
  printText(&view->values[kDescription]);
  platformPrint(",\n");
  printName(indent, "serviceName");
  printText(&view->values[kServiceName]);
  platformPrint(",\n");
  printName(indent, "connectionName");
  printText(&view->values[kConnectionName]);
  platformPrint(",\n");
  printName(indent, "dhcp");
  printSwitch(&view->values[kEnableDhcp]);
  platformPrint(",\n");
  printName(indent, "ipAddress");
  printList(&view->values[kIpAddress], 0);
  platformPrint(",\n");
  printName(indent, "subnetMask");
  printList(&view->values[kSubnetMask], 0);
  platformPrint(",\n");
  printName(indent, "gateway");
  printList(&view->values[kGateway], 0);
  platformPrint(",\n");
  printName(indent, "nameServers");
  printList(&view->values[kNameServer], 1);
  platformPrint(",\n");
  printName(indent, "winsServers");
  printWinsServers(view);
  platformPrint(",\n");
  printName(indent, "lease");
  printLease(view, indent);
  platformPrint(",\n");
  printName(indent, "layout");
  const char* layout = layoutName(view->layout);
  if (layout != NULL) {
    platformPrint("\"%s\"", layout);
  } else {
    platformPrint("null");
  }
  platformPrint("\n%s}", indent);
}
