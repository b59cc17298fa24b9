// Decoding the line discipline's PARMRK marking, and the line bits derived
// from modem lines and driver counters: both without a device.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

#include "CPort/platform/parmrk_decoder.h"
#include "CPort/platform/tty_lines_p.h"

namespace CPort::Platform {
namespace {

struct Decoded {
  std::string data;
  std::size_t errorBytes = 0;
  std::size_t breaks = 0;
};

// Feeds `chunks` one after another, as separate reads would deliver them.
Decoded DecodeChunks(ParmrkDecoder& decoder, const std::vector<std::string>& chunks) {
  Decoded total;
  for (std::string chunk : chunks) {
    std::vector<std::uint8_t> buffer(chunk.begin(), chunk.end());
    const ParmrkDecoder::Result r = decoder.Decode(buffer.data(), buffer.size());
    EXPECT_LE(r.bytes, buffer.size());
    total.data.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.bytes));
    total.errorBytes += r.errorBytes;
    total.breaks += r.breaks;
  }
  return total;
}

using namespace std::string_literals;

TEST(TtyParmrkDecoder, UnmarksInOneReadOrSplitAcrossReads) {
  const struct {
    const char* what;
    std::vector<std::string> chunks;
    std::string data;
    std::size_t errorBytes, breaks;
  } table[] = {
      {"plain bytes", {"abc\x01\x7f\x80\xfe"s}, "abc\x01\x7f\x80\xfe"s, 0, 0},
      {"doubled FF", {"a\xff\xff" "b"s}, "a\xff" "b"s, 0, 0},
      {"run of FF", {"\xff\xff\xff\xff\xff\xff"s}, "\xff\xff\xff"s, 0, 0},
      {"error byte", {"a\xff\x00x" "b"s}, "axb"s, 1, 0},
      {"error FF byte", {"\xff\x00\xff"s}, "\xff"s, 1, 0},
      {"break", {"a\xff\x00\x00" "b"s}, "ab"s, 0, 1},
      {"zero bytes pass", {"\x00" "a\x00"s}, "\x00" "a\x00"s, 0, 0},
      {"FF split", {"a\xff"s, "\xff" "b"s}, "a\xff" "b"s, 0, 0},
      {"break split after FF", {"\xff"s, "\x00\x00"s}, ""s, 0, 1},
      {"break split after FF 00", {"\xff\x00"s, "\x00" "z"s}, "z"s, 0, 1},
      {"error split byte by byte", {"\xff"s, "\x00"s, "q"s}, "q"s, 1, 0},
      {"stray FF is reported, not passed", {"a\xff"s, "b"s}, "ab"s, 1, 0},
  };
  for (const auto& row : table) {
    ParmrkDecoder decoder;
    const Decoded d = DecodeChunks(decoder, row.chunks);
    EXPECT_EQ(d.data, row.data) << row.what;
    EXPECT_EQ(d.errorBytes, row.errorBytes) << row.what;
    EXPECT_EQ(d.breaks, row.breaks) << row.what;
  }
}

TEST(TtyParmrkDecoder, DropsReceivedZeroBytesOnlyWhenAsked) {
  ParmrkDecoder decoder;
  decoder.SetDropNull(true);
  // Zeros that are data go, a doubled FF stays; the break is not a received
  // byte and only counts.
  const Decoded d = DecodeChunks(decoder, {"\x00" "a\x00\xff\xff"s, "\xff\x00\x00"s});
  EXPECT_EQ(d.data, "a\xff"s);
  EXPECT_EQ(d.breaks, 1u);
  decoder.SetDropNull(false);
  EXPECT_EQ(DecodeChunks(decoder, {"\x00"s}).data, "\x00"s);
}

TEST(TtyParmrkDecoder, LongRunsBetweenMarkersMoveWhole) {
  ParmrkDecoder decoder;
  const std::string run(3000, 'r');
  const Decoded d = DecodeChunks(decoder, {run + "\xff\xff"s + run + "\xff\x00"s, "E"s + run});
  EXPECT_EQ(d.data, run + "\xff"s + run + "E" + run);
  EXPECT_EQ(d.errorBytes, 1u);
}

TEST(TtyParmrkDecoder, UnmarkedStreamKeepsEveryFfAndOnlyDropsZerosWhenAsked) {
  ParmrkDecoder decoder;
  decoder.SetMarked(false);
  EXPECT_EQ(DecodeChunks(decoder, {"\xff\x00\x00" "a\xff"s}).data, "\xff\x00\x00" "a\xff"s);
  decoder.SetDropNull(true);
  const Decoded d = DecodeChunks(decoder, {"\xff\x00\x00" "a\xff"s});
  EXPECT_EQ(d.data, "\xff" "a\xff"s);
  EXPECT_EQ(d.breaks, 0u);
  EXPECT_EQ(d.errorBytes, 0u);
}

TEST(TtyParmrkDecoder, ResetForgetsAHalfMarker) {
  ParmrkDecoder decoder;
  DecodeChunks(decoder, {"\xff\x00"s});
  decoder.Reset();  // the input holding the rest was purged
  EXPECT_EQ(DecodeChunks(decoder, {"xy"s}).data, "xy");
}

TEST(TtyLines, ModemBitsAndChanges) {
  EXPECT_EQ(ModemStatusBits(0), 0u);
  EXPECT_EQ(ModemStatusBits(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR | TIOCM_DTR | TIOCM_RTS),
            MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);

  // Without counters: changes of state; ring at the end of the pulse.
  EXPECT_EQ(LineChangeEvents(TIOCM_CTS, TIOCM_DSR), EV_CTS | EV_DSR);
  EXPECT_EQ(LineChangeEvents(0, TIOCM_CAR), EV_RLSD);
  EXPECT_EQ(LineChangeEvents(0, TIOCM_RNG), 0u);
  EXPECT_EQ(LineChangeEvents(TIOCM_RNG, 0), EV_RING);
  EXPECT_EQ(LineChangeEvents(TIOCM_DTR, TIOCM_RTS), 0u);  // our own outputs

  // With counters a pulse that is already over still counts.
  LineCounters before, after;
  after.cts = 2;
  after.rng = 1;
  EXPECT_EQ(LineChangeEvents(before, after), EV_CTS | EV_RING);
  after = before;
  after.dsr = after.dcd = 1;
  EXPECT_EQ(LineChangeEvents(before, after), EV_DSR | EV_RLSD);
}

}  // namespace
}  // namespace CPort::Platform
