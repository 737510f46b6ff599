// The view for a person, in the manner of `ipconfig /all`: the listing's
// two lines, then one line per setting, its label led by dots to the
// colon, and a list's further entries on lines of their own below the
// first. Texts are printed in the 8-bit code page, as the listing prints
// them.
#include "platform/platform.h"
#include "view/view_values.h"

namespace {

const char kListEntry[] = "\n%d:\t";
const char kUnlistedEntry[] = "\n-:\t(no card in the list of network cards)";
const char kListName[] = "\n\tName: ";
const char kContinuation[] = "\t                        ";
const char kNothing[] = "(none)";

const char kConnectionLabel[] = "\tConnection. . . . . . : ";
const char kDhcpLabel[] = "\tDHCP. . . . . . . . . : ";
const char kIpAddressLabel[] = "\tIP address. . . . . . : ";
const char kSubnetMaskLabel[] = "\tSubnet mask . . . . . : ";
const char kGatewayLabel[] = "\tDefault gateway . . . : ";
const char kNameServersLabel[] = "\tDNS servers . . . . . : ";
const char kWinsServersLabel[] = "\tWINS servers. . . . . : ";
const char kLeaseAddressLabel[] = "\tLease address . . . . : ";
const char kLeaseMaskLabel[] = "\tLease subnet mask . . : ";
const char kLeaseGatewayLabel[] = "\tLease gateway . . . . : ";
const char kLeaseNameServersLabel[] = "\tLease DNS servers . . : ";
const char kDhcpServerLabel[] = "\tDHCP server . . . . . : ";
const char kObtainedLabel[] = "\tLease obtained. . . . : ";
const char kExpiresLabel[] = "\tLease expires . . . . : ";
const char kKeysLabel[] = "\tKeys. . . . . . . . . : ";

void printItem(const ValueItem* item) {
  if (item->kind == kItemText) {
    platformPrint("%.*s", static_cast<int>(item->length), item->text);
  } else {
    printItemForm(item);
  }
}

// The value's items joined by commas. Returns whether anything was printed.
bool printJoined(const ViewValue* value) {
  ItemCursor cursor;
  ValueItem item;
  bool printed = false;
  startItems(&cursor, value, 0, 0);
  while (nextItem(&cursor, &item)) {
    if (item.kind == kItemText && item.length == 0) continue;
    if (printed) platformPrint(",");
    printItem(&item);
    printed = true;
  }
  return printed;
}

void printText(const char* label, const ViewValue* value) {
  platformPrint("%s", label);
  if (!printJoined(value)) platformPrint("%s", kNothing);
  platformPrint("\n");
}

// Each entry of each value on a line of its own; empty texts, which stand
// for no entry, are passed over.
void printList(const char* label, const ViewValue* first, const ViewValue* second, int32_t split) {
  platformPrint("%s", label);
  bool printed = false;
  const ViewValue* values[] = {first, second};
  for (size_t i = 0; i < 2 && values[i] != NULL; ++i) {
    ItemCursor cursor;
    ValueItem item;
    startItems(&cursor, values[i], 0, split);
    while (nextItem(&cursor, &item)) {
      if (item.kind == kItemText && item.length == 0) continue;
      if (printed) platformPrint("\n%s", kContinuation);
      printItem(&item);
      printed = true;
    }
  }
  if (!printed) platformPrint("%s", kNothing);
  platformPrint("\n");
}

void printSwitch(const char* label, const ViewValue* value) {
  uint32_t number = 0;
  if (!dwordOf(value, &number)) {
    printText(label, value);
    return;
  }
  platformPrint("%s%s\n", label, number != 0 ? "Yes" : "No");
}

void printTime(const char* label, const ViewValue* value) {
  uint32_t seconds = 0;
  char text[kTimeTextSize];
  if (!dwordOf(value, &seconds)) {
    printText(label, value);
    return;
  }
  formatTime(seconds, text);
  platformPrint("%s%s\n", label, text);
}

const char* keysShown(int32_t layout) {
  switch (layout) {
    case kLayoutAdapter:
      return "adapter key";
    case kLayoutInterface:
      return "interface key";
    case kLayoutBoth:
      return "adapter key and interface key";
    default:
      return "neither the adapter key nor the interface key";
  }
}

}  // namespace

void printAdapterText(const AdapterView* view) {
  const ViewValue* values = view->values;
  if (view->number > 0) {
    platformPrint(kListEntry, static_cast<int>(view->number));
    printJoined(&values[kDescription]);
  } else {
    platformPrint("%s", kUnlistedEntry);
  }
  platformPrint("%s", kListName);
  printJoined(&values[kServiceName]);
  platformPrint("\n");
  printText(kConnectionLabel, &values[kConnectionName]);
  printSwitch(kDhcpLabel, &values[kEnableDhcp]);
  printList(kIpAddressLabel, &values[kIpAddress], NULL, 0);
  printList(kSubnetMaskLabel, &values[kSubnetMask], NULL, 0);
  printList(kGatewayLabel, &values[kGateway], NULL, 0);
  printList(kNameServersLabel, &values[kNameServer], NULL, 1);
  if (view->netbtInterfaceKey) {
    printList(kWinsServersLabel, &values[kWinsList], NULL, 0);
  } else {
    printList(kWinsServersLabel, &values[kWinsPrimary], &values[kWinsBackup], 0);
  }
  if (leaseRecorded(view)) {
    printText(kLeaseAddressLabel, &values[kDhcpIpAddress]);
    printText(kLeaseMaskLabel, &values[kDhcpSubnetMask]);
    printList(kLeaseGatewayLabel, &values[kDhcpGateway], NULL, 0);
    printList(kLeaseNameServersLabel, &values[kDhcpNameServer], NULL, 1);
    printText(kDhcpServerLabel, &values[kDhcpServer]);
    printTime(kObtainedLabel, &values[kLeaseObtained]);
    printTime(kExpiresLabel, &values[kLeaseExpires]);
  }
  platformPrint("%s%s\n", kKeysLabel, keysShown(view->layout));
}
