// The window as it comes up: its initial state, its fixed layout, and an
// offscreen rendering of it.
#include <QCheckBox>
#include <algorithm>
#include <QGroupBox>
#include <QImage>
#include <QLabel>

#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

class StartupTest : public FormTest {};

TEST_F(StartupTest, InitialStateMatchesTheLayout) {
  Device("COM10");
  Device("vstart");
  BuildForm();

  EXPECT_EQ(form->windowTitle(), "Kelvat CommPort Control Software  ( www.kelvat.example )");
  EXPECT_EQ(form->size(), QSize(663, 501));
  EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "not resizable";
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);

  EXPECT_EQ(Memo(), "Ready\r\n");
  EXPECT_EQ(Child<QPlainTextEdit>("Memo1")->textCursor().position(),
            Child<QPlainTextEdit>("Memo1")->document()->characterCount() - 1)
      << "caret at the end";

  auto* port = Child<CPortCtl::TComComboBox>("ComComboBox1");
  auto* parity = Child<CPortCtl::TComComboBox>("ComComboBox2");
  auto* baud = Child<CPortCtl::TComComboBox>("ComComboBox3");
  auto* dataBits = Child<CPortCtl::TComComboBox>("ComComboBox4");
  EXPECT_EQ(port->count(), 2);
  EXPECT_EQ(port->Text(), "COM10");
  EXPECT_EQ(parity->count(), 5);
  EXPECT_EQ(parity->Text(), "None");
  EXPECT_EQ(baud->count(), 16);
  EXPECT_EQ(baud->itemText(0), "Custom");
  EXPECT_EQ(baud->currentIndex(), 7);
  EXPECT_EQ(baud->Text(), "9600");
  EXPECT_EQ(dataBits->count(), 4);
  EXPECT_EQ(dataBits->Text(), "8");
  for (auto* box : {port, parity, baud, dataBits}) {
    EXPECT_TRUE(box->AutoApply());
    EXPECT_FALSE(box->isEditable());
    EXPECT_EQ(box->ComPort(), form->ComPort1);
  }

  // The port: closed, with the layout's values.
  CPort::TComPort* p = form->ComPort1;
  EXPECT_FALSE(p->Connected());
  EXPECT_EQ(p->Port(), "COM10");
  EXPECT_EQ(p->BaudRate(), CPort::br9600);
  EXPECT_EQ(p->DataBits(), CPort::dbEight);
  EXPECT_EQ(p->StopBits(), CPort::sbOneStopBit);
  EXPECT_EQ(p->Parity().Bits(), CPort::prNone);
  EXPECT_EQ(p->FlowControl().ControlDTR(), CPort::dtrDisable);
  EXPECT_EQ(p->FlowControl().ControlRTS(), CPort::rtsDisable);
  EXPECT_TRUE(p->Events() == CPort::kAllComEvents);
  EXPECT_EQ(p->SyncMethod(), CPort::smThreadSync);
  EXPECT_EQ(VirtualDevice::Find("COM10")->OpenCount(), 0);

  for (const char* name : {"writeButton", "writeDataButton", "writeSelectedRowButton"})
    EXPECT_FALSE(Child<QPushButton>(name)->isEnabled()) << name;
  EXPECT_TRUE(Child<QPushButton>("applyButton")->isEnabled());
  EXPECT_FALSE(form->Timer1->Enabled());
  EXPECT_EQ(form->Timer1->Interval(), 250u);
  EXPECT_EQ(Child<QLineEdit>("dataEdit")->text(), "255");
  EXPECT_EQ(Child<QLineEdit>("Edit1")->text(), "0");
  EXPECT_EQ(Child<QLineEdit>("statusEdit")->text(), "");
  EXPECT_EQ(Child<QLineEdit>("sentDataEdit")->text(), "");
  EXPECT_FALSE(Child<QCheckBox>("crCheckBox")->isChecked());
  EXPECT_FALSE(Child<QCheckBox>("lfCheckBox")->isChecked());
  EXPECT_EQ(Child<QListWidget>("arrayListBox")->count(), 0);
  EXPECT_TRUE(services.errors.empty());
}

TEST_F(StartupTest, WithoutCom10NothingIsSelectedAndThePortKeepsItsName) {
  Device("vonly");
  BuildForm();
  EXPECT_EQ(PortSelector()->currentIndex(), -1);
  EXPECT_EQ(PortSelector()->Text(), "");
  EXPECT_EQ(form->ComPort1->Port(), "COM10");
  EXPECT_FALSE(form->ComPort1->Connected());
}

TEST_F(StartupTest, TabOrderFollowsTheLayout) {
  BuildForm();
  const char* chain[] = {"ComComboBox1", "ComComboBox2", "ComComboBox3", "ComComboBox4", "Memo1",
                         "Button1", "dataEdit", "writeButton", "applyButton", "arrayListBox",
                         "writeDataButton", "writeSelectedRowButton", "Edit1", "crCheckBox",
                         "lfCheckBox", "statusEdit", "sentDataEdit"};
  // Walk the focus chain once round; note the layout's controls in the order met.
  std::vector<std::string> met;
  QWidget* first = Child<QWidget>(chain[0]);
  QWidget* w = first;
  do {
    const std::string name = w->objectName().toStdString();
    if (std::find(std::begin(chain), std::end(chain), name) != std::end(chain)) met.push_back(name);
    w = w->nextInFocusChain();
  } while (w && w != first && met.size() < 2 * std::size(chain));
  EXPECT_EQ(met, std::vector<std::string>(std::begin(chain), std::end(chain)));
}

struct Placement {
  const char* name;
  int left, top, width, height;
};

// Positions inside the window (group box contents offset by their boxes).
constexpr Placement kMainControls[] = {
    {"GroupBox1", 8, 16, 649, 425},
    {"Memo1", 16, 40, 497, 233},
    {"GroupBox2", 520, 32, 129, 241},
    {"ComComboBox1", 528, 240, 113, 21},
    {"ComComboBox3", 528, 96, 113, 21},
    {"GroupBox3", 16, 280, 137, 105},
    {"Button1", 24, 352, 121, 25},
    {"dataEdit", 24, 328, 121, 21},
    {"GroupBox4", 160, 280, 489, 153},
    {"arrayListBox", 168, 296, 177, 129},
    {"writeDataButton", 352, 296, 121, 25},
    {"applyButton", 552, 312, 91, 25},
    {"Edit1", 560, 400, 57, 21},
    {"statusEdit", 72, 448, 489, 21},
    {"sentDataEdit", 72, 472, 489, 21},
};

TEST_F(StartupTest, RenderedOffscreenWithTheLayoutsGeometry) {
  BuildForm();
  const QImage image = form->grab().toImage();
  ASSERT_EQ(image.size(), QSize(663, 501));
  const QColor window = image.pixelColor(2, 2);
  for (const auto& p : kMainControls) {
    QWidget* w = Child<QWidget>(p.name);
    ASSERT_NE(w, nullptr);
    const QRect rect(w->mapTo(form.get(), QPoint(0, 0)), w->size());
    EXPECT_EQ(rect, QRect(p.left, p.top, p.width, p.height)) << p.name;
    EXPECT_TRUE(w->isVisible()) << p.name;
  }
  // The edit fields and the text box are drawn: their inside is not the
  // window's background.
  for (const char* name : {"Memo1", "statusEdit", "dataEdit", "arrayListBox"}) {
    QWidget* w = Child<QWidget>(name);
    const QPoint inside = w->mapTo(form.get(), QPoint(w->width() / 2, w->height() - 4));
    EXPECT_NE(image.pixelColor(inside), window) << name;
  }
}

}  // namespace
}  // namespace GuiTest
