#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CPort/ComPort.h"
#include "CPort/storage/IniFile.h"
#include "CPort/storage/Registry.h"
#include "CPort/storage/atomic_file_p.h"
#include "test_storage_tempdir.h"

using namespace CPort;

namespace {

using Keys = std::vector<std::string>;

const TSavedGroups kAllGroups{sgLine, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOther};

const Keys kAllKeys = {
    "Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl", "EventChar",
    "DiscardNull", "Parity.Check", "Parity.Replace", "Parity.ReplaceChar", "Buffer.OutputSize",
    "Buffer.InputSize", "Timeouts.ReadInterval", "Timeouts.ReadTotalConstant", "Timeouts.ReadTotalMultiplier",
    "Timeouts.WriteTotalConstant", "Timeouts.WriteTotalMultiplier", "FlowControl.ControlRTS",
    "FlowControl.ControlDTR", "FlowControl.DSRSensitivity", "FlowControl.OutCTSFlow", "FlowControl.OutDSRFlow",
    "FlowControl.TxContinueOnXoff", "FlowControl.XonXoffIn", "FlowControl.XonXoffOut", "FlowControl.XoffChar",
    "FlowControl.XonChar"};

Keys Without(Keys keys, const std::string& key) {
  std::erase(keys, key);
  return keys;
}

// Records every key the port reads or writes, in order, and answers reads
// from what was written (or the default offered).
class RecordingIni : public TIniFile {
 public:
  explicit RecordingIni(const std::string& path) : TIniFile(path) {}
  std::string ReadString(const std::string&, const std::string& key, const std::string& dflt) override {
    reads.push_back(key);
    const auto it = texts.find(key);
    return it == texts.end() ? dflt : it->second;
  }
  std::int32_t ReadInteger(const std::string&, const std::string& key, std::int32_t dflt) override {
    reads.push_back(key);
    const auto it = ints.find(key);
    return it == ints.end() ? dflt : it->second;
  }
  void WriteString(const std::string&, const std::string& key, const std::string& value) override {
    writes.push_back(key);
    texts[key] = value;
  }
  void WriteInteger(const std::string&, const std::string& key, std::int32_t value) override {
    writes.push_back(key);
    ints[key] = value;
  }
  Keys reads, writes;
  std::map<std::string, std::string> texts;
  std::map<std::string, std::int32_t> ints;
};

// Every setting away from its default (Port, BaudRate and the flow-control
// fields included), so that a round trip cannot pass by accident.
void ConfigureAll(TComPort& port) {
  port.SetPort("ttyUSB7");
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(250000);
  port.SetStopBits(sbTwoStopBits);
  port.SetDataBits(dbSeven);
  port.SetDiscardNull(true);
  port.SetEventChar('\n');
  TComParity& p = port.Parity();
  p.SetBits(prMark);
  p.SetCheck(true);
  p.SetReplace(true);
  p.SetReplaceChar('\xFF');
  port.Buffer().SetInputSize(4096);
  port.Buffer().SetOutputSize(2048);
  TComTimeouts& t = port.Timeouts();
  t.SetReadInterval(5);
  t.SetReadTotalConstant(6);
  t.SetReadTotalMultiplier(7);
  t.SetWriteTotalConstant(8);
  t.SetWriteTotalMultiplier(9);
  TComFlowControl& f = port.FlowControl();
  f.SetControlRTS(rtsToggle);
  f.SetControlDTR(dtrHandshake);
  f.SetDSRSensitivity(true);
  f.SetOutCTSFlow(true);
  f.SetOutDSRFlow(true);
  f.SetTxContinueOnXoff(true);
  f.SetXonXoffIn(true);
  f.SetXonXoffOut(false);
  f.SetXoffChar(' ');
  f.SetXonChar('#');
}

void ExpectSameSettings(const TComPort& a, const TComPort& b) {
  EXPECT_EQ(a.Port(), b.Port());
  EXPECT_EQ(a.BaudRate(), b.BaudRate());
  EXPECT_EQ(a.CustomBaudRate(), b.CustomBaudRate());
  EXPECT_EQ(a.StopBits(), b.StopBits());
  EXPECT_EQ(a.DataBits(), b.DataBits());
  EXPECT_EQ(a.DiscardNull(), b.DiscardNull());
  EXPECT_EQ(a.EventChar(), b.EventChar());
  EXPECT_EQ(a.Parity().Bits(), b.Parity().Bits());
  EXPECT_EQ(a.Parity().Check(), b.Parity().Check());
  EXPECT_EQ(a.Parity().Replace(), b.Parity().Replace());
  EXPECT_EQ(a.Parity().ReplaceChar(), b.Parity().ReplaceChar());
  EXPECT_EQ(a.Buffer().InputSize(), b.Buffer().InputSize());
  EXPECT_EQ(a.Buffer().OutputSize(), b.Buffer().OutputSize());
  EXPECT_EQ(a.Timeouts().ReadInterval(), b.Timeouts().ReadInterval());
  EXPECT_EQ(a.Timeouts().ReadTotalConstant(), b.Timeouts().ReadTotalConstant());
  EXPECT_EQ(a.Timeouts().ReadTotalMultiplier(), b.Timeouts().ReadTotalMultiplier());
  EXPECT_EQ(a.Timeouts().WriteTotalConstant(), b.Timeouts().WriteTotalConstant());
  EXPECT_EQ(a.Timeouts().WriteTotalMultiplier(), b.Timeouts().WriteTotalMultiplier());
  const TComFlowControl& f = a.FlowControl();
  const TComFlowControl& g = b.FlowControl();
  EXPECT_EQ(f.ControlRTS(), g.ControlRTS());
  EXPECT_EQ(f.ControlDTR(), g.ControlDTR());
  EXPECT_EQ(f.DSRSensitivity(), g.DSRSensitivity());
  EXPECT_EQ(f.OutCTSFlow(), g.OutCTSFlow());
  EXPECT_EQ(f.OutDSRFlow(), g.OutDSRFlow());
  EXPECT_EQ(f.TxContinueOnXoff(), g.TxContinueOnXoff());
  EXPECT_EQ(f.XonXoffIn(), g.XonXoffIn());
  EXPECT_EQ(f.XonXoffOut(), g.XonXoffOut());
  EXPECT_EQ(f.XoffChar(), g.XoffChar());
  EXPECT_EQ(f.XonChar(), g.XonChar());
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { port.SetName("ComPort1"); }
  std::string IniPath() const { return tmp.File("settings.ini"); }
  void PutIni(const std::string& content) const { std::ofstream(IniPath(), std::ios::binary) << content; }

  TempDir tmp;
  TComPort port;
};

TEST_F(StorageTest, KeysAndTheirOrderDependOnGroupsAndBaudRate) {
  struct Case {
    TSavedGroups groups;
    TBaudRate rate;
    Keys expected;
  };
  const Case cases[] = {
      {TSavedGroups{sgLine}, br9600, {"Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl"}},
      {TSavedGroups{sgLine},
       brCustom,
       {"Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl"}},
      {TSavedGroups{}, brCustom, {}},
      {kAllGroups, br9600, Without(kAllKeys, "CustomBaudRate")},
      {kAllGroups, brCustom, kAllKeys},
      {TSavedGroups{sgOther, sgBuffer}, brCustom, {"EventChar", "DiscardNull", "Buffer.OutputSize", "Buffer.InputSize"}},
  };
  for (const auto& c : cases) {
    port.SetSavedGroups(c.groups);
    port.SetBaudRate(c.rate);
    RecordingIni ini(tmp.File("unused.ini"));
    port.SaveSettingsToIni(ini);
    port.LoadSettingsFromIni(ini);
    EXPECT_EQ(ini.writes, c.expected) << "groups " << int(c.groups.ToBits()) << " rate " << int(c.rate);
    EXPECT_EQ(ini.reads, c.expected) << "groups " << int(c.groups.ToBits()) << " rate " << int(c.rate);
  }
}

TEST_F(StorageTest, RegistryStoresAllKeysInOrderWithTheirTypes) {
  ConfigureAll(port);
  port.SetSavedGroups(kAllGroups);
  TRegistry reg(tmp.File("reg.db"));
  reg.OpenKey("\\Software\\Kelvat\\ComPort1", true);
  port.SaveSettingsToRegistry(reg);
  EXPECT_EQ(reg.GetValueNames(), kAllKeys);
  EXPECT_EQ(reg.ReadInteger("Timeouts.ReadInterval"), 5);
  EXPECT_EQ(reg.ReadString("FlowControl.XoffChar"), "#32");
  EXPECT_THROW(reg.ReadString("Buffer.InputSize"), ERegistryException);  // an integer value
  EXPECT_THROW(reg.ReadInteger("Port"), ERegistryException);              // a string value
}

TEST_F(StorageTest, EveryGroupRoundTripsThroughBothStores) {
  ConfigureAll(port);
  port.SetSavedGroups(kAllGroups);
  {
    TIniFile ini(IniPath());
    port.SaveSettingsToIni(ini);
  }
  TRegistry reg(tmp.File("reg.db"));
  reg.OpenKey("ComPort1", true);
  port.SaveSettingsToRegistry(reg);

  TComPort fromIni;
  fromIni.SetName("ComPort1");
  fromIni.SetSavedGroups(kAllGroups);
  TIniFile ini(IniPath());
  fromIni.LoadSettingsFromIni(ini);
  ExpectSameSettings(fromIni, port);

  TComPort fromRegistry;
  fromRegistry.SetSavedGroups(kAllGroups);
  fromRegistry.LoadSettingsFromRegistry(reg);
  ExpectSameSettings(fromRegistry, port);
}

TEST_F(StorageTest, IniHoldsTheTextForms) {
  port.SetSavedGroups(kAllGroups);
  port.FlowControl().SetXonChar(17);
  port.Timeouts().SetReadInterval(-1);
  TIniFile ini(IniPath());
  port.SaveSettingsToIni(ini);
  EXPECT_EQ(ini.ReadString("ComPort1", "FlowControl.XonChar", "?"), "#17");
  EXPECT_EQ(ini.ReadString("ComPort1", "Timeouts.ReadInterval", "?"), "-1");
  EXPECT_EQ(ini.ReadString("ComPort1", "DiscardNull", "?"), "No");
  EXPECT_EQ(ini.ReadString("ComPort1", "Port", "?"), "COM1");
  EXPECT_EQ(ini.ReadSection("ComPort1"), Without(kAllKeys, "CustomBaudRate"));
}

TEST_F(StorageTest, EmptyIniSectionChangesNothing) {
  ConfigureAll(port);
  port.SetSavedGroups(kAllGroups);
  TComPort before;
  ConfigureAll(before);
  PutIni("[ComPort1]\n");
  TIniFile ini(IniPath());
  port.LoadSettingsFromIni(ini);
  // Only the custom rate moves: with BaudRate Custom and no rate stored, it
  // reads as 9600.
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  before.SetCustomBaudRate(9600);
  ExpectSameSettings(port, before);
}

TEST_F(StorageTest, FlowControlModeComesBeforeTheIndividualKeys) {
  port.SetSavedGroups(TSavedGroups{sgLine, sgFlowControl});
  PutIni(
      "[ComPort1]\n"
      "FlowControl=Hardware\n"
      "FlowControl.ControlRTS=Enable\n"
      "FlowControl.XonXoffOut=Yes\n");
  TIniFile ini(IniPath());
  port.LoadSettingsFromIni(ini);
  const TComFlowControl& f = port.FlowControl();
  EXPECT_EQ(f.ControlRTS(), rtsEnable);  // the individual key wins
  EXPECT_TRUE(f.XonXoffOut());
  EXPECT_TRUE(f.OutCTSFlow());           // absent: keeps what the mode set
  EXPECT_FALSE(f.XonXoffIn());
  EXPECT_EQ(f.ControlDTR(), dtrDisable);

  port.SetSavedGroups(TSavedGroups{sgLine});
  PutIni("[ComPort1]\nFlowControl=Custom\n");
  TIniFile custom(IniPath());
  port.LoadSettingsFromIni(custom);
  EXPECT_EQ(f.ControlRTS(), rtsEnable);  // fcCustom touches no field
  EXPECT_TRUE(f.OutCTSFlow());
}

TEST_F(StorageTest, OddQueueSizesAreLowered) {
  port.SetSavedGroups(TSavedGroups{sgBuffer});
  PutIni("[ComPort1]\nBuffer.InputSize=1025\nBuffer.OutputSize=4097\n");
  TIniFile ini(IniPath());
  port.LoadSettingsFromIni(ini);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 4096);
}

TEST_F(StorageTest, BadIniValuesFallBackOrLeaveTheSettingAlone) {
  port.SetSavedGroups(kAllGroups);
  port.SetBaudRate(br115200);
  port.SetDataBits(dbSeven);
  PutIni(
      "[ComPort1]\n"
      "BaudRate=fast\n"
      "DataBits=\xC3\xA9\n"
      "EventChar=#99999999999\n"
      "Buffer.InputSize=99999999999\n"
      "Buffer.OutputSize=lots\n"
      "Timeouts.ReadInterval=\xFF\xFE\n"
      "garbage without equals\n");
  TIniFile ini(IniPath());
  port.LoadSettingsFromIni(ini);
  EXPECT_EQ(port.BaudRate(), br9600);  // text keys take the parse fallback
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.EventChar(), '\0');
  EXPECT_EQ(port.Buffer().InputSize(), 1024);  // integer keys keep the setting
  EXPECT_EQ(port.Buffer().OutputSize(), 1024);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
}

TEST_F(StorageTest, MissingRegistryIntegerStopsTheLoadAfterEarlierKeys) {
  TRegistry reg(tmp.File("reg.db"));
  reg.OpenKey("ComPort1", true);
  reg.WriteString("Port", "ttyACM3");
  reg.WriteString("BaudRate", "Custom");
  reg.WriteString("StopBits", "2");
  try {
    port.LoadSettingsFromRegistry(reg);
    FAIL() << "no error";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Failed to get data for 'CustomBaudRate'");
  }
  EXPECT_EQ(port.Port(), "ttyACM3");
  EXPECT_EQ(port.BaudRate(), brCustom);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);  // not reached
}

TEST_F(StorageTest, AbsentRegistryTextsReadAsTheParseFallbacks) {
  port.SetBaudRate(br115200);
  port.Parity().SetBits(prOdd);
  port.FlowControl().SetFlowControl(fcHardware);
  port.SetSavedGroups(TSavedGroups{sgLine, sgOther});
  TRegistry reg(tmp.File("reg.db"));
  reg.OpenKey("Empty", true);
  port.LoadSettingsFromRegistry(reg);
  EXPECT_EQ(port.Port(), "");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);  // "" is fcCustom, which changes no field
  EXPECT_FALSE(port.DiscardNull());
}

// --- Saves killed part-way ----------------------------------------------------

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Every value of the registry key "ComPort1" with its type, in stored order.
std::string RegistryRecord(const std::string& path) {
  sqlite3* db = nullptr;
  std::string record;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_exec(
        db, "SELECT name || '=' || type || ':' || quote(data) FROM reg_values WHERE key = 'ComPort1' ORDER BY rowid",
        [](void* out, int, char** columns, char**) {
          *static_cast<std::string*>(out) += std::string(columns[0]) + "\n";
          return 0;
        },
        &record, nullptr);
  }
  sqlite3_close(db);
  return record;
}

std::vector<std::string> DirectoryEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `saveForever` in a child process, which reports each finished save on
// a pipe, and kills it with SIGKILL after a random number of saves and a
// random pause, so that the kill lands anywhere in a save.
void KillPartWay(const std::function<void(const std::function<void()>& saved)>& saveForever, std::mt19937& random) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    try {
      saveForever([&] { (void)!write(report[1], "s", 1); });
    } catch (...) {
    }
    _exit(3);
  }
  close(report[1]);
  char byte;
  bool running = true;
  for (int saves = static_cast<int>(random() % 3); running && saves > 0; --saves) running = read(report[0], &byte, 1) == 1;
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(report[0]);
  EXPECT_TRUE(running && WIFSIGNALED(status)) << "the saving child ended by itself";
}

// A save killed with SIGKILL used to leave old and new keys mixed (each key
// was its own file replace or transaction) and orphaned temporary files.
TEST_F(StorageTest, KilledSavesLeaveTheOldOrTheNewRecordAndNoTemporaryFiles) {
  // Two records with the same keys and different values.
  TComPort a, b;
  for (TComPort* p : {&a, &b}) {
    p->SetName("ComPort1");
    p->SetSavedGroups(kAllGroups);
  }
  ConfigureAll(a);
  b.SetBaudRate(brCustom);

  const std::string ini = IniPath();
  const std::string reg = tmp.File("reg.db");
  auto saveIni = [](TComPort& p, const std::string& path) {
    TIniFile file(path);
    p.SaveSettingsToIni(file);
  };
  auto saveRegistry = [](TComPort& p, const std::string& path) {
    TRegistry registry(path);
    registry.OpenKey("ComPort1", true);
    p.SaveSettingsToRegistry(registry);
  };
  TempDir scratch;
  saveIni(a, scratch.File("a.ini"));
  saveIni(b, scratch.File("b.ini"));
  saveRegistry(a, scratch.File("r.db"));
  const std::string recordA = RegistryRecord(scratch.File("r.db"));
  saveRegistry(b, scratch.File("r.db"));
  const std::set<std::string> iniRecords{FileBytes(scratch.File("a.ini")), FileBytes(scratch.File("b.ini"))};
  const std::set<std::string> registryRecords{recordA, RegistryRecord(scratch.File("r.db"))};
  ASSERT_EQ(iniRecords.size(), 2u);
  ASSERT_EQ(registryRecords.size(), 2u);

  saveIni(a, ini);
  saveRegistry(a, reg);
  std::mt19937 random(20261208);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    KillPartWay(
        [&](const std::function<void()>& saved) {
          TIniFile file(ini);
          for (;;) {
            b.SaveSettingsToIni(file);
            saved();
            a.SaveSettingsToIni(file);
            saved();
          }
        },
        random);
    EXPECT_EQ(iniRecords.count(FileBytes(ini)), 1u) << FileBytes(ini);

    KillPartWay(
        [&](const std::function<void()>& saved) {
          TRegistry registry(reg);
          registry.OpenKey("ComPort1", true);
          for (;;) {
            b.SaveSettingsToRegistry(registry);
            saved();
            a.SaveSettingsToRegistry(registry);
            saved();
          }
        },
        random);
    EXPECT_EQ(registryRecords.count(RegistryRecord(reg)), 1u) << RegistryRecord(reg);

    // The next save leaves nothing of the killed one behind. (It changes the
    // record: SQLite writes nothing for values that stay the same, and a
    // journal that a kill left before it was ever synced is not hot, so it
    // stays until the next real write.)
    const bool registryHoldsA = RegistryRecord(reg) == recordA;
    saveIni(registryHoldsA ? b : a, ini);
    saveRegistry(registryHoldsA ? b : a, reg);
    EXPECT_EQ(DirectoryEntries(tmp.Path()), (std::vector<std::string>{"reg.db", "settings.ini"}));
    if (HasFailure()) break;
  }
}

// Runs `operation` in a child that an alarm ends after a few seconds, so that
// an operation that blocks fails the test instead of hanging it. Returns what
// the operation reported, or "blocked".
std::string RunBounded(const std::function<std::string()>& operation) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    alarm(5);
    const std::string outcome = operation();
    if (write(pipeFds[1], outcome.data(), outcome.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipeFds[1]);
  std::string outcome;
  char buffer[256];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? "blocked" : outcome;
}

template <typename F>
std::string OutcomeOf(F&& f) {
  try {
    f();
    return "done";
  } catch (const EComPort& e) {
    return std::to_string(e.PortErrorCode()) + "/" + std::to_string(e.OsErrorCode());
  } catch (const ERegistryException& e) {
    return std::string("registry: ") + e.what();
  }
}

struct NodeIdentity {
  mode_t mode = 0;
  ino_t inode = 0;
  bool operator==(const NodeIdentity&) const = default;
};

NodeIdentity IdentityOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return {};
  return {st.st_mode, st.st_ino};
}

// Saves used to rename a new file over whatever the path named (a device
// node became a regular file, as root even /dev/null), the registry left a
// journal beside a device, a FIFO blocked every load and save, and a copy of
// /dev/zero was read until memory ran out. Each kind of node, directly and
// behind a link, must be refused by every store operation, without
// blocking, and stay exactly as it was with nothing created beside it.
TEST(SettingsFiles, StoresRefuseNodesThatAreNotRegularFilesWithoutBlockingOrReplacingThem) {
  TempDir tmp;
  const std::string reg = std::string("registry: Cannot open the registry '");
  const struct Node {
    const char* name;
    std::function<bool(const std::string&)> make;  // false: cannot be made here
    std::string iniLoad, iniSave;                    // expected outcomes
  } nodes[] = {
      {"nulldev", [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
       "17/" + std::to_string(EINVAL), "16/" + std::to_string(EINVAL)},
      {"zerodev", [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0; },
       "17/" + std::to_string(EINVAL), "16/" + std::to_string(EINVAL)},
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0666) == 0; }, "17/" + std::to_string(EINVAL),
       "16/" + std::to_string(EINVAL)},
      {"socket",
       [](const std::string& p) {
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         p.copy(address.sun_path, sizeof address.sun_path - 1);
         const bool made = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
         close(fd);
         return made;
       },
       "17/" + std::to_string(EINVAL), "16/" + std::to_string(EINVAL)},
      {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0777) == 0; }, "17/" + std::to_string(EISDIR),
       "16/" + std::to_string(EISDIR)},
  };
  for (const Node& node : nodes) {
    const std::string path = tmp.File(node.name);
    if (!node.make(path)) {
      if (geteuid() == 0) ADD_FAILURE() << "cannot make " << node.name;
      continue;  // device nodes need root
    }
    const std::string link = tmp.File(std::string(node.name) + ".link");
    std::filesystem::create_symlink(path, link);
    for (const std::string& name : {path, link}) {
      SCOPED_TRACE(name);
      const std::vector<std::string> before = DirectoryEntries(tmp.Path());
      const NodeIdentity nodeBefore = IdentityOf(path), nameBefore = IdentityOf(name);

      EXPECT_EQ(RunBounded([&] { return OutcomeOf([&] { TIniFile ini(name); }); }), node.iniLoad);
      EXPECT_EQ(RunBounded([&] { return OutcomeOf([&] { Detail::ReplaceFileContent(name, "[S]\nK=1\n"); }); }),
                node.iniSave);
      EXPECT_EQ(RunBounded([&] {
                  return OutcomeOf([&] {
                    TRegistry registry(name);
                    registry.OpenKey("ComPort1", true);
                    registry.WriteString("Port", "x");
                  });
                }).substr(0, reg.size()),
                reg);

      EXPECT_EQ(IdentityOf(path), nodeBefore);
      EXPECT_EQ(IdentityOf(name), nameBefore);
      EXPECT_EQ(DirectoryEntries(tmp.Path()), before) << "something was left beside it";
    }
  }
}

// A settings file has a sane size; a larger one used to be read whole,
// however large (bad_alloc on an endless one).
TEST(SettingsFiles, LoadRefusesAFileOverTheSizeLimitWithEFBIG) {
  TempDir tmp;
  const std::string path = tmp.File("huge.ini");
  {
    std::ofstream out(path, std::ios::binary);
    out << "[ComPort1]\nPort=x\n";
    out << std::string(4 * 1024 * 1024, ';');
  }
  EXPECT_EQ(OutcomeOf([&] { TIniFile ini(path); }), "17/" + std::to_string(EFBIG));
  std::filesystem::resize_file(path, 4 * 1024 * 1024);
  EXPECT_EQ(OutcomeOf([&] { TIniFile ini(path); }), "done") << "the limit itself is still read";
}

// A name with a zero byte was stored whole by the registry and read back cut
// at the zero, without an error, while the INI file refused it.
TEST(SettingsFiles, BothStoresRefuseATextWithAZeroByte) {
  TempDir tmp;
  const std::string name("/dev/pts/1\0junk", 15);
  TComPort port;
  port.SetPort(name);
  EXPECT_EQ(OutcomeOf([&] {
              TIniFile ini(tmp.File("s.ini"));
              port.SaveSettingsToIni(ini);
            }),
            "16/" + std::to_string(EINVAL));
  EXPECT_EQ(OutcomeOf([&] {
              TRegistry registry(tmp.File("s.db"));
              registry.OpenKey("ComPort1", true);
              port.SaveSettingsToRegistry(registry);
            }),
            "registry: Failed to set data for 'Port'");
}

}  // namespace
