// kelvat-port list: the serial ports present.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CPort/PortDetails.h"
#include "arguments.h"
#include "commands.h"
#include "exit_codes.h"

namespace KelvatPort {

namespace {

const char* const kHelp =
    "Usage: kelvat-port list [--json]\n"
    "\n"
    "Lists the serial ports present: ttys with a device behind them, and the\n"
    "paths listed (colon-separated) in CPORT_EXTRA_PORTS, with what sysfs tells\n"
    "of each (USB product, maker, serial number, ids, location, by-id link).\n"
    "NAME is what the other commands take as PORT.\n"
    "\n"
    "  --json   one JSON array of objects {\"name\": ..., \"path\": ...,\n"
    "           \"description\": ..., \"manufacturer\": ..., \"serial\": ...,\n"
    "           \"vid\": ..., \"pid\": ..., \"location\": ..., \"by_id\": ...,\n"
    "           \"host\": ..., \"tcp_port\": ..., \"protocol\": ..., \"kind\": ...},\n"
    "           all strings; a byte that is not UTF-8 comes as \\udcXX\n"
    "  --help   this text\n"
    "\n";

using PortRow = CPort::TSerialPortInfo;

std::string Hex4(std::uint16_t value) {
  if (value == 0) return "";
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
  return text;
}

// Virtual devices and network ports are opened by name; no file is behind
// them.
bool HasFilePath(const PortRow& row) {
  return row.Source == CPort::TPortSource::psSystem || row.Source == CPort::TPortSource::psPath;
}

std::string KindText(CPort::TPortSource source) {
  switch (source) {
    case CPort::TPortSource::psSystem: return "system";
    case CPort::TPortSource::psPath: return "path";
    case CPort::TPortSource::psVirtual: return "virtual";
    case CPort::TPortSource::psNetwork: return "network";
  }
  return "";
}

struct Column {
  const char* header;   // in the table; nullptr: only in --json
  const char* jsonKey;  // in --json
  std::function<std::string(const PortRow&)> value;
};

const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {"NAME", "name", [](const PortRow& row) { return row.Name; }},
      {"PATH", "path", [](const PortRow& row) { return HasFilePath(row) ? row.Path : std::string(); }},
      {"DESCRIPTION", "description", [](const PortRow& row) { return row.Description; }},
      {"MANUFACTURER", "manufacturer", [](const PortRow& row) { return row.Manufacturer; }},
      {"SERIAL", "serial", [](const PortRow& row) { return row.SerialNumber; }},
      {"VID", "vid", [](const PortRow& row) { return Hex4(row.VendorId); }},
      {"PID", "pid", [](const PortRow& row) { return Hex4(row.ProductId); }},
      {"LOCATION", "location", [](const PortRow& row) { return row.Location; }},
      {"BY-ID", "by_id", [](const PortRow& row) { return row.ById; }},
      {"HOST", "host", [](const PortRow& row) { return row.Host; }},
      {"TCP-PORT", "tcp_port", [](const PortRow& row) { return row.TcpPort == 0 ? std::string() : std::to_string(row.TcpPort); }},
      {"PROTOCOL", "protocol", [](const PortRow& row) { return row.Protocol; }},
      {nullptr, "kind", [](const PortRow& row) { return KindText(row.Source); }},
  };
  return columns;
}

// The length of the well-formed UTF-8 sequence at `i` (no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
  if (c >= 0xc2 && c <= 0xdf) length = 2;
  else if (c >= 0xe0 && c <= 0xef) length = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
  else if (c >= 0xf0 && c <= 0xf4) length = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
  if (length == 0 || i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
  return length;
}

// A JSON string. A name the file system holds need not be UTF-8: each byte
// that is not part of a UTF-8 character becomes the escape \udcXX (XX: the
// byte), as Python's "surrogateescape" does, so the output stays valid JSON
// and the bytes can be recovered exactly (in Python:
// name.encode("utf-8", "surrogateescape")).
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  char escaped[8];
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    const std::size_t length = Utf8SequenceAt(text, i);
    if (length == 0) {
      std::snprintf(escaped, sizeof escaped, "\\udc%02x", byte);
      out += escaped;
      ++i;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
      ++i;
    } else if (byte < 0x20) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<PortRow>& rows) {
  std::string out = "[";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    out += r == 0 ? "\n  {" : ",\n  {";
    for (std::size_t c = 0; c < Columns().size(); ++c) {
      const Column& column = Columns()[c];
      out += (c == 0 ? "" : ", ") + JsonString(column.jsonKey) + ": " + JsonString(column.value(rows[r]));
    }
    out += "}";
  }
  return out + (rows.empty() ? "]\n" : "\n]\n");
}

// The table leaves out the detail columns that no port has a value in, so a
// machine with only pseudo-terminals does not print a row of empty headers.
std::string Table(const std::vector<PortRow>& rows) {
  std::vector<const Column*> shown;
  for (std::size_t c = 0; c < Columns().size(); ++c) {
    const Column& column = Columns()[c];
    if (column.header == nullptr) continue;
    const bool any = std::any_of(rows.begin(), rows.end(), [&](const PortRow& row) { return !column.value(row).empty(); });
    if (c < 2 || any) shown.push_back(&column);
  }
  std::vector<std::size_t> widths;
  for (const Column* column : shown) {
    std::size_t width = std::string(column->header).size();
    for (const PortRow& row : rows) width = std::max(width, column->value(row).size());
    widths.push_back(width);
  }
  auto line = [&](const std::function<std::string(const Column&)>& cell) {
    std::string out;
    for (std::size_t c = 0; c < shown.size(); ++c) {
      std::string text = cell(*shown[c]);
      if (c + 1 < shown.size()) text.resize(widths[c] + 2, ' ');
      out += text;
    }
    return out + "\n";
  };
  std::string out = line([](const Column& column) { return std::string(column.header); });
  for (const PortRow& row : rows) out += line([&](const Column& column) { return column.value(row); });
  return out;
}

}  // namespace

int RunList(const Args& args) {
  const Arguments arguments = ParseArguments(args, {{"json", false}, {"help", false}});
  if (arguments.Has("help")) {
    PrintOut(std::string(kHelp) + kExitStatusHelp);
    return kExitOk;
  }
  RequirePositionals(arguments, {});
  std::vector<PortRow> rows;
  CPort::ListSerialPortDetails(rows);
  if (arguments.Has("json"))
    PrintOut(JsonList(rows));
  else if (rows.empty())
    PrintErr("No serial ports found.\n");
  else
    PrintOut(Table(rows));
  return kExitOk;
}

}  // namespace KelvatPort
