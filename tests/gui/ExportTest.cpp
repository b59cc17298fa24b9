// Saving the received text: bytes as the box holds them plus CR LF, under the
// chosen name with ".txt" appended, and file errors shown with their texts.
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll();
}

class ExportTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    ASSERT_TRUE(dir.isValid());
    BuildForm();
  }
  void Save(const QString& name) {
    services.fileNames.push_back(name);
    ChooseFromContextMenu(Child<QPlainTextEdit>("Memo1"), "SaveAsTextFile");
  }
  QTemporaryDir dir;
};

TEST_F(ExportTest, EmptyBoxSavesExactlyCrLfUnderNameDotTxt) {
  ChooseFromContextMenu(Child<QPlainTextEdit>("Memo1"), "ClrStrings");
  Save(dir.filePath("empty"));
  EXPECT_TRUE(services.errors.empty());
  EXPECT_EQ(ReadFile(dir.filePath("empty.txt")), QByteArray("\r\n"));
  EXPECT_FALSE(QFile::exists(dir.filePath("empty")));
}

TEST_F(ExportTest, TxtIsAppendedAgainAndExistingFilesAreReplaced) {
  Save(dir.filePath("log.txt"));
  EXPECT_EQ(ReadFile(dir.filePath("log.txt.txt")), QByteArray("Ready\r\n\r\n"));
  Child<QPlainTextEdit>("Memo1")->clear();
  Save(dir.filePath("log.txt"));
  EXPECT_EQ(ReadFile(dir.filePath("log.txt.txt")), QByteArray("\r\n"));
}

TEST_F(ExportTest, CancelWritesNothing) {
  services.fileNames.push_back(std::nullopt);
  ChooseFromContextMenu(Child<QPlainTextEdit>("Memo1"), "SaveAsTextFile");
  EXPECT_TRUE(QDir(dir.path()).isEmpty());
  EXPECT_TRUE(services.errors.empty());
}

TEST_F(ExportTest, FileErrorsAreShownWithTheRuntimeTexts) {
  Save(dir.filePath("no/such/dir/x"));
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "File not found.");

  ASSERT_TRUE(QDir(dir.path()).mkdir("taken.txt"));
  Save(dir.filePath("taken"));
  ASSERT_EQ(services.errors.size(), 2u);
  EXPECT_EQ(services.errors[1].text, "File access denied.");
}

// The real save dialog, answered by typing the name into it.
TEST(ExportDialogTest, RealSaveDialogGivesTheTypedName) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString target = dir.filePath("typed");
  QTimer answer;
  answer.setInterval(50);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    if (!edit) return;
    edit->setText(target);
    QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
  });
  answer.start();
  MainUnit::TDialogServices services;
  const auto name = services.AskSaveFileName(nullptr);
  answer.stop();
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, target);
}

}  // namespace
}  // namespace GuiTest
