// ---------------------------------------------------------------------------
// Not API. Private to the platform layer.
// ---------------------------------------------------------------------------
// Undoes the line discipline's PARMRK marking in a tty's input stream:
//   \377 \377    a received \377
//   \377 \0 x    byte x received with a framing or parity error
//   \377 \0 \0   a break
// A marker may be split across reads; the decoder keeps its place between
// calls. It also drops received zero bytes for fNull, which termios cannot.
#pragma once

#include <cstddef>
#include <cstdint>

namespace CPort::Platform {

class ParmrkDecoder {
 public:
  struct Result {
    std::size_t bytes = 0;        // data bytes left at the front of the buffer
    std::size_t errorBytes = 0;   // bytes that came with a framing/parity mark
    std::size_t breaks = 0;
  };

  void SetDropNull(bool drop) { dropNull_ = drop; }
  // Whether the stream carries markers at all (PARMRK set). Without them
  // every \377 is data and only the zero bytes may need dropping.
  void SetMarked(bool marked) {
    marked_ = marked;
    state_ = State::Data;
  }
  // Forgets a marker begun in input that has been discarded.
  void Reset() { state_ = State::Data; }

  // Decodes `count` raw bytes in place (the result is never longer than the
  // input).
  Result Decode(std::uint8_t* data, std::size_t count);

 private:
  enum class State { Data, Escape, Marked };
  State state_ = State::Data;
  bool dropNull_ = false;
  bool marked_ = true;
};

}  // namespace CPort::Platform
