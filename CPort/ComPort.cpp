// The port object: properties, opening and closing, and the three pushes of
// settings to the device.
#include "CPort/ComPort.h"

#include <cerrno>
#include <algorithm>

#include "CPort/ComThread.h"
#include "CPort/PortWindow.h"
#include "CPort/platform/device_errors_p.h"
#include "CPort/port_reconnect_p.h"
#include "CPort/runtime/MainThread.h"

namespace CPort {

using namespace Platform;

TCustomComPort::TCustomComPort(TComponent* owner) : TComponent(owner) {
  parity_ = std::make_unique<TComParity>(this);
  flowControl_ = std::make_unique<TComFlowControl>(this);
  timeouts_ = std::make_unique<TComTimeouts>(this);
  buffer_ = std::make_unique<TComBuffer>(this);
  reconnect_ = std::make_shared<Detail::PortReconnect>(*this);
}

TCustomComPort::~TCustomComPort() { CloseForDestruction(); }

// Runs before TCustomComPort's destructor replaces this object's dynamic type:
// an event thread still calling a firing step must be done by then.
TComPort::~TComPort() { CloseForDestruction(); }

void TCustomComPort::CloseForDestruction() noexcept {
  try {
    ClosePort();
  } catch (...) {
    // A handler refused the close; the port still has to let go of the
    // device, and a destructor must not throw.
  }
  StopEventMonitoring();
  ReleaseDevice();
  connected_ = false;
  CollectParkedThreads();
  // Left: a thread whose handler is destroying its own port. It cannot be
  // waited for here; the main loop collects it once it has ended.
  for (auto& thread : parkedThreads_)
    Runtime::PostToMainThread([stopping = std::shared_ptr<TComThread>(std::move(thread))] {});
  parkedThreads_.clear();
}

// --- Properties ---------------------------------------------------------------

void TCustomComPort::SetConnected(bool value) {
  if (Loading()) {
    connected_ = value;
    return;
  }
  if (value == connected_) return;
  if (value)
    OpenPort();
  else
    ClosePort();
}

void TCustomComPort::SetBaudRate(TBaudRate value) {
  if (value == baudRate_) return;
  baudRate_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
  if (value == customBaudRate_) return;
  customBaudRate_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetPort(const std::string& value) {
  if (value == port_) return;
  reconnect_->Cancel();  // another port is wanted now
  port_ = value;
  if (connected_ && !Loading()) {
    ClosePort();
    OpenPort();
  }
}

void TCustomComPort::SetReconnect(bool value) {
  if (value == reconnectOn_) return;
  reconnectOn_ = value;
  if (!value)
    reconnect_->Cancel();
  else if (connected_)
    reconnect_->Opened();  // learn which device it holds
}

bool TCustomComPort::WaitingForDevice() const { return reconnect_->Waiting(); }

std::exception_ptr TCustomComPort::ReconnectError() const { return reconnect_->LastError(); }

void TCustomComPort::SetStopBits(TStopBits value) {
  if (value == stopBits_) return;
  stopBits_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value) {
  if (value == dataBits_) return;
  dataBits_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetDiscardNull(bool value) {
  if (value == discardNull_) return;
  discardNull_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetEventChar(char value) {
  if (value == eventChar_) return;
  eventChar_ = value;
  WriteLineSettings();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == syncMethod_) return;
  // The event thread reads the delivery method without a lock.
  if (connected_ && !Loading()) throw EComPort(PortErr::SetWhileConnected);
  syncMethod_ = value;
}

void TCustomComPort::SetParity(const TComParity& value) {
  parity_->CopySettingsFrom(value);
  WriteLineSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  flowControl_->CopySettingsFrom(value);
  WriteLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  timeouts_->CopySettingsFrom(value);
  WriteTimeouts();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
  buffer_->CopySettingsFrom(value);
  WriteQueueSizes();
}

// --- Opening and closing ----------------------------------------------------

void TCustomComPort::OpenPort() {
  if (connected_) return;
  // A thread let go by a close from its own handler ends before the port is
  // opened again: nothing of it may overlap the new open.
  CollectParkedThreads();
  NotifyBeforeOpen();
  AcquireDevice();
  connected_ = true;
  try {
    ConfigureDevice();
  } catch (...) {
    ReleaseDevice();
    connected_ = false;
    throw;
  }
  reconnect_->Opened();
  if (events_.Empty())
    threadCreated_ = false;
  else
    StartEventMonitoring();
  // Events are delivered from here on, however the notifications end (a
  // handler may even have closed or reopened the port meanwhile).
  struct AllowDelivery {
    TCustomComPort& port;
    ~AllowDelivery() {
      if (port.eventThread_) port.eventThread_->AllowDelivery();
    }
  } allowDelivery{*this};
  NotifyAfterOpen();
}

void TCustomComPort::ClosePort() {
  reconnect_->Cancel();  // also a port that waits for its device
  // A handler that runs while the port waits for its event thread may ask
  // to close again; the close under way covers it.
  if (!connected_ || closing_) return;
  closing_ = true;
  struct ClearClosing {
    bool& flag;
    ~ClearClosing() { flag = false; }
  } clearClosing{closing_};
  NotifyBeforeClose();
  std::exception_ptr purgeError;
  try {
    CancelTransfers();
  } catch (const EComPort& e) {
    // A device that went away can no longer be purged; that is no reason to
    // keep it open.
    if (!IsDeviceGoneError(e.OsErrorCode())) purgeError = std::current_exception();
  }
  StopEventMonitoring();
  CollectParkedThreads();
  ReleaseDevice();
  connected_ = false;
  NotifyAfterClose();
  if (purgeError) std::rethrow_exception(purgeError);
}

void TCustomComPort::StartEventMonitoring() {
  if (syncMethod_ == smWindowSync) window_ = std::make_unique<TPortWindow>(this);
  eventThread_ = std::make_unique<TComThread>(this);
  threadCreated_ = true;
}

void TCustomComPort::StopEventMonitoring() noexcept {
  if (!threadCreated_) return;
  std::unique_ptr<TComThread> thread = std::move(eventThread_);
  std::unique_ptr<TPortWindow> window = std::move(window_);
  threadCreated_ = false;
  if (thread->WaitsForCaller()) {
    // Closing from inside one of this port's own handlers: the thread cannot
    // end before the handler returns. Stop it now, while the device is still
    // open (it touches nothing of the port afterwards), and wait for it at
    // the next open or close, or when the port is destroyed.
    thread->Detach();
    parkedThreads_.push_back(std::move(thread));
  } else {
    thread.reset();  // stops the loop and waits for its end
  }
  // The window goes last: messages the thread sent meanwhile still find it.
  window.reset();
}

void TCustomComPort::CollectParkedThreads() noexcept {
  for (;;) {
    const auto it = std::find_if(parkedThreads_.begin(), parkedThreads_.end(),
                                 [](const auto& thread) { return !thread->WaitsForCaller(); });
    if (it == parkedThreads_.end()) return;
    // Out of the list first: while the thread is awaited its hand-overs are
    // served, and a handler among them may open or close this port.
    std::unique_ptr<TComThread> thread = std::move(*it);
    parkedThreads_.erase(it);
    thread.reset();
  }
}

void TCustomComPort::FinishLoading() {
  TComponent::FinishLoading();
  if (!connected_) return;
  connected_ = false;
  try {
    OpenPort();
  } catch (...) {
    Runtime::ShowApplicationError(std::current_exception(), this);
  }
}

void TCustomComPort::AcquireDevice() {
  // The system sees a name only up to its first zero byte: "<path>\0junk"
  // would open <path>, a name nobody gave.
  if (port_.find('\0') != std::string::npos) throw EComPort(PortErr::OpenFailed, EINVAL, port_);
  handle_ = CreateFileA(port_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, 0);
  if (handle_ == INVALID_HANDLE_VALUE) throw EComPort(PortErr::OpenFailed, static_cast<int>(GetLastError()), port_);
}

void TCustomComPort::ReleaseDevice() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void TCustomComPort::ConfigureDevice() {
  WriteQueueSizes();
  WriteLineSettings();
  WriteTimeouts();
}

// --- Pushes ---------------------------------------------------------------------

void TCustomComPort::WriteQueueSizes() {
  if (!PushAllowed()) return;
  // A negative size would reach the platform as a count of 2 to 4 GiB.
  if (buffer_->InputSize() < 0 || buffer_->OutputSize() < 0) throw EComPort(PortErr::SetupFailed, EINVAL, port_);
  if (!SetupComm(handle_, static_cast<DWORD>(buffer_->InputSize()), static_cast<DWORD>(buffer_->OutputSize())))
    throw EComPort(PortErr::SetupFailed, static_cast<int>(GetLastError()), port_);
}

void TCustomComPort::WriteLineSettings() {
  if (!PushAllowed()) return;
  // No device means a rate of zero or less; a negative one would reach the
  // platform as a rate of about 4 Gbit/s.
  if (baudRate_ == brCustom && customBaudRate_ <= 0) throw EComPort(PortErr::SetStateFailed, EINVAL, port_);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(baudRate_ == brCustom ? customBaudRate_ : kBaudRateValues[baudRate_]);
  DWORD flags = DcbFlag::fBinary;
  const TComParity& p = *parity_;
  const TComFlowControl& f = *flowControl_;
  if (p.Check()) flags |= DcbFlag::fParity;
  if (f.OutCTSFlow()) flags |= DcbFlag::fOutxCtsFlow;
  if (f.OutDSRFlow()) flags |= DcbFlag::fOutxDsrFlow;
  flags |= static_cast<DWORD>(f.ControlDTR()) << DcbFlag::fDtrControlShift;
  if (f.DSRSensitivity()) flags |= DcbFlag::fDsrSensitivity;
  if (f.TxContinueOnXoff()) flags |= DcbFlag::fTXContinueOnXoff;
  if (f.XonXoffOut()) flags |= DcbFlag::fOutX;
  if (f.XonXoffIn()) flags |= DcbFlag::fInX;
  const bool replace = p.Check() && p.Replace();
  if (replace) flags |= DcbFlag::fErrorChar;
  if (discardNull_) flags |= DcbFlag::fNull;
  flags |= static_cast<DWORD>(f.ControlRTS()) << DcbFlag::fRtsControlShift;
  SetDcbFlags(dcb, flags);
  dcb.XonLim = static_cast<WORD>(buffer_->InputSize() / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.ByteSize = static_cast<BYTE>(5 + dataBits_);
  dcb.Parity = static_cast<BYTE>(p.Bits());
  dcb.StopBits = static_cast<BYTE>(stopBits_);
  dcb.XonChar = f.XonChar();
  dcb.XoffChar = f.XoffChar();
  dcb.ErrorChar = replace ? p.ReplaceChar() : 0;
  dcb.EofChar = 0;
  dcb.EvtChar = eventChar_;
  if (!SetCommState(handle_, &dcb)) throw EComPort(PortErr::SetStateFailed, static_cast<int>(GetLastError()), port_);
}

void TCustomComPort::WriteTimeouts() {
  if (!PushAllowed()) return;
  const TComTimeouts& t = *timeouts_;
  // Signed values pass bit for bit: -1 becomes MAXDWORD.
  COMMTIMEOUTS ct{static_cast<DWORD>(t.ReadInterval()), static_cast<DWORD>(t.ReadTotalMultiplier()),
                  static_cast<DWORD>(t.ReadTotalConstant()), static_cast<DWORD>(t.WriteTotalMultiplier()),
                  static_cast<DWORD>(t.WriteTotalConstant())};
  if (!SetCommTimeouts(handle_, &ct))
    throw EComPort(PortErr::SetTimeoutsFailed, static_cast<int>(GetLastError()), port_);
}

}  // namespace CPort
