// EComPort: the one error type of the port component, and the table of its
// messages.
//
// Every failure the port, its transfers and queries, the port list and the
// INI store detect is raised as an EComPort. what() is the message shown to
// users: the (translated) text of PortErrorCode, followed by
// " (win error code: N)" when the error has an operating-system code N, an
// errno value: "Unable to open com port (win error code: 2)". The registry
// store raises ERegistryException instead (storage/Registry.h).
//
// Thread safety: an EComPort may be built, copied and read on any thread.
#pragma once

#include <array>
#include <memory>
#include <stdexcept>
#include <string>

namespace CPort {

// Port error codes: stable numbers 1..23, each an index into
// PortErrorMessages. Several are kept only so that the numbering has no gaps.
// Who raises each one ("errno": OsErrorCode holds the errno; "none": -1):
//   1  OpenPort, when the device cannot be opened                      errno
//   2  SendBytesAsync/SendTextAsync/SendText, AwaitTransfer of a write  errno
//   3  ReceiveBytesAsync/..., AwaitTransfer of a read                  errno
//   4  a transfer call given no TransferRecord                         none
//   5  CancelTransfers, ClosePort                                      errno
//   7  pushing the line settings (OpenPort, setters)                   errno
//   8  pushing the timeouts                                            errno
//   9  pushing the queue sizes                                         errno
//   10 PendingInput, TakeLineErrors                                    errno
//   11 LineSignals                                                     errno
//   12 SetBreak                                                        errno
//   14 SetSyncMethod on an open port                                   none
//   16 TIniFile writes that cannot be saved                            errno
//   17 TIniFile, when an existing file cannot be read                  errno
//   21 the event thread, when the device's event wait fails (a device
//      that went away); it reaches the application's error display     errno
//   23 ListSerialPorts, when the system's list cannot be read          errno
// 6, 13, 15, 18, 19, 20 and 22 are raised by nothing.
namespace PortErr {
constexpr int OpenFailed = 1;
constexpr int WriteFailed = 2;
constexpr int ReadFailed = 3;
constexpr int InvalidAsyncParameter = 4;
constexpr int PurgeFailed = 5;
constexpr int AsyncStatus = 6;
constexpr int SetStateFailed = 7;
constexpr int SetTimeoutsFailed = 8;
constexpr int SetupFailed = 9;
constexpr int ClearErrorFailed = 10;
constexpr int ModemStatusFailed = 11;
constexpr int EscapeFailed = 12;
constexpr int TransmitCharFailed = 13;
constexpr int SetWhileConnected = 14;
constexpr int EnumPortsFailed = 15;
constexpr int StoreFailed = 16;
constexpr int LoadFailed = 17;
constexpr int LinkFailed = 18;
constexpr int LedStateFailed = 19;
constexpr int ThreadCreated = 20;
constexpr int WaitFailed = 21;
constexpr int RxBufLinked = 22;
constexpr int RegistryError = 23;
constexpr int Count = 23;
}  // namespace PortErr

// The English message of each code (index 0 unused). These are also the
// message ids of the catalogs. Constant; any thread.
extern const std::array<const char*, PortErr::Count + 1> kPortErrorTexts;
// The suffix appended when an error has an operating-system code.
extern const char* const kOsErrorSuffix;

// The messages as translated when the module started (index 0 unused). Read
// only after start-up; RefreshPortErrorMessages rebuilds it. Catalogs are
// looked up in locale/ beside the program, else in the installed ones
// (<prefix>/share/locale); LANG (or LANGUAGE) picks the language.
extern std::array<std::string, PortErr::Count + 1> PortErrorMessages;

// Re-reads the translations (after the language or the catalog directory was
// changed). Call only while no port error is being built on another thread.
void RefreshPortErrorMessages();

class EComPort : public std::runtime_error {
 public:
  // An error with an operating-system code (an errno value). A code outside
  // 1..23 gives an empty table text; building never fails otherwise.
  EComPort(int portErrorCode, int osErrorCode);
  // An error without one: OsErrorCode is -1.
  explicit EComPort(int portErrorCode);
  // An error of an operation on a known device: `device` is the port name
  // as the port was given it ("ttyUSB0", a path, a virtual device's name).
  // The message is the same as without it.
  EComPort(int portErrorCode, int osErrorCode, std::string device);

  // The errno of the failed call, or -1.
  int OsErrorCode() const noexcept { return osErrorCode_; }
  // What failed: one of the PortErr codes.
  int PortErrorCode() const noexcept { return portErrorCode_; }

  // The device the error concerns; empty where it is not known.
  const std::string& Device() const noexcept;
  // The operating system's own text for OsErrorCode ("Permission denied"),
  // in the process's message locale; empty when OsErrorCode is -1.
  std::string OsErrorText() const;
  // What the user can do about it, translated through the catalogs; empty
  // when there is no advice. Looks at the system as it is when called: for
  // a device that may not be opened (EACCES) the group that may, and how to
  // join it; for one in use (EBUSY) the processes holding it; for one that
  // does not exist (ENOENT) the ports that do. Never throws.
  std::string Hint() const;

 private:
  int osErrorCode_;
  int portErrorCode_;
  // Shared so that copying the error, as throwing does, cannot fail.
  std::shared_ptr<const std::string> device_;
};

}  // namespace CPort
