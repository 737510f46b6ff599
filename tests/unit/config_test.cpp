// The configuration writer driven in-process: the values it leaves in each
// of the five keys, what it tells the DHCP client, and how it reports the
// failures only a real registry or DHCP client can produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "config/config.h"
#include "tool_harness.h"

using standin::StoreValue;
using testing_store::dword;
using testing_store::multi;
using testing_store::sz;

namespace {

const std::string kService = "ElnkA";

void expectKey(testing_store::MemoryStore* store, const std::string& path,
               const std::map<std::string, StoreValue>& expected) {
  std::map<std::string, StoreValue> actual = store->values(path);
  ASSERT_EQ(actual.size(), expected.size()) << path;
  for (const auto& entry : expected) {
    ASSERT_TRUE(actual.count(entry.first)) << path << " lacks " << entry.first;
    EXPECT_TRUE(actual[entry.first] == entry.second)
        << path << " " << entry.first << " holds \"" << testing_store::text(actual[entry.first])
        << "\"";
  }
}


class ConfigTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    addCard("1", "Alpha Ethernet", kService);
    addDhcpAdapter(kService);
  }
  // The opens, flushes and closes of the adapter's keys, in order.
  static std::vector<std::string> keyCalls() {
    std::vector<std::string> calls;
    for (const std::string& line : standin::registryCallLog()) {
      if (line.rfind("open ", 0) == 0 || line.rfind("flush ", 0) == 0 ||
          line.rfind("close ", 0) == 0) {
        if (line.find("NetworkCards") == std::string::npos) calls.push_back(line);
      }
    }
    return calls;
  }
  std::string recorded() {
    EXPECT_EQ(standin::dhcpCalls().size(), 1u);
    return standin::dhcpCalls().empty() ? "" : standin::describeDhcpCall(standin::dhcpCalls()[0]);
  }
};

TEST_F(ConfigTest, StaticAddressRewritesBothLayoutsAndCleansUpTheLease) {
  RunResult r = run({"1", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  expectKey(store, adapterKeyPath(kService),
            {{"EnableDHCP", dword(0)},
             {"IPAddress", multi({"192.168.1.10"})},
             {"SubnetMask", multi({"255.255.255.0"})},
             {"DefaultGateway", multi({"192.168.1.1"})},
             {"DhcpIPAddress", sz("0.0.0.0")},
             {"DhcpServer", sz("255.255.255.255")},
             {"DhcpSubnetMask", sz("255.0.0.0")}});
  expectKey(store, interfaceKeyPath(kService),
            {{"EnableDHCP", dword(0)},
             {"IPAddress", multi({"192.168.1.10"})},
             {"SubnetMask", multi({"255.255.255.0"})},
             {"DefaultGateway", multi({"192.168.1.1"})},
             {"NameServer", sz("192.168.1.2")},
             {"DhcpServer", sz("255.255.255.255")}});
  expectKey(store, kGlobalPath, {{"Hostname", sz("unit")}, {"NameServer", sz("192.168.1.2")}});
  expectKey(store, netbtInterfaceKeyPath(kService), {{"NameServerList", multi({})}});
  expectKey(store, netbtAdapterKeyPath(kService),
            {{"NameServer", sz("10.1.1.9")}, {"NameServerBackup", sz("10.1.1.10")}});
  EXPECT_EQ(recorded(),
            "server=NULL adapter=0045006c006e006b0041 new=1 index=0 address=192.168.1.10 "
            "mask=255.255.255.0 action=0");
}

TEST_F(ConfigTest, KeysAreWrittenInOrderOneAtATimeAndAllButTheGlobalOneFlushed) {
  run({"1", "10.0.0.5"});
  std::vector<std::string> expected;
  for (const std::string& path :
       {adapterKeyPath(kService), interfaceKeyPath(kService), std::string(kGlobalPath),
        netbtInterfaceKeyPath(kService), netbtAdapterKeyPath(kService)}) {
    expected.push_back("open " + path);
    if (path != kGlobalPath) expected.push_back("flush " + path);
    expected.push_back("close " + path);
  }
  EXPECT_EQ(keyCalls(), expected);
}

TEST_F(ConfigTest, DhcpRequestLeavesLeaseValuesAndAsksForDhcp) {
  std::map<std::string, StoreValue> before = store->values(interfaceKeyPath(kService));
  RunResult r = run({"1", "?", "?", "*", "?", "*", "?"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  for (const std::string& path : {adapterKeyPath(kService), interfaceKeyPath(kService)}) {
    std::map<std::string, StoreValue> values = store->values(path);
    EXPECT_TRUE(values["IPAddress"] == multi({"0.0.0.0"}));
    EXPECT_TRUE(values["SubnetMask"] == multi({""}));
    EXPECT_TRUE(values["DefaultGateway"] == multi({""}));
    EXPECT_TRUE(values["EnableDHCP"] == dword(1));
  }
  std::map<std::string, StoreValue> after = store->values(interfaceKeyPath(kService));
  for (const auto& entry : before) {
    if (entry.first.rfind("Dhcp", 0) == 0) {
      EXPECT_TRUE(after[entry.first] == entry.second) << entry.first;
    }
  }
  EXPECT_TRUE(store->values(interfaceKeyPath(kService))["NameServer"] == sz(""));
  EXPECT_TRUE(store->values(kGlobalPath)["NameServer"] == sz(""));
  EXPECT_TRUE(store->values(netbtInterfaceKeyPath(kService))["NameServerList"] == multi({""}));
  expectKey(store, netbtAdapterKeyPath(kService),
            {{"NameServer", sz("10.1.1.9")}, {"NameServerBackup", sz("10.1.1.10")}});
  EXPECT_EQ(recorded(),
            "server=NULL adapter=0045006c006e006b0041 new=0 index=0 address=0.0.0.0 "
            "mask=0.0.0.0 action=1");
}

TEST_F(ConfigTest, NameAndWinsServersAreJoinedAsEachKeyExpectsThem) {
  struct Case {
    std::vector<std::string> servers;  // nameServer1, nameServer2, winsServer1, winsServer2
    std::string interfaceList, globalList;
    StoreValue winsList;
    std::map<std::string, StoreValue> netbtAdapter;
  } cases[] = {
      {{"10.0.0.1", "10.0.0.2", "10.0.0.8", "10.0.0.9"},
       "10.0.0.1,10.0.0.2",
       "10.0.0.1 10.0.0.2",
       multi({"10.0.0.8", "10.0.0.9"}),
       {{"NameServer", sz("10.0.0.8")}, {"NameServerBackup", sz("10.0.0.9")}}},
      {{"*", "10.0.0.2", "*", "10.0.0.9"},
       "10.0.0.2",
       "10.0.0.2",
       multi({"10.0.0.9"}),
       {{"NameServer", sz("10.1.1.9")}, {"NameServerBackup", sz("10.0.0.9")}}},
      {{"10.0.0.1", "*", "10.0.0.8", "*"},
       "10.0.0.1",
       "10.0.0.1",
       multi({"10.0.0.8"}),
       {{"NameServer", sz("10.0.0.8")}, {"NameServerBackup", sz("10.1.1.10")}}},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    std::vector<std::string> args = {"1", "10.0.0.5", "*", "*"};
    args.insert(args.end(), c.servers.begin(), c.servers.end());
    ASSERT_EQ(run(args).status, 0);
    EXPECT_TRUE(store->values(interfaceKeyPath(kService))["NameServer"] == sz(c.interfaceList))
        << c.interfaceList;
    EXPECT_TRUE(store->values(kGlobalPath)["NameServer"] == sz(c.globalList)) << c.globalList;
    EXPECT_TRUE(store->values(netbtInterfaceKeyPath(kService))["NameServerList"] == c.winsList)
        << testing_store::text(c.winsList);
    expectKey(store, netbtAdapterKeyPath(kService), c.netbtAdapter);
  }
}

TEST_F(ConfigTest, DhcpAddressKeepsGivenNameServers) {
  ASSERT_EQ(run({"1", "?", "*", "*", "10.0.0.1"}).status, 0);
  EXPECT_TRUE(store->values(interfaceKeyPath(kService))["NameServer"] == sz("10.0.0.1"));
  EXPECT_TRUE(store->values(kGlobalPath)["NameServer"] == sz("10.0.0.1"));
}

TEST_F(ConfigTest, MissingAdapterKeyWritesNothingAndSendsNothing) {
  RunResult r = run({"Nosuch", "10.0.0.5"});
  EXPECT_EQ(r.out, "Cannot locate adapter Nosuch\n");
  EXPECT_EQ(r.status, static_cast<int32_t>(r.out.size()));
  EXPECT_TRUE(standin::dhcpCalls().empty());
  for (const std::string& line : standin::registryCallLog()) {
    EXPECT_NE(line.rfind("set ", 0), 0u) << line;
  }
}

TEST_F(ConfigTest, MissingOptionalKeysAreSkippedSilently) {
  addCard("2", "Gamma", "Gamma");
  store->value(adapterKeyPath("Gamma"), "EnableDHCP", dword(1));
  RunResult r = run({"2", "10.0.0.5"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(store->values(adapterKeyPath("Gamma"))["IPAddress"] == multi({"10.0.0.5"}));
  EXPECT_FALSE(store->keyExists(interfaceKeyPath("Gamma")));
  EXPECT_FALSE(store->keyExists(netbtAdapterKeyPath("Gamma")));
}

TEST_F(ConfigTest, KeyRefusedFullAccessIsSkippedLikeAMissingOne) {
  standin::injectRegistryFault("open", interfaceKeyPath(kService), kResultAccessDenied);
  RunResult r = run({"1", "10.0.0.5"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(store->values(interfaceKeyPath(kService))["IPAddress"] == multi({"0.0.0.0"}));
  EXPECT_TRUE(store->values(adapterKeyPath(kService))["IPAddress"] == multi({"10.0.0.5"}));
}

TEST_F(ConfigTest, AdapterKeyOrElseInterfaceKeyLocatesTheAdapter) {
  const std::string adapter = adapterKeyPath(kService), interface = interfaceKeyPath(kService);
  const std::string netbtInterface = netbtInterfaceKeyPath(kService);
  const std::string netbtAdapter = netbtAdapterKeyPath(kService);
  const struct {
    std::vector<std::string> missing;
    std::string out;
    std::vector<std::string> keyCalls;
  } cases[] = {
      // The interface key that located the adapter is the one written.
      {{adapter},
       "",
       {"open " + adapter, "open " + interface, "flush " + interface, "close " + interface,
        "open " + std::string(kGlobalPath), "close " + std::string(kGlobalPath),
        "open " + netbtInterface, "flush " + netbtInterface, "close " + netbtInterface,
        "open " + netbtAdapter, "flush " + netbtAdapter, "close " + netbtAdapter}},
      {{adapter, interface}, "Cannot locate adapter ElnkA\n", {"open " + adapter, "open " + interface}},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    for (const std::string& path : c.missing) {
      standin::injectRegistryFault("open", path, kResultNotFound);
    }
    std::map<std::string, StoreValue> adapterBefore = store->values(adapter);
    RunResult r = run({"1", "10.0.0.5", "*", "*", "10.0.0.53", "*", "10.0.0.8"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, static_cast<int32_t>(r.out.size()));
    EXPECT_EQ(keyCalls(), c.keyCalls);
    const bool located = c.out.empty();
    EXPECT_EQ(std::count(standin::registryCallLog().begin(), standin::registryCallLog().end(),
                         "set IPAddress"),
              located ? 1 : 0);
    EXPECT_TRUE(store->values(adapter) == adapterBefore);
    EXPECT_TRUE(store->values(interface)["IPAddress"] ==
                multi({located ? "10.0.0.5" : "0.0.0.0"}));
    EXPECT_TRUE(store->values(netbtInterface)["NameServerList"] ==
                multi({located ? "10.0.0.8" : "10.1.1.9"}));
    EXPECT_EQ(standin::dhcpCalls().size(), located ? 1u : 0u);
  }
}

TEST_F(ConfigTest, FailedWriteIsReportedAndTheRestStillRuns) {
  standin::injectRegistryFault("set", "SubnetMask", kResultAccessDenied);
  standin::injectRegistryFault("set", "NameServerList", kResultAccessDenied);
  RunResult r = run({"1", "10.0.0.5", "*", "*", "*", "*", "10.0.0.8"});
  // Both layouts report their SubnetMask; the first line sets the status.
  EXPECT_EQ(r.out,
            "Registry update failed for SubnetMask\n"
            "Registry update failed for SubnetMask\n"
            "Registry update failed for NameServerList\n");
  EXPECT_EQ(r.status, 38);
  EXPECT_TRUE(store->values(interfaceKeyPath(kService))["IPAddress"] == multi({"10.0.0.5"}));
  EXPECT_TRUE(store->values(netbtAdapterKeyPath(kService))["NameServer"] == sz("10.0.0.8"));
  EXPECT_EQ(standin::dhcpCalls().size(), 1u);
}

TEST_F(ConfigTest, RefusedNotificationReportsOnceAndKeepsTheWrites) {
  standin::injectRegistryFault("set", "DefaultGateway", kResultAccessDenied);
  RunResult r = run({"1", "10.0.0.5", "255.0.255.0"});
  EXPECT_EQ(r.out,
            "Registry update failed for DefaultGateway\n"
            "Registry update failed for DefaultGateway\n"
            "Adapter configuration failed\n");
  EXPECT_EQ(r.status, 29);
  EXPECT_TRUE(store->values(adapterKeyPath(kService))["SubnetMask"] == multi({"255.0.255.0"}));
}

TEST_F(ConfigTest, MissingDhcpClientStillWritesEverything) {
  const struct {
    standin::DhcpLibrary library;
    const char* message;
  } cases[] = {
      {standin::DhcpLibrary::kAbsent,
       "Change written but not applied to the running adapter: cannot load dhcpcsvc\n"},
      {standin::DhcpLibrary::kNoEntry,
       "Change written but not applied to the running adapter: dhcpcsvc has no "
       "DhcpNotifyConfigChange\n"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    standin::setDhcpLibrary(c.library);
    RunResult r = run({"1", "10.0.0.5", "*", "*", "10.0.0.53"});
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.status, static_cast<int32_t>(r.out.size()));
    EXPECT_TRUE(store->values(kGlobalPath)["NameServer"] == sz("10.0.0.53"));
    EXPECT_TRUE(standin::dhcpCalls().empty());
  }
}

TEST_F(ConfigTest, UnreadableAddressIsRefusedBeforeAnyWrite) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"1", "10.0.0.300"}, "Invalid ipAddress \"10.0.0.300\": not an IPv4 address\n"},
      {{"1", "*"}, "Invalid ipAddress \"*\": not an IPv4 address\n"},
      {{"1", ""}, "Invalid ipAddress \"\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", "255.255.256.0"}, "Invalid mask \"255.255.256.0\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", ""}, "Invalid mask \"\": not an IPv4 address\n"},
      // The first unreadable one, in the order of the command line, is named.
      {{"1", "10.1.1.1", "*", "999.1.1.1", "not-a-dns"},
       "Invalid gateway \"999.1.1.1\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", "*", "*", "not-a-dns"},
       "Invalid nameServer1 \"not-a-dns\": not an IPv4 address\n"},
      {{"1", "?", "*", "*", "10.0.0.53", "10.0.0.256"},
       "Invalid nameServer2 \"10.0.0.256\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", "*", "*", "*", "*", "*", "wins 2"},
       "Invalid winsServer2 \"wins 2\": not an IPv4 address\n"},
      // "?" asks for DHCP only beside a "?" ipAddress, and only where the usage says.
      {{"1", "10.0.0.5", "*", "*", "?"},
       "Invalid nameServer1 \"?\": \"?\" asks for DHCP only when ipAddress is \"?\" too\n"},
      {{"1", "10.0.0.5", "*", "*", "*", "*", "?x"},
       "Invalid winsServer1 \"?x\": \"?\" asks for DHCP only when ipAddress is \"?\" too\n"},
      {{"1", "?", "*", "*", "10.0.0.53", "?"}, "Invalid nameServer2 \"?\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", "*", "?"}, "Invalid gateway \"?\": not an IPv4 address\n"},
      // With DHCP, what is not written is checked all the same.
      {{"1", "?", "*", "999.1.1.1"}, "Invalid gateway \"999.1.1.1\": not an IPv4 address\n"},
      {{"1", "?", "*", "?"}, "Invalid gateway \"?\": not an IPv4 address\n"},
      {{"1", "?", "*", "*", "?", "999.1.1.1"},
       "Invalid nameServer2 \"999.1.1.1\": not an IPv4 address\n"},
      {{"1", "?", "*", "*", "*", "*", "?", "?"}, "Invalid winsServer2 \"?\": not an IPv4 address\n"},
      // Forms inet_addr reads that are not a whole dotted quad.
      {{"1", "10.0.0.1 junk"}, "Invalid ipAddress \"10.0.0.1 junk\": not an IPv4 address\n"},
      {{"1", "10.0.0.5", "0xff.0xffff00"}, "Invalid mask \"0xff.0xffff00\": not an IPv4 address\n"},
      // A setting is shown as it was cut to its 127 characters.
      {{"1", "10.0.0.5", "*", "10.0.0.1 " + std::string(191, 'g')},
       "Invalid gateway \"10.0.0.1 " + std::string(118, 'g') + "\": not an IPv4 address\n"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.status, static_cast<int32_t>(r.out.size()));
    EXPECT_TRUE(standin::dhcpCalls().empty());
    for (const std::string& line : standin::registryCallLog()) {
      EXPECT_NE(line.rfind("set ", 0), 0u) << line;
      EXPECT_NE(line.rfind("delete ", 0), 0u) << line;
    }
  }
  // DHCP has no use for a mask, so it is not checked; a valid gateway is
  // accepted and not written.
  TearDown();
  SetUp();
  EXPECT_EQ(run({"1", "?", "junk", "10.0.0.1", "?", "10.0.0.2", "?", "10.0.0.3"}).status, 0);
  EXPECT_TRUE(store->values(adapterKeyPath(kService))["DefaultGateway"] == multi({""}));
  // 255.255.255.255 is readable, so it is written and left to the DHCP client.
  TearDown();
  SetUp();
  RunResult r = run({"1", "255.255.255.255"});
  EXPECT_EQ(r.out, "Adapter configuration failed\n");
  EXPECT_TRUE(store->values(adapterKeyPath(kService))["IPAddress"] == multi({"255.255.255.255"}));
}

TEST(DottedQuadTest, OnlyFourDecimalNumbersUpTo255AreAnAddress) {
  for (const char* address : {"0.0.0.0", "10.0.0.1", "192.168.100.200", "255.255.255.255"}) {
    EXPECT_EQ(isDottedQuad(address), 1) << address;
  }
  for (const char* text : {"", " ", "2", "10.1", "10.0.1", "1.2.3.4.5", "10.0.0.", ".10.0.0.1",
                           "10..0.1", "10.0.0.256", "10.0.0.1000", "4294967295", "0x0a.0.0.1",
                           "010.0.0.1", "10.0.0.01", "00.0.0.0", "+1.2.3.4", "-1.2.3.4",
                           " 10.0.0.1", "10.0.0.1 ", "10.0.0.1\t", "10.0.0.1 junk", "10.0.0.1/24",
                           "1\xd9\xa0.0.0.1", "99999999999999999999.0.0.1"}) {
    EXPECT_EQ(isDottedQuad(text), 0) << text;
  }
}

TEST_F(ConfigTest, NotificationCarriesNetworkOrderAndTheUtf16Name) {
  const std::string service = "Kart\xc3\xa9";  // "Karté"
  addCard("2", "Delta", service);
  store->key(adapterKeyPath(service));
  ASSERT_EQ(run({"2", "192.168.0.5", "255.255.255.0"}).status, 0);
  ASSERT_EQ(standin::dhcpCalls().size(), 1u);
  const standin::DhcpCall& call = standin::dhcpCalls()[0];
  EXPECT_EQ(call.adapterName, (std::vector<uint16_t>{'K', 'a', 'r', 't', 0xE9}));
  const unsigned char* address = reinterpret_cast<const unsigned char*>(&call.address);
  const unsigned char* mask = reinterpret_cast<const unsigned char*>(&call.subnetMask);
  EXPECT_EQ(std::vector<int>(address, address + 4), (std::vector<int>{192, 168, 0, 5}));
  EXPECT_EQ(std::vector<int>(mask, mask + 4), (std::vector<int>{255, 255, 255, 0}));
  EXPECT_TRUE(call.serverNameIsNull);
  EXPECT_EQ(call.isNewAddress, 1);
  EXPECT_EQ(call.addressIndex, 0u);
  EXPECT_EQ(call.dhcpAction, 0);
}

}  // namespace
