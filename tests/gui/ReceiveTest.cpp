// Received data: one line per deferred read, at most 1024 bytes a read,
// nothing lost (zero bytes included), and a window that keeps working while a
// read waits for its time.
#include <QElapsedTimer>

#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

using namespace std::chrono_literals;

class ReceiveTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    dev = Device("vrecv");
    BuildForm();
    OpenDevice("vrecv");
  }
  // Waits until the box holds `expected` (up to `ms`).
  bool WaitForMemo(const std::string& expected, int ms = 5000) {
    return WaitUntil([&] { return Memo() == expected; }, ms);
  }
  std::shared_ptr<VirtualDevice> dev;
};

TEST_F(ReceiveTest, BytesWithinTheWaitFormOneLine) {
  QElapsedTimer clock;
  clock.start();
  dev->Feed("abc");
  ASSERT_TRUE(WaitUntil([&] { return form->ReadPending(); }, 2000));
  QTest::qWait(400);
  dev->Feed("def");
  ASSERT_TRUE(WaitForMemo("Ready\r\nabcdef\r\n"));
  EXPECT_GE(clock.elapsed(), 950) << "read after the wait, not before";
  QTest::qWait(1300);
  EXPECT_EQ(Memo(), "Ready\r\nabcdef\r\n") << "absorbed events add no lines";
}

TEST_F(ReceiveTest, AtMost1024BytesPerReadTheRestLater) {
  std::string data;
  for (int i = 0; i < 1500; ++i) data += static_cast<char>('a' + i % 26);
  dev->Feed(data);
  ASSERT_TRUE(WaitUntil([&] { return Memo().size() > 7; }, 3000));
  EXPECT_EQ(Memo(), "Ready\r\n" + data.substr(0, 1024) + "\r\n");

  dev->Feed("!");
  // Whatever the number of further lines, the rest arrives complete, in
  // order, after the first 1024.
  auto rest = [&] {
    std::string tail = Memo().substr(7 + 1024 + 2), joined;
    for (std::size_t p = 0; (p = tail.find("\r\n")) != std::string::npos;) {
      joined += tail.substr(0, p);
      tail.erase(0, p + 2);
    }
    return joined;
  };
  ASSERT_TRUE(WaitUntil([&] { return rest().size() >= 477; }, 6000));
  EXPECT_EQ(rest(), data.substr(1024) + "!");
}

// A device that sent more than a read takes and then went quiet used to
// leave the rest unseen: the event history reports new input only once.
TEST_F(ReceiveTest, QuietDevicesBacklogReachesTheBoxInLinesOf1024) {
  std::string data, expected = "Ready\r\n";
  for (int i = 0; i < 6100; ++i) data += static_cast<char>('0' + i % 75);
  for (std::size_t p = 0; p < data.size(); p += 1024) expected += data.substr(p, 1024) + "\r\n";
  dev->Feed(data);
  ASSERT_TRUE(WaitForMemo(expected, 20000)) << Memo().size() << " of " << expected.size() << " bytes shown";
}

TEST_F(ReceiveTest, ZeroBytesAndControlBytesAreKept) {
  const std::string data("A\0B\rC\nD\xA0\xFF", 9);
  dev->Feed(data);
  ASSERT_TRUE(WaitForMemo("Ready\r\n" + data + "\r\n"));
  // Shown visibly, not cut off at the zero byte.
  const QString shown = Child<QPlainTextEdit>("Memo1")->toPlainText();
  EXPECT_TRUE(shown.contains(QString::fromUtf8("A\u2400B\u240DC\u240AD\u00A0\u00FF")) ||
              shown.contains(QString::fromUtf8("A\u2400B\u240DC\u240AD \u00FF")))
      << shown.toStdString();
}

TEST_F(ReceiveTest, ClearingMakesTheNextBatchTheFirstLine) {
  ChooseFromContextMenu(Child<QPlainTextEdit>("Memo1"), "ClrStrings");
  EXPECT_EQ(Memo(), "");
  dev->Feed("xyz");
  ASSERT_TRUE(WaitForMemo("xyz\r\n"));
  auto* memo = Child<QPlainTextEdit>("Memo1");
  EXPECT_EQ(memo->textCursor().position(), memo->document()->characterCount() - 1) << "caret at the end";
}

// Counts paint events of a widget.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST_F(ReceiveTest, WindowStaysResponsiveWhileAReadWaits) {
  PaintCounter counter;
  auto* memo = Child<QPlainTextEdit>("Memo1");
  memo->viewport()->installEventFilter(&counter);

  dev->Feed("data");
  ASSERT_TRUE(WaitUntil([&] { return form->ReadPending(); }, 2000));

  // A click is handled: WriteData sends "2" at once.
  Click(Child<QPushButton>("Button1"));
  ASSERT_TRUE(dev->WaitForWritten(1, 500ms));
  const int paintsBefore = counter.paints;
  memo->viewport()->update();
  ASSERT_TRUE(WaitUntil([&] { return counter.paints > paintsBefore; }, 500));
  EXPECT_TRUE(form->ReadPending()) << "both happened inside the wait";
  EXPECT_EQ(Memo(), "Ready\r\n");

  ASSERT_TRUE(WaitForMemo("Ready\r\ndata\r\n"));
  memo->viewport()->removeEventFilter(&counter);
}

}  // namespace
}  // namespace GuiTest
