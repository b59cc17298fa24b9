#include "telnet_codec.h"

#include <utility>

namespace CPort::Platform::Telnet {

void AppendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(data[i]);
    if (data[i] == kIac) out.push_back(kIac);
  }
}

void AppendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
  out.push_back(kIac);
  out.push_back(verb);
  out.push_back(option);
}

void AppendSubnegotiation(std::vector<std::uint8_t>& out, std::uint8_t option, const std::uint8_t* payload,
                          std::size_t count) {
  out.push_back(kIac);
  out.push_back(kSb);
  out.push_back(option);
  AppendEscaped(out, payload, count);
  out.push_back(kIac);
  out.push_back(kSe);
}

// The byte after an IAC that is not a doubled 0xFF.
void Decoder::Command(std::uint8_t byte) {
  if (byte == kSb) {
    sub_.clear();
    subTooLong_ = false;
    state_ = State::Sub;
  } else if (byte >= kWill && byte <= kDont) {
    verb_ = byte;
    state_ = State::Verb;
  } else {
    state_ = State::Data;
  }
}

std::size_t Decoder::Decode(std::uint8_t* data, std::size_t count, DecoderListener& listener) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = data[i];
    switch (state_) {
      case State::Data:
        if (byte == kIac) {
          state_ = State::Iac;
        } else {
          data[kept++] = byte;
        }
        break;
      case State::Iac:
        if (byte == kIac) {
          data[kept++] = byte;
          state_ = State::Data;
        } else {
          Command(byte);
        }
        break;
      case State::Verb:
        state_ = State::Data;
        dataSoFar_ = kept;
        listener.Negotiation(verb_, byte);
        break;
      case State::Sub:
        if (byte == kIac) {
          state_ = State::SubIac;
        } else if (sub_.size() < kMaxSubnegotiation) {
          sub_.push_back(byte);
        } else {
          subTooLong_ = true;
        }
        break;
      case State::SubIac:
        if (byte == kIac) {
          if (sub_.size() < kMaxSubnegotiation) {
            sub_.push_back(byte);
          } else {
            subTooLong_ = true;
          }
          state_ = State::Sub;
        } else if (byte == kSe) {
          state_ = State::Data;
          dataSoFar_ = kept;
          if (!sub_.empty() && !subTooLong_) listener.Subnegotiation(sub_[0], sub_.data() + 1, sub_.size() - 1);
        } else {
          // IAC and anything but SE or a doubled IAC inside a subnegotiation
          // breaks it off; the byte is read as the command it names, so a
          // peer that forgot its SE loses no more than that one message.
          Command(byte);
        }
        break;
    }
  }
  return kept;
}

Negotiator::Negotiator(std::vector<std::uint8_t> local, std::vector<std::uint8_t> remote) {
  for (const std::uint8_t option : local) localAllowed_[option] = true;
  for (const std::uint8_t option : remote) remoteAllowed_[option] = true;
}

void Negotiator::Request(std::vector<std::uint8_t>& out) {
  for (int option = 0; option < 256; ++option) {
    if (localAllowed_[option] && local_[option] == State::No) {
      local_[option] = State::WantYes;
      AppendNegotiation(out, kWill, static_cast<std::uint8_t>(option));
    }
    if (remoteAllowed_[option] && remote_[option] == State::No) {
      remote_[option] = State::WantYes;
      AppendNegotiation(out, kDo, static_cast<std::uint8_t>(option));
    }
  }
}

void Negotiator::Receive(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  switch (verb) {
    case kWill: Take(remote_, remoteAllowed_, true, option, kDo, kDont, out); break;
    case kWont: Take(remote_, remoteAllowed_, false, option, kDo, kDont, out); break;
    case kDo: Take(local_, localAllowed_, true, option, kWill, kWont, out); break;
    case kDont: Take(local_, localAllowed_, false, option, kWill, kWont, out); break;
    default: break;
  }
}

// One side of one option. `sayYes`/`sayNo` are the verbs this end answers
// with for that side.
void Negotiator::Take(std::array<State, 256>& states, const std::array<bool, 256>& allowed, bool yes,
                      std::uint8_t option, std::uint8_t sayYes, std::uint8_t sayNo,
                      std::vector<std::uint8_t>& out) {
  State& state = states[option];
  if (yes) {
    switch (state) {
      case State::No:
        if (allowed[option]) {
          state = State::Yes;
          AppendNegotiation(out, sayYes, option);
        } else {
          AppendNegotiation(out, sayNo, option);
        }
        break;
      case State::WantYes: state = State::Yes; break;  // the answer to our request
      case State::Yes: break;                          // already on: no answer
    }
  } else {
    switch (state) {
      case State::No: break;                             // already off: no answer
      case State::WantYes: state = State::No; break;     // our request refused
      case State::Yes:
        state = State::No;
        AppendNegotiation(out, sayNo, option);
        break;
    }
  }
}

}  // namespace CPort::Platform::Telnet
