// The window against the demo device on a real pseudo-terminal.
#include <signal.h>
#include <sys/wait.h>

#include <QCheckBox>
#include <QProcess>
#include <QTemporaryDir>

#include "GuiTestSupport.h"
#include "../cport/net_servers.h"

namespace GuiTest {
namespace {

class DemoDeviceTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    ASSERT_TRUE(linkDir.isValid());
  }
  // Starts the demo device, on its pty or behind a link.
  void StartDemo(const QStringList& extra = {}) {
    demo.setProgram(QStringLiteral(DEMO_DEVICE_PATH));
    demo.setArguments(QStringList{"--period", "200"} + extra);
    demo.start();
    ASSERT_TRUE(demo.waitForStarted(5000));
    ASSERT_TRUE(WaitUntil([&] { return demo.canReadLine(); }, 5000));
    path = QString::fromLocal8Bit(demo.readLine()).trimmed().toStdString();
    ::setenv("CPORT_EXTRA_PORTS", path.c_str(), 1);
  }
  void Toggle() { ::kill(static_cast<pid_t>(demo.processId()), SIGUSR1); }
  std::string SelectedCaption() const { return PortSelector()->ItemCaption(PortSelector()->currentIndex()); }
  void TearDown() override {
    form.reset();
    if (demo.state() != QProcess::NotRunning) {
      demo.terminate();
      demo.waitForFinished(5000);
    }
    FormTest::TearDown();
  }
  void ExpectReadingsAndAnswers();
  QTemporaryDir linkDir;
  QProcess demo;
  std::string path;
};

TEST_F(DemoDeviceTest, ReadingsAppearAndLinesAreAnswered) {
  StartDemo();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  BuildForm();
  OpenDevice(path);
  ExpectReadingsAndAnswers();
}

// The same device on another machine: served by ser2net, listed through
// CPORT_EXTRA_PORTS and opened from the port selector like a local port.
TEST_F(DemoDeviceTest, ReadingsAndAnswersThroughSer2Net) {
  if (net_test::Ser2Net::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  StartDemo();
  net_test::Ser2Net server(path, "telnet(rfc2217),tcp");
  const std::string url = server.Url("rfc2217");
  ::setenv("CPORT_EXTRA_PORTS", (path + ":" + url).c_str(), 1);
  BuildForm();
  OpenDevice(url);
  ExpectReadingsAndAnswers();
  form.reset();  // closes the port before the server goes
}

void DemoDeviceTest::ExpectReadingsAndAnswers() {
  ASSERT_TRUE(WaitUntil([&] { return Memo().find("T=23.") != std::string::npos; }, 5000)) << Memo();

  InsertItems({"ping"});
  auto* list = Child<QListWidget>("arrayListBox");
  list->setCurrentRow(0);
  Child<QCheckBox>("crCheckBox")->setChecked(true);
  Click(Child<QPushButton>("writeSelectedRowButton"));
  ASSERT_TRUE(WaitUntil([&] { return Memo().find("OK ping\r\n") != std::string::npos; }, 5000)) << Memo();
  EXPECT_TRUE(services.errors.empty());
}

// Would catch: every reading followed by an empty line (the device's CR LF,
// then the window's own after each batch), as run.sh showed it.
TEST_F(DemoDeviceTest, ReadingsInTheWindowsFormStandOnLinesOfTheirOwn) {
  StartDemo({"--no-line-end", "--period", "1000"});
  BuildForm();
  OpenDevice(path);
  auto readings = [&] {
    std::size_t count = 0;
    for (std::size_t at = Memo().find("T=23."); at != std::string::npos; at = Memo().find("T=23.", at + 1)) ++count;
    return count;
  };
  ASSERT_TRUE(WaitUntil([&] { return readings() >= 2; }, 8000)) << Memo();
  EXPECT_EQ(Memo().find("\r\n\r\n"), std::string::npos) << Memo();
  EXPECT_EQ(Memo().rfind("Ready\r\nT=23.", 0), 0u) << Memo();
}

// Would catch: a window that loses the device for good when it is unplugged,
// shows more than one box for one loss, or needs a click to get it back.
TEST_F(DemoDeviceTest, AnUnpluggedDeviceComesBackWithoutAClick) {
  StartDemo({"--link", linkDir.path() + "/demo"});
  BuildForm();
  OpenDevice(path);
  EXPECT_EQ(SelectedCaption(), path + " \u2013 pseudo-terminal");
  ASSERT_TRUE(WaitUntil([&] { return Memo().find("T=23.") != std::string::npos; }, 5000)) << Memo();

  Toggle();  // unplugged
  ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->WaitingForDevice(); }));
  EXPECT_EQ(SelectedCaption(), "[waiting for the device] " + path);
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "WaitForEvent method failed (win error code: 5)");
  const std::size_t before = Memo().size();

  Toggle();  // plugged in again
  ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->Connected(); }));
  EXPECT_EQ(SelectedCaption(), "[device back] " + path);
  ASSERT_TRUE(WaitUntil([&] { return Memo().find("T=23.", before) != std::string::npos; }, 5000)) << Memo();
  EXPECT_EQ(services.errors.size(), 1u);
}

// Would catch: a window that stacks one modal error box per loss while its
// device comes and goes (four unplugs left four boxes over the text box).
// The fake box stays open, serving events as a modal loop does, while the
// device comes back and goes again three times.
TEST_F(DemoDeviceTest, LossesWhileAnErrorBoxIsOpenOpenNoFurtherBox) {
  StartDemo({"--link", linkDir.path() + "/demo"});
  BuildForm();
  OpenDevice(path);
  int open = 0, mostOpen = 0, cycles = 0;
  services.whileErrorShown = [&] {
    mostOpen = std::max(mostOpen, ++open);
    for (; cycles < 3; ++cycles) {
      ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->WaitingForDevice(); }));
      Toggle();  // back
      ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->Connected(); }));
      Toggle();  // gone again
    }
    ASSERT_TRUE(WaitUntil([&] { return form->ComPort1->WaitingForDevice(); }));
    EXPECT_EQ(SelectedCaption(), "[waiting for the device] " + path);
    --open;
  };
  Toggle();  // unplugged
  ASSERT_TRUE(WaitUntil([&] { return cycles == 3 && open == 0; }, 20000));
  EXPECT_EQ(mostOpen, 1);
  EXPECT_EQ(services.errors.size(), 1u);
}

TEST_F(DemoDeviceTest, StopsCleanlyOnSigterm) {
  StartDemo();
  demo.terminate();
  ASSERT_TRUE(demo.waitForFinished(5000));
  EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(demo.exitCode(), 0);
}

}  // namespace
}  // namespace GuiTest
