#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
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

// Runs `save` as the given user: in this process for root (-1), otherwise in
// a child that takes that user's ids. Returns 0 when it saved, EACCES when
// the save was refused with code 16 and EACCES, -1 for anything else.
int SaveAs(int uid, const std::function<void()>& save) {
  auto outcome = [&] {
    try {
      save();
      return 0;
    } catch (const EComPort& e) {
      return e.PortErrorCode() == PortErr::StoreFailed && e.OsErrorCode() == EACCES ? EACCES : -1;
    }
  };
  if (uid < 0) return outcome();
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(100);
    const int result = outcome();
    _exit(result == 0 ? 0 : result == EACCES ? 1 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 0 ? 0 : WEXITSTATUS(status) == 1 ? EACCES : -1;
}

// Replacing a file used to hand it to whoever saved it (root saving a user's
// 0600 file left it root's) and wrote over read-only files in a writable
// directory.
TEST(IniFile, SaveKeepsOwnerAndModeAndRefusesReadOnlyFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  constexpr int kUser = 4321, kOther = 4322;
  const struct Row {
    const char* what;
    int saver;  // -1: root
    uid_t owner;
    mode_t mode;
    int outcome;  // 0 saved, or the errno it was refused with
  } rows[] = {
      {"root keeps a user's private file the user's", -1, kUser, 0600, 0},
      {"root keeps set-id bits", -1, kUser, 06640, 0},
      {"root refuses a file without write bits", -1, kUser, 0444, EACCES},
      {"a user keeps another user's shared file theirs", kUser, kOther, 0666, 0},
      {"a user may not write another user's file", kUser, kOther, 0644, EACCES},
      {"a user refuses its own read-only file", kUser, kUser, 0444, EACCES},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir tmp;
    chmod(tmp.Path().c_str(), 0777);
    const std::string path = tmp.File("port.ini");
    Put(path, "[S]\nK=old\n");
    ASSERT_EQ(chown(path.c_str(), row.owner, row.owner), 0);
    ASSERT_EQ(chmod(path.c_str(), row.mode), 0);

    EXPECT_EQ(SaveAs(row.saver, [&] { TIniFile(path).WriteString("S", "K", "new"); }), row.outcome);

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, row.owner);
    EXPECT_EQ(st.st_gid, row.owner);
    EXPECT_EQ(st.st_mode & 07777, row.mode);
    EXPECT_EQ(Slurp(path), row.outcome == 0 ? "[S]\nK=new\n" : "[S]\nK=old\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.Path()), fs::directory_iterator{}), 1) << "no temporary left";
  }
}

TEST(IniFile, SaveKeepsSymbolicLinks) {
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
