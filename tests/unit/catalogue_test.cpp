// The adapter table and the printed list: numbering, agreement between the
// two walks, and the card values a real registry can hold that a store file
// cannot easily express.
#include <gtest/gtest.h>

#include "catalogue/adapter_table.h"
#include "catalogue/catalogue.h"
#include "cli/cli.h"
#include "tool_harness.h"

using testing_store::dword;
using testing_store::sz;

namespace {

class CatalogueTest : public ToolTest {
 protected:
  std::string listing() {
    testing::internal::CaptureStdout();
    status = listAdapters();
    return testing::internal::GetCapturedStdout();
  }
  int32_t status = -1;
};

TEST_F(CatalogueTest, CardsAreNumberedInEnumerationOrderByBothWalks) {
  addCard("2", "Two", "SvcTwo");
  addCard("10", "Ten", "SvcTen");
  addCard("1", "One", "SvcOne");
  loadAdapterTable();
  EXPECT_EQ(listing(),
            "\nNetwork adapters:\n"
            "\n1:\tOne\n\tName: SvcOne\n"
            "\n2:\tTen\n\tName: SvcTen\n"
            "\n3:\tTwo\n\tName: SvcTwo\n");
  EXPECT_EQ(status, 0);
  ASSERT_EQ(adapterTable.count, 3);
  EXPECT_STREQ(adapterServiceName(1), "SvcOne");
  EXPECT_STREQ(adapterServiceName(2), "SvcTen");
  EXPECT_STREQ(adapterServiceName(3), "SvcTwo");
  EXPECT_EQ(adapterServiceName(0), nullptr);
  EXPECT_EQ(adapterServiceName(4), nullptr);
}

TEST_F(CatalogueTest, NoCardsAndNoListKey) {
  loadAdapterTable();
  EXPECT_EQ(adapterTable.count, 0);
  EXPECT_EQ(listing(), "\nNetwork adapters:\n");
  EXPECT_EQ(status, 0);

  standin::injectRegistryFault("open", kCardsPath, kResultAccessDenied);
  EXPECT_EQ(listing(), "Cannot locate any network cards...\n");
  EXPECT_EQ(status, 35);
}

TEST_F(CatalogueTest, UnreadableServiceNameIsShownEmptyAndEndsTheWalk) {
  addCard("1", "One", "SvcOne");
  addCard("2", "Two", "SvcTwo");
  addCard("3", "Three", "SvcThree");
  store->deleteValue(std::string(kCardsPath) + "\\2", "ServiceName");
  loadAdapterTable();
  EXPECT_EQ(adapterTable.count, 2);
  EXPECT_STREQ(adapterServiceName(2), "");
  EXPECT_EQ(listing(),
            "\nNetwork adapters:\n"
            "\n1:\tOne\n\tName: SvcOne\n"
            "\n2:\tTwo\n\tName: \n");
}

TEST_F(CatalogueTest, TextsAreNeverReadPastTheirEnd) {
  // Windows may return a string without its terminator; one that fills the
  // whole buffer that way does not fit and counts as unreadable.
  standin::StoreValue unterminated;
  unterminated.type = 1;
  unterminated.data = testing_store::utf16("NoEnd");
  standin::StoreValue full;
  full.type = 1;
  full.data = testing_store::utf16(std::string(260, 'x'));
  addCard("1", "One", "x");
  store->value(std::string(kCardsPath) + "\\1", "ServiceName", unterminated);
  addCard("2", "Two", "x");
  store->value(std::string(kCardsPath) + "\\2", "Description", full);
  addCard("3", "Three", "x");
  store->value(std::string(kCardsPath) + "\\3", "ServiceName", full);
  addCard("4", "Four", "SvcFour");
  loadAdapterTable();
  ASSERT_EQ(adapterTable.count, 3);
  EXPECT_STREQ(adapterServiceName(1), "NoEnd");
  EXPECT_STREQ(adapterServiceName(3), "");
  EXPECT_EQ(listing(),
            "\nNetwork adapters:\n"
            "\n1:\tOne\n\tName: NoEnd\n"
            "\n2:\t\n\tName: x\n"
            "\n3:\tThree\n\tName: \n");
}

TEST_F(CatalogueTest, ServiceNameOfAnotherTypeIsUsedAsItsBytes) {
  addCard("1", "One", "x");
  store->value(std::string(kCardsPath) + "\\1", "ServiceName", dword(0x00434241));
  loadAdapterTable();
  EXPECT_STREQ(adapterServiceName(1), "ABC");
}

TEST_F(CatalogueTest, SubkeyNameTooLongForThePathEndsTheWalkSafely) {
  addCard("1", "One", "SvcOne");
  addCard(std::string(230, 'k'), "Long", "SvcLong");
  addCard("zz", "After", "SvcAfter");
  loadAdapterTable();
  EXPECT_EQ(adapterTable.count, 1);
  EXPECT_EQ(listing(), "\nNetwork adapters:\n\n1:\tOne\n\tName: SvcOne\n");
}

TEST_F(CatalogueTest, EveryListedCardIsSelectableBeyondSixtyFour) {
  for (int i = 0; i < 70; ++i) {
    char subkey[8], name[16];
    snprintf(subkey, sizeof subkey, "%03d", i);
    snprintf(name, sizeof name, "Svc%03d", i);
    addCard(subkey, name, name);
  }
  loadAdapterTable();
  ASSERT_EQ(adapterTable.count, 70);
  EXPECT_STREQ(adapterServiceName(64), "Svc063");
  EXPECT_STREQ(adapterServiceName(70), "Svc069");
  std::string out = listing();
  EXPECT_NE(out.find("\n70:\tSvc069\n\tName: Svc069\n"), std::string::npos);
  EXPECT_EQ(out.find("\n71:"), std::string::npos);
}

}  // namespace
