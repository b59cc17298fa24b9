// Shared set-up for the engine tests: a virtual device opened through
// CreateFileA, one manual-reset event and small helpers for the timing
// checks (the bounds are generous: the build machines are shared).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "CPort/platform/virtual_device.h"
#include "CPort/platform/win_comm.h"

namespace CPort::Platform::Testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string UniqueDeviceName(const char* stem) {
  static std::atomic<int> counter{0};
  return std::string(stem) + std::to_string(counter.fetch_add(1));
}

inline long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class VirtualPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueDeviceName("VPORT");
    device_ = VirtualDevice::Register(name_);
    port_ = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event_, 0);
  }

  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    CloseHandle(event_);
    VirtualDevice::Unregister(name_);
  }

  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                   DWORD writeConstant = 0) {
    const COMMTIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  }

  OVERLAPPED Overlapped(HANDLE event = 0) const {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event != 0 ? event : event_;
    return overlapped;
  }

  static bool Completes(const OVERLAPPED& overlapped, DWORD milliseconds = 5000) {
    return WaitForSingleObject(overlapped.hEvent, milliseconds) == WAIT_OBJECT_0;
  }

  DWORD InputCount() const {
    COMSTAT stat{};
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
    return stat.cbInQue;
  }

  std::string name_;
  std::shared_ptr<VirtualDevice> device_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = 0;
};

}  // namespace CPort::Platform::Testing
