// A port's saved record held in memory, for checking that what a load leaves
// in a port saves and loads back unchanged.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/storage/IniFile.h"

namespace Fuzz {

// An INI object that keeps its values in maps and never touches a file.
class MemoryIni : public CPort::TIniFile {
 public:
  MemoryIni() : TIniFile("/nonexistent/kelvat-fuzz.ini") {}
  std::string ReadString(const std::string&, const std::string& key, const std::string& dflt) override {
    const auto it = texts.find(key);
    return it == texts.end() ? dflt : it->second;
  }
  std::int32_t ReadInteger(const std::string&, const std::string& key, std::int32_t dflt) override {
    const auto it = integers.find(key);
    return it == integers.end() ? dflt : it->second;
  }
  void WriteString(const std::string&, const std::string& key, const std::string& value) override {
    texts[key] = value;
  }
  void WriteInteger(const std::string&, const std::string& key, std::int32_t value) override {
    integers[key] = value;
  }
  bool operator==(const MemoryIni& other) const { return texts == other.texts && integers == other.integers; }

  std::map<std::string, std::string> texts;
  std::map<std::string, std::int32_t> integers;
};

inline const CPort::TSavedGroups kAllGroups{CPort::sgLine,     CPort::sgFlowControl, CPort::sgBuffer,
                                            CPort::sgTimeouts, CPort::sgParity,      CPort::sgOther};

// A closed port that saves and loads every group.
inline void PrepareClosedPort(CPort::TComPort& port) {
  port.SetName("ComPort1");
  port.SetSavedGroups(kAllGroups);
}

// Whatever a load left in `loaded` must survive a save and a load into a
// fresh port unchanged; traps otherwise.
inline void CheckSavedRecordRoundTrips(CPort::TComPort& loaded) {
  MemoryIni first;
  loaded.SaveSettingsToIni(first);
  CPort::TComPort fresh;
  PrepareClosedPort(fresh);
  fresh.LoadSettingsFromIni(first);
  MemoryIni second;
  fresh.SaveSettingsToIni(second);
  if (!(first == second)) __builtin_trap();
}

}  // namespace Fuzz
