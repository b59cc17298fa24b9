#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <cstdint>
#include <string>
#include <vector>

#include "CPort/storage/Registry.h"
#include "test_storage_tempdir.h"

using namespace CPort;

namespace {

// Runs SQL on the database behind the registry's back, as another program
// (or a damaged file) would leave it.
void RawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ERegistryException& e) {
    return e.what();
  }
  return "no error";
}

class RegistryTest : public ::testing::Test {
 protected:
  std::string Path() const { return tmp_.File("registry.db"); }
  TempDir tmp_;
};

TEST_F(RegistryTest, TypedValuesRoundTripAcrossObjects) {
  {
    TRegistry reg(Path());
    ASSERT_TRUE(reg.OpenKey("\\Software\\Kelvat\\Port", true));
    reg.WriteString("Port", "ttyUSB0");
    reg.WriteString("Bytes", "\xE4\xFF\x01");
    reg.WriteInteger("Min", INT32_MIN);
    reg.WriteInteger("Minus", -1);
  }
  TRegistry reg(Path());
  ASSERT_TRUE(reg.OpenKey("software\\KELVAT\\port", false));
  EXPECT_EQ(reg.ReadString("port"), "ttyUSB0");
  EXPECT_EQ(reg.ReadString("Bytes"), "\xE4\xFF\x01");
  EXPECT_EQ(reg.ReadInteger("Min"), INT32_MIN);
  EXPECT_EQ(reg.ReadInteger("Minus"), -1);
}

TEST_F(RegistryTest, KeysAreOpenedOrCreatedRelativeToTheCurrentOne) {
  TRegistry reg(Path());
  EXPECT_FALSE(reg.OpenKey("A\\B", false));
  EXPECT_EQ(reg.CurrentPath(), "");
  ASSERT_TRUE(reg.OpenKey("A\\B\\", true));
  EXPECT_EQ(reg.CurrentPath(), "A\\B");
  EXPECT_TRUE(reg.KeyExists("\\A"));  // parents are created too
  ASSERT_TRUE(reg.OpenKey("C", true));
  EXPECT_EQ(reg.CurrentPath(), "A\\B\\C");
  reg.WriteString("V", "in C");
  reg.CloseKey();
  EXPECT_EQ(reg.ReadString("V"), "");  // the root has no such value
  ASSERT_TRUE(reg.OpenKey("\\a\\b\\c", false));
  EXPECT_EQ(reg.ReadString("V"), "in C");
}

TEST_F(RegistryTest, ValueNamesKeepTheOrderOfTheirFirstWrite) {
  TRegistry reg(Path());
  reg.OpenKey("K", true);
  reg.WriteString("Second", "x");
  reg.WriteInteger("First", 1);
  reg.WriteString("Third", "y");
  reg.WriteString("second", "overwritten in place");
  EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Second", "First", "Third"}));
  EXPECT_EQ(reg.ReadString("Second"), "overwritten in place");
  EXPECT_TRUE(reg.DeleteValue("First"));
  EXPECT_FALSE(reg.ValueExists("First"));
}

TEST_F(RegistryTest, ReadFailuresNameTheValue) {
  TRegistry reg(Path());
  reg.OpenKey("K", true);
  reg.WriteString("Text", "abc");
  reg.WriteString("Empty", "");
  reg.WriteInteger("Number", 7);

  EXPECT_EQ(reg.ReadString("Missing"), "");
  EXPECT_EQ(reg.ReadString("Empty"), "");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("Number"); }), "Invalid data type for 'Number'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Text"); }), "Invalid data type for 'Text'");
}

TEST_F(RegistryTest, DataLeftByOthersIsCheckedOnReading) {
  { TRegistry(Path()).OpenKey("K", true); }
  RawExec(Path(),
          "INSERT INTO reg_values VALUES ('K', 'Wide', 4, 4294967296);"
          "INSERT INTO reg_values VALUES ('K', 'Unsigned', 4, 4294967295);"
          "INSERT INTO reg_values VALUES ('K', 'TextAsInt', 4, 'abc');"
          "INSERT INTO reg_values VALUES ('K', 'Expand', 2, CAST('x' AS BLOB));"
          "INSERT INTO reg_values VALUES ('K', 'Zero', 1, X'41004243');"
          "INSERT INTO reg_values VALUES ('K', 'Binary', 3, X'00');");
  TRegistry reg(Path());
  reg.OpenKey("K", false);
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Wide"); }), "Failed to get data for 'Wide'");
  EXPECT_EQ(reg.ReadInteger("Unsigned"), -1);
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("TextAsInt"); }), "Failed to get data for 'TextAsInt'");
  EXPECT_EQ(reg.ReadString("Expand"), "x");
  EXPECT_EQ(reg.ReadString("Zero"), "A");  // cut at the first zero byte
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("Binary"); }), "Invalid data type for 'Binary'");
}

TEST_F(RegistryTest, FailedWriteNamesTheValueAndChangesNothing) {
  TRegistry reg(Path());
  reg.OpenKey("K", true);
  reg.WriteString("Port", "old");
  RawExec(Path(),
          "CREATE TRIGGER refuse BEFORE UPDATE ON reg_values BEGIN SELECT RAISE(ABORT, 'refused'); END;"
          "CREATE TRIGGER refuse_new BEFORE INSERT ON reg_values BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  EXPECT_EQ(ErrorOf([&] { reg.WriteString("Port", "new"); }), "Failed to set data for 'Port'");
  EXPECT_EQ(ErrorOf([&] { reg.WriteInteger("Size", 1); }), "Failed to set data for 'Size'");
  EXPECT_EQ(reg.ReadString("Port"), "old");
}

TEST_F(RegistryTest, AFileThatIsNotADatabaseIsRefused) {
  { std::ofstream(Path()) << "this is not a database, just text that is long enough to have a header"; }
  EXPECT_THROW(TRegistry reg(Path()), ERegistryException);
}

}  // namespace
