// The settings stores of the Windows build: the registry store on the
// system's registry (the Wine prefix's under Wine) and the INI store's
// replace through ReplaceFileW/MoveFileExW.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/storage/IniFile.h"
#include "CPort/storage/Registry.h"

using namespace CPort;

namespace {

// A key of its own under HKEY_CURRENT_USER, removed with everything in it.
class ScratchKey {
 public:
  ScratchKey() : path_("Software\\KelvatTests\\run" + std::to_string(::GetCurrentProcessId())) {}
  ~ScratchKey() {
    const std::wstring wide(path_.begin(), path_.end());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, wide.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, wide.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class ScratchDir {
 public:
  ScratchDir()
      : path_(std::filesystem::temp_directory_path() / ("kelvat-test-" + std::to_string(::GetCurrentProcessId()))) {
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
      ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return (path_ / name).string(); }
  std::string Path() const { return path_.string(); }
  std::size_t Count() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path_), {}));
  }

 private:
  std::filesystem::path path_;
};

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(WindowsRegistryStore, ValuesRoundTripWithTheirTypes_WrongTypeOrMissingValueRaises) {
  ScratchKey scratch;
  TRegistry reg(scratch.Path());
  ASSERT_TRUE(reg.OpenKey("Port\\COM3", true));
  struct Row {
    const char* name;
    bool isText;
    std::string text;
    std::int32_t number;
  };
  const Row rows[] = {
      {"BaudRate", true, "9600", 0},       {"Empty", true, "", 0},
      {"Umlaut", true, "Gr\xC3\xBC\xC3\x9F" "e", 0},
      {"Count", false, "", 42},            {"Negative", false, "", -1},
      {"Largest", false, "", 2147483647},
  };
  for (const Row& row : rows) {
    if (row.isText)
      reg.WriteString(row.name, row.text);
    else
      reg.WriteInteger(row.name, row.number);
  }
  TRegistry again(scratch.Path());
  ASSERT_TRUE(again.OpenKey("\\port\\com3", false)) << "key names match without regard to case";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(again.ValueExists(row.name));
    if (row.isText) {
      EXPECT_EQ(again.ReadString(row.name), row.text);
      EXPECT_THROW(again.ReadInteger(row.name), ERegistryException);
    } else {
      EXPECT_EQ(again.ReadInteger(row.name), row.number);
      EXPECT_THROW(again.ReadString(row.name), ERegistryException);
    }
  }
  EXPECT_EQ(again.ReadString("Missing"), "");
  EXPECT_THROW(again.ReadInteger("Missing"), ERegistryException);
  EXPECT_FALSE(again.OpenKey("Port\\COM4", false));
  EXPECT_EQ(again.CurrentPath(), "port\\com3");
  EXPECT_TRUE(again.DeleteValue("Count"));
  EXPECT_FALSE(again.DeleteValue("Count"));
}

TEST(WindowsRegistryStore, AbandonedUpdateRestoresEveryValue_CommittedOneKeepsThem) {
  ScratchKey scratch;
  TRegistry reg(scratch.Path());
  reg.OpenKey("K", true);
  reg.WriteString("Kept", "old");
  reg.BeginUpdate();
  reg.WriteString("Kept", "new");
  reg.WriteInteger("Added", 7);
  reg.BeginUpdate();
  reg.DeleteValue("Kept");
  reg.EndUpdate(false);  // the inner failure abandons the whole update
  reg.EndUpdate(true);
  EXPECT_EQ(reg.ReadString("Kept"), "old");
  EXPECT_FALSE(reg.ValueExists("Added"));

  reg.BeginUpdate();
  reg.WriteString("Kept", "new");
  reg.EndUpdate(true);
  EXPECT_EQ(TRegistry(scratch.Path()).OpenKey("K", false), true);
  EXPECT_EQ(reg.ReadString("Kept"), "new");
}

TEST(WindowsRegistryStore, PortSettingsRoundTripThroughTheSystemRegistry) {
  ScratchKey scratch;
  TComPort saved;
  saved.SetPort("COM7");
  saved.SetBaudRate(br57600);
  saved.SetStopBits(sbTwoStopBits);
  saved.Parity().SetBits(prOdd);
  saved.FlowControl().SetFlowControl(fcSoftware);
  {
    TRegistry reg(scratch.Path());
    reg.OpenKey("Settings", true);
    saved.SaveSettingsToRegistry(reg);
  }
  // The value sits where the system's own calls find it.
  wchar_t text[64] = {};
  DWORD bytes = sizeof text;
  const std::string key = scratch.Path() + "\\Settings";
  EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, std::wstring(key.begin(), key.end()).c_str(), L"Port", RRF_RT_REG_SZ,
                           nullptr, text, &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, L"COM7");

  TComPort loaded;
  TRegistry reg(scratch.Path());
  reg.OpenKey("Settings", false);
  loaded.LoadSettingsFromRegistry(reg);
  EXPECT_EQ(loaded.Port(), "COM7");
  EXPECT_EQ(loaded.BaudRate(), br57600);
  EXPECT_EQ(loaded.StopBits(), sbTwoStopBits);
  EXPECT_EQ(loaded.Parity().Bits(), prOdd);
  EXPECT_EQ(loaded.FlowControl().FlowControl(), fcSoftware);
}

TEST(WindowsIniStore, SaveReplacesTheFileWhole_ReadOnlyFileRefusedAndKept_NoTemporariesLeft) {
  ScratchDir dir;
  const std::string path = dir.File("port.ini");
  TComPort port;
  port.SetPort("COM9");
  port.SetBaudRate(br19200);
  {
    TIniFile ini(path);
    port.SaveSettingsToIni(ini);
  }
  port.SetBaudRate(br38400);
  {
    TIniFile ini(path);
    port.SaveSettingsToIni(ini);
  }
  TComPort loaded;
  {
    TIniFile ini(path);
    loaded.LoadSettingsFromIni(ini);
  }
  EXPECT_EQ(loaded.Port(), "COM9");
  EXPECT_EQ(loaded.BaudRate(), br38400);
  EXPECT_EQ(dir.Count(), 1u) << "a temporary file was left beside the INI file";

  const std::string before = Content(path);
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  port.SetBaudRate(br9600);
  try {
    TIniFile ini(path);
    port.SaveSettingsToIni(ini);
    ADD_FAILURE() << "a read-only file was written";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), PortErr::StoreFailed);
    EXPECT_EQ(e.OsErrorCode(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(Content(path), before);
  EXPECT_EQ(dir.Count(), 1u);
}

// A settings file is a file on a disk of a sane size: a directory, a device
// name or a runaway file is refused on loading, with the system's code.
TEST(WindowsIniStore, LoadRefusesDirectoriesDevicesAndOversizedFiles_NothingReadWithoutLimit) {
  ScratchDir dir;
  const std::string big = dir.File("big.ini");
  {
    std::ofstream out(big, std::ios::binary);
    out << "[ComPort1]\n";
    out << std::string(5 * 1024 * 1024, ';') << "\n";
  }
  const struct {
    std::string path;
    int code;
  } cases[] = {
      {dir.Path(), ERROR_DIRECTORY},
      {"NUL", ERROR_BAD_FILE_TYPE},
      {big, ERROR_FILE_TOO_LARGE},
  };
  for (const auto& c : cases) {
    try {
      TIniFile ini(c.path);
      ADD_FAILURE() << c.path << " was loaded";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), PortErr::LoadFailed) << c.path;
      EXPECT_EQ(e.OsErrorCode(), c.code) << c.path;
    }
  }
}
