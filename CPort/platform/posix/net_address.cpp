#include "net_address.h"

#include <cerrno>
#include <cctype>

namespace CPort::Platform {

namespace {

struct Scheme {
  std::string_view prefix;
  NetPortKind kind;
};

constexpr Scheme kSchemes[] = {{"rfc2217://", NetPortKind::Rfc2217}, {"socket://", NetPortKind::RawTcp}};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

const Scheme* FindScheme(std::string_view name) {
  for (const Scheme& scheme : kSchemes) {
    if (StartsWithNoCase(name, scheme.prefix)) return &scheme;
  }
  return nullptr;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Invalid(std::string& detail, std::string_view name, const char* why) {
  detail = std::string(name) + ": " + why;
  return EINVAL;
}

}  // namespace

bool IsNetPortName(std::string_view name) { return FindScheme(name) != nullptr; }

std::size_t NetPortNameLength(std::string_view text) {
  const Scheme* scheme = FindScheme(text);
  if (scheme == nullptr) return 0;
  std::size_t pos = scheme->prefix.size();
  if (pos < text.size() && text[pos] == '[') {
    const std::size_t close = text.find(']', pos);
    if (close == std::string_view::npos) return text.size();
    pos = close + 1;
  } else {
    while (pos < text.size() && text[pos] != ':') ++pos;
  }
  if (pos < text.size() && text[pos] == ':') {
    std::size_t end = pos + 1;
    while (end < text.size() && IsDigit(text[end])) ++end;
    if (end > pos + 1) pos = end;
  }
  return pos;
}

int ParseNetPortName(std::string_view name, NetPortAddress& address, std::string& detail) {
  const Scheme* scheme = FindScheme(name);
  if (scheme == nullptr) return Invalid(detail, name, "not a network port name (rfc2217:// or socket://)");
  std::string_view rest = name.substr(scheme->prefix.size());
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return Invalid(detail, name, "the IPv6 address has no closing ']'");
    host = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (host.find(':') == std::string_view::npos) {
      return Invalid(detail, name, "brackets are for IPv6 addresses only");
    }
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return Invalid(detail, name, "the port number is missing (HOST:PORT)");
    host = rest.substr(0, colon);
    rest.remove_prefix(colon);
    if (host.find(':') != std::string_view::npos) {
      return Invalid(detail, name, "an IPv6 address goes in brackets ([::1]:PORT)");
    }
  }
  if (host.empty()) return Invalid(detail, name, "the host is missing (HOST:PORT)");
  if (rest.empty() || rest.front() != ':') return Invalid(detail, name, "the port number is missing (HOST:PORT)");
  rest.remove_prefix(1);
  if (rest.empty()) return Invalid(detail, name, "the port number is missing (HOST:PORT)");
  unsigned long port = 0;
  for (const char c : rest) {
    if (!IsDigit(c)) {
      return Invalid(detail, name, "the port must be a number from 1 to 65535 and end the name");
    }
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535) return Invalid(detail, name, "the port must be a number from 1 to 65535");
  }
  if (port == 0) return Invalid(detail, name, "the port must be a number from 1 to 65535");
  address.kind = scheme->kind;
  address.host = std::string(host);
  address.port = static_cast<std::uint16_t>(port);
  detail.clear();
  return 0;
}

}  // namespace CPort::Platform
