#include "term_output.h"

namespace KelvatPort {

namespace {
constexpr int kHexBytesPerLine = 16;
}

TermOutput::TermOutput(std::string lineEnd, std::function<std::string()> stamp)
    : lineEnd_(std::move(lineEnd)), stamp_(std::move(stamp)) {}

std::string TermOutput::LineStart() { return timestamps_ && stamp_ ? stamp_() + " " : std::string(); }

std::string TermOutput::Data(std::string_view bytes) {
  std::string out;
  if (bytes.empty()) return out;
  promptShown_ = false;
  if (hex_) {
    static const char digits[] = "0123456789abcdef";
    for (const char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      out += atLineStart_ ? LineStart() : " ";
      out += digits[byte >> 4];
      out += digits[byte & 15];
      atLineStart_ = false;
      if (++hexColumn_ == kHexBytesPerLine) {
        out += lineEnd_;
        atLineStart_ = true;
        hexColumn_ = 0;
      }
    }
    return out;
  }
  const std::string stamp = atLineStart_ || bytes.find('\n') != std::string_view::npos ? LineStart() : "";
  for (const char c : bytes) {
    if (atLineStart_) out += stamp;  // one time for the bytes that came together
    out += c;
    atLineStart_ = c == '\n';
  }
  return out;
}

std::string TermOutput::Note(const std::string& what) {
  std::string out = atLineStart_ ? "" : lineEnd_;
  atLineStart_ = true;
  hexColumn_ = 0;
  promptShown_ = false;
  return out + LineStart() + "[" + what + "]" + lineEnd_;
}

std::string TermOutput::Prompt(const std::string& shown) {
  std::string out = atLineStart_ || promptShown_ ? "" : lineEnd_;
  promptShown_ = true;
  atLineStart_ = false;
  hexColumn_ = 0;
  return out + "\r\x1b[K" + shown;
}

std::string TermOutput::SetHex(bool on) {
  if (on == hex_) return {};
  hex_ = on;
  std::string out = atLineStart_ ? "" : lineEnd_;
  atLineStart_ = true;
  hexColumn_ = 0;
  return out;
}

}  // namespace KelvatPort
