// The port component's shared value types: the line-setting enumerations,
// the event, error and modem-signal sets, and the delivery method.
// SettingTexts.h gives each enumeration value its text form.
//
// Plain values with no state of their own; any thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace CPort {

// A small set of enumeration values, one bit per ordinal. FromBits and
// ToBits give the bit word as stored (bit n for ordinal n).
template <typename Enum, typename Bits>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<Enum> values) {
    for (Enum v : values) bits_ |= Bit(v);
  }
  static constexpr TSet FromBits(Bits bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(Enum v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSet& Include(Enum v) {
    bits_ |= Bit(v);
    return *this;
  }
  constexpr TSet& Exclude(Enum v) {
    bits_ &= static_cast<Bits>(~Bit(v));
    return *this;
  }
  friend constexpr TSet operator|(TSet a, TSet b) { return FromBits(static_cast<Bits>(a.bits_ | b.bits_)); }
  friend constexpr TSet operator&(TSet a, TSet b) { return FromBits(static_cast<Bits>(a.bits_ & b.bits_)); }
  friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr Bits Bit(Enum v) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(v)); }
  Bits bits_ = 0;
};

enum TBaudRate : std::uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
// 1.5 stop bits go only with 5 data bits, 2 only with 6 to 8; another
// combination makes the line-settings push fail with EINVAL (EComPort 7).
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

// Bits per second of each fixed rate, indexed by ordinal (brCustom: 0, the
// port's CustomBaudRate is used instead).
inline constexpr std::int32_t kBaudRateValues[16] = {0,     110,   300,   600,   1200,  2400,
                                                     4800,  9600,  14400, 19200, 38400, 56000,
                                                     57600, 115200, 128000, 256000};

// The device events a port can deliver (TCustomComPort::Events): a byte
// received, the output queue emptied, the event character received, ring,
// a break, a change of CTS, DSR or RLSD, a line error, and the input queue
// 80% full.
enum TComEvent : std::uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = TSet<TComEvent, std::uint16_t>;
inline constexpr TComEvents kAllComEvents = TComEvents::FromBits(0x03FF);

// Line errors (TakeLineErrors, OnError): framing, parity, hardware overrun,
// break, I/O error, mode not supported, input queue overflow, output full.
enum TComError : std::uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = TSet<TComError, std::uint8_t>;

enum TModemSignal : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal, std::uint8_t>;

// Where a port's event handlers run: on the main thread while the event
// thread waits (smThreadSync), on the main thread one event at a time
// (smWindowSync), or on the event thread (smNone). See ComPort.h.
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

// Setting groups the storage operations save and load (SavedGroups).
enum TSavedGroup : std::uint8_t { sgLine, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOther };
using TSavedGroups = TSet<TSavedGroup, std::uint8_t>;

}  // namespace CPort
