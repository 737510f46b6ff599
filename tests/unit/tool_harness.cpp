#include "tool_harness.h"

#include <stdlib.h>

#include "catalogue/adapter_table.h"
#include "cli/cli.h"

using testing_store::dword;
using testing_store::multi;
using testing_store::sz;

const char kCardsPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const char kServicesPath[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kGlobalPath[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

std::string adapterKeyPath(const std::string& service) {
  return kServicesPath + service + "\\Parameters\\Tcpip";
}
std::string interfaceKeyPath(const std::string& service) {
  return std::string(kGlobalPath) + "\\Interfaces\\" + service;
}
std::string netbtInterfaceKeyPath(const std::string& service) {
  return std::string(kServicesPath) + "NetBT\\Parameters\\Interfaces\\Tcpip_" + service;
}
std::string netbtAdapterKeyPath(const std::string& service) {
  return std::string(kServicesPath) + "NetBT\\Adapters\\" + service;
}

void ToolTest::SetUp() {
  auto owned = std::make_unique<testing_store::MemoryStore>();
  store = owned.get();
  store->key(kCardsPath).value(kGlobalPath, "Hostname", sz("unit"));
  standin::beginRunWithStore(std::move(owned));
  standin::clearRegistryFaults();
  standin::clearDhcpCalls();
  standin::setDhcpLibrary(standin::DhcpLibrary::kPresent);
}

void ToolTest::TearDown() {
  resetAdapterTable();
  std::string ignored;
  standin::endRun(&ignored);
  standin::clearRegistryFaults();
}

void ToolTest::addCard(const std::string& subkey, const std::string& description,
                       const std::string& serviceName) {
  std::string path = std::string(kCardsPath) + "\\" + subkey;
  store->value(path, "Description", sz(description)).value(path, "ServiceName", sz(serviceName));
}

void ToolTest::addDhcpAdapter(const std::string& service) {
  for (const std::string& path : {adapterKeyPath(service), interfaceKeyPath(service)}) {
    store->value(path, "EnableDHCP", dword(1))
        .value(path, "IPAddress", multi({"0.0.0.0"}))
        .value(path, "SubnetMask", multi({"0.0.0.0"}))
        .value(path, "DefaultGateway", multi({}))
        .value(path, "DhcpIPAddress", sz("10.1.1.7"))
        .value(path, "DhcpSubnetMask", sz("255.255.255.0"))
        .value(path, "DhcpServer", sz("10.1.1.1"))
        .value(path, "DhcpDefaultGateway", multi({"10.1.1.1"}))
        .value(path, "DhcpSubnetMaskOpt", multi({"255.255.255.0"}));
  }
  store->value(interfaceKeyPath(service), "DhcpNameServer", sz("10.1.1.1"))
      .value(interfaceKeyPath(service), "DhcpDomain", sz("lan"))
      .value(netbtInterfaceKeyPath(service), "NameServerList", multi({"10.1.1.9"}))
      .value(netbtAdapterKeyPath(service), "NameServer", sz("10.1.1.9"))
      .value(netbtAdapterKeyPath(service), "NameServerBackup", sz("10.1.1.10"));
}

RunResult ToolTest::run(const std::vector<std::string>& arguments) {
  std::vector<std::string> owned = {"netvane"};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  resetAdapterTable();
  testing::internal::CaptureStdout();
  int32_t status = netvaneMain(static_cast<int>(owned.size()), argv.data());
  fflush(stdout);
  RunResult result;
  result.out = testing::internal::GetCapturedStdout();
  result.status = status;
  return result;
}
