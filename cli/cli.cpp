#include "cli/cli.h"

#include <string.h>

#include "catalogue/catalogue.h"
#include "config/config.h"
#include "platform/platform.h"
#include "view/view.h"

namespace {

const int kSettingCount = 8;

const char kWebAddress[] = "https://netvane.example/";

const char* const kUsageLines[] = {
    "netvane: TCP/IP settings for one network adapter. Copyright (c) 2026 the netvane authors.\n",
    ("Usage: netvane adapterName ipAddress mask gateway nameServer1 nameServer2 winsServer1 "
     "winsServer2\n\n"),
    "\tUse no parameters to display a numbered list of adapter names.\n",
    "\tYou may use the adapter number or the name.\n",
    "\tUse ? for the ipNumber to request a dynamic address (DHCP).\n",
    "\tUse ? for nameServer1 to request a dynamic nameserver (DHCP).\n",
    "\tUse ? for winsServer1 to request a dynamic wins server (DHCP).\n",
    "\tUse * as needed to omit intermediate parameters.\n",
    "\tMissing parameters will be set to empty strings.\n",
};
const char kMoreInformation[] = "\tMore information at: %s \n";
const char kVersionLine[] = "netvane %s\n";
// The address line of config/, with a hint for a user who meant to choose an
// adapter; the texts are cut as config/ cuts its settings.
const char kAdapterNumberAlone[] =
    "Invalid ipAddress \"%.127s\": not an IPv4 address (to choose adapter %.127s, give its "
    "settings after it)\n";

// Positions of the settings, in the order of the usage line.
enum Setting {
  kAdapterName,
  kIpAddress,
  kMask,
  kGateway,
  kNameServer1,
  kNameServer2,
  kWinsServer1,
  kWinsServer2
};

const char kCannotLocateAdapter[] = "Cannot locate adapter %s\n";

const char kFirstAdapter[] = "1";
const char kDefaultMask[] = "255.255.255.0";
const char kOmitted[] = "*";
const char kEmpty[] = "";

// A lone request for help must not configure adapter 1 with it as an address.
bool isHelpRequest(const char* argument) {
  return strcmp(argument, "/?") == 0 || strcmp(argument, "-?") == 0 ||
         strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0;
}

// A lone argument is adapter 1's address, so "netvane 2", typed to look at
// adapter 2, must not reach the configuration as an address of one number.
bool isPlainNumber(const char* argument) {
  if (argument[0] == '\0') return false;
  for (const char* p = argument; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

// Puts the arguments in their positions; absent settings take their defaults.
void mapArguments(int count, char** arguments, const char* settings[kSettingCount]) {
  settings[kAdapterName] = kFirstAdapter;
  settings[kMask] = kDefaultMask;
  for (int i = kGateway; i < kSettingCount; ++i) settings[i] = kOmitted;
  if (count == 1) {
    settings[kIpAddress] = arguments[0];
    return;
  }
  for (int i = 0; i < count && i < kSettingCount; ++i) settings[i] = arguments[i];
}

// "*" skips a setting: every one but the address falls back to its default.
void replaceOmitted(const char* settings[kSettingCount]) {
  for (int i = 0; i < kSettingCount; ++i) {
    if (i == kIpAddress || settings[i][0] != '*') continue;
    if (i == kAdapterName) {
      settings[i] = kFirstAdapter;
    } else if (i == kMask) {
      settings[i] = kDefaultMask;
    } else {
      settings[i] = kEmpty;
    }
  }
}

// An adapter number picks a service name from the table; null refuses the
// number. A name that does not begin with a digit is a service name as it is.
const char* selectAdapter(const char* adapterName) {
  if (adapterName[0] < '0' || adapterName[0] > '9') return adapterName;
  return adapterServiceName(parseNumber(adapterName));
}

// "--show" or "--json": what is configured now, for a person or a script.
bool isViewRequest(const char* argument, ViewFormat* format) {
  if (strcmp(argument, "--show") == 0) {
    *format = kViewText;
    return true;
  }
  if (strcmp(argument, "--json") == 0) {
    *format = kViewJson;
    return true;
  }
  return false;
}

// The view of every adapter, or of the one named as a configure run names
// it: a number from the list, "*" for the first, or a service name. A
// number the list does not have, or anything after the adapter, gets the
// usage, as a configure run would.
int32_t runView(int count, char** arguments, ViewFormat format) {
  if (count == 1) return showAllSettings(format);
  if (count > 2) return showUsage();
  const char* adapterName = arguments[1][0] == '*' ? kFirstAdapter : arguments[1];
  if (adapterName[0] < '0' || adapterName[0] > '9') return showAdapterSettings(0, adapterName, format);
  int32_t number = parseNumber(adapterName);
  const char* serviceName = adapterServiceName(number);
  if (serviceName == NULL) return showUsage();
  return showAdapterSettings(number, serviceName, format);
}

}  // namespace

int32_t parseNumber(const char* text) {
  const char* p = text;
  while (*p != '\0' && !(*p >= '0' && *p <= '9') && *p != '+' && *p != '-') ++p;
  if (*p == '\0') return 0;
  int negative = *p == '-';
  // The value is kept in 64 bits and stops growing past the 32-bit range, so
  // no run of digits can wrap around to a number that selects an adapter.
  const int64_t kLimit = static_cast<int64_t>(INT32_MAX) + 1;
  int64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') continue;
    value = value * 10 + (*p - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return value >= kLimit ? INT32_MIN : static_cast<int32_t>(-value);
  return value >= kLimit ? -1 : static_cast<int32_t>(value);
}

int32_t showUsage() {
  for (size_t i = 0; i < sizeof kUsageLines / sizeof kUsageLines[0]; ++i) {
    platformPrint(kUsageLines[i]);
  }
  platformPrint(kMoreInformation, kWebAddress);
  return listAdapters();
}

bool onlyReads(int argc, char** argv) {
  ViewFormat format;
  return argc <= 1 || (argc == 2 && isHelpRequest(argv[1])) || isViewRequest(argv[1], &format);
}

bool isVersionRequest(int argc, char** argv) {
  if (argc != 2) return false;
  return strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "/version") == 0 ||
         strcmp(argv[1], "-V") == 0;
}

int32_t netvaneMain(int argc, char** argv) {
  // Answered before the table is loaded: the version needs no registry, and
  // an administrator may ask for it without the rights the registry needs.
  if (isVersionRequest(argc, argv)) {
    platformPrint(kVersionLine, NETVANE_VERSION);
    return 0;
  }
  loadAdapterTable();
  int count = argc > 0 ? argc - 1 : 0;
  if (count == 0 || (count == 1 && isHelpRequest(argv[1]))) return showUsage();
  ViewFormat format = kViewText;
  if (isViewRequest(argv[1], &format)) return runView(count, argv + 1, format);
  if (count == 1 && isPlainNumber(argv[1])) {
    return platformPrint(kAdapterNumberAlone, argv[1], argv[1]);
  }

  const char* settings[kSettingCount];
  mapArguments(count, argv + 1, settings);
  replaceOmitted(settings);
  const char* serviceName = selectAdapter(settings[kAdapterName]);
  if (serviceName == NULL) return showUsage();
  // A card without a service name, or an empty argument, names no adapter;
  // its keys' paths would be the parents of every adapter's keys.
  if (!isServiceName(serviceName)) return platformPrint(kCannotLocateAdapter, serviceName);

  return configureAdapter(serviceName, settings[kIpAddress], settings[kMask], settings[kGateway],
                          settings[kNameServer1], settings[kNameServer2], settings[kWinsServer1],
                          settings[kWinsServer2]);
}
