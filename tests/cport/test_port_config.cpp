// The port object's settings reaching the device: defaults, pushes, order,
// and failures, on the virtual device.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>

#include "CPort/ComPort.h"
#include "CPort/runtime/MainThread.h"
#include "error_display_recorder.h"
#include "port_fixture.h"

using namespace CPort;
using namespace CPort::Platform;
using Kind = VirtualDevice::ConfigCall::Kind;

namespace {

std::vector<Kind> Kinds(const std::vector<VirtualDevice::ConfigCall>& calls) {
  std::vector<Kind> kinds;
  for (const auto& c : calls) kinds.push_back(c.kind);
  return kinds;
}

template <typename F>
int ExpectPortError(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e.PortErrorCode() * 1000 + e.OsErrorCode();
  }
  ADD_FAILURE() << "no EComPort raised";
  return 0;
}

}  // namespace

using PortConfig = VirtualPortTest;

TEST_F(PortConfig, OpenPushesTheDefaultsInOrder) {
  port->SetEvents({});
  port->OpenPort();
  const auto calls = device->ConfigCalls();
  ASSERT_EQ(Kinds(calls), (std::vector<Kind>{Kind::QueueSizes, Kind::State, Kind::Timeouts}));
  EXPECT_EQ(calls[0].inQueue, 1024u);
  EXPECT_EQ(calls[0].outQueue, 1024u);
  const DCB& d = calls[1].dcb;
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Flags, 0x0001u);
  EXPECT_EQ(d.XonLim, 256);
  EXPECT_EQ(d.XoffLim, 256);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.ErrorChar, 0);
  EXPECT_EQ(d.EofChar, 0);
  EXPECT_EQ(d.EvtChar, 0);
  const COMMTIMEOUTS& t = calls[2].timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_TRUE(port->Connected());
}

TEST_F(PortConfig, EveryFlagLandsInItsBit) {
  port->SetEvents({});
  port->Parity().SetCheck(true);
  port->Parity().SetReplace(true);
  port->Parity().SetReplaceChar('?');
  port->Parity().SetBits(prSpace);
  auto& f = port->FlowControl();
  f.SetOutCTSFlow(true);
  f.SetOutDSRFlow(true);
  f.SetControlDTR(dtrHandshake);
  f.SetDSRSensitivity(true);
  f.SetTxContinueOnXoff(true);
  f.SetXonXoffOut(true);
  f.SetXonXoffIn(true);
  f.SetControlRTS(rtsToggle);
  f.SetXonChar('a');
  f.SetXoffChar('b');
  port->SetDiscardNull(true);
  port->SetEventChar('\n');
  port->SetDataBits(dbFive);
  port->SetStopBits(sbOne5StopBits);
  port->Buffer().SetInputSize(4000);
  port->SetBaudRate(brCustom);
  port->SetCustomBaudRate(1234567);
  port->OpenPort();
  const DCB d = device->ConfigCalls()[1].dcb;
  EXPECT_EQ(d.Flags, 0x1u | 0x2u | 0x4u | 0x8u | 0x20u | 0x40u | 0x80u | 0x100u | 0x200u | 0x400u | 0x800u | 0x3000u);
  EXPECT_EQ(d.ErrorChar, '?');
  EXPECT_EQ(d.Parity, SPACEPARITY);
  EXPECT_EQ(d.ByteSize, 5);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  EXPECT_EQ(d.XonChar, 'a');
  EXPECT_EQ(d.XoffChar, 'b');
  EXPECT_EQ(d.EvtChar, '\n');
  EXPECT_EQ(d.XonLim, 1000);
  EXPECT_EQ(d.BaudRate, 1234567u);
}

TEST_F(PortConfig, ReplaceCharTravelsOnlyWithParityCheck) {
  port->SetEvents({});
  port->Parity().SetReplace(true);
  port->Parity().SetReplaceChar('?');
  port->OpenPort();
  const DCB d = device->ConfigCalls()[1].dcb;
  EXPECT_EQ(d.Flags & (DcbFlag::fErrorChar | DcbFlag::fParity), 0u);
  EXPECT_EQ(d.ErrorChar, 0);
}

TEST_F(PortConfig, ChangesOnAnOpenPortArePushedAtOnceAndOnAClosedOneAtTheNextOpen) {
  port->SetEvents({});
  port->SetBaudRate(br115200);  // closed: stored only
  EXPECT_TRUE(device->ConfigCalls().empty());
  port->OpenPort();
  EXPECT_EQ(device->ConfigCalls()[1].dcb.BaudRate, 115200u);
  device->ClearConfigCalls();

  port->SetBaudRate(br115200);  // unchanged: nothing
  EXPECT_TRUE(device->ConfigCalls().empty());
  port->SetStopBits(sbTwoStopBits);
  port->Timeouts().SetReadTotalConstant(50);
  port->Buffer().SetOutputSize(2048);
  EXPECT_EQ(Kinds(device->ConfigCalls()), (std::vector<Kind>{Kind::State, Kind::Timeouts, Kind::QueueSizes}));
  EXPECT_EQ(device->ConfigCalls()[0].dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(device->ConfigCalls()[1].timeouts.ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(device->ConfigCalls()[2].outQueue, 2048u);

  // Settings objects handed in whole are copied and pushed, equal or not.
  device->ClearConfigCalls();
  TComTimeouts t;
  port->SetTimeouts(t);
  TComParity p;
  port->SetParity(p);
  EXPECT_EQ(Kinds(device->ConfigCalls()), (std::vector<Kind>{Kind::Timeouts, Kind::State}));
  EXPECT_EQ(port->Timeouts().ReadTotalConstant(), 0);
}

// A copy used to keep the port as its owner: changing it pushed to the port,
// and it dangled once the port was gone.
TEST_F(PortConfig, CopiesOfSettingsObjectsHaveNoOwnerWhileAssignmentPushesIntoThePort) {
  port->SetEvents({});
  port->OpenPort();
  device->ClearConfigCalls();
  TComParity parity = port->Parity();
  TComFlowControl flow = port->FlowControl();
  TComTimeouts timeouts = port->Timeouts();
  TComBuffer buffer = port->Buffer();
  EXPECT_EQ(parity.Port(), nullptr);
  EXPECT_EQ(flow.Port(), nullptr);
  EXPECT_EQ(timeouts.Port(), nullptr);
  EXPECT_EQ(buffer.Port(), nullptr);
  parity.SetBits(prOdd);
  flow.SetFlowControl(fcHardware);
  timeouts.SetReadTotalConstant(77);
  buffer.SetInputSize(4096);
  EXPECT_TRUE(device->ConfigCalls().empty());
  EXPECT_EQ(port->Parity().Bits(), prNone);

  // Assigning copies the fields into the port's own objects, which keep their
  // owner and push as the port's setters do.
  port->Parity() = parity;
  port->FlowControl() = flow;
  port->Timeouts() = timeouts;
  port->Buffer() = buffer;
  EXPECT_EQ(Kinds(device->ConfigCalls()), (std::vector<Kind>{Kind::State, Kind::State, Kind::Timeouts, Kind::QueueSizes}));
  EXPECT_EQ(device->CurrentState().Parity, ODDPARITY);
  EXPECT_EQ(device->CurrentTimeouts().ReadTotalTimeoutConstant, 77u);
  EXPECT_EQ(port->FlowControl().FlowControl(), fcHardware);
  EXPECT_EQ(port->Parity().Port(), port.get());
  EXPECT_EQ(port->Buffer().Port(), port.get());

  // The copies do not depend on the port.
  port.reset();
  parity.SetBits(prEven);
  flow.SetFlowControl(fcSoftware);
  timeouts.SetWriteTotalConstant(5);
  buffer.SetOutputSize(99);
  EXPECT_EQ(parity.Bits(), prEven);
  EXPECT_EQ(buffer.OutputSize(), 98);
}

TEST_F(PortConfig, FailedPushKeepsTheNewValueAndRaisesItsCode) {
  port->SetEvents({});
  port->OpenPort();
  device->FailCall(CommCall::SetCommState, EINVAL, 1);
  EXPECT_EQ(ExpectPortError([&] { port->SetBaudRate(br256000); }), 7 * 1000 + EINVAL);
  EXPECT_EQ(port->BaudRate(), br256000);
  device->FailCall(CommCall::SetCommTimeouts, EIO, 1);
  EXPECT_EQ(ExpectPortError([&] { port->Timeouts().SetWriteTotalConstant(5); }), 8 * 1000 + EIO);
  device->FailCall(CommCall::SetupComm, ENOMEM, 1);
  EXPECT_EQ(ExpectPortError([&] { port->Buffer().SetInputSize(64); }), 9 * 1000 + ENOMEM);
  // A queue size the device refuses with EINVAL used to be rolled back,
  // unlike every other setting.
  device->FailCall(CommCall::SetupComm, EINVAL, 1);
  EXPECT_EQ(ExpectPortError([&] { port->Buffer().SetOutputSize(2048); }), 9 * 1000 + EINVAL);
  EXPECT_EQ(port->Buffer().OutputSize(), 2048);
  EXPECT_TRUE(port->Connected());
}

// Sizes a settings file can hold, loaded onto an open port: a size the
// device cannot take must be refused (not zero-filled for gigabytes, not
// silently kept) and leave the old size in place.
TEST_F(PortConfig, QueueSizesFromAFileAreRefusedOrCostNothingUntilDataArrives) {
  port->SetEvents({});
  port->OpenPort();
  struct Case {
    std::int32_t size;
    int error;           // port code * 1000 + errno, 0: accepted
    std::int32_t kept;   // InputSize afterwards
  };
  const Case cases[] = {
      {-2, 9 * 1000 + EINVAL, 1024},           // would reach the platform as 4 GiB
      {0, 9 * 1000 + EINVAL, 1024},            // no queue at all
      {2147483646, 0, 2147483646},             // legal; costs what arrives, not 2 GiB
      {4096, 0, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    if (c.error != 0) {
      EXPECT_EQ(ExpectPortError([&] { port->Buffer().SetInputSize(c.size); }), c.error);
    } else {
      port->Buffer().SetInputSize(c.size);
    }
    EXPECT_EQ(port->Buffer().InputSize(), c.kept);
  }
  EXPECT_EQ(ExpectPortError([&] { port->Buffer().SetOutputSize(-1); }), 9 * 1000 + EINVAL);
  EXPECT_EQ(port->Buffer().OutputSize(), 1024);
  EXPECT_TRUE(port->Connected());
}

// A negative custom rate reached the device as about 4 Gbit/s and the open
// succeeded; a name with a zero byte opened the device named by its part
// before the zero. Each must be refused, naming the port, with the code the
// other bad settings of its kind get, and leave the port closed.
TEST_F(PortConfig, RatesAndNamesNoDeviceCanMeanAreRefusedNotCutOrWrapped) {
  port->SetEvents({});
  struct Row {
    const char* what;
    std::function<void(TComPort&)> set;
    int error;  // port code * 1000 + errno
  } rows[] = {
      {"rate -5", [](TComPort& p) { p.SetCustomBaudRate(-5); }, 7 * 1000 + EINVAL},
      {"lowest rate", [](TComPort& p) { p.SetCustomBaudRate(INT32_MIN); }, 7 * 1000 + EINVAL},
      {"rate 0", [](TComPort& p) { p.SetCustomBaudRate(0); }, 7 * 1000 + EINVAL},
      {"zero byte in the name", [this](TComPort& p) { p.SetPort(DeviceName() + std::string("\0junk", 5)); },
       1 * 1000 + EINVAL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TComPort fresh;
    fresh.SetEvents({});
    fresh.SetPort(DeviceName());
    fresh.SetBaudRate(brCustom);
    row.set(fresh);
    try {
      fresh.OpenPort();
      ADD_FAILURE() << "opened";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode() * 1000 + e.OsErrorCode(), row.error);
      EXPECT_EQ(e.Device(), fresh.Port());
    }
    EXPECT_FALSE(fresh.Connected());
  }
  // On an open port the setter refuses it at once.
  port->SetBaudRate(brCustom);
  port->OpenPort();
  EXPECT_EQ(ExpectPortError([&] { port->SetCustomBaudRate(-5); }), 7 * 1000 + EINVAL);
  EXPECT_EQ(ExpectPortError([&] { port->Buffer().SetInputSize(-2); }), 9 * 1000 + EINVAL);
}

TEST_F(PortConfig, OpenThatFailsWhileConfiguringReleasesTheDevice) {
  port->SetEvents({});
  device->FailCall(CommCall::SetCommState, EINVAL, 1);
  std::vector<std::string> fired;
  port->OnBeforeOpen = [&](TComponent*) { fired.push_back("BeforeOpen"); };
  port->OnAfterOpen = [&](TComponent*) { fired.push_back("AfterOpen"); };
  EXPECT_EQ(ExpectPortError([&] { port->OpenPort(); }), 7 * 1000 + EINVAL);
  EXPECT_FALSE(port->Connected());
  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(port->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fired, (std::vector<std::string>{"BeforeOpen"}));
  port->OpenPort();  // the next attempt works
  EXPECT_TRUE(device->IsOpen());
}

TEST(PortOpen, MissingAndBusyDevicesRaiseCodeOneWithTheOsCode) {
  TComPort missing;
  missing.SetPort("COM10");
  try {
    missing.OpenPort();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }
  EXPECT_FALSE(missing.Connected());

  auto device = VirtualDevice::Register("VDEV-busy");
  TComPort first, second;
  first.SetPort("VDEV-busy");
  second.SetPort("VDEV-busy");
  first.SetEvents({});
  first.OpenPort();
  EXPECT_EQ(ExpectPortError([&] { second.OpenPort(); }), 1 * 1000 + EBUSY);
  first.ClosePort();
  second.SetEvents({});
  second.OpenPort();
  EXPECT_TRUE(second.Connected());
  second.ClosePort();
  VirtualDevice::Unregister("VDEV-busy");
}

TEST_F(PortConfig, PortNameChangeReopensOnlyWhenTheTextDiffers) {
  port->SetEvents({});
  port->OpenPort();
  ASSERT_EQ(device->OpenCount(), 1);
  port->SetPort(DeviceName());
  EXPECT_EQ(device->OpenCount(), 1);
  // Another letter case is another name: the port closes, and reopening
  // fails because no device has that name.
  std::string other = DeviceName();
  other[0] = 'v';
  EXPECT_EQ(ExpectPortError([&] { port->SetPort(other); }) / 1000, 1);
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(port->Port(), other);
  EXPECT_FALSE(device->IsOpen());
}

TEST_F(PortConfig, SyncMethodIsRefusedWhileOpenUnlessUnchanged) {
  port->SetEvents({});
  port->OpenPort();
  EXPECT_NO_THROW(port->SetSyncMethod(smThreadSync));
  try {
    port->SetSyncMethod(smNone);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), 14);
    EXPECT_EQ(e.OsErrorCode(), -1);
  }
  EXPECT_EQ(port->SyncMethod(), smThreadSync);
  port->ClosePort();
  port->SetSyncMethod(smNone);
  EXPECT_EQ(port->SyncMethod(), smNone);
}

TEST(PortSettings, BufferSizesAreEvenedAfterTheEqualityTest) {
  TComPort port;
  port.Buffer().SetInputSize(1025);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  port.Buffer().SetOutputSize(7);
  EXPECT_EQ(port.Buffer().OutputSize(), 6);
  port.Buffer().SetOutputSize(-7);
  EXPECT_EQ(port.Buffer().OutputSize(), -7);
}

TEST_F(PortConfig, OddSizeEqualToTheEvenedValueStillPushes) {
  port->SetEvents({});
  port->OpenPort();
  device->ClearConfigCalls();
  port->Buffer().SetInputSize(1025);
  EXPECT_EQ(Kinds(device->ConfigCalls()), (std::vector<Kind>{Kind::QueueSizes}));
  EXPECT_EQ(port->Buffer().InputSize(), 1024);
}

TEST(PortSettings, FlowControlModeDerivesAndApplies) {
  TComFlowControl f;
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetControlDTR(dtrHandshake);
  EXPECT_EQ(f.FlowControl(), fcNone);  // DTR is not consulted
  f.SetFlowControl(fcHardware);
  EXPECT_EQ(f.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(f.OutCTSFlow());
  EXPECT_EQ(f.FlowControl(), fcHardware);
  f.SetOutDSRFlow(true);
  f.SetFlowControl(fcNone);
  EXPECT_EQ(f.ControlDTR(), dtrHandshake);
  EXPECT_TRUE(f.OutDSRFlow());
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetFlowControl(fcSoftware);
  EXPECT_TRUE(f.XonXoffIn());
  EXPECT_TRUE(f.XonXoffOut());
  EXPECT_EQ(f.FlowControl(), fcSoftware);
  f.SetXonXoffIn(false);
  EXPECT_EQ(f.FlowControl(), fcCustom);
  f.SetFlowControl(fcCustom);  // changes nothing
  EXPECT_FALSE(f.XonXoffIn());
  EXPECT_TRUE(f.XonXoffOut());
  f.SetControlRTS(rtsEnable);
  f.SetXonXoffOut(false);
  EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST_F(PortConfig, WritingTheFlowControlModePushesEvenWhenUnchanged) {
  port->SetEvents({});
  port->OpenPort();
  device->ClearConfigCalls();
  port->FlowControl().SetFlowControl(fcNone);
  port->FlowControl().SetFlowControl(fcCustom);
  EXPECT_EQ(Kinds(device->ConfigCalls()), (std::vector<Kind>{Kind::State, Kind::State}));
}

TEST_F(PortConfig, LayoutThatSetsConnectedOpensWhenLoadingFinishes) {
  port->SetEvents({});
  port->BeginLoading();
  port->SetConnected(true);
  port->SetBaudRate(br19200);
  EXPECT_FALSE(device->IsOpen());
  EXPECT_TRUE(device->ConfigCalls().empty());
  port->FinishLoading();
  EXPECT_TRUE(port->Connected());
  EXPECT_EQ(device->ConfigCalls()[1].dcb.BaudRate, 19200u);
}

TEST(PortLoading, FailedOpenAfterLoadingGoesToTheErrorDisplay) {
  ErrorDisplayRecorder shown;
  TComPort port;
  port.SetPort("COM10");
  port.BeginLoading();
  port.SetConnected(true);
  EXPECT_NO_THROW(port.FinishLoading());
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(shown.Messages(), (std::vector<std::string>{"Unable to open com port (win error code: 2)"}));
}

TEST_F(PortConfig, OpenAndCloseAreIdempotentAndFireNothingTwice) {
  std::vector<std::string> fired;
  port->SetEvents({});
  port->OnAfterOpen = [&](TComponent* s) {
    EXPECT_EQ(s, port.get());
    fired.push_back("AfterOpen");
  };
  port->OnAfterClose = [&](TComponent*) { fired.push_back("AfterClose"); };
  port->ClosePort();
  port->OpenPort();
  port->OpenPort();
  port->SetConnected(true);
  port->ClosePort();
  port->ClosePort();
  EXPECT_EQ(fired, (std::vector<std::string>{"AfterOpen", "AfterClose"}));
}
