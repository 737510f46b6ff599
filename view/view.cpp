#include "view/view.h"

#include "catalogue/catalogue.h"
#include "platform/platform.h"
#include "view/view_values.h"

namespace {

// The message of a configure run that finds no TCP/IP key for the adapter,
// with the name cut as that run cuts it.
const char kCannotLocateAdapter[] = "Cannot locate adapter %.127s\n";

// The values of one adapter at a time, some 150 KB: too much for every
// platform's stack, so kept here for the run.
AdapterView adapterView;

char foldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows compares key names without regard to case.
bool sameName(const char* a, const char* b) {
  for (; *a != '\0' && foldCase(*a) == foldCase(*b); ++a, ++b) {
  }
  return *a == '\0' && *b == '\0';
}

int32_t listedNumber(const char* serviceName) {
  for (int32_t number = 1; adapterServiceName(number) != NULL; ++number) {
    if (sameName(adapterServiceName(number), serviceName)) return number;
  }
  return 0;
}

}  // namespace

int32_t showAllSettings(ViewFormat format) {
  int32_t missing = checkNetworkCards();
  if (missing != 0) return missing;
  int32_t wide = format == kViewJson;
  int32_t number = 1;
  for (; adapterServiceName(number) != NULL; ++number) {
    readAdapterView(number, adapterServiceName(number), wide, &adapterView);
    if (format == kViewText) {
      printAdapterText(&adapterView);
      continue;
    }
    platformPrint(number == 1 ? "[\n" : ",\n");
    printAdapterJson(&adapterView, "  ");
  }
  if (format == kViewJson) platformPrint(number == 1 ? "[]\n" : "\n]\n");
  return 0;
}

int32_t showAdapterSettings(int32_t number, const char* serviceName, ViewFormat format) {
  if (number == 0) number = listedNumber(serviceName);
  readAdapterView(number, serviceName, format == kViewJson, &adapterView);
  if (!isLocated(&adapterView)) return platformPrint(kCannotLocateAdapter, serviceName);
  if (format == kViewText) {
    printAdapterText(&adapterView);
  } else {
    printAdapterJson(&adapterView, "");
    platformPrint("\n");
  }
  return 0;
}
