// kelvat-port list: the serial ports present.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CPort/PortList.h"
#include "CPort/platform/virtual_device.h"
#include "arguments.h"
#include "commands.h"
#include "exit_codes.h"

namespace KelvatPort {

namespace {

const char* const kHelp =
    "Usage: kelvat-port list [--json]\n"
    "\n"
    "Lists the serial ports present: ttys with a device behind them, and the\n"
    "paths listed (colon-separated) in CPORT_EXTRA_PORTS. NAME is what the\n"
    "other commands take as PORT.\n"
    "\n"
    "  --json   one JSON array of objects {\"name\": ..., \"path\": ...}\n"
    "  --help   this text\n"
    "\n";

// What is known about one port. New details become new fields here and new
// columns below.
struct PortRow {
  std::string name;
  std::string path;  // the device file; empty for an in-process device
};

struct Column {
  const char* header;   // in the table
  const char* jsonKey;  // in --json
  std::function<std::string(const PortRow&)> value;
};

const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = {
      {"NAME", "name", [](const PortRow& row) { return row.name; }},
      {"PATH", "path", [](const PortRow& row) { return row.path; }},
  };
  return columns;
}

PortRow RowFor(const std::string& name) {
  if (name.empty() || CPort::Platform::IsVirtualDeviceName(name)) return {name, ""};
  return {name, name.front() == '/' ? name : "/dev/" + name};
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

std::string Table(const std::vector<PortRow>& rows) {
  std::vector<std::size_t> widths;
  for (const Column& column : Columns()) {
    std::size_t width = std::string(column.header).size();
    for (const PortRow& row : rows) width = std::max(width, column.value(row).size());
    widths.push_back(width);
  }
  auto line = [&](const std::function<std::string(const Column&)>& cell) {
    std::string out;
    for (std::size_t c = 0; c < Columns().size(); ++c) {
      std::string text = cell(Columns()[c]);
      if (c + 1 < Columns().size()) text.resize(widths[c] + 2, ' ');
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
  std::vector<std::string> names;
  CPort::ListSerialPorts(names);
  std::vector<PortRow> rows;
  for (const std::string& name : names) rows.push_back(RowFor(name));
  if (arguments.Has("json"))
    PrintOut(JsonList(rows));
  else if (rows.empty())
    PrintErr("No serial ports found.\n");
  else
    PrintOut(Table(rows));
  return kExitOk;
}

}  // namespace KelvatPort
