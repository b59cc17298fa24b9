// Errors, catalogs and the port list of the Windows build.
#include <gtest/gtest.h>

#include <cstdlib>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"
#include "CPort/PortList.h"
#include "CPort/i18n_p.h"

using namespace CPort;

namespace {

// Sets an environment variable for one test, as the C runtime sees it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::_putenv_s(name, value);
  }
  ~ScopedEnv() { ::_putenv_s(name_, old_.c_str()); }

 private:
  const char* name_;
  std::string old_;
};

}  // namespace

TEST(WindowsErrors, FailedOpenCarriesTheSystemCodeItsTextAndAHint) {
  struct Row {
    const char* port;
    int code;
    const char* hint;  // a part of the hint; empty: none expected
  };
  const Row rows[] = {
      {"COM251", ERROR_FILE_NOT_FOUND, "There is no port COM251"},
      {"\\\\.\\COM252", ERROR_FILE_NOT_FOUND, "There is no port COM252"},
      {"rfc2217://127.0.0.1:2217", ERROR_NOT_SUPPORTED, ""},
      {"socket://localhost:7000", ERROR_NOT_SUPPORTED, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    TComPort port;
    port.SetPort(row.port);
    try {
      port.OpenPort();
      ADD_FAILURE() << "opened";
    } catch (const EComPort& e) {
      EXPECT_EQ(e.PortErrorCode(), PortErr::OpenFailed);
      EXPECT_EQ(e.OsErrorCode(), row.code);
      EXPECT_NE(std::string(e.what()).find("(win error code: " + std::to_string(row.code) + ")"), std::string::npos)
          << e.what();
      const std::string text = e.OsErrorText();
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "the system's line break was kept";
      if (*row.hint)
        EXPECT_NE(e.Hint().find(row.hint), std::string::npos) << e.Hint();
      else
        EXPECT_EQ(e.Hint(), "");
    }
    EXPECT_FALSE(port.Connected());
  }
}

TEST(WindowsErrors, AccessDeniedHintSaysAnotherProgramHoldsThePort) {
  const EComPort held(PortErr::OpenFailed, ERROR_ACCESS_DENIED, "\\\\.\\COM3");
  EXPECT_EQ(held.Hint(), "COM3 is held by another program; close it there, then try again.");
  EXPECT_EQ(EComPort(PortErr::OpenFailed, ERROR_INVALID_PARAMETER, "COM3").Hint(), "");
}

TEST(WindowsCatalogs, CatalogBesideTheExeTranslatesTheTableAndTheSuffix_ByTheSameVariablesAsOnLinux) {
  EXPECT_NE(I18n::CatalogDirectory().find("/locale"), std::string::npos) << I18n::CatalogDirectory();
  {
    ScopedEnv all("LC_ALL", "de_DE.UTF-8");
    ScopedEnv language("LANGUAGE", "de");
    RefreshPortErrorMessages();
    EXPECT_EQ(PortErrorMessages[PortErr::OpenFailed], I18n::Translate("Unable to open com port"));
    EXPECT_NE(PortErrorMessages[PortErr::OpenFailed], "Unable to open com port") << "no German catalog found";
    const std::string message = EComPort(PortErr::OpenFailed, 5).what();
    EXPECT_EQ(message.find("win error code"), std::string::npos) << message;
  }
  RefreshPortErrorMessages();
  EXPECT_EQ(PortErrorMessages[PortErr::OpenFailed], "Unable to open com port");
  {
    // No locale variable at all: the user's UI language stands in for the
    // locale (on Linux that would be "C", untranslated), so LANGUAGE counts.
    ScopedEnv all("LC_ALL", ""), messages("LC_MESSAGES", ""), lang("LANG", ""), language("LANGUAGE", "de");
    RefreshPortErrorMessages();
    EXPECT_NE(PortErrorMessages[PortErr::OpenFailed], "Unable to open com port");
  }
  RefreshPortErrorMessages();
}

TEST(WindowsPortList, RegisteredAndExtraPortsSortedWithoutRegardToCase) {
  ScopedEnv extra("CPORT_EXTRA_PORTS", "com10;COM9:COM2");
  std::vector<std::string> ports;
  ListSerialPorts(ports);
  for (const char* name : {"com10", "COM9", "COM2"})
    EXPECT_NE(std::find(ports.begin(), ports.end(), name), ports.end()) << name;
  for (std::size_t i = 1; i < ports.size(); ++i)
    EXPECT_LE(::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, ports[i - 1].c_str(), -1, ports[i].c_str(), -1),
              CSTR_EQUAL)
        << ports[i - 1] << " before " << ports[i];
  const auto at = [&](const char* name) { return std::find(ports.begin(), ports.end(), name) - ports.begin(); };
  EXPECT_LT(at("com10"), at("COM2"));
  EXPECT_LT(at("COM2"), at("COM9"));
}
