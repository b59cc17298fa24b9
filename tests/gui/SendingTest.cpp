// The five ways of sending, the item table and the status fields, checked
// byte by byte at a virtual device.
#include <QCheckBox>
#include <QRegularExpression>

#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

using namespace std::chrono_literals;

class SendingTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    dev = Device("vsend");
    BuildForm();
    OpenDevice("vsend");
  }
  std::shared_ptr<VirtualDevice> dev;
};

TEST_F(SendingTest, WriteDataSendsTheFirstCharacterOnly) {
  Click(Child<QPushButton>("Button1"));
  ASSERT_TRUE(dev->WaitForWritten(1, 2s));
  QTest::qWait(20);
  EXPECT_EQ(dev->Written(), std::string(1, char(50)));
  EXPECT_EQ(dev->WriteCalls(), 1);
  EXPECT_EQ(Child<QLineEdit>("statusEdit")->text(), "");
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "");
}

TEST_F(SendingTest, WriteDataWithAnEmptyFieldSendsNothing) {
  Child<QLineEdit>("dataEdit")->clear();
  Click(Child<QPushButton>("Button1"));
  QTest::qWait(50);
  EXPECT_EQ(dev->WriteCalls(), 0);
  EXPECT_TRUE(services.errors.empty());
}

TEST_F(SendingTest, InsertItemNumbersThePromptAndCancelAddsAnEmptyItem) {
  services.texts = {QString("A"), std::nullopt};
  Click(Child<QPushButton>("applyButton"));
  Click(Child<QPushButton>("applyButton"));
  ASSERT_EQ(services.prompts.size(), 2u);
  EXPECT_EQ(services.prompts[0], "Data Entry|Please enter to 1 numbered data|255");
  EXPECT_EQ(services.prompts[1], "Data Entry|Please enter to 2 numbered data|255");
  auto* list = Child<QListWidget>("arrayListBox");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), "A");
  EXPECT_EQ(list->item(1)->text(), "");
  for (const char* name : {"writeButton", "writeDataButton", "writeSelectedRowButton"})
    EXPECT_TRUE(Child<QPushButton>(name)->isEnabled()) << name;
}

TEST_F(SendingTest, TickSendsEachItemThenLfThenCrAsSeparateWrites) {
  InsertItems({"A", "B"});
  Child<QCheckBox>("lfCheckBox")->setChecked(true);
  Child<QCheckBox>("crCheckBox")->setChecked(true);
  form->Timer1Timer(form->Timer1);
  ASSERT_TRUE(dev->WaitForWritten(6, 2s));
  EXPECT_EQ(dev->Written(), std::string("A\n\rB\n\r"));
  EXPECT_EQ(dev->WriteCalls(), 6);
}

TEST_F(SendingTest, WriteArrayAsStringAllSendsItemsWholeAndUpdatesBothFields) {
  InsertItems({"A", "", "B"});
  Child<QCheckBox>("lfCheckBox")->setChecked(true);  // not used by this command
  Click(Child<QPushButton>("writeDataButton"));
  ASSERT_TRUE(dev->WaitForWritten(2, 2s));
  QTest::qWait(20);
  EXPECT_EQ(dev->Written(), "AB");
  EXPECT_EQ(dev->WriteCalls(), 2);
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "AB");
  // Hours, minutes and seconds only: the long format's time zone used to follow.
  const QString status = Child<QLineEdit>("statusEdit")->text();
  EXPECT_TRUE(QRegularExpression(R"(^Last BYTE\(s\) sent successfully\.\( Last sending time is \d\d:\d\d:\d\d \)$)")
                  .match(status)
                  .hasMatch())
      << status.toStdString();
}

TEST_F(SendingTest, WriteSelectedRowWithoutSelectionReportsTheIndex) {
  InsertItems({"A"});
  Child<QLineEdit>("sentDataEdit")->setText("old");
  Click(Child<QPushButton>("writeSelectedRowButton"));
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "List index out of bounds (-1)");
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "");
  EXPECT_EQ(dev->WriteCalls(), 0);
}

TEST_F(SendingTest, WriteSelectedRowSendsItemLfCr) {
  InsertItems({"one", "two"});
  auto* list = Child<QListWidget>("arrayListBox");
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
  Child<QCheckBox>("lfCheckBox")->setChecked(true);
  Child<QCheckBox>("crCheckBox")->setChecked(true);
  Click(Child<QPushButton>("writeSelectedRowButton"));
  ASSERT_TRUE(dev->WaitForWritten(5, 2s));
  EXPECT_EQ(dev->Written(), "two\n\r");
  EXPECT_EQ(dev->WriteCalls(), 3);
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "two");
}

TEST_F(SendingTest, ClearDataTableKeepsButtonsAndLeavesNoSelection) {
  InsertItems({"x"});
  auto* list = Child<QListWidget>("arrayListBox");
  list->setCurrentRow(0);
  ChooseFromContextMenu(list, "ClearDataTable");
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(Child<QPushButton>("writeSelectedRowButton")->isEnabled());
  Click(Child<QPushButton>("writeSelectedRowButton"));
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "List index out of bounds (-1)");
}

TEST_F(SendingTest, WriteArrayAsDataSendsFirstCharactersThenConfirms) {
  InsertItems({"Hello", "", "World"});
  Click(Child<QPushButton>("writeButton"));
  ASSERT_TRUE(dev->WaitForWritten(2, 2s));
  EXPECT_EQ(dev->Written(), "HW");
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, "Your table data has been sent successfully");
  EXPECT_EQ(services.messages[0].title, form->Title());
}

TEST_F(SendingTest, TypedCharactersAreSentAsLatin1Bytes) {
  InsertItems({QString::fromUtf8("\xC3\xA9\xC3\xBF")});  // é ÿ
  Click(Child<QPushButton>("writeDataButton"));
  ASSERT_TRUE(dev->WaitForWritten(2, 2s));
  EXPECT_EQ(dev->Written(), "\xE9\xFF");
}

class SendingClosedTest : public FormTest {};

TEST_F(SendingClosedTest, AFailedWriteStopsTheCommandAndIsShown) {
  BuildForm();
  InsertItems({"A", "B"});
  Click(Child<QPushButton>("writeDataButton"));
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_FALSE(services.errors[0].text.isEmpty());
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "") << "no item was sent";
  EXPECT_EQ(Child<QLineEdit>("statusEdit")->text(), "");

  Click(Child<QPushButton>("writeButton"));
  EXPECT_EQ(services.errors.size(), 2u);
  EXPECT_TRUE(services.messages.empty()) << "no success message after a failure";
}

TEST_F(SendingClosedTest, FailingTicksKeepTheTimerButNeverStackErrorBoxes) {
  BuildForm();
  InsertItems({"A"});
  int nested = 0, deepest = 0;
  services.whileErrorShown = [&] {
    // A real box runs a modal loop; let ticks come while it is open.
    ++nested;
    deepest = std::max(deepest, nested);
    QTest::qWait(120);
    --nested;
  };
  TypeInto(Child<QLineEdit>("Edit1"), "20");
  ASSERT_TRUE(WaitUntil([&] { return services.errors.size() >= 3; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_TRUE(form->Timer1->Running());
  TypeInto(Child<QLineEdit>("Edit1"), "0");
}

}  // namespace
}  // namespace GuiTest
