// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// The Telnet layer of a network serial port, free of sockets so that every
// rule can be checked from byte tables:
//  - outgoing data with every 0xFF doubled, negotiations and subnegotiations;
//  - a decoder that splits a received stream into data, option negotiations
//    and subnegotiations, keeping its place when a sequence is split between
//    two reads;
//  - the negotiation state of each option on both sides (the "Q method" of
//    RFC 1143, without the queue: this end never asks to turn an option off),
//    which answers every request exactly once and refuses what it does not
//    know.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace CPort::Platform::Telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

namespace Option {
constexpr std::uint8_t Binary = 0;
constexpr std::uint8_t Echo = 1;
constexpr std::uint8_t SuppressGoAhead = 3;
constexpr std::uint8_t ComPort = 44;
}  // namespace Option

// Appends `count` data bytes with every 0xFF doubled.
void AppendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count);
// IAC verb option.
void AppendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, with 0xFF in the payload doubled.
void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option, const std::uint8_t* payload,
                          std::size_t count);

class DecoderListener {
 public:
  virtual ~DecoderListener() = default;
  // IAC WILL/WONT/DO/DONT option.
  virtual void Negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // IAC SB option payload IAC SE, the payload undoubled.
  virtual void Subnegotiation(std::uint8_t option, const std::uint8_t* payload, std::size_t count) = 0;
};

class Decoder {
 public:
  // Longest subnegotiation kept; a longer one (no com port message comes
  // near it) is dropped whole, and the stream goes on after its end.
  static constexpr std::size_t kMaxSubnegotiation = 512;

  // Decodes `count` received bytes in place: the data bytes end up at the
  // front of `data` (never more than were given) and their number is
  // returned. Everything else goes to `listener` as it completes. Other
  // Telnet commands (NOP, GA, a stray SE...) carry nothing for a serial line
  // and are skipped.
  std::size_t Decode(std::uint8_t* data, std::size_t count, DecoderListener& listener);
  // While a listener call runs: how many data bytes of the current Decode
  // came before the message it reports.
  std::size_t DataSoFar() const { return dataSoFar_; }

 private:
  enum class State { Data, Iac, Verb, Sub, SubIac };
  void Command(std::uint8_t byte);

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::vector<std::uint8_t> sub_;
  bool subTooLong_ = false;
  std::size_t dataSoFar_ = 0;
};

// Which options this end agrees to and where each stands. "Local" options
// are those this end performs (WILL/WONT from here, DO/DONT from the peer);
// "remote" ones the peer performs.
class Negotiator {
 public:
  // Options this end offers to perform, and options it lets the peer
  // perform. Anything else the peer offers or asks for is refused.
  Negotiator(std::vector<std::uint8_t> local, std::vector<std::uint8_t> remote);

  // Asks for every option of both lists: WILL for local, DO for remote ones.
  void Request(std::vector<std::uint8_t>& out);
  // Takes one negotiation from the peer and appends the answer, if one is
  // due (a request for the state an option already has is not answered, so
  // two ends never loop).
  void Receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);

  bool LocalOn(std::uint8_t option) const { return local_[option] == State::Yes; }
  bool RemoteOn(std::uint8_t option) const { return remote_[option] == State::Yes; }
  // A request of ours that the peer has answered, yes or no.
  bool LocalSettled(std::uint8_t option) const { return local_[option] != State::WantYes; }
  bool RemoteSettled(std::uint8_t option) const { return remote_[option] != State::WantYes; }

 private:
  enum class State : std::uint8_t { No, WantYes, Yes };
  static void Take(std::array<State, 256>& states, const std::array<bool, 256>& allowed, bool yes,
                   std::uint8_t option, std::uint8_t sayYes, std::uint8_t sayNo, std::vector<std::uint8_t>& out);

  std::array<bool, 256> localAllowed_{};
  std::array<bool, 256> remoteAllowed_{};
  std::array<State, 256> local_{};
  std::array<State, 256> remote_{};
};

}  // namespace CPort::Platform::Telnet
