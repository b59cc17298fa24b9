// Picking a port in the port selector opens or switches the port; the other
// selectors only change the port's settings. The port list follows the ports
// present.
#include <QTemporaryDir>
#include <filesystem>

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

// Would catch: a port list read once at start, a pick lost when the list
// changes, and a port listed while its path does not exist.
TEST_F(PortChoiceTest, TheListFollowsPortsComingAndGoingAndKeepsThePick) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string link = (dir.path() + "/adapter").toStdString();
  ::setenv("CPORT_EXTRA_PORTS", link.c_str(), 1);
  auto dev = Device("vfollow-a");
  BuildForm();
  auto* box = PortSelector();
  const auto listed = [&] { return box->findData(QByteArray::fromStdString(link)) >= 0; };
  EXPECT_FALSE(listed()) << "absent at start";
  OpenDevice("vfollow-a");

  std::filesystem::create_symlink("/dev/null", link);
  ASSERT_TRUE(WaitUntil(listed));
  EXPECT_EQ(box->Text(), "vfollow-a");
  std::filesystem::remove(link);
  ASSERT_TRUE(WaitUntil([&] { return !listed(); }));
  EXPECT_EQ(box->Text(), "vfollow-a");
  EXPECT_TRUE(form->ComPort1->Connected());
  EXPECT_EQ(dev->OpenCount(), 1);
  EXPECT_TRUE(services.errors.empty());
}

}  // namespace
}  // namespace GuiTest
