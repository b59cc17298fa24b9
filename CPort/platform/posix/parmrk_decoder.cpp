#include "parmrk_decoder.h"

#include <algorithm>
#include <cstring>

namespace CPort::Platform {

ParmrkDecoder::Result ParmrkDecoder::Decode(std::uint8_t* data, std::size_t count) {
  Result result;
  if (!marked_) {
    result.bytes = dropNull_ ? static_cast<std::size_t>(std::remove(data, data + count, 0) - data) : count;
    return result;
  }
  std::size_t out = 0;
  auto emit = [&](std::uint8_t byte) {
    if (byte == 0 && dropNull_) return;
    data[out++] = byte;
  };
  for (std::size_t in = 0; in < count; ++in) {
    if (state_ == State::Data && !dropNull_) {
      // Most input holds no marker: move the run up to the next \377 whole.
      const auto* mark = static_cast<const std::uint8_t*>(std::memchr(data + in, 0xFF, count - in));
      const std::size_t run = mark ? static_cast<std::size_t>(mark - (data + in)) : count - in;
      if (out != in) std::memmove(data + out, data + in, run);
      out += run;
      in += run;
      if (in == count) break;
    }
    const std::uint8_t byte = data[in];
    switch (state_) {
      case State::Data:
        if (byte == 0xFF) {
          state_ = State::Escape;
        } else {
          emit(byte);
        }
        break;
      case State::Escape:
        if (byte == 0xFF) {
          emit(0xFF);
          state_ = State::Data;
        } else if (byte == 0) {
          state_ = State::Marked;
        } else {
          // The kernel never sends a lone \377 under PARMRK. Should a driver
          // do so, the stray byte is reported as a damaged one rather than
          // passed on: passing it could make the output outgrow the input
          // when the \377 ended the previous call.
          ++result.errorBytes;
          state_ = State::Data;
          emit(byte);
        }
        break;
      case State::Marked:
        if (byte == 0) {
          ++result.breaks;
        } else {
          ++result.errorBytes;
          emit(byte);
        }
        state_ = State::Data;
        break;
    }
  }
  result.bytes = out;
  return result;
}

}  // namespace CPort::Platform
