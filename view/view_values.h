// The view's own: what it reads of one adapter, and the forms a value takes
// whatever type it was stored with. The text and the JSON printers share
// them, so both show a value of an unexpected type the same way.
#ifndef NETVANE_VIEW_VIEW_VALUES_H
#define NETVANE_VIEW_VIEW_VALUES_H

#include <stddef.h>
#include <stdint.h>

// The largest value shown whole: 4,096 UTF-16 units, some 250 addresses.
const uint32_t kViewValueSize = 8192;

enum ValueState { kValueAbsent, kValuePresent, kValueTooLarge };

struct ViewValue {
  int32_t state;
  uint32_t type;
  uint32_t size;  // bytes held; for a value too large, the size it has
  unsigned char data[kViewValueSize];
};

// The values shown, grouped by the key they come from.
enum ViewField {
  // the card in the list of network cards
  kDescription,
  kServiceName,
  // the connection's key
  kConnectionName,
  // the interface key, or the adapter key where there is no interface key
  kEnableDhcp,
  kIpAddress,
  kSubnetMask,
  kGateway,
  kNameServer,
  kDhcpIpAddress,
  kDhcpSubnetMask,
  kDhcpGateway,
  kDhcpNameServer,
  kDhcpServer,
  kLeaseObtained,
  kLeaseExpires,
  // the NetBIOS interface key
  kWinsList,
  // the NetBIOS adapter key, read where there is no NetBIOS interface key
  kWinsPrimary,
  kWinsBackup,
  kViewFieldCount
};

enum ViewLayout { kLayoutNone, kLayoutAdapter, kLayoutInterface, kLayoutBoth };

struct AdapterView {
  int32_t number;           // in the list, or 0 when no card lists the service
  const char* serviceName;  // 8-bit, as the keys are named
  int32_t layout;
  int32_t netbtInterfaceKey;  // the WINS servers come from it, else from the adapter's
  int32_t wide;               // strings are UTF-16LE (for JSON), else 8-bit
  ViewValue values[kViewFieldCount];
};

// view_read.cpp

// Reads what the view shows of one adapter. Only values are read; no key is
// written, created or flushed.
void readAdapterView(int32_t number, const char* serviceName, int32_t wide, AdapterView* view);

// Whether a configure run can find the adapter: it has a usable service
// name and an adapter key or an interface key.
bool isLocated(const AdapterView* view);

// view_values.cpp

// One thing a value holds: a text (its units in the value's data), a
// number, the value's bytes in hexadecimal, or the note that it is too large.
enum ItemKind { kItemText, kItemNumber, kItemHex, kItemTooLarge };

struct ValueItem {
  int32_t kind;
  const unsigned char* text;  // kItemText: the units; kItemHex: the bytes
  uint32_t length;            // in units (bytes when 8-bit, pairs of bytes when UTF-16LE)
  uint64_t number;            // kItemNumber: the number; kItemHex: the type; kItemTooLarge: the size
};

// Walks the items of a value. A string is one text, up to its first NUL; a
// multi-string one text per NUL-terminated part, its final terminators not
// counted; REG_DWORD and REG_QWORD a number; anything else its bytes. With
// `split`, each text is cut further at commas and spaces, and empty parts
// are passed over, as Windows reads a list of name servers.
struct ItemCursor {
  const ViewValue* value;
  int32_t wide;
  int32_t split;
  int32_t single;  // one item that is not a text is left
  uint32_t position;
  uint32_t end;
};

void startItems(ItemCursor* cursor, const ViewValue* value, int32_t wide, int32_t split);
bool nextItem(ItemCursor* cursor, ValueItem* item);

// The unit at `index` of a text.
uint32_t textUnit(const unsigned char* text, uint32_t index, int32_t wide);

// A REG_DWORD of four bytes, as Windows stores a switch or a time.
bool dwordOf(const ViewValue* value, uint32_t* number);

// Whether the adapter is on DHCP, and has a lease recorded.
bool leaseRecorded(const AdapterView* view);

// Prints a number, hexadecimal or too-large item as plain ASCII.
void printItemForm(const ValueItem* item);

// Seconds since 1970 in UTC as ISO 8601, "2026-12-10T01:57:02Z".
const size_t kTimeTextSize = 21;
void formatTime(uint32_t seconds, char text[kTimeTextSize]);

// "adapter", "interface", "both", or null when neither key exists.
const char* layoutName(int32_t layout);

// view_json.cpp

// One adapter as a JSON object, each line after `indent`, without a line
// end after its closing brace.
void printAdapterJson(const AdapterView* view, const char* indent);

// view_text.cpp

// One adapter as a block of lines: the listing's two, then one per setting.
void printAdapterText(const AdapterView* view);

#endif
