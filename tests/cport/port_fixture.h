// Shared helpers for port tests: a virtual device registered under a fresh
// name, and a port bound to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/platform/virtual_device.h"

class VirtualPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    name_ = std::string("VDEV-") + info->test_suite_name() + "-" + info->name();
    device = CPort::Platform::VirtualDevice::Register(name_);
    port = std::make_unique<CPort::TComPort>();
    port->SetPort(name_);
  }
  void TearDown() override {
    port.reset();
    CPort::Platform::VirtualDevice::Unregister(name_);
  }
  const std::string& DeviceName() const { return name_; }

  std::shared_ptr<CPort::Platform::VirtualDevice> device;
  std::unique_ptr<CPort::TComPort> port;

 private:
  std::string name_;
};
