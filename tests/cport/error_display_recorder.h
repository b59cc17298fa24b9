// Installs an application error display that records each message, for as
// long as the recorder lives.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "CPort/runtime/MainThread.h"

class ErrorDisplayRecorder {
 public:
  ErrorDisplayRecorder() {
    CPort::Runtime::SetApplicationErrorDisplay([this](std::exception_ptr error, const void*) {
      std::string text = "unknown error";
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        text = e.what();
      } catch (...) {
      }
      std::lock_guard lock(mutex_);
      messages_.push_back(text);
    });
  }
  ~ErrorDisplayRecorder() { CPort::Runtime::SetApplicationErrorDisplay(nullptr); }
  ErrorDisplayRecorder(const ErrorDisplayRecorder&) = delete;
  ErrorDisplayRecorder& operator=(const ErrorDisplayRecorder&) = delete;

  std::vector<std::string> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};
