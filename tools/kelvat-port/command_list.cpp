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
    "           \"vid\": ..., \"pid\": ..., \"location\": ..., \"by_id\": ...}\n"
    "  --help   this text\n"
    "\n";

using PortRow = CPort::TSerialPortInfo;

std::string Hex4(std::uint16_t value) {
  if (value == 0) return "";
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
  return text;
}

struct Column {
  const char* header;   // in the table
  const char* jsonKey;  // in --json
  std::function<std::string(const PortRow&)> value;
};

const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {"NAME", "name", [](const PortRow& row) { return row.Name; }},
      {"PATH", "path", [](const PortRow& row) { return row.Source == CPort::TPortSource::psVirtual ? std::string() : row.Path; }},
      {"DESCRIPTION", "description", [](const PortRow& row) { return row.Description; }},
      {"MANUFACTURER", "manufacturer", [](const PortRow& row) { return row.Manufacturer; }},
      {"SERIAL", "serial", [](const PortRow& row) { return row.SerialNumber; }},
      {"VID", "vid", [](const PortRow& row) { return Hex4(row.VendorId); }},
      {"PID", "pid", [](const PortRow& row) { return Hex4(row.ProductId); }},
      {"LOCATION", "location", [](const PortRow& row) { return row.Location; }},
      {"BY-ID", "by_id", [](const PortRow& row) { return row.ById; }},
  };
  return columns;
}

bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
    i += length;
  }
  return true;
}

// A JSON string. A name that is not UTF-8 has its upper bytes escaped one by
// one, so the output stays valid JSON whatever the file system holds.
std::string JsonString(const std::string& text) {
  const bool utf8 = IsValidUtf8(text);
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char escaped[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || (byte >= 0x80 && !utf8)) {
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
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
