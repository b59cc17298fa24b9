// Port errors: message forms, codes, and translation through the catalogs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/i18n_p.h"

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

TEST(PortErrors, LangSelectsTheCatalogEvenWhereTheLocaleIsNotGenerated) {
  Language reset("", CPort::I18n::CatalogDirectory());
  ::unsetenv("LANGUAGE");
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  // A locale name that no machine has generated: glibc stays in "C".
  ::setenv("LANG", "de_DE.NOT-GENERATED", 1);
  CPort::RefreshPortErrorMessages();
  EXPECT_STREQ(EComPort(9).what(), "Funktion SetupComm fehlgeschlagen");

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
