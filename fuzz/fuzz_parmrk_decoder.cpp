// The decoder of the line discipline's in-band error marks, on arbitrary
// input cut into arbitrary reads. Its fast path moves whole runs of data at
// once; it must give exactly what a plain byte-at-a-time reading of the
// marks gives, never output more than it was given, and keep its place
// across reads. Input: one byte of switches (marked, drop zero bytes), then
// pieces of one length byte and that many stream bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CPort/platform/parmrk_decoder.h"

using CPort::Platform::ParmrkDecoder;

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// The marks, one byte at a time:
//   \377 \377 a \377; \377 \0 x x with an error; \377 \0 \0 a break;
//   \377 and any other byte: that byte with an error.
struct Reference {
  bool marked, dropNull;
  int state = 0;  // 0 data, 1 after \377, 2 after \377 \0
  std::string out;
  std::size_t errorBytes = 0, breaks = 0;

  void Emit(std::uint8_t byte) {
    if (!(byte == 0 && dropNull)) out += static_cast<char>(byte);
  }
  void Feed(std::uint8_t byte) {
    if (!marked) return Emit(byte);
    if (state == 0) {
      if (byte == 0xFF) state = 1;
      else Emit(byte);
    } else if (state == 1) {
      if (byte == 0) {
        state = 2;
        return;
      }
      if (byte != 0xFF) ++errorBytes;
      Emit(byte);
      state = 0;
    } else {
      if (byte == 0) ++breaks;
      else {
        ++errorBytes;
        Emit(byte);
      }
      state = 0;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Reference reference{(data[0] & 1) != 0, (data[0] & 2) != 0};
  ParmrkDecoder decoder;
  decoder.SetMarked(reference.marked);
  decoder.SetDropNull(reference.dropNull);

  std::string decoded;
  std::size_t errorBytes = 0, breaks = 0;
  for (std::size_t pos = 1; pos < size;) {
    const std::size_t wanted = data[pos++];
    const std::size_t length = std::min(wanted, size - pos);
    std::vector<std::uint8_t> chunk(data + pos, data + pos + length);
    pos += length;
    for (std::uint8_t byte : chunk) reference.Feed(byte);
    const ParmrkDecoder::Result result = decoder.Decode(chunk.data(), chunk.size());
    Check(result.bytes <= length);
    decoded.append(reinterpret_cast<const char*>(chunk.data()), result.bytes);
    errorBytes += result.errorBytes;
    breaks += result.breaks;
  }
  Check(decoded == reference.out);
  Check(errorBytes == reference.errorBytes);
  Check(breaks == reference.breaks);
  return 0;
}
