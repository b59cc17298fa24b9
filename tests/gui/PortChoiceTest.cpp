// Picking a port in the port selector opens or switches the port; the other
// selectors only change the port's settings.
#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

class PortChoiceTest : public FormTest {};

TEST_F(PortChoiceTest, FirstPickOpensSecondPickSwitchesSamePickChangesNothing) {
  auto a = Device("vchoice-a");
  auto b = Device("vchoice-b");
  BuildForm();

  OpenDevice("vchoice-a");
  EXPECT_TRUE(a->IsOpen());
  EXPECT_EQ(a->OpenCount(), 1);

  Pick(PortSelector(), "vchoice-a");
  QTest::qWait(50);
  EXPECT_EQ(a->OpenCount(), 1) << "the open port is not reopened";

  OpenDevice("vchoice-b");
  EXPECT_FALSE(a->IsOpen());
  EXPECT_TRUE(b->IsOpen());
  EXPECT_TRUE(services.errors.empty());
}

TEST_F(PortChoiceTest, APortThatCannotBeOpenedIsReportedAndStaysClosed) {
  auto dev = Device("vchoice-fail");
  dev->FailOpen(13, 1);
  BuildForm();

  Pick(PortSelector(), "vchoice-fail");
  ASSERT_TRUE(WaitUntil([&] { return !services.errors.empty(); }));
  EXPECT_EQ(services.errors[0].text, "Unable to open com port (win error code: 13)");
  EXPECT_EQ(services.errors[0].title, form->Title());
  EXPECT_FALSE(form->ComPort1->Connected());
  EXPECT_EQ(PortSelector()->Text(), "vchoice-fail") << "the choice stays selected";

  // A later pick tries again.
  OpenDevice("vchoice-fail");
}

TEST_F(PortChoiceTest, SettingsPickedBeforeAnyPortOnlyChangeThePort) {
  auto dev = Device("vchoice-set");
  BuildForm();
  Pick(Child<CPortCtl::TComComboBox>("ComComboBox2"), "Even");
  Pick(Child<CPortCtl::TComComboBox>("ComComboBox3"), "19200");
  Pick(Child<CPortCtl::TComComboBox>("ComComboBox4"), "7");
  EXPECT_EQ(form->ComPort1->Parity().Bits(), CPort::prEven);
  EXPECT_EQ(form->ComPort1->BaudRate(), CPort::br19200);
  EXPECT_EQ(form->ComPort1->DataBits(), CPort::dbSeven);
  EXPECT_FALSE(form->ComPort1->Connected());
  EXPECT_EQ(dev->OpenCount(), 0);

  OpenDevice("vchoice-set");
  const auto dcb = dev->CurrentState();
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, CPort::Platform::EVENPARITY);
}

}  // namespace
}  // namespace GuiTest
