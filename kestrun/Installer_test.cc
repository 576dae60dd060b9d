#include "kestrun/Installer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/file_manager.h"
#include "tests/support/capture_logger.h"

namespace {

std::string Db(const std::string& format, const std::string& version, const std::string& counter) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + format +
         version + counter + "</dict></plist>";
}
std::string Int(const char* key, const char* value) {
  return std::string("<key>") + key + "</key><integer>" + value + "</integer>";
}

struct DbCase {
  friend void PrintTo(const DbCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  std::string content;  // empty: no file
  int result;
  uint32_t counterAfterInstall;  // the counter written by a reference-only install
};

class DatabaseTable : public ::testing::TestWithParam<DbCase> {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kestrun-db-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
    paths = VQInstallPaths::Under(root);
    ASSERT_TRUE(VQKS2Installer::initGlobals(paths));
  }
  void TearDown() override { (void)vq::FileManager::defaultManager()->removeItem(root); }

  std::string root;
  VQInstallPaths paths;
};

TEST_P(DatabaseTable, ClassifiesAndCounts) {
  const DbCase& c = GetParam();
  if (!c.content.empty()) std::ofstream(paths.instPlistFile, std::ios::binary) << c.content;
  vq::CaptureLogger log;
  auto installer = VQKS2Installer::initWithLogger(paths, log);
  ASSERT_EQ(installer->readDB(), c.result) << log.dump();
  if (c.result == InstDBInvalid) return;
  ASSERT_EQ(installer->install(true), 0);
  EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), c.counterAfterInstall);
  auto reread = vq::PropertyList::ReadDictionary(paths.instPlistFile);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->uint32ForKey("ReferenceCounter"), c.counterAfterInstall);
}

const char* F1 = "1";
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, DatabaseTable, ::testing::Values(
  DbCase{"Missing", "", InstDBMissing, 1},
  DbCase{"Current", Db(Int("FormatVersion", F1), Int("Version", "8"), Int("ReferenceCounter", "3")), InstDBCurrent, 4},
  DbCase{"Newer", Db(Int("FormatVersion", F1), Int("Version", "9"), Int("ReferenceCounter", "0")), InstDBCurrent, 1},
  DbCase{"Older", Db(Int("FormatVersion", F1), Int("Version", "7"), Int("ReferenceCounter", "2")), InstDBOlder, 3},
  DbCase{"CounterAtMaximum", Db(Int("FormatVersion", F1), Int("Version", "8"), Int("ReferenceCounter", "4294967295")), InstDBCurrent, 4294967295u},
  DbCase{"FormatTwo", Db(Int("FormatVersion", "2"), Int("Version", "8"), Int("ReferenceCounter", "1")), InstDBInvalid, 0},
  DbCase{"NoFormat", Db("", Int("Version", "8"), Int("ReferenceCounter", "1")), InstDBInvalid, 0},
  DbCase{"CounterAsString", Db(Int("FormatVersion", F1), Int("Version", "8"), "<key>ReferenceCounter</key><string>1</string>"), InstDBInvalid, 0},
  // Integers are read as 32-bit unsigned numbers, as the system's own reader does.
  DbCase{"NegativeCounter", Db(Int("FormatVersion", F1), Int("Version", "8"), Int("ReferenceCounter", "-1")), InstDBCurrent, 4294967295u},
  DbCase{"CounterBeyond32Bits", Db(Int("FormatVersion", F1), Int("Version", "8"), Int("ReferenceCounter", "4294967297")), InstDBCurrent, 2},
  DbCase{"NotADictionary", "<plist version=\"1.0\"><array/></plist>", InstDBMissing, 1},
  DbCase{"Garbage", "not a property list", InstDBMissing, 1},
  DbCase{"NonUtf8Key", Db(Int("FormatVersion", F1), Int("Version", "8"), Int("ReferenceCounter", "1") + "<key>\xc3\x28</key><string>x</string>"), InstDBMissing, 1}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

}  // namespace
