// TComComboBox: only the user's pick applies and raises OnChange; the port's
// destruction unbinds the control; errors of a pick never leave into Qt.
#include <QApplication>
#include <QStyle>
#include <QStyleOptionComboBox>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

using CPortCtl::TComComboBox;

class ComComboBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box.SetComProperty(CPortCtl::cpBaudRate);
    box.SetAutoApply(true);
    box.OnChange = [this](CPort::TComponent* sender) {
      EXPECT_EQ(sender, static_cast<CPort::TComponent*>(&box));
      changes.push_back(box.Text());
    };
    box.OnError = [this](std::exception_ptr) { ++errors; };
    box.show();
  }
  TComComboBox box;
  std::unique_ptr<CPort::TComPort> port = std::make_unique<CPort::TComPort>();
  std::vector<std::string> changes;
  int errors = 0;
};

TEST_F(ComComboBoxTest, UnboundSelectsTheFirstItemAndBindingShowsThePortsValue) {
  EXPECT_EQ(box.currentIndex(), 0);
  port->SetBaudRate(CPort::br38400);
  box.SetComPort(port.get());
  EXPECT_EQ(box.Text(), "38400");
  EXPECT_EQ(box.Select().BaudRate, CPort::br38400);
  EXPECT_TRUE(changes.empty());
}

TEST_F(ComComboBoxTest, ProgrammaticSelectionNeitherAppliesNorRaisesOnChange) {
  box.SetComPort(port.get());
  box.SetText("1200");
  EXPECT_EQ(box.Text(), "1200");
  box.SetText("not in the list");
  EXPECT_EQ(box.Text(), "1200") << "unknown text changes nothing";
  box.SetComProperty(CPortCtl::cpBaudRate);
  EXPECT_EQ(box.Text(), "9600");
  EXPECT_EQ(port->BaudRate(), CPort::br9600);
  EXPECT_TRUE(changes.empty());
}

TEST_F(ComComboBoxTest, UserPicksApplyAtOnceThenRaiseOnChange) {
  box.SetComPort(port.get());
  Pick(&box, "Custom");
  EXPECT_EQ(port->BaudRate(), CPort::brCustom);
  box.setFocus();
  QTest::keyClick(&box, Qt::Key_Down);  // arrow keys step and apply too
  EXPECT_EQ(port->BaudRate(), CPort::br110);
  EXPECT_EQ(changes, (std::vector<std::string>{"Custom", "110"}));
}

TEST_F(ComComboBoxTest, AutoApplyOffOnlyHoldsTheChoice) {
  box.SetComPort(port.get());
  box.SetAutoApply(false);
  Pick(&box, "300");
  EXPECT_EQ(box.Select().BaudRate, CPort::br300);
  EXPECT_EQ(port->BaudRate(), CPort::br9600);
  EXPECT_EQ(changes.size(), 1u);
}

TEST_F(ComComboBoxTest, PortDestructionUnbindsAndSelectsTheFirstItem) {
  box.SetComPort(port.get());
  port.reset();
  EXPECT_EQ(box.ComPort(), nullptr);
  EXPECT_EQ(box.currentIndex(), 0);
  Pick(&box, "600");  // a choice now goes nowhere, but is still reported
  EXPECT_EQ(changes, (std::vector<std::string>{"600"}));
}

TEST_F(ComComboBoxTest, AnErrorOfAPickGoesToOnErrorWithoutOnChange) {
  auto dev = VirtualDevice::Register("vcombo-open");
  VirtualDevice::Register("vcombo-bad")->FailOpen(2);
  TComComboBox ports;
  ports.SetComProperty(CPortCtl::cpPort);
  ports.SetAutoApply(true);
  port->SetPort("vcombo-open");
  ports.SetComPort(port.get());
  port->OpenPort();
  std::exception_ptr seen;
  int changed = 0;
  ports.OnError = [&](std::exception_ptr e) { seen = e; };
  ports.OnChange = [&](CPort::TComponent*) { ++changed; };
  ports.show();
  Pick(&ports, "vcombo-bad");
  ASSERT_TRUE(seen);
  EXPECT_THROW(std::rethrow_exception(seen), CPort::EComPort);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(ports.Text(), "vcombo-bad") << "the choice stays selected";
  EXPECT_EQ(ports.Select().Port, "vcombo-bad");
  port.reset();
  VirtualDevice::Unregister("vcombo-open");
  VirtualDevice::Unregister("vcombo-bad");
}

TEST_F(ComComboBoxTest, CpNoneListsNothingAndSelectsNothing) {
  TComComboBox none;
  none.SetComProperty(CPortCtl::cpNone);
  none.SetComPort(port.get());
  EXPECT_EQ(none.count(), 0);
  EXPECT_EQ(none.currentIndex(), -1);
  EXPECT_EQ(none.Text(), "");
}

// Would catch: a closed port box that cut "name – description" and the
// waiting note short ("/dev/pts/7 – pseu", "[waiting for the de…"), and an
// open list narrower than its longest caption.
TEST(ComComboBoxPorts, ClosedBoxFitsTheNameAndShortNoteAndTheListFitsEveryCaption) {
  TComComboBox box;
  box.setFixedSize(113, 21);  // the window's port box
  box.show();
  CPort::TSerialPortInfo pty, usb;
  pty.Name = "/dev/pts/7";
  pty.Description = "pseudo-terminal";
  usb.Name = "ttyUSB0";
  usb.Description = "FT232R USB UART with a rather long product string";
  box.SetPorts({pty, usb});
  box.setCurrentIndex(0);
  QStyleOptionComboBox option;
  option.initFrom(&box);
  option.frame = true;
  const int room = box.style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, &box).width();
  const struct {
    const char* note;
    const char* shortNote;
    const char* starts;
  } rows[] = {{"", "", "/dev/pts/7"}, {"waiting for the device", "waiting", "[waiting] "}, {"device back", "back", "[back] "}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    box.SetPortNote(pty.Name, row.note, row.shortNote);
    const QString closed = box.ClosedCaption();
    EXPECT_TRUE(closed.startsWith(QString::fromUtf8(row.starts))) << closed.toStdString();
    EXPECT_TRUE(closed.endsWith(QStringLiteral("7"))) << closed.toStdString();
    EXPECT_LE(box.fontMetrics().horizontalAdvance(closed), room) << closed.toStdString();
    EXPECT_EQ(box.ItemCaption(0), std::string(*row.note ? "[" + std::string(row.note) + "] /dev/pts/7"
                                                        : "/dev/pts/7 \u2013 pseudo-terminal"));
    for (int i = 0; i < box.count(); ++i)
      EXPECT_GE(box.view()->minimumWidth(), box.view()->fontMetrics().horizontalAdvance(box.itemText(i)));
  }
}

}  // namespace
}  // namespace GuiTest
