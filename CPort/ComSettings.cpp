#include "CPort/ComSettings.h"

#include <cerrno>

#include "CPort/ComPort.h"

namespace CPort {

// --- TComTimeouts ---------------------------------------------------------

void TComTimeouts::Set(std::int32_t& field, std::int32_t value) {
  if (field == value) return;
  field = value;
  if (port_) port_->WriteTimeouts();
}

void TComTimeouts::SetReadInterval(std::int32_t value) { Set(readInterval_, value); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) { Set(readTotalMultiplier_, value); }
void TComTimeouts::SetReadTotalConstant(std::int32_t value) { Set(readTotalConstant_, value); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) { Set(writeTotalMultiplier_, value); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) { Set(writeTotalConstant_, value); }

void TComTimeouts::CopySettingsFrom(const TComTimeouts& other) {
  readInterval_ = other.readInterval_;
  readTotalMultiplier_ = other.readTotalMultiplier_;
  readTotalConstant_ = other.readTotalConstant_;
  writeTotalMultiplier_ = other.writeTotalMultiplier_;
  writeTotalConstant_ = other.writeTotalConstant_;
}

TComTimeouts& TComTimeouts::operator=(const TComTimeouts& other) {
  CopySettingsFrom(other);
  if (port_) port_->WriteTimeouts();
  return *this;
}

// --- TComFlowControl --------------------------------------------------------

void TComFlowControl::Push() {
  if (port_) port_->WriteLineSettings();
}

template <typename T>
void TComFlowControl::Set(T& field, T value) {
  if (field == value) return;
  field = value;
  Push();
}

void TComFlowControl::SetOutCTSFlow(bool value) { Set(outCTSFlow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Set(outDSRFlow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Set(controlDTR_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Set(controlRTS_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Set(xonXoffOut_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Set(xonXoffIn_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Set(dsrSensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Set(txContinueOnXoff_, value); }
void TComFlowControl::SetXonChar(char value) { Set(xonChar_, value); }
void TComFlowControl::SetXoffChar(char value) { Set(xoffChar_, value); }

TFlowControl TComFlowControl::FlowControl() const {
  if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (value == fcHardware) {
      controlRTS_ = rtsHandshake;
      outCTSFlow_ = true;
    } else if (value == fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  Push();
}

void TComFlowControl::CopySettingsFrom(const TComFlowControl& other) {
  outCTSFlow_ = other.outCTSFlow_;
  outDSRFlow_ = other.outDSRFlow_;
  controlDTR_ = other.controlDTR_;
  controlRTS_ = other.controlRTS_;
  xonXoffOut_ = other.xonXoffOut_;
  xonXoffIn_ = other.xonXoffIn_;
  dsrSensitivity_ = other.dsrSensitivity_;
  txContinueOnXoff_ = other.txContinueOnXoff_;
  xonChar_ = other.xonChar_;
  xoffChar_ = other.xoffChar_;
}

TComFlowControl& TComFlowControl::operator=(const TComFlowControl& other) {
  CopySettingsFrom(other);
  Push();
  return *this;
}

// --- TComParity -------------------------------------------------------------

template <typename T>
void TComParity::Set(T& field, T value) {
  if (field == value) return;
  field = value;
  if (port_) port_->WriteLineSettings();
}

void TComParity::SetBits(TParityBits value) { Set(bits_, value); }
void TComParity::SetCheck(bool value) { Set(check_, value); }
void TComParity::SetReplace(bool value) { Set(replace_, value); }
void TComParity::SetReplaceChar(char value) { Set(replaceChar_, value); }

void TComParity::CopySettingsFrom(const TComParity& other) {
  bits_ = other.bits_;
  check_ = other.check_;
  replace_ = other.replace_;
  replaceChar_ = other.replaceChar_;
}

TComParity& TComParity::operator=(const TComParity& other) {
  CopySettingsFrom(other);
  if (port_) port_->WriteLineSettings();
  return *this;
}

// --- TComBuffer ---------------------------------------------------------------

void TComBuffer::Set(std::int32_t& field, std::int32_t value) {
  if (field == value) return;
  // A size no device can take (none at all for input, or a negative one) is
  // refused before it is stored when it would reach the device now; the
  // port keeps the size the device still has. A closed port only stores.
  const bool pushesNow = port_ != nullptr && port_->Connected() && !port_->Loading();
  if (pushesNow && (value < 0 || (value == 0 && &field == &inputSize_)))
    throw EComPort(PortErr::SetupFailed, EINVAL, port_->Port());
  field = value;
  // The driver works in even sizes.
  if (field > 0 && field % 2 == 1) --field;
  // A size the device itself refuses stays, as every other setting's value
  // does: the port reports the failure and holds what it was given.
  if (port_) port_->WriteQueueSizes();
}

void TComBuffer::SetInputSize(std::int32_t value) { Set(inputSize_, value); }
void TComBuffer::SetOutputSize(std::int32_t value) { Set(outputSize_, value); }

void TComBuffer::CopySettingsFrom(const TComBuffer& other) {
  inputSize_ = other.inputSize_;
  outputSize_ = other.outputSize_;
}

TComBuffer& TComBuffer::operator=(const TComBuffer& other) {
  CopySettingsFrom(other);
  if (port_) port_->WriteQueueSizes();
  return *this;
}

}  // namespace CPort
