// The window's small helpers: the byte/text mapping of the received box,
// error texts, whole-number parsing and the text export.
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextDocument>
#include <cerrno>
#include <fstream>

#include "mainUnit/ByteText.h"
#include "mainUnit/ErrorText.h"
#include "mainUnit/IntegerText.h"
#include "mainUnit/TextExport.h"
#include "mainUnit/TimeText.h"
#include "mainUnit/WindowErrors.h"
#include "CPort/ComErrors.h"
#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

using namespace MainUnit;

std::string AllBytesWithLineEnds() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes + "\r\n\r\r\n\n\r" + std::string("\0\0", 2) + "\r\n";
}

TEST(ByteTextTest, EveryByteStringSurvivesTheBox) {
  const std::string bytes = AllBytesWithLineEnds();
  EXPECT_EQ(BoxTextToBytes(BytesToBoxText(bytes)), bytes);

  // Through a real text box, as the window stores and reads it.
  QPlainTextEdit box;
  box.setPlainText(BytesToBoxText("Ready\r\n"));
  QTextCursor cursor(box.document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(BytesToBoxText(bytes));
  EXPECT_EQ(BoxTextToBytes(box.document()->toRawText()), "Ready\r\n" + bytes);
}

TEST(ByteTextTest, ControlBytesAreShownVisibly) {
  EXPECT_EQ(BytesToBoxText(std::string("a\0b", 3)), QString::fromUtf8("a\u2400b"));
  EXPECT_EQ(BytesToBoxText("x\ry\nz\r\n"), QString::fromUtf8("x\u240Dy\u240Az\n"));
}

TEST(ByteTextTest, TypedTextMapsToBytes) {
  EXPECT_EQ(TypedTextToBytes(QString::fromUtf8("A\u00E9")), "A\xE9");
  EXPECT_EQ(TypedTextToBytes(QString::fromUtf8("\u20AC")), "\xE2\x82\xAC") << "no byte: UTF-8";
  EXPECT_EQ(FirstCharacterBytes("255"), "2");
  EXPECT_EQ(FirstCharacterBytes(""), "");
  EXPECT_EQ(FirstCharacterBytes(QString::fromUtf8("\U0001F600x")), "\xF0\x9F\x98\x80");
}

TEST(ErrorTextTest, FullStopRule) {
  EXPECT_EQ(WithFullStop("Disk full"), "Disk full.");
  EXPECT_EQ(WithFullStop("Done."), "Done.");
  EXPECT_EQ(WithFullStop("code (-1)"), "code (-1)");
  EXPECT_EQ(WithFullStop("value '1'"), "value '1'") << "' is below '.'";
  EXPECT_EQ(WithFullStop("x 5"), "x 5.");
  EXPECT_EQ(WithFullStop(""), "");
}

TEST(ErrorTextTest, TitleFromTheExecutableName) {
  EXPECT_EQ(ApplicationTitle("/usr/bin/kelvat-commport"), "kelvat-commport");
  EXPECT_EQ(ApplicationTitle("/usr/bin/Kelvat-CommPort"), "Kelvat-commport");
  EXPECT_EQ(ApplicationTitle("/opt/x/COMMPORT.Bin.old"), "Commport");
  EXPECT_EQ(ApplicationTitle("gui_tests"), "gui_tests");
  EXPECT_EQ(ApplicationTitle("/a/.hidden"), "");
}

TEST(ErrorTextTest, StartupFailureNamesClassModuleAndMessage) {
  const auto error = std::make_exception_ptr(CPort::EComPort(CPort::PortErr::RegistryError, 2));
  EXPECT_EQ(ExceptionClassName(error), "EComPort");
  const QString text = StartupFailureText(ExceptionClassName(error), "kelvat-commport", reinterpret_cast<void*>(0x1234),
                                          ExceptionMessage(error));
  EXPECT_EQ(text, "Exception EComPort in module kelvat-commport at 0000000000001234.\n"
                  "Registry error (win error code: 2).");
  EXPECT_TRUE(StartupFailureText("E", "m", nullptr, "ends.").endsWith("\nends."));
}

// The syntax itself is tested with the library's parser; here the typed
// text's way to it.
TEST(IntegerTextTest, StrToIntTakesTypedTextOrNamesIt) {
  EXPECT_EQ(StrToInt("  -42"), -42);
  EXPECT_EQ(StrToInt("$1F"), 31);
  for (const char* bad : {"abc", "", "\uFF11" /* fullwidth 1 */, "4\u00A0"}) {
    try {
      StrToInt(QString::fromUtf8(bad));
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

// The long format's time zone used to end the status line's time.
TEST(TimeTextTest, TimeOfDayHasNoTimeZone) {
  const QTime time(13, 5, 9);
  const struct {
    const char* locale;
    const char* text;
  } rows[] = {{"C", "13:05:09"}, {"en_US", "1:05:09 PM"}, {"de_DE", "13:05:09"}, {"fi_FI", "13.05.09"},
              {"ko_KR", "\uC624\uD6C4 1\uC2DC 5\uBD84 9\uCD08"}};
  for (const auto& row : rows) {
    const QLocale locale(QString::fromLatin1(row.locale));
    EXPECT_EQ(TimeOfDayText(time, locale), QString::fromUtf8(row.text)) << row.locale;
  }
}

TEST(TextExportTest, WritesBytesThenCrLfAndNamesErrors) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("out.txt").toStdString();
  const std::string bytes("a\0\xFF\r\n", 5);
  ExportText(path, bytes);
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(written, bytes + "\r\n");

  EXPECT_EQ(IoErrorText(ENOENT), "File not found");
  EXPECT_EQ(IoErrorText(ENAMETOOLONG), "Invalid filename");
  EXPECT_EQ(IoErrorText(EMFILE), "Too many open files");
  EXPECT_EQ(IoErrorText(EACCES), "File access denied");
  EXPECT_EQ(IoErrorText(ENOSPC), "Disk full");
  EXPECT_EQ(IoErrorText(EIO), "I/O error 5");
}

TEST(TextExportTest, FullDeviceReportsDiskFull) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  try {
    ExportText("/dev/full", std::string(100000, 'x'));
    ADD_FAILURE() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "Disk full");
  }
}

}  // namespace
}  // namespace GuiTest
