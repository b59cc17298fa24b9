// TComSelect on a plain vector and an unopened port: no GUI toolkit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CPort/ComPort.h"
#include "CPort/PortList.h"
#include "CPort/platform/virtual_device.h"
#include "CPortCtl/ComSelect.h"

namespace {

using namespace CPortCtl;
using CPort::Platform::VirtualDevice;

class ComSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only the ports this test registers: an empty tty class, no extras.
    sysfs_ = std::filesystem::temp_directory_path() / ("comselect-sysfs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(sysfs_ / "class" / "tty");
    CPort::SetSysfsRoot(sysfs_.string());
    ::unsetenv("CPORT_EXTRA_PORTS");
    select_.Items = &items_;
  }
  void TearDown() override {
    for (const auto& name : VirtualDevice::RegisteredNames()) VirtualDevice::Unregister(name);
    std::filesystem::remove_all(sysfs_);
  }

  std::filesystem::path sysfs_;
  std::vector<std::string> list_;
  TStringVectorItems items_{list_};
  TComSelect select_;
  CPort::TComPort port_;
};

TEST_F(ComSelectTest, NewObjectHasEveryFieldZero) {
  const TComSelect fresh;
  EXPECT_EQ(fresh.Port, "");
  EXPECT_EQ(fresh.BaudRate, CPort::brCustom);
  EXPECT_EQ(fresh.DataBits, CPort::dbFive);
  EXPECT_EQ(fresh.StopBits, CPort::sbOneStopBit);
  EXPECT_EQ(fresh.Parity, CPort::prNone);
  EXPECT_EQ(fresh.FlowControl, CPort::fcHardware);
  EXPECT_EQ(fresh.Items, nullptr);
  EXPECT_EQ(fresh.ComProperty, cpNone);
  EXPECT_EQ(fresh.ComPort, nullptr);
  EXPECT_FALSE(fresh.AutoApply);
}

TEST_F(ComSelectTest, EachPropertyListsItsTextsInOrder) {
  select_.SetComProperty(cpBaudRate);
  ASSERT_EQ(list_.size(), 16u);
  EXPECT_EQ(list_.front(), "Custom");
  EXPECT_EQ(list_[1], "110");
  EXPECT_EQ(list_[7], "9600");
  EXPECT_EQ(list_.back(), "256000");
  select_.SetComProperty(cpDataBits);
  EXPECT_EQ(list_, (std::vector<std::string>{"5", "6", "7", "8"}));
  select_.SetComProperty(cpStopBits);
  EXPECT_EQ(list_, (std::vector<std::string>{"1", "1.5", "2"}));
  select_.SetComProperty(cpParity);
  EXPECT_EQ(list_, (std::vector<std::string>{"None", "Odd", "Even", "Mark", "Space"}));
  select_.SetComProperty(cpFlowControl);
  EXPECT_EQ(list_, (std::vector<std::string>{"Hardware", "Software", "None", "Custom"}));
  select_.SetComProperty(cpNone);
  EXPECT_TRUE(list_.empty());
}

TEST_F(ComSelectTest, PortListIsReadEachTimeThePropertyIsSet) {
  VirtualDevice::Register("vsel-b");
  select_.SetComProperty(cpPort);
  EXPECT_EQ(list_, (std::vector<std::string>{"vsel-b"}));
  VirtualDevice::Register("vsel-a");
  ::setenv("CPORT_EXTRA_PORTS", "/dev/pts/nonexistent-demo", 1);
  select_.SetComProperty(cpPort);
  EXPECT_EQ(list_, (std::vector<std::string>{"/dev/pts/nonexistent-demo", "vsel-a", "vsel-b"}));
}

TEST_F(ComSelectTest, UnreadablePortListLeavesTheListEmptyAndRaises) {
  list_ = {"stale"};
  CPort::SetSysfsRoot((sysfs_ / "missing").string());
  EXPECT_THROW(select_.SetComProperty(cpPort), CPort::EComPort);
  EXPECT_TRUE(list_.empty());
  EXPECT_EQ(select_.ComProperty, cpPort);
}

TEST_F(ComSelectTest, SelectTextHoldsTheParsedValueAndAppliesOnlyWithAutoApply) {
  select_.ComPort = &port_;
  select_.SetComProperty(cpBaudRate);
  select_.SelectText("115200");
  EXPECT_EQ(select_.BaudRate, CPort::br115200);
  EXPECT_EQ(port_.BaudRate(), CPort::br9600) << "held only";

  select_.AutoApply = true;
  select_.SelectText("Custom");
  EXPECT_EQ(port_.BaudRate(), CPort::brCustom);

  select_.SetComProperty(cpParity);
  select_.SelectText("Mark");
  EXPECT_EQ(port_.Parity().Bits(), CPort::prMark);
  select_.SetComProperty(cpDataBits);
  select_.SelectText("7");
  EXPECT_EQ(port_.DataBits(), CPort::dbSeven);
  select_.SetComProperty(cpStopBits);
  select_.SelectText("2");
  EXPECT_EQ(port_.StopBits(), CPort::sbTwoStopBits);
  select_.SetComProperty(cpFlowControl);
  select_.SelectText("Software");
  EXPECT_EQ(port_.FlowControl().FlowControl(), CPort::fcSoftware);
  select_.SetComProperty(cpPort);
  select_.SelectText("ttyUSB7");
  EXPECT_EQ(port_.Port(), "ttyUSB7");
}

TEST_F(ComSelectTest, WithoutAPortChoicesAreHeldAndGoNowhere) {
  select_.AutoApply = true;
  select_.SetComProperty(cpParity);
  EXPECT_NO_THROW(select_.SelectText("Even"));
  EXPECT_EQ(select_.Parity, CPort::prEven);
  int index = 42;
  EXPECT_FALSE(select_.FindCurrent(index));
  EXPECT_EQ(index, 42);
}

TEST_F(ComSelectTest, FindCurrentIgnoresLetterCaseAndHoldsTheListsSpelling) {
  VirtualDevice::Register("vselport");
  select_.ComPort = &port_;
  select_.SetComProperty(cpPort);
  port_.SetPort("VSELPORT");
  int index = -5;
  ASSERT_TRUE(select_.FindCurrent(index));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(select_.Port, "vselport");
  EXPECT_EQ(port_.Port(), "VSELPORT") << "the port keeps its own spelling";

  port_.SetPort("not-listed");
  ASSERT_TRUE(select_.FindCurrent(index));
  EXPECT_EQ(index, -1);

  select_.SetComProperty(cpBaudRate);
  port_.SetBaudRate(CPort::br57600);
  ASSERT_TRUE(select_.FindCurrent(index));
  EXPECT_EQ(list_[static_cast<std::size_t>(index)], "57600");
  EXPECT_EQ(select_.BaudRate, CPort::br57600);

  select_.SetComProperty(cpNone);
  ASSERT_TRUE(select_.FindCurrent(index));
  EXPECT_EQ(index, -1);
}

TEST_F(ComSelectTest, FindCurrentNeverWritesIntoThePort) {
  select_.ComPort = &port_;
  select_.AutoApply = true;
  select_.SetComProperty(cpBaudRate);
  port_.SetBaudRate(CPort::br300);
  int index = -1;
  select_.FindCurrent(index);
  EXPECT_EQ(port_.BaudRate(), CPort::br300);
  EXPECT_TRUE(select_.AutoApply);
}

TEST(SameTextAscii, FoldsOnlyAsciiLettersOverTheWholeText) {
  EXPECT_TRUE(SameTextAscii("ttyUSB0", "TTYusb0"));
  EXPECT_FALSE(SameTextAscii("ttyUSB0", "ttyUSB"));
  EXPECT_FALSE(SameTextAscii("\xC3\xA4", "\xC3\x84"));  // ä and Ä stay apart
}

}  // namespace
