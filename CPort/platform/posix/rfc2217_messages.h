// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The com port messages of RFC 2217 (Telnet option 44) and how the Windows
// communications state maps onto them, without sockets:
//  - a DCB becomes eight settings (rate, data size, parity, stop size,
//    outbound and inbound flow control, DTR, RTS), each one message;
//  - a server's answer is matched to the setting it answers;
//  - NOTIFY-MODEMSTATE and NOTIFY-LINESTATE become modem status bits, line
//    events and line errors.
// A message here is the payload of the subnegotiation after the option byte:
// the command number followed by its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "win_comm.h"

namespace CPort::Platform::Rfc2217 {

namespace Command {
constexpr std::uint8_t Signature = 0;
constexpr std::uint8_t SetBaudRate = 1;
constexpr std::uint8_t SetDataSize = 2;
constexpr std::uint8_t SetParity = 3;
constexpr std::uint8_t SetStopSize = 4;
constexpr std::uint8_t SetControl = 5;
constexpr std::uint8_t NotifyLineState = 6;
constexpr std::uint8_t NotifyModemState = 7;
constexpr std::uint8_t FlowControlSuspend = 8;
constexpr std::uint8_t FlowControlResume = 9;
constexpr std::uint8_t SetLineStateMask = 10;
constexpr std::uint8_t SetModemStateMask = 11;
constexpr std::uint8_t PurgeData = 12;
// A server sends the client's command number plus this.
constexpr std::uint8_t kFromServer = 100;
}  // namespace Command

// Values of SET-CONTROL.
namespace Control {
constexpr std::uint8_t OutboundNone = 1;
constexpr std::uint8_t OutboundXonXoff = 2;
constexpr std::uint8_t OutboundHardware = 3;
constexpr std::uint8_t BreakOn = 5;
constexpr std::uint8_t BreakOff = 6;
constexpr std::uint8_t DtrOn = 8;
constexpr std::uint8_t DtrOff = 9;
constexpr std::uint8_t RtsOn = 11;
constexpr std::uint8_t RtsOff = 12;
constexpr std::uint8_t InboundNone = 14;
constexpr std::uint8_t InboundXonXoff = 15;
constexpr std::uint8_t InboundHardware = 16;
constexpr std::uint8_t OutboundDcd = 17;
constexpr std::uint8_t InboundDtr = 18;
constexpr std::uint8_t OutboundDsr = 19;
}  // namespace Control

// Values of SET-PARITY and SET-STOPSIZE.
namespace Parity {
constexpr std::uint8_t None = 1, Odd = 2, Even = 3, Mark = 4, Space = 5;
}
namespace StopSize {
constexpr std::uint8_t One = 1, Two = 2, OneAndHalf = 3;
}

// Values of PURGE-DATA: the server's buffer of data from the device to the
// network, the one from the network to the device, or both.
namespace Purge {
constexpr std::uint8_t Received = 1, ToTransmit = 2, Both = 3;
}

// Bits of NOTIFY-LINESTATE and SET-LINESTATE-MASK.
namespace LineState {
constexpr std::uint8_t Overrun = 0x02, Parity = 0x04, Framing = 0x08, Break = 0x10;
}
// Bits of NOTIFY-MODEMSTATE and SET-MODEMSTATE-MASK.
namespace ModemState {
constexpr std::uint8_t DeltaCts = 0x01, DeltaDsr = 0x02, RingEnded = 0x04, DeltaCd = 0x08;
constexpr std::uint8_t Cts = 0x10, Dsr = 0x20, Ring = 0x40, Cd = 0x80;
constexpr std::uint8_t kLines = 0xF0;
}  // namespace ModemState

// The settings a DCB sends, in the order they go out. Outbound flow control
// goes before inbound: a server that reads "no flow control" as meaning both
// directions then still takes the inbound setting after it.
enum class Setting : std::uint8_t { BaudRate, DataSize, Parity, StopSize, OutboundFlow, InboundFlow, Dtr, Rts };
constexpr std::size_t kSettingCount = 8;

struct LineSettings {
  std::uint32_t baudRate = 0;
  // The one-byte value of every other setting, indexed by Setting.
  std::uint8_t values[kSettingCount] = {};
  std::uint32_t Value(Setting setting) const {
    return setting == Setting::BaudRate ? baudRate : values[static_cast<std::size_t>(setting)];
  }
};

// What a DCB asks the server for. DTR and RTS follow the control modes: a
// handshake mode the server runs as flow control, and where it has no mode
// of its own (RTS toggle) the line is raised.
LineSettings SettingsFromDcb(const DCB& dcb);

// The message that sends one setting.
std::vector<std::uint8_t> SettingMessage(Setting setting, const LineSettings& settings);
// A message without a value, or with a one-byte value.
std::vector<std::uint8_t> Message(std::uint8_t command);
std::vector<std::uint8_t> Message(std::uint8_t command, std::uint8_t value);

// The setting a server message answers, or none (a notification, or an
// answer to something that is not a setting). SET-CONTROL answers are
// matched by the group of their value: a server may answer with another
// value than was asked for (the state it really has).
std::optional<Setting> AnsweredSetting(const std::uint8_t* message, std::size_t count);

// GetCommModemStatus bits of a NOTIFY-MODEMSTATE value.
DWORD ModemStatusBits(std::uint8_t modemState);
// Line events between two notifications: a changed line, or a change the
// server saw and flagged (a pulse over before it reported). EV_RING when a
// ring ended (the indicator went off, or is off with the trailing-edge
// flag), as a tty reports it.
DWORD ModemEvents(std::uint8_t before, std::uint8_t now);
// CE_* errors of a NOTIFY-LINESTATE value. Parity errors only with parity
// checking on (fParity), as on a tty.
DWORD LineErrors(std::uint8_t lineState, bool checkParity);

}  // namespace CPort::Platform::Rfc2217
