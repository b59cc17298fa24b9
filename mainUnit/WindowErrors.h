// The errors the window raises itself (the port raises CPort::EComPort).
#pragma once

#include <stdexcept>
#include <string>

namespace MainUnit {

// A text that is not a whole number, or not an acceptable one.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An item index outside the list.
class EListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed file operation; the code is the errno value.
class EInOutError : public std::runtime_error {
 public:
  EInOutError(int errorCode, const std::string& message) : std::runtime_error(message), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

}  // namespace MainUnit
