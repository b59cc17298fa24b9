#include "rfc2217_messages.h"

namespace CPort::Platform::Rfc2217 {

namespace {

std::uint8_t& At(LineSettings& settings, Setting setting) {
  return settings.values[static_cast<std::size_t>(setting)];
}

std::uint8_t ParityValue(BYTE parity) {
  switch (parity) {
    case ODDPARITY: return Parity::Odd;
    case EVENPARITY: return Parity::Even;
    case MARKPARITY: return Parity::Mark;
    case SPACEPARITY: return Parity::Space;
    default: return Parity::None;
  }
}

std::uint8_t StopSizeValue(BYTE stopBits) {
  switch (stopBits) {
    case ONE5STOPBITS: return StopSize::OneAndHalf;
    case TWOSTOPBITS: return StopSize::Two;
    default: return StopSize::One;
  }
}

// Which setting a SET-CONTROL value belongs to; break has none (no DCB
// member starts a break).
std::optional<Setting> ControlGroup(std::uint8_t value) {
  if (value <= Control::OutboundHardware || value == Control::OutboundDcd || value == Control::OutboundDsr) {
    return Setting::OutboundFlow;
  }
  if (value >= 7 && value <= Control::DtrOff) return Setting::Dtr;
  if (value >= 10 && value <= Control::RtsOff) return Setting::Rts;
  if ((value >= 13 && value <= Control::InboundHardware) || value == Control::InboundDtr) {
    return Setting::InboundFlow;
  }
  return std::nullopt;
}

}  // namespace

LineSettings SettingsFromDcb(const DCB& dcb) {
  using namespace DcbFlag;
  LineSettings s;
  s.baudRate = dcb.BaudRate;
  At(s, Setting::DataSize) = dcb.ByteSize;
  At(s, Setting::Parity) = ParityValue(dcb.Parity);
  At(s, Setting::StopSize) = StopSizeValue(dcb.StopBits);

  const DWORD dtr = dcb.DtrControl();
  const DWORD rts = dcb.RtsControl();
  std::uint8_t outbound = Control::OutboundNone;
  if ((dcb.Flags & fOutxCtsFlow) != 0) {
    outbound = Control::OutboundHardware;
  } else if ((dcb.Flags & fOutX) != 0) {
    outbound = Control::OutboundXonXoff;
  } else if ((dcb.Flags & fOutxDsrFlow) != 0) {
    outbound = Control::OutboundDsr;
  }
  std::uint8_t inbound = Control::InboundNone;
  if (rts == RTS_CONTROL_HANDSHAKE) {
    inbound = Control::InboundHardware;
  } else if ((dcb.Flags & fInX) != 0) {
    inbound = Control::InboundXonXoff;
  } else if (dtr == DTR_CONTROL_HANDSHAKE) {
    inbound = Control::InboundDtr;
  }
  At(s, Setting::OutboundFlow) = outbound;
  At(s, Setting::InboundFlow) = inbound;
  // Under a handshake the server drives the line; asking for it to be up
  // keeps the far side talking where the server runs no such handshake.
  At(s, Setting::Dtr) = dtr == DTR_CONTROL_DISABLE ? Control::DtrOff : Control::DtrOn;
  At(s, Setting::Rts) = rts == RTS_CONTROL_DISABLE ? Control::RtsOff : Control::RtsOn;
  return s;
}

std::vector<std::uint8_t> SettingMessage(Setting setting, const LineSettings& settings) {
  switch (setting) {
    case Setting::BaudRate: {
      const std::uint32_t rate = settings.baudRate;
      return {Command::SetBaudRate, static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
              static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    }
    case Setting::DataSize: return Message(Command::SetDataSize, static_cast<std::uint8_t>(settings.Value(setting)));
    case Setting::Parity: return Message(Command::SetParity, static_cast<std::uint8_t>(settings.Value(setting)));
    case Setting::StopSize: return Message(Command::SetStopSize, static_cast<std::uint8_t>(settings.Value(setting)));
    default: return Message(Command::SetControl, static_cast<std::uint8_t>(settings.Value(setting)));
  }
}

std::vector<std::uint8_t> Message(std::uint8_t command) { return {command}; }

std::vector<std::uint8_t> Message(std::uint8_t command, std::uint8_t value) { return {command, value}; }

std::optional<Setting> AnsweredSetting(const std::uint8_t* message, std::size_t count) {
  if (count < 2) return std::nullopt;
  switch (message[0]) {
    case Command::kFromServer + Command::SetBaudRate:
      return count >= 5 ? std::optional<Setting>(Setting::BaudRate) : std::nullopt;
    case Command::kFromServer + Command::SetDataSize: return Setting::DataSize;
    case Command::kFromServer + Command::SetParity: return Setting::Parity;
    case Command::kFromServer + Command::SetStopSize: return Setting::StopSize;
    case Command::kFromServer + Command::SetControl: return ControlGroup(message[1]);
    default: return std::nullopt;
  }
}

DWORD ModemStatusBits(std::uint8_t modemState) {
  DWORD status = 0;
  if ((modemState & ModemState::Cts) != 0) status |= MS_CTS_ON;
  if ((modemState & ModemState::Dsr) != 0) status |= MS_DSR_ON;
  if ((modemState & ModemState::Ring) != 0) status |= MS_RING_ON;
  if ((modemState & ModemState::Cd) != 0) status |= MS_RLSD_ON;
  return status;
}

DWORD ModemEvents(std::uint8_t before, std::uint8_t now) {
  const std::uint8_t changed = static_cast<std::uint8_t>((before ^ now) & ModemState::kLines);
  DWORD events = 0;
  if ((changed & ModemState::Cts) != 0 || (now & ModemState::DeltaCts) != 0) events |= EV_CTS;
  if ((changed & ModemState::Dsr) != 0 || (now & ModemState::DeltaDsr) != 0) events |= EV_DSR;
  if ((changed & ModemState::Cd) != 0 || (now & ModemState::DeltaCd) != 0) events |= EV_RLSD;
  // The trailing-edge flag counts only with the ring indicator off: some
  // servers (pySerial's) set it for every change of the line, the rising
  // one included.
  const bool ringOff = (now & ModemState::Ring) == 0;
  if (ringOff && ((changed & ModemState::Ring) != 0 || (now & ModemState::RingEnded) != 0)) events |= EV_RING;
  return events;
}

DWORD LineErrors(std::uint8_t lineState, bool checkParity) {
  DWORD errors = 0;
  if ((lineState & LineState::Overrun) != 0) errors |= CE_OVERRUN;
  if ((lineState & LineState::Parity) != 0 && checkParity) errors |= CE_RXPARITY;
  if ((lineState & LineState::Framing) != 0) errors |= CE_FRAME;
  if ((lineState & LineState::Break) != 0) errors |= CE_BREAK;
  return errors;
}

}  // namespace CPort::Platform::Rfc2217
