// The virtual device as tests use it: opening, configuration record, failing
// calls on demand, and the data both ways.
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "engine_fixture.h"

namespace CPort::Platform::Testing {
namespace {

using VirtualDeviceTest = VirtualPortTest;

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                     0);
}

TEST(VirtualDeviceOpen, ExclusiveOpenFailOpenAndNames) {
  const std::string name = UniqueDeviceName("VOPEN");
  auto device = VirtualDevice::Register(name);
  EXPECT_EQ(VirtualDevice::Find(name), device);

  device->FailOpen(EACCES, 1);
  EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));

  HANDLE first = Open(name);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_EQ(Open("\\\\.\\" + name), INVALID_HANDLE_VALUE) << "the \\\\.\\ form names the same device";
  ASSERT_TRUE(CloseHandle(first));
  EXPECT_FALSE(device->IsOpen());

  HANDLE again = Open("\\\\.\\" + name);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(device->OpenCount(), 2);
  CloseHandle(again);
  VirtualDevice::Unregister(name);
  EXPECT_EQ(VirtualDevice::Find(name), nullptr);
}

TEST(VirtualDeviceOpen, MissingPortIsFileNotFound) {
  EXPECT_EQ(Open("COM10"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(VirtualDeviceTest, ConfigurationCallsAreRecordedInOrderFailedOnesToo) {
  device_->ClearConfigCalls();
  ASSERT_TRUE(SetupComm(port_, 2048, 1024));
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  device_->FailCall(CommCall::SetCommState, EIO, 1);
  EXPECT_FALSE(SetCommState(port_, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_EQ(device_->CurrentState().BaudRate, 0u) << "a failed call changes nothing";
  ASSERT_TRUE(SetCommState(port_, &dcb));
  const COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 5, 50};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));

  const auto calls = device_->ConfigCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].kind, VirtualDevice::ConfigCall::Kind::QueueSizes);
  EXPECT_EQ(calls[0].inQueue, 2048u);
  EXPECT_EQ(calls[0].outQueue, 1024u);
  EXPECT_EQ(calls[1].kind, VirtualDevice::ConfigCall::Kind::State);
  EXPECT_EQ(calls[2].kind, VirtualDevice::ConfigCall::Kind::State);
  EXPECT_EQ(std::memcmp(&calls[2].dcb, &dcb, sizeof dcb), 0);
  EXPECT_EQ(calls[3].kind, VirtualDevice::ConfigCall::Kind::Timeouts);
  EXPECT_EQ(calls[3].timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(device_->CurrentState().BaudRate, 19200u);
  EXPECT_EQ(device_->CurrentTimeouts().ReadIntervalTimeout, MAXDWORD);
}

TEST_F(VirtualDeviceTest, InvalidSettingsNeverReachTheDevice) {
  device_->ClearConfigCalls();
  DCB dcb{};
  dcb.ByteSize = 9;
  EXPECT_FALSE(SetCommState(port_, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // 1.5 stop bits only with 5 data bits, 2 only with more.
  dcb.BaudRate = 9600;
  for (const auto& [byteSize, stopBits] : {std::pair<BYTE, BYTE>{6, ONE5STOPBITS}, {7, ONE5STOPBITS},
                                          {8, ONE5STOPBITS}, {5, TWOSTOPBITS}}) {
    dcb.ByteSize = byteSize;
    dcb.StopBits = stopBits;
    EXPECT_FALSE(SetCommState(port_, &dcb)) << int(byteSize) << " bits, stop " << int(stopBits);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  dcb.ByteSize = 8;
  dcb.StopBits = ONESTOPBIT;
  dcb.Flags = DcbFlag::fOutX;
  dcb.XonChar = dcb.XoffChar = 0x11;
  EXPECT_FALSE(SetCommState(port_, &dcb));
  const COMMTIMEOUTS impossible{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(port_, &impossible));
  EXPECT_FALSE(SetupComm(port_, 0, 0));
  EXPECT_TRUE(device_->ConfigCalls().empty());
}

TEST_F(VirtualDeviceTest, FailCallFailsTheChosenCallTheChosenNumberOfTimes) {
  device_->FailCall(CommCall::ReadFile, EIO, 2);
  char buffer[1];
  DWORD read = 0;
  OVERLAPPED overlapped = Overlapped();
  SetTimeouts(MAXDWORD, 0, 0);
  EXPECT_FALSE(ReadFile(port_, buffer, 1, &read, &overlapped));
  EXPECT_FALSE(ReadFile(port_, buffer, 1, &read, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_TRUE(ReadFile(port_, buffer, 1, &read, &overlapped));

  device_->FailCall(CommCall::GetCommModemStatus, ENOTTY);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(port_, &status));
  EXPECT_FALSE(GetCommModemStatus(port_, &status));
  device_->FailCall(CommCall::GetCommModemStatus, 0);
  EXPECT_TRUE(GetCommModemStatus(port_, &status));
}

TEST_F(VirtualDeviceTest, FailedCloseStillReleasesTheDevice) {
  device_->FailCall(CommCall::CloseHandle, EIO, 1);
  EXPECT_FALSE(CloseHandle(port_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_FALSE(device_->IsOpen());
  port_ = INVALID_HANDLE_VALUE;
}

TEST_F(VirtualDeviceTest, WrittenDataAndWriteCalls) {
  DWORD written = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_TRUE(WriteFile(port_, "abc", 3, &written, &overlapped));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(overlapped.InternalHigh, 3u);
  ASSERT_TRUE(WriteFile(port_, "de", 2, &written, nullptr));
  EXPECT_TRUE(device_->WaitForWritten(5, 1000ms));
  EXPECT_EQ(device_->WriteCalls(), 2);
  EXPECT_EQ(device_->TakeWritten(), "abcde");
  EXPECT_EQ(device_->Written(), "");
  EXPECT_FALSE(device_->WaitForWritten(6, 20ms));
}

TEST_F(VirtualDeviceTest, HeldOutputKeepsWritesPendingUntilReleased) {
  ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
  device_->HoldOutput(true);
  DWORD written = 0;
  OVERLAPPED overlapped = Overlapped();
  ASSERT_FALSE(WriteFile(port_, "held", 4, &written, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(Completes(overlapped, 100));
  DWORD events = 0;
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED wait = Overlapped(waitEvent);
  ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));

  device_->HoldOutput(false);
  ASSERT_TRUE(GetOverlappedResult(port_, &overlapped, &written, TRUE));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(device_->Written(), "held");
  ASSERT_TRUE(Completes(wait));
  EXPECT_EQ(events, EV_TXEMPTY);
  CloseHandle(waitEvent);
}

TEST(VirtualDeviceOpen, InputFedBeforeOpenArrivesAndUnreadInputDiesWithTheClose) {
  const std::string name = UniqueDeviceName("VFEED");
  auto device = VirtualDevice::Register(name);
  device->Feed("early");
  HANDLE port = Open(name);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 5u);
  CloseHandle(port);
  port = Open(name);
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);
  CloseHandle(port);
  VirtualDevice::Unregister(name);
}

}  // namespace
}  // namespace CPort::Platform::Testing
