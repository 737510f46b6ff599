#include "view/view_values.h"

#include <stdio.h>

#include "platform/platform.h"

namespace {

const uint32_t kRegistryTypeBinary = 3;  // REG_BINARY
const uint32_t kRegistryTypeQword = 11;  // REG_QWORD, little-endian

const char kTooLarge[] = "(value of %s bytes, too large to show)";

bool isStringValue(uint32_t type) {
  return type == kRegistryTypeString || type == 2 /* REG_EXPAND_SZ */ ||
         type == kRegistryTypeMultiString;
}

uint64_t littleEndian(const unsigned char* bytes, uint32_t count) {
  uint64_t number = 0;
  for (uint32_t i = count; i > 0; --i) number = (number << 8) | bytes[i - 1];
  return number;
}

// Decimal digits into a buffer of 21 bytes; printf's 64-bit conversions are
// not spelled alike by every C library this builds with.
void formatDecimal(uint64_t number, char text[21]) {
  char reversed[21];
  int count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  for (int i = 0; i < count; ++i) text[i] = reversed[count - 1 - i];
  text[count] = '\0';
}

bool separates(uint32_t unit, int32_t split) {
  return unit == 0 || (split && (unit == ',' || unit == ' '));
}

}  // namespace

uint32_t textUnit(const unsigned char* text, uint32_t index, int32_t wide) {
  if (!wide) return text[index];
  return static_cast<uint32_t>(text[2 * index] | (text[2 * index + 1] << 8));
}

void startItems(ItemCursor* cursor, const ViewValue* value, int32_t wide, int32_t split) {
  cursor->value = value;
  cursor->wide = wide;
  cursor->split = split;
  cursor->single = 0;
  cursor->position = 1;
  cursor->end = 0;
  if (value->state == kValueAbsent) return;
  if (value->state == kValueTooLarge || !isStringValue(value->type)) {
    cursor->single = 1;
    return;
  }
  // An odd last byte of UTF-16 is no unit, as Windows drops it too.
  uint32_t units = wide ? value->size / 2 : value->size;
  uint32_t end = 0;
  if (value->type == kRegistryTypeMultiString) {
    // The terminators that close the last text and the list are no texts;
    // an empty text between two others is one.
    end = units;
    while (end > 0 && textUnit(value->data, end - 1, wide) == 0) --end;
    if (end == 0) return;
  } else {
    // Windows reads a string up to its first NUL, and leaves what follows.
    while (end < units && textUnit(value->data, end, wide) != 0) ++end;
  }
  cursor->position = 0;
  cursor->end = end;
}

bool nextItem(ItemCursor* cursor, ValueItem* item) {
  const ViewValue* value = cursor->value;
  if (cursor->single) {
    cursor->single = 0;
    item->text = value->data;
    item->length = value->size;
    if (value->state == kValueTooLarge) {
      item->kind = kItemTooLarge;
      item->number = value->size;
    } else if ((value->type == kRegistryTypeDword && value->size == 4) ||
               (value->type == kRegistryTypeQword && value->size == 8)) {
      item->kind = kItemNumber;
      item->number = littleEndian(value->data, value->size);
    } else {
      item->kind = kItemHex;
      item->number = value->type;
    }
    return true;
  }
  while (cursor->position <= cursor->end) {
    uint32_t start = cursor->position;
    uint32_t stop = start;
    while (stop < cursor->end && !separates(textUnit(value->data, stop, cursor->wide), cursor->split)) {
      ++stop;
    }
    cursor->position = stop + 1;
    if (cursor->split && stop == start) continue;
    item->kind = kItemText;
    item->text = value->data + (cursor->wide ? 2 * start : start);
    item->length = stop - start;
    item->number = 0;
    return true;
  }
  return false;
}

bool dwordOf(const ViewValue* value, uint32_t* number) {
  if (value->state != kValuePresent || value->type != kRegistryTypeDword || value->size != 4) {
    return false;
  }
  *number = static_cast<uint32_t>(littleEndian(value->data, 4));
  return true;
}

bool leaseRecorded(const AdapterView* view) {
  uint32_t enabled = 0;
  if (!dwordOf(&view->values[kEnableDhcp], &enabled) || enabled == 0) return false;
  for (int field = kDhcpIpAddress; field <= kLeaseExpires; ++field) {
    if (view->values[field].state != kValueAbsent) return true;
  }
  return false;
}

void printItemForm(const ValueItem* item) {
  char digits[21];
  if (item->kind == kItemNumber || item->kind == kItemTooLarge) {
    formatDecimal(item->number, digits);
    platformPrint(item->kind == kItemNumber ? "%s" : kTooLarge, digits);
    return;
  }
  // As a .reg file spells data of its type: "hex:" for REG_BINARY,
  // "hex(7):" and the like for the others.
  if (item->number == kRegistryTypeBinary) {
    platformPrint("hex:");
  } else {
    platformPrint("hex(%x):", static_cast<unsigned>(item->number));
  }
  char chunk[256];
  size_t used = 0;
  for (uint32_t i = 0; i < item->length; ++i) {
    used += static_cast<size_t>(snprintf(chunk + used, sizeof chunk - used, i == 0 ? "%02x" : ",%02x",
                                         item->text[i]));
    if (used + 4 > sizeof chunk) {
      platformPrint("%s", chunk);
      used = 0;
    }
  }
  if (used > 0) platformPrint("%s", chunk);
}

void formatTime(uint32_t seconds, char text[kTimeTextSize]) {
  // Days since 1970-01-01 to a date in the proleptic Gregorian calendar,
  // counted in 400-year eras from 0000-03-01 so that leap days fall last.
  uint32_t days = seconds / 86400;
  uint32_t rest = seconds % 86400;
  uint32_t z = days + 719468;
  uint32_t era = z / 146097;
  uint32_t dayOfEra = z - era * 146097;
  uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint32_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  uint32_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  uint32_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  uint32_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  // The year of a 32-bit count of seconds has four digits (at most 2106).
  const uint32_t parts[] = {year, month, day, rest / 3600, rest / 60 % 60, rest % 60};
  const char kSeparators[] = "--T::Z";
  char* p = text;
  for (int i = 0; i < 6; ++i) {
    for (uint32_t scale = i == 0 ? 1000 : 10; scale > 0; scale /= 10) {
      *p++ = static_cast<char>('0' + parts[i] / scale % 10);
    }
    *p++ = kSeparators[i];
  }
  *p = '\0';
}

const char* layoutName(int32_t layout) {
  switch (layout) {
    case kLayoutAdapter:
      return "adapter";
    case kLayoutInterface:
      return "interface";
    case kLayoutBoth:
      return "both";
    default:
      return NULL;
  }
}
