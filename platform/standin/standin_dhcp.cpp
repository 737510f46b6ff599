// The DHCP client library as the stand-in offers it. It answers like a careful
// DHCP client service: it accepts a change only for an adapter that has TCP/IP
// configuration and, for a static address, only an address and mask that a
// running adapter could use.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "platform/platform.h"
#include "platform/standin/standin.h"
#include "platform/standin/standin_hooks.h"
#include "platform/standin/standin_text.h"

namespace standin {

namespace {

const PlatformLibrary kDhcpLibrary = 1;
const PlatformDhcpNotify kDhcpNotifyEntry = 1;

struct DhcpClient {
  bool configured = false;
  DhcpLibrary library = DhcpLibrary::kPresent;
  std::vector<DhcpCall> calls;
};

DhcpClient& client() {
  static DhcpClient instance;
  return instance;
}

// Black-box tests take the library away the way a broken Windows installation
// would, through the environment, since they cannot reach into the process.
DhcpLibrary configuredLibrary() {
  DhcpClient& c = client();
  if (!c.configured) {
    c.configured = true;
    const char* setting = getenv("NETVANE_DHCP_LIBRARY");
    if (setting != nullptr && strcmp(setting, "absent") == 0) c.library = DhcpLibrary::kAbsent;
    if (setting != nullptr && strcmp(setting, "no-entry") == 0) c.library = DhcpLibrary::kNoEntry;
  }
  return c.library;
}

std::string dotted(uint32_t networkOrder) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&networkOrder);
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

bool adapterHasTcpip(const std::string& adapter) {
  RegistryStore* store = currentStore();
  if (store == nullptr || adapter.empty() || adapter.find("\\\\") != std::string::npos ||
      adapter.front() == '\\' || adapter.back() == '\\')
    return false;
  return store->keyExists("SYSTEM\\CurrentControlSet\\Services\\" + adapter + "\\Parameters\\Tcpip") ||
         store->keyExists("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + adapter);
}

bool isUsableMask(uint32_t networkOrder) {
  uint32_t mask = ntohl(networkOrder);
  uint32_t hostBits = ~mask;
  return mask != 0 && (hostBits & (hostBits + 1)) == 0;
}

uint32_t answer(const DhcpCall& call) {
  // Tests that need a refusal regardless of the change force the answer, as
  // they do for the recording client under Wine.
  const char* forced = getenv("NETVANE_DHCP_RESULT");
  if (forced != nullptr && forced[0] != '\0') {
    return static_cast<uint32_t>(strtoul(forced, nullptr, 10));
  }
  std::string adapter = utf16ToUtf8(call.adapterName.data(), call.adapterName.size());
  if (!adapterHasTcpip(adapter)) return kResultInvalidParameter;
  if (call.isNewAddress) {
    if (call.address == 0 || call.address == 0xFFFFFFFFu) return kResultInvalidParameter;
    if (!isUsableMask(call.subnetMask)) return kResultInvalidParameter;
  }
  return kResultSuccess;
}

// NETVANE_DHCP_RECORD, opened when the run begins: a run on a disk image
// opens no file once it reads the image.
FILE*& recordFile() {
  static FILE* file = nullptr;
  return file;
}

void record(const DhcpCall& call) {
  if (recordFile() == nullptr) return;
  fprintf(recordFile(), "%s\n", describeDhcpCall(call).c_str());
  fflush(recordFile());
}

}  // namespace

void openDhcpRecord() {
  const char* file = getenv("NETVANE_DHCP_RECORD");
  if (file != nullptr && file[0] != '\0' && recordFile() == nullptr) recordFile() = fopen(file, "ae");
}

void setDhcpLibrary(DhcpLibrary library) {
  client().configured = true;
  client().library = library;
}

const std::vector<DhcpCall>& dhcpCalls() { return client().calls; }

void clearDhcpCalls() { client().calls.clear(); }

std::string describeDhcpCall(const DhcpCall& call) {
  std::string adapter;
  char unit[8];
  for (uint16_t u : call.adapterName) {
    snprintf(unit, sizeof unit, "%04x", u);
    adapter += unit;
  }
  // The name takes four digits a unit: 127 units alone fill 508 characters.
  char rest[128];
  snprintf(rest, sizeof rest, " new=%d index=%u address=%s mask=%s action=%d", call.isNewAddress,
           call.addressIndex, dotted(call.address).c_str(), dotted(call.subnetMask).c_str(),
           call.dhcpAction);
  return std::string("server=") + (call.serverNameIsNull ? "NULL" : "given") + " adapter=" + adapter + rest;
}

}  // namespace standin

PlatformLibrary platformLoadLibrary(const char* name) {
  if (standin::configuredLibrary() == standin::DhcpLibrary::kAbsent) return 0;
  if (strcasecmp(name, "dhcpcsvc") != 0 && strcasecmp(name, "dhcpcsvc.dll") != 0) return 0;
  return standin::kDhcpLibrary;
}

PlatformDhcpNotify platformFindDhcpNotify(PlatformLibrary library, const char* entryName) {
  if (library != standin::kDhcpLibrary) return 0;
  if (standin::configuredLibrary() == standin::DhcpLibrary::kNoEntry) return 0;
  if (strcmp(entryName, "DhcpNotifyConfigChange") != 0) return 0;
  return standin::kDhcpNotifyEntry;
}

uint32_t platformCallDhcpNotify(PlatformDhcpNotify entry, const uint16_t* serverName,
                                const uint16_t* adapterName, int32_t isNewAddress,
                                uint32_t addressIndex, uint32_t address, uint32_t subnetMask,
                                int32_t dhcpAction) {
  if (entry != standin::kDhcpNotifyEntry) return kResultInvalidParameter;
  standin::DhcpCall call;
  call.serverNameIsNull = serverName == nullptr;
  for (const uint16_t* unit = adapterName; unit != nullptr && *unit != 0; ++unit) {
    call.adapterName.push_back(*unit);
  }
  call.isNewAddress = isNewAddress;
  call.addressIndex = addressIndex;
  call.address = address;
  call.subnetMask = subnetMask;
  call.dhcpAction = dhcpAction;
  call.result = standin::answer(call);
  standin::client().calls.push_back(call);
  standin::record(call);
  return call.result;
}
