// The Telnet layer and the com port messages of network ports, from byte
// tables: no socket, no server.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CPort/platform/rfc2217_messages.h"
#include "CPort/platform/telnet_codec.h"

using namespace CPort::Platform;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Recorder : Telnet::DecoderListener {
  std::vector<std::string> seen;
  void Negotiation(std::uint8_t verb, std::uint8_t option) override {
    seen.push_back("neg " + std::to_string(verb) + " " + std::to_string(option));
  }
  void Subnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t count) override {
    std::string text = "sb " + std::to_string(option) + ":";
    for (std::size_t i = 0; i < count; ++i) text += " " + std::to_string(payload[i]);
    seen.push_back(text);
  }
};

struct Decoded {
  std::string data;
  std::vector<std::string> seen;
};

// Decodes `stream` handed over in pieces of `piece` bytes (0: whole).
Decoded DecodeInPieces(Bytes stream, std::size_t piece) {
  Telnet::Decoder decoder;
  Recorder recorder;
  Decoded result;
  if (piece == 0) piece = stream.size();
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const std::size_t count = std::min(piece, stream.size() - at);
    const std::size_t kept = decoder.Decode(stream.data() + at, count, recorder);
    result.data.append(reinterpret_cast<const char*>(stream.data() + at), kept);
  }
  result.seen = recorder.seen;
  return result;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes AllValuesEscaped() {
  Bytes values;
  for (int i = 0; i < 256; ++i) values.push_back(static_cast<std::uint8_t>(i));
  Bytes escaped;
  Telnet::AppendEscaped(escaped, values.data(), values.size());
  return escaped;
}

std::string AllValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

}  // namespace

// Catches: a sequence split between two reads decoded differently from a
// whole one (lost IAC state, a half negotiation taken as data), 0xFF not
// undoubled, commands leaking into the data, a broken subnegotiation
// swallowing what follows.
TEST(TelnetDecoder, SplitsDataFromCommandsWhereverAReadEnds) {
  const struct {
    const char* name;
    Bytes stream;
    std::string data;
    std::vector<std::string> seen;
  } rows[] = {
      {"every byte value, escaped", AllValuesEscaped(), AllValues(), {}},
      {"negotiation between data", {'a', 255, 251, 3, 'b'}, "ab", {"neg 251 3"}},
      {"com port answer with a doubled 0xFF in its value",
       {255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240, 'z'},
       "z",
       {"sb 44: 101 0 0 255 0"}},
      {"NOP, GA and a stray SE carry nothing", {255, 241, 'a', 255, 249, 255, 240, 'b'}, "ab", {}},
      {"subnegotiation broken off by a negotiation", {255, 250, 44, 107, 16, 255, 251, 1, 'c'}, "c", {"neg 251 1"}},
      {"over-long subnegotiation dropped, what follows kept",
       Concat({{255, 250, 44}, Bytes(600, 'x'), {255, 240, 'd'}}),
       "d",
       {}},
      {"empty subnegotiation ignored", {255, 250, 255, 240, 'e'}, "e", {}},
  };
  for (const auto& row : rows) {
    for (const std::size_t piece : {0, 1, 2, 3, 5}) {
      SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(piece));
      const Decoded decoded = DecodeInPieces(row.stream, piece);
      EXPECT_EQ(decoded.data, row.data);
      EXPECT_EQ(decoded.seen, row.seen);
    }
  }
}

// Catches: unknown options accepted, an option answered twice (two ends
// answering each other for ever), a refusal of our request taken as
// consent, a peer's switch-off not acknowledged.
TEST(TelnetNegotiator, AnswersOnceAndRefusesWhatItDoesNotKnow) {
  using namespace Telnet;
  const struct {
    const char* name;
    bool requested;  // our own requests went out first
    std::vector<std::pair<std::uint8_t, std::uint8_t>> received;
    Bytes answers;
    bool comPortOn, comPortSettled;
  } rows[] = {
      {"server takes up our com port option", true, {{kDo, Option::ComPort}}, {}, true, true},
      {"server refuses our com port option", true, {{kDont, Option::ComPort}}, {}, false, true},
      {"no answer yet", true, {}, {}, false, false},
      {"echo offered twice, refused each time", true, {{kWill, Option::Echo}, {kWill, Option::Echo}},
       {kIac, kDont, Option::Echo, kIac, kDont, Option::Echo}, false, false},
      {"unknown option asked for", true, {{kDo, 24}}, {kIac, kWont, 24}, false, false},
      {"offer of a known option accepted once", false, {{kWill, Option::Binary}, {kWill, Option::Binary}},
       {kIac, kDo, Option::Binary}, false, true},
      {"active option switched off by the peer", true,
       {{kDo, Option::SuppressGoAhead}, {kDont, Option::SuppressGoAhead}},
       {kIac, kWont, Option::SuppressGoAhead}, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Negotiator negotiator({Option::Binary, Option::SuppressGoAhead, Option::ComPort},
                          {Option::Binary, Option::SuppressGoAhead, Option::ComPort});
    Bytes out;
    if (row.requested) negotiator.Request(out);
    out.clear();
    for (const auto& [verb, option] : row.received) negotiator.Receive(verb, option, out);
    EXPECT_EQ(out, row.answers);
    EXPECT_EQ(negotiator.LocalOn(Option::ComPort), row.comPortOn);
    EXPECT_EQ(negotiator.LocalSettled(Option::ComPort), row.comPortSettled);
  }
}

// Catches: a DCB member sent as the wrong com port value (rate byte order,
// parity and stop size numbering, flow control direction, DTR/RTS modes).
TEST(Rfc2217Messages, DcbBecomesTheSettingsMessages) {
  using namespace Rfc2217;
  using namespace DcbFlag;
  auto dcb = [](DWORD rate, BYTE parity, BYTE stop, DWORD flags) {
    DCB d{};
    d.BaudRate = rate;
    d.ByteSize = 7;
    d.Parity = parity;
    d.StopBits = stop;
    d.Flags = fBinary | flags;
    return d;
  };
  constexpr DWORD dtrOn = DTR_CONTROL_ENABLE << fDtrControlShift;
  constexpr DWORD rtsOn = RTS_CONTROL_ENABLE << fRtsControlShift;
  const struct {
    const char* name;
    DCB dcb;
    std::vector<Bytes> messages;  // in Setting order
  } rows[] = {
      {"custom rate, odd, 1.5 stop bits, lines up, no flow control",
       dcb(1234567, ODDPARITY, ONE5STOPBITS, dtrOn | rtsOn),
       {{1, 0x00, 0x12, 0xD6, 0x87}, {2, 7}, {3, 2}, {4, 3}, {5, 1}, {5, 14}, {5, 8}, {5, 11}}},
      {"mark parity, hardware handshake",
       dcb(9600, MARKPARITY, TWOSTOPBITS, fOutxCtsFlow | dtrOn | (RTS_CONTROL_HANDSHAKE << fRtsControlShift)),
       {{1, 0, 0, 0x25, 0x80}, {2, 7}, {3, 4}, {4, 2}, {5, 3}, {5, 16}, {5, 8}, {5, 11}}},
      {"space parity, XON/XOFF both ways, lines down",
       dcb(115200, SPACEPARITY, ONESTOPBIT, fOutX | fInX),
       {{1, 0, 0x01, 0xC2, 0x00}, {2, 7}, {3, 5}, {4, 1}, {5, 2}, {5, 15}, {5, 9}, {5, 12}}},
      {"even parity, DSR output flow, DTR handshake, RTS toggle",
       dcb(300, EVENPARITY, ONESTOPBIT,
           fOutxDsrFlow | (DTR_CONTROL_HANDSHAKE << fDtrControlShift) | (RTS_CONTROL_TOGGLE << fRtsControlShift)),
       {{1, 0, 0, 0x01, 0x2C}, {2, 7}, {3, 3}, {4, 1}, {5, 19}, {5, 18}, {5, 8}, {5, 11}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const LineSettings settings = SettingsFromDcb(row.dcb);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
      EXPECT_EQ(SettingMessage(static_cast<Setting>(i), settings), row.messages[i]) << "setting " << i;
    }
  }
}

// Catches: an answer matched to the wrong setting (so a call waits for
// nothing or stops waiting too early), modem changes lost or invented, a
// ring reported on its rising edge, parity errors reported without parity
// checking.
TEST(Rfc2217Messages, ServerMessagesBecomeAnswersEventsAndErrors) {
  using namespace Rfc2217;
  const struct {
    Bytes message;
    std::optional<Setting> answers;
  } answers[] = {
      {{101, 0, 0, 0x25, 0x80}, Setting::BaudRate},
      {{101, 0}, std::nullopt},  // too short for a rate
      {{104, 3}, Setting::StopSize},
      {{105, 14}, Setting::InboundFlow},  // ser2net's answer to a DTR handshake
      {{105, 7}, Setting::Dtr},
      {{105, 12}, Setting::Rts},
      {{105, 19}, Setting::OutboundFlow},
      {{105, 5}, std::nullopt},  // break: no setting of ours
      {{107, 0x10}, std::nullopt},
      {{1, 0, 0, 0, 0}, std::nullopt},  // a client's command, not an answer
  };
  for (const auto& row : answers) {
    EXPECT_EQ(AnsweredSetting(row.message.data(), row.message.size()), row.answers)
        << ::testing::PrintToString(row.message);
  }

  const struct {
    std::uint8_t before, now;
    DWORD events;
  } modem[] = {
      {0x00, 0x10, EV_CTS},
      {0x10, 0x11, EV_CTS},  // a pulse over before the server reported
      {0x00, 0xA0, EV_DSR | EV_RLSD},
      {0x00, 0x08, EV_RLSD},
      {0x40, 0x00, EV_RING},
      {0x00, 0x44, 0},        // ring rising, flagged by some servers
      {0x00, 0x04, EV_RING},  // a whole ring between two reports
      {0xF0, 0xF0, 0},
  };
  for (const auto& row : modem) {
    EXPECT_EQ(ModemEvents(row.before, row.now), row.events) << int(row.before) << " -> " << int(row.now);
  }
  EXPECT_EQ(ModemStatusBits(0xF0), MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
  EXPECT_EQ(LineErrors(0x1E, true), CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK);
  EXPECT_EQ(LineErrors(0x1E, false), CE_OVERRUN | CE_FRAME | CE_BREAK);
  EXPECT_EQ(LineErrors(0x61, true), 0u);  // data ready, registers empty: no errors
}
