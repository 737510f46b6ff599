// The built netvane run as a user runs it, against store files made from the
// readable fixtures: what it prints, its exit status, and the store after.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/standin/standin_text.h"
#include "run_tool.h"

namespace {

const std::string kUsage =
    "netvane: TCP/IP settings for one network adapter. Copyright (c) 2026 the netvane authors.\n"
    "Usage: netvane adapterName ipAddress mask gateway nameServer1 nameServer2 winsServer1 "
    "winsServer2\n\n"
    "\tUse no parameters to display a numbered list of adapter names.\n"
    "\tYou may use the adapter number or the name.\n"
    "\tUse ? for the ipNumber to request a dynamic address (DHCP).\n"
    "\tUse ? for nameServer1 to request a dynamic nameserver (DHCP).\n"
    "\tUse ? for winsServer1 to request a dynamic wins server (DHCP).\n"
    "\tUse * as needed to omit intermediate parameters.\n"
    "\tMissing parameters will be set to empty strings.\n"
    "\tMore information at: https://netvane.example/ \n";


const std::string kGuid = "{6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8}";
const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kGlobal = kServices + "Tcpip\\Parameters";

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = scratch.file("registry.reg");
    writeFile(store, fixture("machine.reg"));
    record = scratch.file("dhcp.log");
  }
  ScratchDir scratch;
  std::string store;
  std::string record;
};

TEST_F(ToolTest, NoArgumentsShowsUsageAndNumberedAdaptersInEnumerationOrder) {
  ToolRun run = runWithStore(store, {});
  EXPECT_EQ(run.out, kUsage + kFixtureList);
  EXPECT_EQ(run.status, 0);
}

TEST_F(ToolTest, RunsThatWriteNothingLeaveTheStoreUntouched) {
  const std::string before = readFile(store);
  const struct stat statBefore = statOf(store);
  usleep(20000);
  const std::vector<std::vector<std::string>> runs = {
      {}, {"0", "10.0.0.5"}, {"4", "10.0.0.5"}, {"99999999999", "10.0.0.5"},
      {"/?"}, {"--help"}, {"1", "10.0.0.300"}, {"Nosuch", "10.0.0.5"}};
  for (const auto& arguments : runs) {
    ToolRun run = runWithStore(store, arguments, record);
    EXPECT_EQ(readFile(store), before);
    struct stat statAfter = statOf(store);
    EXPECT_EQ(statAfter.st_mtim.tv_sec, statBefore.st_mtim.tv_sec);
    EXPECT_EQ(statAfter.st_mtim.tv_nsec, statBefore.st_mtim.tv_nsec);
    EXPECT_EQ(statAfter.st_ino, statBefore.st_ino);
  }
  EXPECT_EQ(readFile(record), "");
  EXPECT_EQ(runWithStore(store, {"4", "10.0.0.5"}).out, kUsage + kFixtureList);
  EXPECT_EQ(runWithStore(store, {"1", "10.0.0.300"}).out,
            "Invalid ipAddress \"10.0.0.300\": not an IPv4 address\n");
  EXPECT_EQ(runWithStore(store, {"Nosuch", "1.2.3.4"}).out, "Cannot locate adapter Nosuch\n");
  EXPECT_EQ(runWithStore(store, {"Nosuch", "1.2.3.4"}).status, 29);
}

TEST_F(ToolTest, TypicalRunWritesAllFiveLocationsAndKeepsEverythingElse) {
  const std::string before = readFile(store);
  chmod(store.c_str(), 0640);
  ToolRun run = runWithStore(store, {"2", "192.168.1.10", "*", "192.168.1.1", "192.168.1.2"}, record);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(statOf(store).st_mode & 07777, 0640u);

  for (const std::string& key : {kServices + kGuid + "\\Parameters\\Tcpip",
                                 kGlobal + "\\Interfaces\\" + kGuid}) {
    EXPECT_EQ(storedText(store, key, "IPAddress"), "192.168.1.10");
    EXPECT_EQ(storedText(store, key, "SubnetMask"), "255.255.255.0");
    EXPECT_EQ(storedText(store, key, "DefaultGateway"), "192.168.1.1");
    standin::StoreValue enable;
    ASSERT_TRUE(storedValue(store, key, "EnableDHCP", &enable));
    EXPECT_EQ(enable.type, 4u);
    EXPECT_EQ(enable.data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(storedText(store, key, "DhcpServer"), "255.255.255.255");
    EXPECT_EQ(storedText(store, key, "DhcpDefaultGateway"), "<missing>");
    EXPECT_EQ(storedText(store, key, "DhcpSubnetMaskOpt"), "<missing>");
  }
  const std::string adapterKey = kServices + kGuid + "\\Parameters\\Tcpip";
  EXPECT_EQ(storedText(store, adapterKey, "DhcpIPAddress"), "0.0.0.0");
  EXPECT_EQ(storedText(store, adapterKey, "DhcpSubnetMask"), "255.0.0.0");
  const std::string interfaceKey = kGlobal + "\\Interfaces\\" + kGuid;
  for (const char* gone : {"DhcpIPAddress", "DhcpSubnetMask", "DhcpDomain", "DhcpNameServer"}) {
    EXPECT_EQ(storedText(store, interfaceKey, gone), "<missing>") << gone;
  }
  EXPECT_EQ(storedText(store, interfaceKey, "NameServer"), "192.168.1.2");
  standin::StoreValue lease;
  ASSERT_TRUE(storedValue(store, interfaceKey, "LeaseObtainedTime", &lease));
  EXPECT_EQ(lease.data.size(), 4u);
  EXPECT_EQ(storedText(store, kGlobal, "NameServer"), "192.168.1.2");
  EXPECT_EQ(storedText(store, kServices + "NetBT\\Parameters\\Interfaces\\Tcpip_" + kGuid,
                       "NameServerList"),
            "");
  standin::StoreValue list;
  ASSERT_TRUE(storedValue(store, kServices + "NetBT\\Parameters\\Interfaces\\Tcpip_" + kGuid,
                          "NameServerList", &list));
  EXPECT_EQ(list.type, 7u);
  EXPECT_EQ(list.data, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(storedText(store, kServices + "NetBT\\Adapters\\" + kGuid, "NameServer"), "");

  EXPECT_EQ(readFile(record),
            "server=NULL adapter=007b00360046003100410032004200330043002d00340044003500450"
            "02d0036004600370030002d0038003100390032002d00410033004200340043003500440036004500"
            "3700460038007d new=1 index=0 address=192.168.1.10 mask=255.255.255.0 action=0\n");

  // What the run did not touch comes back as the very same text.
  const std::string after = readFile(store);
  const std::string tail = before.substr(before.find("; Not the tool's"));
  EXPECT_NE(after.find(tail), std::string::npos);
  const std::string head = before.substr(0, before.find("[HKEY_LOCAL_MACHINE\\SYSTEM"));
  EXPECT_EQ(after.substr(0, head.size()), head);
}

TEST_F(ToolTest, VersionFiveStoreIsChangedAndWrittenBackAsUtf16) {
  writeFile(store, version5File(fixture("machine-v5.utf8.reg")));
  ToolRun run = runWithStore(store, {"1", "?", "*", "*", "10.9.9.9"}, record);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 0);
  const std::string after = readFile(store);
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after.substr(0, 2), "\xff\xfe");
  const std::string text = standin::utf16LEToUtf8(
      reinterpret_cast<const uint8_t*>(after.data()) + 2, after.size() - 2);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_EQ(text.find("\r\r"), std::string::npos);
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    ASSERT_EQ(text[at - 1], '\r') << "bare line feed at " << at;
  }
  const std::string adapterKey = kServices + "E100A\\Parameters\\Tcpip";
  EXPECT_EQ(storedText(store, adapterKey, "IPAddress"), "0.0.0.0");
  EXPECT_EQ(storedText(store, adapterKey, "SubnetMask"), "");
  EXPECT_EQ(storedText(store, kGlobal, "NameServer"), "10.9.9.9");
  EXPECT_EQ(storedText(store, kServices + "NetBT\\Adapters\\E100A", "NameServer"), "10.0.0.9");
  EXPECT_EQ(readFile(record),
            "server=NULL adapter=00450031003000300041 new=0 index=0 address=0.0.0.0 "
            "mask=0.0.0.0 action=1\n");
}

TEST_F(ToolTest, RefusedChangeIsReportedAfterItWasWritten) {
  ToolRun run = runWithStore(store, {"1", "10.7.7.7", "255.0.255.0"});
  EXPECT_EQ(run.out, "Adapter configuration failed\n");
  EXPECT_EQ(run.status, 29);
  EXPECT_EQ(storedText(store, kServices + "E100A\\Parameters\\Tcpip", "SubnetMask"),
            "255.0.255.0");
}

TEST_F(ToolTest, MissingDhcpLibraryStillWritesAndSaysSo) {
  ToolRun run = runWithStore(store, {"3", "192.168.5.6"}, record, {{"NETVANE_DHCP_LIBRARY", "absent"}});
  EXPECT_EQ(run.out, "Change written but not applied to the running adapter: cannot load dhcpcsvc\n");
  EXPECT_EQ(run.status, static_cast<int>(run.out.size()));
  EXPECT_EQ(storedText(store, kServices + "LegacyNic\\Parameters\\Tcpip", "IPAddress"),
            "192.168.5.6");
  EXPECT_EQ(readFile(record), "");
}

TEST_F(ToolTest, ArgumentsAreMappedAsTheUsageLineSays) {
  // One argument configures adapter 1; nine arguments ignore the ninth.
  ASSERT_EQ(runWithStore(store, {"10.0.0.5"}).status, 0);
  EXPECT_EQ(storedText(store, kServices + "E100A\\Parameters\\Tcpip", "IPAddress"), "10.0.0.5");
  EXPECT_EQ(storedText(store, kServices + "E100A\\Parameters\\Tcpip", "SubnetMask"),
            "255.255.255.0");
  EXPECT_EQ(storedText(store, kServices + "E100A\\Parameters\\Tcpip", "DefaultGateway"), "");
  ASSERT_EQ(runWithStore(store, {"*", "10.0.0.6", "*", "*", "1.1.1.1", "2.2.2.2", "3.3.3.3",
                                 "4.4.4.4", "5.5.5.5"})
                .status,
            0);
  EXPECT_EQ(storedText(store, kServices + "E100A\\Parameters\\Tcpip", "IPAddress"), "10.0.0.6");
  EXPECT_EQ(storedText(store, kGlobal, "NameServer"), "1.1.1.1 2.2.2.2");
  EXPECT_EQ(storedText(store, kServices + "NetBT\\Adapters\\E100A", "NameServerBackup"), "4.4.4.4");
  // A service name is used as given, even without a card; "3abc" is card 3.
  ASSERT_EQ(runWithStore(store, {"legacynic", "10.0.0.7"}).status, 0);
  EXPECT_EQ(storedText(store, kServices + "LegacyNic\\Parameters\\Tcpip", "IPAddress"), "10.0.0.7");
  ASSERT_EQ(runWithStore(store, {"3abc", "10.0.0.8"}).status, 0);
  EXPECT_EQ(storedText(store, kServices + "LegacyNic\\Parameters\\Tcpip", "IPAddress"), "10.0.0.8");
}

TEST_F(ToolTest, BadStoresGetOneLineAndNothingIsCreated) {
  const std::string missing = scratch.file("missing.reg");
  ToolRun run = runWithStore(missing, {});
  EXPECT_NE(run.out.find(missing), std::string::npos) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
  EXPECT_EQ(run.status, static_cast<int>(run.out.size()));
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  const std::string broken = scratch.file("broken.reg");
  writeFile(broken, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Value\"=hex:zz\n");
  run = runWithStore(broken, {"1", "10.0.0.5"});
  EXPECT_NE(run.out.find(broken), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("line 4"), std::string::npos) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
  EXPECT_NE(run.status, 0);

  // So is a bound on the wait for another run's lock that is no whole number
  // of seconds from 0 to 86400.
  for (const char* wait : {"abc", "5s", "-1", "1e9", "nan", "", "1.5", " 5", "+5", "86401",
                           "99999999999999999999"}) {
    run = runWithStore(store, {}, "", {{"NETVANE_LOCK_WAIT", wait}});
    EXPECT_EQ(run.out, std::string("NETVANE_LOCK_WAIT=") + wait +
                           " is not a whole number of seconds from 0 to 86400\n");
    EXPECT_EQ(run.status, static_cast<int>(run.out.size()));
  }
}

TEST(DefaultStoreTest, FirstRunCreatesTheSampleMachineAndListsIt) {
  ScratchDir home;
  ToolRun run = runTool({}, {{"HOME", home.path()}});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\nNetwork adapters:\n\n1:\t"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n4:\tWrenfield USB-C 2.5G Ethernet Adapter\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("\n5:\t"), std::string::npos) << run.out;
  const std::string created = home.file(".local/state/netvane/registry.reg");
  EXPECT_EQ(readFile(created).rfind("REGEDIT4", 0), 0u);
  // The sample machine can be configured straight away, the adapter laid out
  // as Windows 10 lays it out (interface key only) as well as the others.
  for (const char* adapter : {"1", "4"}) {
    run = runTool({adapter, "192.168.20.30", "255.255.255.0", "192.168.20.1", "192.168.20.2"},
                  {{"HOME", home.path()}});
    EXPECT_EQ(run.out, "") << adapter;
    EXPECT_EQ(run.status, 0) << adapter;
  }

  ScratchDir state;
  run = runTool({}, {{"HOME", home.path()}, {"XDG_STATE_HOME", state.path()}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(access(state.file("netvane/registry.reg").c_str(), F_OK), 0);

  // Only the run that creates it says where, on standard error.
  ScratchDir other;
  run = runScript("HOME=$H $NV > /dev/null; HOME=$H $NV > /dev/null", {{"H", other.path()}});
  EXPECT_EQ(run.err, "netvane: created registry store " + other.file(".local/state/netvane/registry.reg") +
                         " from the sample machine\n");
}

TEST(VersionTest, LoneVersionRequestPrintsTheVersionAndOpensNoStore) {
  ScratchDir home;
  const std::vector<std::map<std::string, std::string>> stores = {
      {{"HOME", home.path()}}, {{"NETVANE_REGISTRY", home.file("missing.reg")}}};
  for (const char* request : {"--version", "/version", "-V"}) {
    for (const auto& environment : stores) {
      ToolRun run = runTool({request}, environment);
      EXPECT_EQ(run.out, "netvane " NETVANE_VERSION "\n") << request;
      EXPECT_EQ(run.status, 0) << request;
    }
  }
  // A first run would have created the default store here.
  EXPECT_TRUE(directoryEntries(home.path()).empty());
}

}  // namespace
