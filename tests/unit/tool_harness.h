// Runs the tool in-process against a registry held in memory, with the
// stand-in's fault hooks and DHCP client, and captures what it prints.
#ifndef NETVANE_TESTS_UNIT_TOOL_HARNESS_H
#define NETVANE_TESTS_UNIT_TOOL_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_store.h"
#include "platform/standin/standin.h"
#include "platform/standin/standin_hooks.h"

extern const char kCardsPath[];
extern const char kServicesPath[];
extern const char kGlobalPath[];

std::string adapterKeyPath(const std::string& service);
std::string interfaceKeyPath(const std::string& service);
std::string netbtInterfaceKeyPath(const std::string& service);
std::string netbtAdapterKeyPath(const std::string& service);

struct RunResult {
  std::string out;
  int32_t status;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Adds a card under NetworkCards\<subkey>.
  void addCard(const std::string& subkey, const std::string& description,
               const std::string& serviceName);
  // Gives a service every key the tool writes: both TCP/IP layouts and both
  // NetBIOS keys, with the values a DHCP-configured adapter has.
  void addDhcpAdapter(const std::string& service);

  RunResult run(const std::vector<std::string>& arguments);

  testing_store::MemoryStore* store = nullptr;  // owned by the stand-in
};

#endif
