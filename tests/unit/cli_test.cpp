// The command line: numbers, help requests and which adapter a run reaches.
#include <gtest/gtest.h>

#include "cli/cli.h"
#include "tool_harness.h"

using testing_store::multi;

namespace {

TEST(ParseNumberTest, ReadsDigitsTheForgivingWay) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"12", 12},          {"1x2", 12},  {"3abc", 3},         {"abc", 0}, {"", 0},
      {"00", 0},           {"-5", -5},   {"+7", 7},           {"x-1y2", -12},
      {"2147483647", 2147483647},
  };
  for (const auto& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << c.text;
  // Beyond 32 bits the result never lands in a table's range.
  for (const char* huge : {"2147483648", "4294967297", "99999999999999999999999"}) {
    EXPECT_LT(parseNumber(huge), 1) << huge;
  }
}

class CliTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    addCard("1", "One", "SvcOne");
    store->key(adapterKeyPath("SvcOne"));
  }
  std::string address(const std::string& service) {
    return testing_store::text(store->values(adapterKeyPath(service))["IPAddress"]);
  }
};

TEST_F(CliTest, HelpRequestsAndBadNumbersShowUsageAndWriteNothing) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {"/?"},
                                             {"-?"},
                                             {"-h"},
                                             {"--help"},
                                             {"0", "10.0.0.5"},
                                             {"2", "10.0.0.5"},
                                             {"4294967297", "10.0.0.5"}}) {
    RunResult r = run(arguments);
    EXPECT_EQ(r.out.rfind("netvane: ", 0), 0u);
    EXPECT_NE(r.out.find("\nNetwork adapters:\n\n1:\tOne\n\tName: SvcOne\n"), std::string::npos);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(store->has(adapterKeyPath("SvcOne"), "IPAddress"));
  }
}

TEST_F(CliTest, LoneNumberIsRefusedWithAHintAndWritesNothing) {
  // A lone argument is adapter 1's address: "2" is no address, and the line
  // says how adapter 2 is chosen. A lone number that is not plain gets the
  // plain line.
  const struct {
    const char* argument;
    const char* line;
  } cases[] = {
      {"2", "Invalid ipAddress \"2\": not an IPv4 address (to choose adapter 2, give its settings after it)\n"},
      {"2x", "Invalid ipAddress \"2x\": not an IPv4 address\n"},
  };
  for (const auto& c : cases) {
    RunResult r = run({c.argument});
    EXPECT_EQ(r.out, c.line);
    EXPECT_EQ(r.status, static_cast<int32_t>(r.out.size()));
    EXPECT_FALSE(store->has(adapterKeyPath("SvcOne"), "IPAddress"));
  }
}

TEST_F(CliTest, AddressMarkersReachTheConfiguration) {
  // A lone "?" switches adapter 1 to DHCP; "*" as the adapter is adapter 1.
  ASSERT_EQ(run({"?"}).status, 0);
  EXPECT_EQ(address("SvcOne"), std::string("0.0.0.0\0\0", 9));
  ASSERT_EQ(run({"*", "10.0.0.9", "*"}).status, 0);
  EXPECT_EQ(address("SvcOne"), std::string("10.0.0.9\0\0", 10));
  EXPECT_TRUE(store->values(adapterKeyPath("SvcOne"))["SubnetMask"] == multi({"255.255.255.0"}));
}

}  // namespace
