// The port's four grouped settings objects. Each belongs to a port (or to no
// port, when a caller fills one and hands it over). A setter does nothing when
// the value is unchanged; otherwise it stores the value and asks the owning
// port to push the group, which reaches the device only while it is open.
//
// Copying one (`auto p = port.Parity();`) gives a free-standing object: it has
// no owning port, so changing it pushes nothing and it outlives the port.
// Assigning one copies the fields only: the object keeps its owner, and an
// owned object pushes its group to the port, as the port's setter does.
//
// Errors: a setter raises what its port's push raises (ComPort.h): EComPort 8
// for timeouts, 7 for flow control and parity, 9 for buffer sizes, each with
// the errno; the new value stays stored. A settings object without a port
// never raises. Values are not checked here: the device judges them when
// they are pushed.
//
// Thread safety: as the owning port's settings (the main thread).
#pragma once

#include <cstdint>

#include "CPort/ComTypes.h"

namespace CPort {

class TCustomComPort;

// How long transfers wait, in milliseconds; -1 stands for the platform's
// MAXDWORD. For a read of N bytes (interval I, multiplier M, constant C):
//  - I = -1, M = C = 0: return at once with what has arrived, maybe nothing
//    (the default);
//  - I = -1, M and C neither -1 nor both 0: at once if anything is there,
//    else wait up to M x N + C for the first bytes;
//  - I = -1, M = -1, C not -1: as above, returning with the first byte;
//  - otherwise a total limit of M x N + C when M or C is not 0, and a limit
//    of I between two bytes once the first arrived when I is neither 0 nor
//    -1; all three 0: wait until N bytes are there.
// A write is limited to M x N + C (WriteTotal...) when either is not 0.
// A limit that runs out ends the transfer successfully with the bytes moved
// so far. I = M = C = -1 together is refused by the device (EINVAL).
class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port = nullptr) : port_(port) {}
  TComTimeouts(const TComTimeouts& other) : port_(nullptr) { CopySettingsFrom(other); }
  TComTimeouts& operator=(const TComTimeouts& other);

  std::int32_t ReadInterval() const { return readInterval_; }
  std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
  std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void SetReadInterval(std::int32_t value);
  void SetReadTotalMultiplier(std::int32_t value);
  void SetReadTotalConstant(std::int32_t value);
  void SetWriteTotalMultiplier(std::int32_t value);
  void SetWriteTotalConstant(std::int32_t value);

  // Copies every field, without the setters' tests and without a push.
  void CopySettingsFrom(const TComTimeouts& other);
  TCustomComPort* Port() const { return port_; }

 private:
  void Set(std::int32_t& field, std::int32_t value);
  TCustomComPort* port_;
  std::int32_t readInterval_ = -1;
  std::int32_t readTotalMultiplier_ = 0;
  std::int32_t readTotalConstant_ = 0;
  std::int32_t writeTotalMultiplier_ = 100;
  std::int32_t writeTotalConstant_ = 1000;
};

// Flow control and the modem output lines. What a tty cannot do (DSR flow,
// DSR sensitivity, DTR handshake, RTS toggle) is accepted and has no effect;
// docs/tty-device.md lists each. Software flow control with equal XON and
// XOFF characters is refused by the device (EINVAL).
class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port = nullptr) : port_(port) {}
  TComFlowControl(const TComFlowControl& other) : port_(nullptr) { CopySettingsFrom(other); }
  TComFlowControl& operator=(const TComFlowControl& other);

  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  char XonChar() const { return xonChar_; }
  char XoffChar() const { return xoffChar_; }
  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(char value);
  void SetXoffChar(char value);

  // The mode derived from RTS control, CTS flow and XON/XOFF both ways.
  TFlowControl FlowControl() const;
  // Applies a mode to those four fields (fcCustom changes none) and pushes,
  // also when nothing changed.
  void SetFlowControl(TFlowControl value);

  void CopySettingsFrom(const TComFlowControl& other);
  TCustomComPort* Port() const { return port_; }

 private:
  template <typename T>
  void Set(T& field, T value);
  void Push();
  TCustomComPort* port_;
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = dtrDisable;
  TRTSFlowControl controlRTS_ = rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  char xonChar_ = 17;
  char xoffChar_ = 19;
};

// Parity: the bits sent and checked, whether received parity errors are
// reported (Check) and whether bytes received with one are replaced
// (Replace, ReplaceChar; only with Check, and not on a tty).
class TComParity {
 public:
  explicit TComParity(TCustomComPort* port = nullptr) : port_(port) {}
  TComParity(const TComParity& other) : port_(nullptr) { CopySettingsFrom(other); }
  TComParity& operator=(const TComParity& other);

  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  char ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(char value);

  void CopySettingsFrom(const TComParity& other);
  TCustomComPort* Port() const { return port_; }

 private:
  template <typename T>
  void Set(T& field, T value);
  TCustomComPort* port_;
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  char replaceChar_ = 0;
};

// The sizes of the input and output queues, in bytes. The input size also
// sets the rx-80-full threshold and the XON/XOFF limits. An input size of 0
// is refused by the device (EINVAL).
class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port = nullptr) : port_(port) {}
  TComBuffer(const TComBuffer& other) : port_(nullptr) { CopySettingsFrom(other); }
  TComBuffer& operator=(const TComBuffer& other);

  std::int32_t InputSize() const { return inputSize_; }
  std::int32_t OutputSize() const { return outputSize_; }
  // An odd positive size is lowered by one after it is stored; the equality
  // test uses the value passed in.
  void SetInputSize(std::int32_t value);
  void SetOutputSize(std::int32_t value);

  void CopySettingsFrom(const TComBuffer& other);
  TCustomComPort* Port() const { return port_; }

 private:
  void Set(std::int32_t& field, std::int32_t value);
  TCustomComPort* port_;
  std::int32_t inputSize_ = 1024;
  std::int32_t outputSize_ = 1024;
};

}  // namespace CPort
