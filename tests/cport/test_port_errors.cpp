// Port errors: message forms, codes, and translation through the catalogs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/error_hints_p.h"
#include "CPort/i18n_p.h"
#include "CPort/platform/virtual_device.h"
#include "port_fixture.h"
#include "pty_pair.h"
#include "serve_until.h"
#include "test_storage_tempdir.h"
#include "CPort/message_catalog_p.h"

using CPort::EComPort;

namespace {

// Switches the message language for one test and restores English after.
class Language {
 public:
  Language(const char* language, const std::string& directory) {
    ::setenv("LANGUAGE", language, 1);
    CPort::I18n::SetCatalogDirectory(directory);
    CPort::RefreshPortErrorMessages();
  }
  ~Language() {
    ::unsetenv("LANGUAGE");
    ::unsetenv("LANG");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    CPort::I18n::SetCatalogDirectory(original_);
    CPort::RefreshPortErrorMessages();
  }

 private:
  std::string original_ = CPort::I18n::CatalogDirectory();
};

// The bytes of a .mo file holding `entries`, laid out as msgfmt does.
std::string MoFile(std::vector<std::pair<std::string, std::string>> entries) {
  std::sort(entries.begin(), entries.end());
  const auto n = static_cast<std::uint32_t>(entries.size());
  std::string out;
  auto word = [&](std::uint32_t w) { out.append(reinterpret_cast<const char*>(&w), 4); };
  word(0x950412de);
  word(0);
  word(n);
  word(28);
  word(28 + 8 * n);
  word(0);
  word(0);
  std::uint32_t offset = 28 + 16 * n;
  std::string strings;
  auto table = [&](bool originals) {
    for (const auto& [original, translation] : entries) {
      const std::string& text = originals ? original : translation;
      word(static_cast<std::uint32_t>(text.size()));
      word(offset);
      strings += text + '\0';
      offset += static_cast<std::uint32_t>(text.size()) + 1;
    }
  };
  table(true);
  table(false);
  return out + strings;
}

}  // namespace

TEST(PortErrors, MessageWithOsCodeAppendsTheSuffix) {
  EComPort e(10, 6);
  EXPECT_STREQ(e.what(), "ClearCommError function failed (win error code: 6)");
  EXPECT_EQ(e.PortErrorCode(), 10);
  EXPECT_EQ(e.OsErrorCode(), 6);
  EXPECT_STREQ(EComPort(1, 2).what(), "Unable to open com port (win error code: 2)");
  EXPECT_STREQ(EComPort(23, -7).what(), "Registry error (win error code: -7)");
}

TEST(PortErrors, MessageWithoutOsCodeIsTheTableTextAlone) {
  EComPort e(4);
  EXPECT_STREQ(e.what(), "Invalid Async parameter");
  EXPECT_EQ(e.OsErrorCode(), -1);
  EXPECT_STREQ(EComPort(14).what(), "Cannot set property while connected");
}

TEST(PortErrors, TableHasAllTwentyThreeTextsWithoutGaps) {
  for (int code = 1; code <= CPort::PortErr::Count; ++code) {
    EXPECT_FALSE(CPort::PortErrorMessages[code].empty()) << code;
    EXPECT_EQ(CPort::PortErrorMessages[code], CPort::kPortErrorTexts[code]) << code;
  }
  EXPECT_STREQ(EComPort(19).what(), "Cannot change led state if ComPort is selected");
  EXPECT_STREQ(EComPort(23).what(), "Registry error");
}

TEST(PortErrors, GermanCatalogTranslatesTableAndSuffix) {
  Language german("de", CPort::I18n::CatalogDirectory());
  EXPECT_STREQ(EComPort(1, 2).what(), "Serielle Schnittstelle kann nicht geöffnet werden (Windows-Fehlercode: 2)");
  EXPECT_STREQ(EComPort(4).what(), "Ungültiger Async-Parameter");
}

// Choosing the language used to set the process's locale and LANGUAGE, from
// a static initialiser and again at each refresh, while other threads may
// read both.
TEST(PortErrors, LangSelectsTheCatalogEvenWhereTheLocaleIsNotGeneratedAndChangesNoProcessState) {
  Language reset("", CPort::I18n::CatalogDirectory());
  ::unsetenv("LANGUAGE");
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  const std::string locale = std::setlocale(LC_ALL, nullptr);
  // A locale name that no machine has generated: glibc stays in "C".
  ::setenv("LANG", "de_DE.NOT-GENERATED", 1);
  CPort::RefreshPortErrorMessages();
  EXPECT_STREQ(EComPort(9).what(), "Funktion SetupComm fehlgeschlagen");
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), locale);
  EXPECT_EQ(std::getenv("LANGUAGE"), nullptr);

  ::setenv("LANG", "C", 1);
  CPort::RefreshPortErrorMessages();
  EXPECT_STREQ(EComPort(9).what(), "SetupComm function failed");
}

TEST(PortErrors, UnknownLanguageKeepsEnglish) {
  Language none("tlh", CPort::I18n::CatalogDirectory());
  EXPECT_STREQ(EComPort(7, 22).what(), "SetCommState function failed (win error code: 22)");
}

// A translation is data: stray directives in it must come out as text, and
// only the suffix's %d receives the code.
TEST(PortErrors, StrayFormatDirectivesInTranslationsStayText) {
  Language stray("xx", TEST_LOCALE_DIR);
  EXPECT_STREQ(EComPort(1, 5).what(), "Port %s kaputt 100% [%s/5/%/%x]");
  EXPECT_STREQ(EComPort(1).what(), "Port %s kaputt 100%");
}

// --- The device and the system's text ----------------------------------------

using CPort::Platform::CommCall;
using CPort::Platform::VirtualDevice;

class PortErrorDevice : public VirtualPortTest {};

// Each failing operation of a port must name the port in its error while
// keeping the message exactly as before; an operation that drops the device
// leaves the user guessing which port failed.
TEST_F(PortErrorDevice, EveryFailingOperationNamesItsDeviceAndKeepsItsMessage) {
  struct Row {
    const char* what;
    int portCode;
    int error;
    std::function<void(VirtualDevice&, CPort::TComPort&)> run;
  };
  const Row rows[] = {
      {"open", CPort::PortErr::OpenFailed, EACCES,
       [](VirtualDevice& d, CPort::TComPort& p) {
         d.FailOpen(EACCES, 1);
         p.OpenPort();
       }},
      {"line settings", CPort::PortErr::SetStateFailed, EINVAL,
       [](VirtualDevice& d, CPort::TComPort& p) {
         d.FailCall(CommCall::SetCommState, EINVAL, 1);
         p.SetBaudRate(CPort::br57600);
       }},
      {"write", CPort::PortErr::WriteFailed, EIO,
       [](VirtualDevice& d, CPort::TComPort& p) {
         d.FailCall(CommCall::WriteFile, EIO, 1);
         p.SendText("x");
       }},
      {"input count", CPort::PortErr::ClearErrorFailed, EIO,
       [](VirtualDevice& d, CPort::TComPort& p) {
         d.FailCall(CommCall::ClearCommError, EIO, 1);
         p.PendingInput();
       }},
      {"break", CPort::PortErr::EscapeFailed, EIO,
       [](VirtualDevice& d, CPort::TComPort& p) {
         d.FailCall(CommCall::EscapeCommFunction, EIO, 1);
         p.SetBreak(true);
       }},
  };
  port->SetEvents({});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.portCode != CPort::PortErr::OpenFailed) port->OpenPort();
    try {
      row.run(*device, *port);
      ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.Device(), DeviceName());
      EXPECT_STREQ(e.what(), EComPort(row.portCode, row.error).what());
      EXPECT_EQ(e.OsErrorText(), std::strerror(row.error));
    }
    port->ClosePort();
  }
  EXPECT_EQ(EComPort(4).Device(), "");
  EXPECT_EQ(EComPort(4).OsErrorText(), "");
}

// Would catch: a break that is not held until cleared, one left on the line
// after the port closed, one "sent" on a closed port or a lost device
// without an error, and a pty (which ignores breaks) refusing one.
TEST_F(PortErrorDevice, BreakHoldsTheLineUntilClearedAndNeedsTheDevice) {
  port->SetEvents({});
  const auto failure = [&](bool on) {
    try {
      port->SetBreak(on);
      return 0;
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), CPort::PortErr::EscapeFailed);
      return e.OsErrorCode();
    }
  };
  EXPECT_EQ(failure(true), EBADF) << "closed port";
  port->OpenPort();
  EXPECT_EQ(failure(true), 0);
  EXPECT_TRUE(device->LineInBreak());
  EXPECT_EQ(failure(true), 0);
  EXPECT_EQ(device->BreaksFromPort(), 1) << "one break held, not two";
  EXPECT_EQ(failure(false), 0);
  EXPECT_FALSE(device->LineInBreak());
  EXPECT_EQ(failure(true), 0);
  port->ClosePort();
  EXPECT_FALSE(device->LineInBreak()) << "closing releases the line";
  port->OpenPort();
  device->Unplug();
  EXPECT_EQ(failure(true), EIO) << "lost device";
  port->ClosePort();

  PtyPair pty;
  CPort::TComPort ptyPort;
  ptyPort.SetPort(pty.SlavePath());
  ptyPort.SetEvents({});
  ptyPort.OpenPort();
  EXPECT_NO_THROW(ptyPort.SetBreak(true));
  EXPECT_NO_THROW(ptyPort.SetBreak(false));
}

// A device lost while the event thread waits: the error that reaches the
// application's error display names it too.
TEST_F(PortErrorDevice, LostDeviceReportedByTheEventThreadNamesIt) {
  std::string reported;
  CPort::Runtime::SetApplicationErrorDisplay([&](std::exception_ptr error, const void*) {
    try {
      std::rethrow_exception(error);
    } catch (const EComPort& e) {
      reported = e.Device();
    } catch (...) {
      reported = "another error";
    }
  });
  port->OpenPort();
  device->Unplug();
  EXPECT_TRUE(ServeUntil([&] { return !reported.empty(); }));
  CPort::Runtime::SetApplicationErrorDisplay(nullptr);
  EXPECT_EQ(reported, DeviceName());
}

// --- Hints --------------------------------------------------------------------

namespace {

struct stat DeviceStat(mode_t mode, gid_t gid, uid_t uid = 0) {
  struct stat st {};
  st.st_mode = S_IFCHR | mode;
  st.st_gid = gid;
  st.st_uid = uid;
  return st;
}

}  // namespace

// Built from given facts so that every variant is checked, also as root. A
// wrong variant sends the user to join a group that cannot help.
TEST(PortErrorHints, AccessHintAdvisesOnlyWhatCanHelp) {
  struct Row {
    const char* what;
    struct stat st;
    CPort::Detail::AccessFacts facts;
    std::string expected;
  };
  const Row rows[] = {
      {"group may use it: join it",
       DeviceStat(0660, 0),
       {"alice", false, false},
       "Only members of the group \"root\" may open /dev/ttyUSB0. Add your user to it with \"sudo usermod -aG root "
       "alice\", then log in again."},
      {"joined but not in this session: log in again",
       DeviceStat(0660, 0),
       {"alice", false, true},
       "Your user joined the group \"root\", which may open /dev/ttyUSB0, after this session began. Log in again (or "
       "start a shell with \"newgrp root\")."},
      {"group may not write: only the owner",
       DeviceStat(0640, 0),
       {"alice", false, false},
       "Only its owner \"root\" may open /dev/ttyUSB0 (permissions crw-r-----)."},
      {"already in the group: no advice", DeviceStat(0660, 0), {"alice", true, true}, ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(CPort::Detail::AccessHint("/dev/ttyUSB0", row.st, row.facts), row.expected) << row.what;
}

// The hint reads the device's real group: a file whose mode lets its group
// in names that group.
TEST(PortErrorHints, AccessHintOfARealDeviceNamesItsGroup) {
  TempDir dir;
  const std::string path = dir.File("device");
  std::ofstream(path) << "";
  ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const std::string hint = EComPort(CPort::PortErr::OpenFailed, EACCES, path).Hint();
  if (CPort::Detail::AccessFactsFor(st.st_gid).processInGroup) {
    EXPECT_EQ(hint, "");  // the file's group is ours: joining cannot help
  } else {
    EXPECT_NE(hint.find("may open " + path), std::string::npos) << hint;
  }
  // The group of a file we create is our own; chgrp to one we lack (as root)
  // shows the advice itself.
  if (::geteuid() == 0 && ::chown(path.c_str(), 0, 65534) == 0) {
    const std::string advice = EComPort(CPort::PortErr::OpenFailed, EACCES, path).Hint();
    EXPECT_NE(advice.find("sudo usermod -aG "), std::string::npos) << advice;
  }
}

// A pty held open by two other processes, one of which locked it as a port
// does: the hint names the one in the way, not the one that merely keeps the
// pty open (as the demo device does for its own side).
TEST(PortErrorHints, BusyHintNamesTheProcessThatLockedTheDevice) {
  PtyPair pty;
  auto holdInChild = [&](bool lock) {
    int ready[2];
    if (::pipe(ready) != 0) return pid_t{-1};
    const pid_t child = ::fork();
    if (child == 0) {
      // Only async-signal-safe calls between fork and _exit.
      const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0 || (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) ::_exit(1);
      const char ok = 'k';
      if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char signal = 0;
    const bool childReady = child > 0 && ::read(ready[0], &signal, 1) == 1;
    ::close(ready[0]);
    return childReady ? child : pid_t{-1};
  };
  const pid_t keeper = holdInChild(false);
  const pid_t locker = holdInChild(true);

  CPort::TComPort port;
  port.SetPort(pty.SlavePath());
  std::string hint;
  int error = 0;
  try {
    port.OpenPort();
  } catch (const EComPort& e) {
    error = e.OsErrorCode();
    hint = e.Hint();
  }
  for (const pid_t child : {keeper, locker}) {
    if (child <= 0) continue;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  ASSERT_GT(keeper, 0);
  ASSERT_GT(locker, 0);
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(hint, pty.SlavePath() + " is in use by cport_tests (PID " + std::to_string(locker) + ").");

  // Nobody found, and some processes could not be looked at.
  EXPECT_EQ(CPort::Detail::BusyHint("/dev/ttyS9", {}, true),
            "/dev/ttyS9 is in use by a program that could not be identified; it may belong to another user "
            "(\"sudo fuser -v /dev/ttyS9\" names it).");
}

// A name that exists nowhere: the hint lists the ports that do exist, a
// registered virtual device among them; in German with the German catalog.
TEST(PortErrorHints, MissingPortHintListsThePortsPresent) {
  const std::string present = "VDEV-hint-present";
  VirtualDevice::Register(present);
  CPort::TComPort port;
  port.SetPort("no-such-port-here");
  std::string hint, german;
  try {
    port.OpenPort();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.OsErrorCode(), ENOENT);
    hint = e.Hint();
    Language de("de", CPort::I18n::CatalogDirectory());
    german = e.Hint();
  }
  VirtualDevice::Unregister(present);
  EXPECT_EQ(hint.rfind("There is no port /dev/no-such-port-here. Ports present: ", 0), 0u) << hint;
  EXPECT_NE(hint.find(present), std::string::npos) << hint;
  EXPECT_EQ(german.rfind("Es gibt keine Schnittstelle /dev/no-such-port-here. Vorhanden: ", 0), 0u) << german;
}

// Placeholders come from a translation, which is data: unknown or unclosed
// ones stay text, and a value is never scanned again.
TEST(PortErrorHints, PlaceholdersFillOnlyKnownNames) {
  EXPECT_EQ(CPort::Detail::FillPlaceholders("{a} {b} {c {a}} {", {{"a", "{b}"}, {"b", "2"}}), "{b} 2 {c {b}} {");
}

// Catalogs are files on disk: a damaged one must be refused without reading
// past its end, and one in another charset still gives UTF-8 messages.
TEST(PortErrors, CatalogReaderRefusesDamagedFilesAndConvertsCharsets) {
  using CPort::I18n::MessageCatalog;
  const std::string good = MoFile({{"", "Content-Type: text/plain; charset=UTF-8\n"},
                                   {"Registry error", "Registrierungsfehler"},
                                   {"Failed to load settings", "Laden fehlgeschlagen"}});
  const auto parsed = MessageCatalog::Parse(good);
  ASSERT_TRUE(parsed);
  ASSERT_NE(parsed->Find("Registry error"), nullptr);
  EXPECT_EQ(*parsed->Find("Registry error"), "Registrierungsfehler");
  EXPECT_EQ(parsed->Find("Unable to open com port"), nullptr);
  // Every cut through the tables or the texts (the last text's closing zero
  // is not needed).
  for (std::size_t n = 0; n + 1 < good.size(); ++n)
    EXPECT_FALSE(MessageCatalog::Parse(std::string(good, 0, n))) << "cut at " << n;
  std::string wrongMagic = good;
  wrongMagic[0] = 'x';
  EXPECT_FALSE(MessageCatalog::Parse(wrongMagic));
  std::string hugeCount = good;
  hugeCount[11] = '\x7f';
  EXPECT_FALSE(MessageCatalog::Parse(hugeCount));

  const auto latin1 = MessageCatalog::Parse(MoFile(
      {{"", "Content-Type: text/plain; charset=ISO-8859-1\n"}, {"Registry error", "Registrierungsfehler \xe4"}}));
  ASSERT_TRUE(latin1);
  EXPECT_EQ(*latin1->Find("Registry error"), "Registrierungsfehler \xc3\xa4");
  EXPECT_FALSE(MessageCatalog::Parse(MoFile({{"", "Content-Type: text/plain; charset=NO-SUCH-CHARSET\n"}})));
}
