// The port object: one serial device, its settings, opening and closing,
// transfers, device queries, and event delivery.
//
// Thread safety: a port is used from the main thread (see
// runtime/MainThread.h). Its event thread runs the handlers on the main
// thread (smThreadSync, smWindowSync) or on itself (smNone); with smNone the
// transfer and query operations may also be called from the handlers.
// Communication events are delivered only once OpenPort has finished.
//
// A handler may close its own port under every method. With smNone the
// close runs on the event thread: Connected() may be read from any thread,
// and once it reads false the port may be opened again; that open (or the
// port's destruction) first waits until the closing handler has returned.
// Until then the handler may still be running: leave the port's handlers
// and settings alone.
//
// Destroying an open port closes it first. A class derived from TComPort or
// TCustomComPort that overrides a firing step calls CloseForDestruction at
// the start of its own destructor, so that no event reaches an object that is
// partly destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/ComSettings.h"
#include "CPort/ComTypes.h"
#include "CPort/platform/win_comm.h"
#include "CPort/runtime/Component.h"
#include "CPort/runtime/Thread.h"

namespace CPort {

class TComThread;
class TPortWindow;
class TIniFile;
class TRegistry;

// Event handler types. Every handler receives the port as Sender.
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TRxCharEvent = std::function<void(TComponent* Sender, std::int32_t Count)>;
using TRxBufEvent = std::function<void(TComponent* Sender, const void* Buffer, std::int32_t Count)>;
using TComErrorEvent = std::function<void(TComponent* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TComponent* Sender, bool OnOff)>;

// Platform event flags of the ten events and back; other mask bits are ignored.
Platform::DWORD EventsToMask(TComEvents events);
TComEvents MaskToEvents(Platform::DWORD mask);

// One overlapped transfer.
enum class TransferKind : std::uint8_t { None, Write, Read };
struct TransferRecord {
  Platform::OVERLAPPED overlapped{};
  Platform::HANDLE event = Platform::INVALID_HANDLE_VALUE;
  TransferKind kind = TransferKind::None;
};

class TCustomComPort : public TComponent {
 public:
  explicit TCustomComPort(TComponent* owner = nullptr);
  // Closes the port; never throws.
  ~TCustomComPort() override;

  // --- Properties -------------------------------------------------------
  bool Connected() const { return connected_.load(); }
  void SetConnected(bool value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  std::int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(std::int32_t value);
  // The device name: "ttyUSB0" (opened as /dev/ttyUSB0), a path, or the name
  // of a registered virtual device. Changing it on an open port reopens it.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool value);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char value);
  // Used by the next OpenPort.
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents value) { events_ = value; }
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod value);
  TSavedGroups SavedGroups() const { return savedGroups_; }
  void SetSavedGroups(TSavedGroups value) { savedGroups_ = value; }

  // The settings objects are owned by the port; the setters copy into them.
  TComParity& Parity() { return *parity_; }
  const TComParity& Parity() const { return *parity_; }
  void SetParity(const TComParity& value);
  TComFlowControl& FlowControl() { return *flowControl_; }
  const TComFlowControl& FlowControl() const { return *flowControl_; }
  void SetFlowControl(const TComFlowControl& value);
  TComTimeouts& Timeouts() { return *timeouts_; }
  const TComTimeouts& Timeouts() const { return *timeouts_; }
  void SetTimeouts(const TComTimeouts& value);
  TComBuffer& Buffer() { return *buffer_; }
  const TComBuffer& Buffer() const { return *buffer_; }
  void SetBuffer(const TComBuffer& value);

  Platform::HANDLE Handle() const { return handle_; }
  TThreadPriority EventThreadPriority() const { return threadPriority_; }

  // --- Event handlers (assign before opening) --------------------------
  TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;  // never fired: no step of the port reads on its own
  TNotifyEvent OnTxEmpty, OnBreak, OnRing;
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TNotifyEvent OnRxFlag;
  TComErrorEvent OnError;
  TNotifyEvent OnRx80Full;

  // --- Opening and closing ---------------------------------------------
  void OpenPort();
  void ClosePort();
  void FinishLoading() override;

  // --- Settings storage ---------------------------------------------------
  virtual void SaveSettingsToRegistry(TRegistry& registry);
  virtual void SaveSettingsToIni(TIniFile& ini);
  virtual void LoadSettingsFromRegistry(TRegistry& registry);
  virtual void LoadSettingsFromIni(TIniFile& ini);

  // --- Transfers and queries -------------------------------------------
  // A failure raises EComPort: a record that cannot be created code 6 (code
  // 2 or 3 within SendText, ReceiveText, ReceiveBytes); a negative count
  // code 2 or 3 with EINVAL, before the device or the buffer is touched.
  void CreateTransferRecord(TransferRecord*& record);
  void ReleaseTransferRecord(TransferRecord*& record);
  std::int32_t SendBytesAsync(const void* buffer, std::int32_t count, TransferRecord* record);
  std::int32_t SendTextAsync(const std::string& text, TransferRecord* record);
  std::int32_t SendText(const std::string& text);
  std::int32_t ReceiveBytesAsync(void* buffer, std::int32_t count, TransferRecord* record);
  std::int32_t ReceiveBytes(void* buffer, std::int32_t count);
  std::int32_t ReceiveTextAsync(std::string& text, std::int32_t count, TransferRecord* record);
  std::int32_t ReceiveText(std::string& text, std::int32_t count);
  std::int32_t AwaitTransfer(TransferRecord* record);
  void CancelTransfers();
  std::int32_t PendingInput();
  TModemSignals LineSignals();
  TComErrors TakeLineErrors();

  // --- Per-event processing steps (run by event delivery) --------------
  void ProcessError();
  void ProcessRxChar();
  void ProcessTxEmpty();
  void ProcessBreak();
  void ProcessRing();
  void ProcessCTSChange();
  void ProcessDSRChange();
  void ProcessRxFlag();
  void ProcessRLSDChange();
  void ProcessRx80Full();

  // The three pushes; each does nothing unless the port is open and not
  // loading, and raises EComPort when the device refuses the settings.
  virtual void WriteLineSettings();
  virtual void WriteTimeouts();
  virtual void WriteQueueSizes();

 protected:
  // Closes the port (a refusing handler notwithstanding), stops event
  // delivery and waits for every event thread of the port; never throws.
  // Destructors call it before anything of the object is destroyed.
  void CloseForDestruction() noexcept;

  virtual void AcquireDevice();
  virtual void ReleaseDevice();
  virtual void ConfigureDevice();

  // Firing steps: call the handler if one is assigned.
  virtual void FireAfterClose();
  virtual void FireAfterOpen();
  virtual void FireBeforeClose();
  virtual void FireBeforeOpen();
  virtual void FireRxChar(std::int32_t count);
  virtual void FireRxBuf(const void* buffer, std::int32_t count);
  virtual void FireTxEmpty();
  virtual void FireBreak();
  virtual void FireRing();
  virtual void FireRxFlag();
  virtual void FireCTSChange(bool onOff);
  virtual void FireDSRChange(bool onOff);
  virtual void FireError(TComErrors errors);
  virtual void FireRLSDChange(bool onOff);
  virtual void FireRx80Full();

 private:
  friend class TComThread;
  friend class TPortWindow;

  bool PushAllowed() const { return connected_ && !Loading(); }
  void NotifyBeforeOpen();
  void NotifyAfterOpen();
  void NotifyBeforeClose();
  void NotifyAfterClose();
  void StartEventMonitoring();
  void StopEventMonitoring() noexcept;
  // Waits for the threads let go by a close from their own handlers, except
  // one that still waits for the caller.
  void CollectParkedThreads() noexcept;
  // Runs the steps of one batch in their fixed order, until a handler closes
  // the port.
  void RunEventSteps(TComEvents batch, const TComThread& deliverer);

  Platform::HANDLE handle_ = Platform::INVALID_HANDLE_VALUE;
  // Read from any thread: a handler under smNone may close the port.
  std::atomic<bool> connected_{false};
  TBaudRate baudRate_ = br9600;
  std::int32_t customBaudRate_ = 9600;
  std::string port_ = "COM1";
  TStopBits stopBits_ = sbOneStopBit;
  TDataBits dataBits_ = dbEight;
  bool discardNull_ = false;
  char eventChar_ = 0;
  TComEvents events_ = kAllComEvents;
  TSyncMethod syncMethod_ = smThreadSync;
  TSavedGroups savedGroups_{sgLine};
  TThreadPriority threadPriority_ = TThreadPriority::tpNormal;

  // Declared so that destruction frees Buffer, FlowControl, Timeouts, Parity.
  std::unique_ptr<TComParity> parity_;
  std::unique_ptr<TComTimeouts> timeouts_;
  std::unique_ptr<TComFlowControl> flowControl_;
  std::unique_ptr<TComBuffer> buffer_;

  std::unique_ptr<TComThread> eventThread_;
  bool threadCreated_ = false;
  // Threads stopped by a close from their own handlers; each still has to
  // return from that handler and end.
  std::vector<std::unique_ptr<TComThread>> parkedThreads_;
  bool closing_ = false;
  std::unique_ptr<TPortWindow> window_;
};

// The port as a window layout lists it; adds nothing but closing before its
// base is destroyed.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
  ~TComPort() override;
};

}  // namespace CPort
