#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/storage/IniFile.h"
#include "test_storage_tempdir.h"

using namespace CPort;
namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Put(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

TEST(IniFile, WritesReachTheFileAtOnceAndReadBack) {
  TempDir tmp;
  const std::string path = tmp.File("port.ini");
  {
    TIniFile ini(path);
    ini.WriteString("ComPort1", "Port", "ttyUSB0");
    ini.WriteInteger("ComPort1", "Timeouts.ReadInterval", -1);
    ini.WriteString("", "Unnamed", "top");  // a port without a name: keys above any section
    EXPECT_NE(Slurp(path).find("Port=ttyUSB0"), std::string::npos);  // before destruction
  }
  TIniFile again(path);
  EXPECT_EQ(again.ReadString("ComPort1", "Port", "x"), "ttyUSB0");
  EXPECT_EQ(again.ReadString("comport1", "PORT", "x"), "ttyUSB0");  // ASCII case does not matter
  EXPECT_EQ(again.ReadInteger("ComPort1", "Timeouts.ReadInterval", 5), -1);
  EXPECT_EQ(again.ReadString("ComPort1", "Missing", "dflt"), "dflt");
  EXPECT_EQ(again.ReadString("Other", "Port", "dflt"), "dflt");
  EXPECT_EQ(again.ReadString("", "Unnamed", "dflt"), "top");
  EXPECT_EQ(again.ReadSection("ComPort1"), (std::vector<std::string>{"Port", "Timeouts.ReadInterval"}));
}

TEST(IniFile, ValuesSurviveTheFileExactly) {
  TempDir tmp;
  const std::string path = tmp.File("values.ini");
  const std::string values[] = {
      "",        " leading", "trailing ", "\"quoted\"", "\"", "a=b", ";not a comment", "#17", "\xE4\xFF\x80",
      "[x]",     "\t tab",   "<<<END",
  };
  {
    TIniFile ini(path);
    for (std::size_t i = 0; i < std::size(values); ++i) ini.WriteString("S", "K" + std::to_string(i), values[i]);
  }
  TIniFile again(path);
  for (std::size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(again.ReadString("S", "K" + std::to_string(i), "?"), values[i]) << i;
}

TEST(IniFile, IntegersThatAreNotIntegersGiveTheDefault) {
  TempDir tmp;
  const std::string path = tmp.File("ints.ini");
  Put(path,
      "[S]\nhex=$10\nneg=-5\nbig=2147483648\nword=abc\nempty=\nspaced = 42 \nfloat=1.5\nhuge=$1FFFFFFFF\n");
  TIniFile ini(path);
  const std::pair<const char*, int> cases[] = {{"hex", 16},  {"neg", -5},   {"big", 7},   {"word", 7}, {"empty", 7},
                                               {"spaced", 42}, {"float", 7}, {"huge", 7}, {"absent", 7}};
  for (const auto& [key, expected] : cases) EXPECT_EQ(ini.ReadInteger("S", key, 7), expected) << key;
}

TEST(IniFile, MalformedFileIsReadLeniently) {
  TempDir tmp;
  const std::string path = tmp.File("bad.ini");
  Put(path, std::string("garbage line\n[unclosed\n=no key\n[S]\nK=v\n\0\xFF\xFE junk\n[S\n", 45));
  TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("S", "K", "?"), "v");
  EXPECT_EQ(ini.ReadString("S", "garbage line", "?"), "?");
}

TEST(IniFile, RefusesNamesAndValuesTheFileCannotHold) {
  TempDir tmp;
  const std::string path = tmp.File("refused.ini");
  TIniFile ini(path);
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"S]", "K", "v"},  {"S\n", "K", "v"},  {" S", "K", "v"},    {"S", "", "v"},  {"S", "K=", "v"},
      {"S", "[K", "v"},  {"S", ";K", "v"},   {"S", "K ", "v"},    {"S", "K", "a\nb"}, {"S", "K", "a\rb"},
      {"S", "K", std::string("a\0b", 3)},
  };
  for (const auto& [section, key, value] : cases) {
    try {
      ini.WriteString(section, key, value);
      ADD_FAILURE() << "accepted '" << section << "' '" << key << "'";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), PortErr::StoreFailed);
      EXPECT_EQ(e.OsErrorCode(), EINVAL);
    }
  }
  EXPECT_FALSE(fs::exists(path));
}

TEST(IniFile, FailedSaveRaisesAndLeavesTheOldFile) {
  TempDir tmp;
  const std::string path = tmp.File("full.ini");
  Put(path, "[S]\nK=old\n");
  TIniFile ini(path);

  // A file-size limit stands in for a full disk: writes beyond it fail with
  // EFBIG (the signal it would raise is ignored for the test).
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 8;
  setrlimit(RLIMIT_FSIZE, &small);
  int code = 0;
  try {
    ini.WriteString("S", "K", std::string(100, 'x'));
  } catch (const EComPort& e) {
    code = e.OsErrorCode();
    EXPECT_EQ(e.PortErrorCode(), PortErr::StoreFailed);
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(code, EFBIG);
  EXPECT_EQ(Slurp(path), "[S]\nK=old\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator{}), 1);  // no temporary left

  ini.UpdateFile();  // the value kept in the object reaches the file on retry
  EXPECT_EQ(TIniFile(path).ReadString("S", "K", "?"), std::string(100, 'x'));
}

TEST(IniFile, SaveKeepsPermissionsAndSymbolicLinks) {
  TempDir tmp;
  const std::string target = tmp.File("real.ini");
  const std::string link = tmp.File("link.ini");
  Put(target, "[S]\nK=1\n");
  chmod(target.c_str(), 0640);
  fs::create_symlink(target, link);

  TIniFile(link).WriteString("S", "K", "2");

  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(TIniFile(target).ReadString("S", "K", "?"), "2");
  struct stat st {};
  stat(target.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(IniFile, UnreadableFileIsALoadError) {
  TempDir tmp;
  try {
    TIniFile ini(tmp.Path().string());  // a directory
    FAIL() << "no error";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.PortErrorCode(), PortErr::LoadFailed);
    EXPECT_EQ(e.OsErrorCode(), EISDIR);
  }
}

}  // namespace
