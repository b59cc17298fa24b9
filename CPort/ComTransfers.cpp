// Transfers and device queries of the port. Every transfer is overlapped at
// the platform level; the synchronous forms start one and await it.
#include <cerrno>
#include <limits>

#include "CPort/ComPort.h"

namespace CPort {

using namespace Platform;

namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// A new record, or `failCode` with the system's code when its event cannot
// be had.
TransferRecord* NewRecord(int failCode) {
  auto fresh = std::make_unique<TransferRecord>();
  // Manual reset, signalled: a record that never carried a transfer awaits
  // as a finished transfer of 0 bytes. Like its model, CreateEventA reports
  // failure with a null handle.
  fresh->event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (fresh->event == 0) throw EComPort(failCode, LastError());
  fresh->overlapped.hEvent = fresh->event;
  return fresh.release();
}

// The private record of a synchronous transfer, released whatever happens.
// Failing to create it fails the transfer with the transfer's own code.
// While it lives, the transfer it carries is awaited at once by this thread,
// which the platform is told: nothing else need keep it moving meanwhile.
class ScopedRecord {
 public:
  ScopedRecord(TCustomComPort& port, int failCode) : port_(port), record_(NewRecord(failCode)) {
    BeginAwaitedTransfers();
  }
  ~ScopedRecord() {
    EndAwaitedTransfers();
    port_.ReleaseTransferRecord(record_);
  }
  ScopedRecord(const ScopedRecord&) = delete;
  ScopedRecord& operator=(const ScopedRecord&) = delete;
  TransferRecord* get() const { return record_; }

 private:
  TCustomComPort& port_;
  TransferRecord* record_;
};

// A count the platform would take as a huge unsigned one is refused before
// anything is touched: the caller's buffer is not that large.
void CheckCount(std::int32_t count, int failCode) {
  if (count < 0) throw EComPort(failCode, EINVAL);
}

}  // namespace

// A record on its own has no transfer yet to name in a failure; its event is
// the asynchronous status it exists for.
void TCustomComPort::CreateTransferRecord(TransferRecord*& record) { record = NewRecord(PortErr::AsyncStatus); }

void TCustomComPort::ReleaseTransferRecord(TransferRecord*& record) {
  if (!record) return;
  CloseHandle(record->event);
  delete record;
  record = nullptr;
}

std::int32_t TCustomComPort::SendBytesAsync(const void* buffer, std::int32_t count, TransferRecord* record) {
  if (!record) throw EComPort(PortErr::InvalidAsyncParameter);
  CheckCount(count, PortErr::WriteFailed);
  record->kind = TransferKind::Write;
  DWORD written = 0;
  if (!WriteFile(handle_, buffer, static_cast<DWORD>(count), &written, &record->overlapped) &&
      GetLastError() != ERROR_IO_PENDING)
    throw EComPort(PortErr::WriteFailed, LastError(), port_);
  return static_cast<std::int32_t>(written);
}

std::int32_t TCustomComPort::SendTextAsync(const std::string& text, TransferRecord* record) {
  if (text.empty()) return 0;
  // A text of 2 GiB or more has no count the interface can carry.
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw EComPort(PortErr::WriteFailed, EINVAL);
  return SendBytesAsync(text.data(), static_cast<std::int32_t>(text.size()), record);
}

std::int32_t TCustomComPort::SendText(const std::string& text) {
  ScopedRecord record(*this, PortErr::WriteFailed);
  SendTextAsync(text, record.get());
  return AwaitTransfer(record.get());
}

std::int32_t TCustomComPort::ReceiveBytesAsync(void* buffer, std::int32_t count, TransferRecord* record) {
  if (!record) throw EComPort(PortErr::InvalidAsyncParameter);
  CheckCount(count, PortErr::ReadFailed);
  record->kind = TransferKind::Read;
  DWORD read = 0;
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &read, &record->overlapped) &&
      GetLastError() != ERROR_IO_PENDING)
    throw EComPort(PortErr::ReadFailed, LastError(), port_);
  return static_cast<std::int32_t>(read);
}

std::int32_t TCustomComPort::ReceiveBytes(void* buffer, std::int32_t count) {
  CheckCount(count, PortErr::ReadFailed);
  ScopedRecord record(*this, PortErr::ReadFailed);
  ReceiveBytesAsync(buffer, count, record.get());
  return AwaitTransfer(record.get());
}

std::int32_t TCustomComPort::ReceiveTextAsync(std::string& text, std::int32_t count, TransferRecord* record) {
  text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  if (count <= 0) return 0;
  // std::string never shares its storage, so the read goes straight into it.
  return ReceiveBytesAsync(text.data(), count, record);
}

std::int32_t TCustomComPort::ReceiveText(std::string& text, std::int32_t count) {
  ScopedRecord record(*this, PortErr::ReadFailed);
  ReceiveTextAsync(text, count, record.get());
  const std::int32_t n = AwaitTransfer(record.get());
  text.resize(static_cast<std::size_t>(n));
  return n;
}

std::int32_t TCustomComPort::AwaitTransfer(TransferRecord* record) {
  if (!record) throw EComPort(PortErr::InvalidAsyncParameter);
  const int failCode = record->kind == TransferKind::Write ? PortErr::WriteFailed : PortErr::ReadFailed;
  if (WaitForSingleObject(record->event, INFINITE) != WAIT_OBJECT_0) throw EComPort(failCode, LastError(), port_);
  // Nothing was started with this record: a finished transfer of 0 bytes,
  // and the device is not touched.
  if (record->kind == TransferKind::None) return 0;
  DWORD transferred = 0;
  if (!GetOverlappedResult(handle_, &record->overlapped, &transferred, FALSE))
    throw EComPort(failCode, LastError(), port_);
  // Reading the queue count also clears the device's pending error flags.
  if (record->kind == TransferKind::Read) PendingInput();
  return static_cast<std::int32_t>(transferred);
}

void TCustomComPort::CancelTransfers() {
  if (!PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT)) throw EComPort(PortErr::PurgeFailed, LastError(), port_);
}

std::int32_t TCustomComPort::PendingInput() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle_, &errors, &stat)) throw EComPort(PortErr::ClearErrorFailed, LastError(), port_);
  return static_cast<std::int32_t>(stat.cbInQue);
}

TModemSignals TCustomComPort::LineSignals() {
  DWORD status = 0;
  if (!GetCommModemStatus(handle_, &status)) throw EComPort(PortErr::ModemStatusFailed, LastError(), port_);
  TModemSignals signals;
  if (status & MS_CTS_ON) signals.Include(msCTS);
  if (status & MS_DSR_ON) signals.Include(msDSR);
  if (status & MS_RING_ON) signals.Include(msRing);
  if (status & MS_RLSD_ON) signals.Include(msRLSD);
  return signals;
}

void TCustomComPort::SetBreak(bool on) {
  if (!EscapeCommFunction(handle_, on ? SETBREAK : CLRBREAK))
    throw EComPort(PortErr::EscapeFailed, LastError(), port_);
}

TComErrors TCustomComPort::TakeLineErrors() {
  DWORD flags = 0;
  COMSTAT stat{};
  if (!ClearCommError(handle_, &flags, &stat)) throw EComPort(PortErr::ClearErrorFailed, LastError(), port_);
  TComErrors errors;
  if (flags & CE_FRAME) errors.Include(ceFrame);
  if ((flags & CE_RXPARITY) && parity_->Check()) errors.Include(ceRxParity);
  if (flags & CE_OVERRUN) errors.Include(ceOverrun);
  if (flags & CE_RXOVER) errors.Include(ceRxOver);
  if (flags & CE_TXFULL) errors.Include(ceTxFull);
  if (flags & CE_BREAK) errors.Include(ceBreak);
  if (flags & CE_IOE) errors.Include(ceIO);
  if (flags & CE_MODE) errors.Include(ceMode);
  return errors;
}

}  // namespace CPort
