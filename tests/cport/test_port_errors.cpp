// Port errors: message forms, codes, and translation through the catalogs.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CPort/ComErrors.h"
#include "CPort/i18n_p.h"
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
