// The port object: one serial device, its settings, opening and closing,
// transfers, device queries, and event delivery.
//
// Errors: every failing operation raises EComPort (ComErrors.h). Its
// PortErrorCode names what failed (the PortErr constants); OsErrorCode is the
// errno the device gave, or -1. The codes an operation raises are listed with
// it below. Common errnos: 2 ENOENT (no such device), 9 EBADF (the port is
// not open), 13 EACCES (no permission for the device), 16 EBUSY (the device
// is open elsewhere, also in this process), 22 EINVAL (a value the device
// cannot take), 5 EIO (the device has gone), 125 ECANCELED (a transfer ended
// by CancelTransfers or ClosePort).
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
// Nothing in a port is locked. Under smNone the handlers run on the event
// thread while the main thread goes on: both may transfer and query, and the
// main thread may close the port, but settings must not change meanwhile.
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
namespace Detail {
class PortReconnect;
}

// Event handler types. Every handler receives the port as Sender.
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TRxCharEvent = std::function<void(TComponent* Sender, std::int32_t Count)>;
using TRxBufEvent = std::function<void(TComponent* Sender, const void* Buffer, std::int32_t Count)>;
using TComErrorEvent = std::function<void(TComponent* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TComponent* Sender, bool OnOff)>;

// Platform event flags of the ten events and back; other mask bits are ignored.
// Pure functions; any thread.
Platform::DWORD EventsToMask(TComEvents events);
TComEvents MaskToEvents(Platform::DWORD mask);

// One overlapped transfer.
enum class TransferKind : std::uint8_t { None, Write, Read };
struct TransferRecord {
  Platform::OVERLAPPED overlapped{};
  Platform::HANDLE event = Platform::kInvalidHandle;
  TransferKind kind = TransferKind::None;
};

class TCustomComPort : public TComponent {
 public:
  explicit TCustomComPort(TComponent* owner = nullptr);
  // Closes the port; never throws.
  ~TCustomComPort() override;

  // --- Properties -------------------------------------------------------
  // Main thread. A setter does nothing when the value is unchanged. On an
  // open port (not loading) a line setting is pushed to the device at once;
  // when the device refuses it the setter raises EComPort 7 (SetCommState
  // failed, with the errno) and the new value stays stored, so the next
  // successful push or OpenPort applies it.
  // Connected may be read from any thread.
  bool Connected() const { return connected_.load(); }
  // While loading only records the value (FinishLoading opens the port);
  // otherwise OpenPort or ClosePort, raising what they raise.
  void SetConnected(bool value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  // Bits per second used with brCustom.
  std::int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(std::int32_t value);
  // The device name: "ttyUSB0" (opened as /dev/ttyUSB0), a path, or the name
  // of a registered virtual device. Changing it on an open port reopens it.
  // Reopening raises what ClosePort and OpenPort raise; when the new device
  // cannot be opened the port is left closed.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  // Received zero bytes are dropped.
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool value);
  // The character whose arrival raises evRxFlag.
  char EventChar() const { return eventChar_; }
  void SetEventChar(char value);
  // Used by the next OpenPort.
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents value) { events_ = value; }
  // Raises EComPort 14 (no errno) on an open port: the event thread reads it
  // without a lock.
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod value);
  // The groups the storage operations save and load.
  TSavedGroups SavedGroups() const { return savedGroups_; }
  void SetSavedGroups(TSavedGroups value) { savedGroups_ = value; }

  // The settings objects are owned by the port; the setters copy into them.
  // SetParity and SetFlowControl push the line settings (EComPort 7),
  // SetTimeouts the timeouts (EComPort 8), SetBuffer the queue sizes
  // (EComPort 9), each only on an open port and each also when nothing
  // changed. See ComSettings.h for the fields.
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

  // Reconnecting, off by default. When the open device goes away, the loss
  // is reported as always (the application's error display); then, with
  // Reconnect on, the port closes (close notifications), keeps every
  // setting, fires OnDeviceWait and waits for that same device: the same
  // USB adapter (serial number, else USB location or by-id link) under
  // whatever name it returns, else the same path leading to the same kind of
  // device. A different adapter that gets the old name is never taken. When
  // it is back the port reopens it (settings pushed in the usual order, open
  // notifications) and fires OnDeviceBack; Port then names where it is now.
  // ClosePort, a new Port or Reconnect off end the wait. A failed reopen is
  // not shown (the loss was); it is tried again shortly and at the next
  // change of the ports, and ReconnectError tells why it failed. A port on
  // another machine (rfc2217://, socket://) has no presence to watch: its
  // server is connected to again, shortly after the loss and then every few
  // seconds (each attempt may hold the main thread for the connect's time
  // limit). A loss is noticed by the event thread, so a port opened with an
  // empty Events set is not reconnected.
  bool Reconnect() const { return reconnectOn_; }
  void SetReconnect(bool value);
  bool WaitingForDevice() const;
  std::exception_ptr ReconnectError() const;

  // The platform handle of the open device; INVALID_HANDLE_VALUE while closed.
  Platform::HANDLE Handle() const { return handle_; }
  TThreadPriority EventThreadPriority() const { return threadPriority_; }

  // --- Event handlers (assign before opening) --------------------------
  // Which thread runs them is SyncMethod's choice: the main thread, while it
  // serves the queue of runtime/MainThread.h (smThreadSync: the event thread
  // waits for the whole batch; smWindowSync: one call per event, the event
  // thread goes on at once), or the event thread itself (smNone). Within a
  // batch the steps run in a fixed order: error, rx-char, tx-empty, break,
  // ring, CTS, DSR, rx-flag, RLSD, rx-80-full.
  //
  // A handler may raise. Under smThreadSync and smNone the error ends event
  // delivery until the port is opened again (transfers still work) and goes
  // once to the application's error display; under smWindowSync each such
  // error goes to the display and delivery goes on. A handler may close its
  // own port; no handler of the batch runs after that.
  //
  // The open and close notifications run on the thread that calls OpenPort
  // or ClosePort; their errors leave that call.
  TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
  // Count: bytes waiting in the input queue (never 0).
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;  // never fired: no step of the port reads on its own
  TNotifyEvent OnTxEmpty, OnBreak, OnRing;
  // OnOff: the line's state when the handler runs, read afresh.
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TNotifyEvent OnRxFlag;
  // Errors: the line errors taken from the device; never empty.
  TComErrorEvent OnError;
  TNotifyEvent OnRx80Full;
  TNotifyEvent OnDeviceWait, OnDeviceBack;  // see Reconnect

  // --- Opening and closing ---------------------------------------------
  // Main thread.
  //
  // OpenPort does nothing on an open port. Otherwise, in this order: fires
  // OnBeforeOpen; opens the device exclusively (EComPort 1 with the errno:
  // ENOENT, EACCES, EBUSY...); pushes the queue sizes (EComPort 9), the line
  // settings (EComPort 7) and the timeouts (EComPort 8), releasing the
  // device and leaving the port closed when one fails; starts the event
  // thread unless Events is empty; fires OnAfterOpen, then OnCTSChange,
  // OnDSRChange and OnRLSDChange with the lines' current states (reading
  // them may raise EComPort 11; the port is open by then).
  void OpenPort();
  // ClosePort does nothing on a closed port, or when called again while it
  // runs (from a handler). Otherwise, in this order: fires OnCTSChange,
  // OnDSRChange and OnRLSDChange with false and OnBeforeClose; ends the
  // pending transfers; stops the event thread and waits for its end (serving
  // the main-thread deliveries it hands over meanwhile, so it cannot
  // deadlock; called from one of the port's own handlers it does not wait);
  // releases the device; fires OnAfterClose. The port is closed afterwards
  // even when ending the transfers failed: that raises EComPort 5 with the
  // errno at the very end (not for a device that has gone away).
  void ClosePort();
  // Ends loading; a port marked Connected while loading is opened now, and
  // an error in that goes to the application's error display.
  void FinishLoading() override;

  // --- Settings storage ---------------------------------------------------
  // Main thread. Save writes the keys of the SavedGroups; Load reads them
  // and applies each through its setter before the next one is read, so a
  // failure part-way leaves the earlier values applied (and, on an open
  // port, pushed: the setters' errors can occur). INI: the section is the
  // port's Name(); a missing key keeps the current value; a store that cannot
  // be written raises EComPort 16. Registry: the values of the store's
  // current key; its errors are ERegistryException (storage/Registry.h).
  // The store classes live in the kelvat::cport_storage library.
  virtual void SaveSettingsToRegistry(TRegistry& registry);
  virtual void SaveSettingsToIni(TIniFile& ini);
  virtual void LoadSettingsFromRegistry(TRegistry& registry);
  virtual void LoadSettingsFromIni(TIniFile& ini);

  // --- Transfers and queries -------------------------------------------
  // Main thread, or a handler under smNone. On a closed port each call that
  // has to reach the device raises its code with EBADF (9).
  //
  // How long a transfer takes is set by Timeouts (ComSettings.h); a timeout
  // ends it successfully with the bytes moved so far. With the default
  // timeouts a read returns at once with what is there, possibly nothing.
  // With read timeouts all 0 a read waits until `count` bytes have arrived,
  // or until CancelTransfers or ClosePort ends it.
  //
  // A negative count raises code 2 (writes) or 3 (reads) with EINVAL, before
  // the device or the buffer is touched.

  // A record for one overlapped transfer at a time. Create raises EComPort 6
  // when no event object can be had (code 2 or 3 within SendText,
  // ReceiveText, ReceiveBytes). Release frees it and sets `record` to nullptr
  // (nothing for nullptr); a record whose transfer is still pending must be
  // awaited first, since the device writes into it.
  void CreateTransferRecord(TransferRecord*& record);
  void ReleaseTransferRecord(TransferRecord*& record);
  // The ...Async calls start a transfer on `record` and return the bytes
  // moved if it ended at once, else 0; AwaitTransfer gives the final count.
  // The buffer must stay valid and untouched until then. Raise EComPort 4
  // (no errno) for a null record, and 2
  // (write) or 3 (read) with the errno when the transfer cannot start.
  std::int32_t SendBytesAsync(const void* buffer, std::int32_t count, TransferRecord* record);
  // An empty text starts nothing and returns 0.
  std::int32_t SendTextAsync(const std::string& text, TransferRecord* record);
  // Writes and waits: the bytes written, fewer than the text's size only when
  // the write timeout ended it. EComPort 2 with the errno.
  std::int32_t SendText(const std::string& text);
  std::int32_t ReceiveBytesAsync(void* buffer, std::int32_t count, TransferRecord* record);
  // Reads up to `count` bytes and waits: the bytes read. EComPort 3.
  std::int32_t ReceiveBytes(void* buffer, std::int32_t count);
  // Sizes `text` to `count` and reads into it; once awaited, the caller
  // shortens it to the count AwaitTransfer returns. A count <= 0 starts
  // nothing, empties the text and returns 0.
  std::int32_t ReceiveTextAsync(std::string& text, std::int32_t count, TransferRecord* record);
  // As ReceiveBytes; `text` holds exactly the bytes read. EComPort 3.
  std::int32_t ReceiveText(std::string& text, std::int32_t count);
  // Waits for the transfer on `record` to end and returns the bytes it moved
  // (0 for a record that never carried one). Raises EComPort 4 for a null
  // record; 2 or 3 with the errno when the transfer failed, ECANCELED (125)
  // when CancelTransfers or ClosePort ended it.
  std::int32_t AwaitTransfer(TransferRecord* record);
  // Ends every pending read and write of this port. EComPort 5 with the errno.
  void CancelTransfers();
  // The bytes waiting in the input queue. Also clears the device's pending
  // line errors (which TakeLineErrors would have returned). EComPort 10.
  std::int32_t PendingInput();
  // The modem lines now (a pseudo-terminal has none). EComPort 11.
  TModemSignals LineSignals();
  // The line errors since the last call, cleared by the call; ceRxParity only
  // while Parity().Check() is on. EComPort 10.
  TComErrors TakeLineErrors();
  // Holds the line in the break state (true) until called with false; a
  // short break is SetBreak(true), a pause, SetBreak(false). Closing a tty
  // ends a break too. EComPort 12 with the errno; EOPNOTSUPP for a port that
  // has no way to send one (socket://).
  void SetBreak(bool on);

  // --- Per-event processing steps (run by event delivery) --------------
  // Each reads what its event needs from the device and fires its handler;
  // they raise what PendingInput, LineSignals and TakeLineErrors raise.
  // Called directly, they run on the caller's thread.
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
  // Line settings: code 7; timeouts: code 8; queue sizes: code 9; each with
  // the errno.
  virtual void WriteLineSettings();
  virtual void WriteTimeouts();
  virtual void WriteQueueSizes();

 protected:
  // Closes the port (a refusing handler notwithstanding), stops event
  // delivery and waits for every event thread of the port; never throws.
  // Destructors call it before anything of the object is destroyed.
  void CloseForDestruction() noexcept;

  // Opening's steps: CreateFileA (EComPort 1), CloseHandle, and the three
  // pushes in the order queue sizes, line settings, timeouts.
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
  friend class Detail::PortReconnect;

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
  // The events of `batch` whose steps could do something a caller sees: a
  // step with an effect of its own (taking or clearing the line errors,
  // reading the modem lines, which may fail), or a handler to fire. The
  // others are not worth a trip to the main thread. Reads the handler
  // fields: called by the event thread, like the steps under smNone.
  TComEvents EventsThatAct(TComEvents batch) const;

  Platform::HANDLE handle_ = Platform::kInvalidHandle;
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

  bool reconnectOn_ = false;
  // Shared with the reports its event threads hand to the main thread.
  std::shared_ptr<Detail::PortReconnect> reconnect_;
};

// The port as a window layout lists it; adds nothing but closing before its
// base is destroyed.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
  ~TComPort() override;
};

}  // namespace CPort
