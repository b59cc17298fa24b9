#include <gtest/gtest.h>

#include <fstream>

#include "CPort/storage/IniFile.h"
#include "port_fixture.h"
#include "test_storage_tempdir.h"

using namespace CPort;
using CPort::Platform::VirtualDevice;

namespace {

using StorageOpenPortTest = VirtualPortTest;

// On an open port each loaded value reaches the device as its key is read;
// nothing waits for the end of the load.
TEST_F(StorageOpenPortTest, LoadedSettingsArePushedToAnOpenDevice) {
  TempDir tmp;
  const std::string path = tmp.File("open.ini");
  std::ofstream(path) << "[P]\nBaudRate=115200\nDataBits=7\nTimeouts.ReadInterval=20\nBuffer.InputSize=2048\n";
  port->SetName("P");
  port->SetSavedGroups(TSavedGroups{sgLine, sgTimeouts, sgBuffer});
  port->OpenPort();
  device->ClearConfigCalls();

  TIniFile ini(path);
  port->LoadSettingsFromIni(ini);

  using Kind = VirtualDevice::ConfigCall::Kind;
  int states = 0, timeouts = 0, queues = 0;
  for (const auto& call : device->ConfigCalls()) {
    states += call.kind == Kind::State;
    timeouts += call.kind == Kind::Timeouts;
    queues += call.kind == Kind::QueueSizes;
  }
  // One push per changed line setting, and one for the flow-control mode,
  // which is applied (and pushed) even when it is unchanged.
  EXPECT_EQ(states, 3);
  EXPECT_EQ(timeouts, 1);
  EXPECT_EQ(queues, 1);
  EXPECT_EQ(device->CurrentState().BaudRate, 115200u);
  EXPECT_EQ(device->CurrentState().ByteSize, 7);
  EXPECT_EQ(device->CurrentTimeouts().ReadIntervalTimeout, 20u);
  port->ClosePort();
}

}  // namespace
