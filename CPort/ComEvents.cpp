// Event dispatch of the port: mask conversions, the per-event processing
// steps, the open and close notifications, and the firing steps.
#include <typeinfo>

#include "CPort/ComPort.h"
#include "CPort/ComThread.h"

namespace CPort {

using namespace Platform;

namespace {

// Platform flag of each event, by ordinal.
constexpr DWORD kEventFlags[10] = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                   EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};

}  // namespace

DWORD EventsToMask(TComEvents events) {
  DWORD mask = 0;
  for (int i = 0; i < 10; ++i)
    if (events.Contains(static_cast<TComEvent>(i))) mask |= kEventFlags[i];
  return mask;
}

TComEvents MaskToEvents(DWORD mask) {
  TComEvents events;
  for (int i = 0; i < 10; ++i)
    if (mask & kEventFlags[i]) events.Include(static_cast<TComEvent>(i));
  return events;
}

void TCustomComPort::RunEventSteps(TComEvents batch, const TComThread& deliverer) {
  // A handler that closes the port lets go of the thread that delivers this
  // batch, and that ends the batch: no handler runs after ClosePort, and the
  // port may already belong to a newer thread.
  auto run = [&](TComEvent event, void (TCustomComPort::*step)()) {
    if (batch.Contains(event) && !deliverer.Detached()) (this->*step)();
  };
  run(evError, &TCustomComPort::ProcessError);
  run(evRxChar, &TCustomComPort::ProcessRxChar);
  run(evTxEmpty, &TCustomComPort::ProcessTxEmpty);
  run(evBreak, &TCustomComPort::ProcessBreak);
  run(evRing, &TCustomComPort::ProcessRing);
  run(evCTS, &TCustomComPort::ProcessCTSChange);
  run(evDSR, &TCustomComPort::ProcessDSRChange);
  run(evRxFlag, &TCustomComPort::ProcessRxFlag);
  run(evRLSD, &TCustomComPort::ProcessRLSDChange);
  run(evRx80Full, &TCustomComPort::ProcessRx80Full);
}

TComEvents TCustomComPort::EventsThatAct(TComEvents batch) const {
  // A class of its own may override the firing steps: every step counts.
  if (typeid(*this) != typeid(TComPort) && typeid(*this) != typeid(TCustomComPort)) return batch;
  // Steps that only fire their handler; a handler is looked at only for an
  // event the batch holds.
  TComEvents acting = batch;
  auto dropUnhandled = [&](TComEvent event, const auto& handler) {
    if (acting.Contains(event) && !handler) acting.Exclude(event);
  };
  dropUnhandled(evTxEmpty, OnTxEmpty);
  dropUnhandled(evBreak, OnBreak);
  dropUnhandled(evRing, OnRing);
  dropUnhandled(evRxFlag, OnRxFlag);
  dropUnhandled(evRx80Full, OnRx80Full);
  return acting;
}

// --- Processing steps ---------------------------------------------------------

void TCustomComPort::ProcessError() {
  const TComErrors errors = TakeLineErrors();
  if (!errors.Empty()) FireError(errors);
}

void TCustomComPort::ProcessRxChar() {
  const std::int32_t count = PendingInput();
  if (count > 0) FireRxChar(count);
}

void TCustomComPort::ProcessTxEmpty() { FireTxEmpty(); }
void TCustomComPort::ProcessBreak() { FireBreak(); }
void TCustomComPort::ProcessRing() { FireRing(); }
void TCustomComPort::ProcessRxFlag() { FireRxFlag(); }
void TCustomComPort::ProcessRx80Full() { FireRx80Full(); }

// Each signal step reads the lines afresh: the handler learns the state as it
// is now, not as it was when the event was raised.
void TCustomComPort::ProcessCTSChange() { FireCTSChange(LineSignals().Contains(msCTS)); }
void TCustomComPort::ProcessDSRChange() { FireDSRChange(LineSignals().Contains(msDSR)); }
void TCustomComPort::ProcessRLSDChange() { FireRLSDChange(LineSignals().Contains(msRLSD)); }

// --- Open and close notifications ---------------------------------------------

void TCustomComPort::NotifyBeforeOpen() { FireBeforeOpen(); }

void TCustomComPort::NotifyAfterOpen() {
  FireAfterOpen();
  ProcessCTSChange();
  ProcessDSRChange();
  ProcessRLSDChange();
}

void TCustomComPort::NotifyBeforeClose() {
  FireCTSChange(false);
  FireDSRChange(false);
  FireRLSDChange(false);
  FireBeforeClose();
}

void TCustomComPort::NotifyAfterClose() { FireAfterClose(); }

// --- Firing steps ---------------------------------------------------------------

void TCustomComPort::FireAfterClose() {
  if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::FireAfterOpen() {
  if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::FireBeforeClose() {
  if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::FireBeforeOpen() {
  if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::FireRxChar(std::int32_t count) {
  if (OnRxChar) OnRxChar(this, count);
}
void TCustomComPort::FireRxBuf(const void* buffer, std::int32_t count) {
  if (OnRxBuf) OnRxBuf(this, buffer, count);
}
void TCustomComPort::FireTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::FireBreak() {
  if (OnBreak) OnBreak(this);
}
void TCustomComPort::FireRing() {
  if (OnRing) OnRing(this);
}
void TCustomComPort::FireRxFlag() {
  if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::FireCTSChange(bool onOff) {
  if (OnCTSChange) OnCTSChange(this, onOff);
}
void TCustomComPort::FireDSRChange(bool onOff) {
  if (OnDSRChange) OnDSRChange(this, onOff);
}
void TCustomComPort::FireError(TComErrors errors) {
  if (OnError) OnError(this, errors);
}
void TCustomComPort::FireRLSDChange(bool onOff) {
  if (OnRLSDChange) OnRLSDChange(this, onOff);
}
void TCustomComPort::FireRx80Full() {
  if (OnRx80Full) OnRx80Full(this);
}

}  // namespace CPort
