#include "platform/property_list.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_root.h"

namespace vq {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;
using testing::TempRoot;

std::string Sample(const std::string& name) {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/plist-binary/" + name, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_FALSE(bytes.str().empty()) << "sample " << name << " is missing";
  return bytes.str();
}

std::string SamplePath(const std::string& name) {
  return std::string(TEST_DATA_DIR) + "/plist-binary/" + name;
}

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// An XML property list whose top-level dictionary holds the given body.
std::string XmlDictionary(const std::string& body) {
  return std::string(kHeader) + "<dict>\n" + body + "</dict>\n</plist>\n";
}

void PutBigEndian(std::string& out, uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// A binary list {"A": chain}: the chain is `levels` arrays, each holding
// `fan` references to the next one, and ends in an integer.
std::string NestedBinary(uint32_t levels, uint32_t fan) {
  constexpr int kRefSize = 4;
  constexpr int kOffsetSize = 4;
  std::string data = "bplist00";
  std::vector<uint64_t> offsets;
  offsets.push_back(data.size());
  data += '\xD1';  // a dictionary of one entry: key object 1, value object 2
  PutBigEndian(data, 1, kRefSize);
  PutBigEndian(data, 2, kRefSize);
  offsets.push_back(data.size());
  data += '\x51';  // an ASCII string of one character
  data += 'A';
  for (uint32_t level = 0; level < levels; ++level) {
    offsets.push_back(data.size());
    if (level + 1 == levels) {
      data += "\x10\x07";
      break;
    }
    data += static_cast<char>(0xA0 | fan);
    for (uint32_t i = 0; i < fan; ++i) PutBigEndian(data, 3 + level, kRefSize);
  }
  const uint64_t table = data.size();
  for (uint64_t offset : offsets) PutBigEndian(data, offset, kOffsetSize);
  data += std::string(6, '\0');
  data += static_cast<char>(kOffsetSize);
  data += static_cast<char>(kRefSize);
  PutBigEndian(data, offsets.size(), 8);  // objects
  PutBigEndian(data, 0, 8);               // top object
  PutBigEndian(data, table, 8);
  return data;
}

// A binary list of one dictionary entry, given the key's and the value's
// encoded objects.
std::string OneEntryBinary(const std::string& key, const std::string& value) {
  std::string data = "bplist00";
  const uint64_t dictionary_at = data.size();
  data += "\xD1\x01\x02";
  const uint64_t key_at = data.size();
  data += key;
  const uint64_t value_at = data.size();
  data += value;
  const uint64_t table = data.size();
  for (uint64_t offset : {dictionary_at, key_at, value_at}) PutBigEndian(data, offset, 2);
  data += std::string(6, '\0');
  data += "\x02\x01";
  PutBigEndian(data, 3, 8);
  PutBigEndian(data, 0, 8);
  PutBigEndian(data, table, 8);
  return data;
}

// An XML list {"A": chain} of `levels` nested arrays.
std::string NestedXml(size_t levels) {
  std::string body = "\t<key>A</key>\n";
  for (size_t i = 0; i < levels; ++i) body += "<array>";
  body += "<integer>7</integer>";
  for (size_t i = 0; i < levels; ++i) body += "</array>";
  return XmlDictionary(body + "\n");
}

// What macOS writes for the installation database of one product.
constexpr char kDatabaseXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>FormatVersion</key>\n"
    "\t<integer>1</integer>\n"
    "\t<key>ReferenceCounter</key>\n"
    "\t<integer>1</integer>\n"
    "\t<key>Version</key>\n"
    "\t<integer>8</integer>\n"
    "</dict>\n"
    "</plist>\n";

// --- Reading the two forms --------------------------------------------------------

TEST(PropertyListReadTest, BinaryAndXmlFormsOfTheSameDictionaryAgree) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"libplist-order.bplist", "libplist-order.plist"},
      {"cpython-test_plistlib-TESTDATA.bplist", "cpython-test_plistlib-TESTDATA.xml.plist"},
  };
  for (const auto& [binary_name, xml_name] : pairs) {
    SCOPED_TRACE(binary_name);
    std::optional<PropertyList> binary = PropertyList::ParseDictionary(Sample(binary_name));
    std::optional<PropertyList> xml = PropertyList::ParseDictionary(Sample(xml_name));
    ASSERT_TRUE(binary.has_value());
    ASSERT_TRUE(xml.has_value());
    EXPECT_EQ(binary->xml(), xml->xml());
  }
}

TEST(PropertyListReadTest, ValuesOfARealDictionaryReadTheSameFromBothForms) {
  for (const char* name :
       {"cpython-test_plistlib-TESTDATA.bplist", "cpython-test_plistlib-TESTDATA.xml.plist"}) {
    SCOPED_TRACE(name);
    std::optional<PropertyList> list = PropertyList::ReadDictionary(SamplePath(name));
    ASSERT_TRUE(list.has_value());
    EXPECT_THAT(list->stringForKey("aString"), Optional(std::string("Doodah")));
    EXPECT_THAT(list->stringForKey((std::string("\xC3\x85") + "benraa").c_str()),
                Optional(std::string("That was a unicode key.")));
    EXPECT_THAT(list->uint32ForKey("anInt"), Optional(728u));
    // Integers keep their low 32 bits, sign or not.
    EXPECT_THAT(list->uint32ForKey("aNegativeInt"), Optional(4294967291u));
    EXPECT_THAT(list->uint32ForKey("aNegativeBigInt"), Optional(1604378624u));
    EXPECT_THAT(list->uint32ForKey("aBigInt"), Optional(4294967252u));
    EXPECT_THAT(list->uint32ForKey("aBigInt2"), Optional(44u));
    EXPECT_EQ(list->uint32ForKey("aFloat"), std::nullopt);
    EXPECT_EQ(list->uint32ForKey("aDate"), std::nullopt);
    EXPECT_EQ(list->uint32ForKey("someData"), std::nullopt);
    EXPECT_EQ(list->stringArrayForKey("aList"), std::nullopt) << "the list mixes types";
    EXPECT_TRUE(list->contains("anEmptyDict"));
    EXPECT_FALSE(list->contains("aTrueValue")) << "a nested key is not a top-level one";
  }
}

TEST(PropertyListReadTest, BinaryDictionaryWithLargeDataIsRead) {
  std::optional<PropertyList> list = PropertyList::ParseDictionary(Sample("libplist-data.bplist"));
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(list->contains("Some Data"));
  EXPECT_EQ(list->stringForKey("Some Data"), std::nullopt);
}

// --- What is not a dictionary -----------------------------------------------------

TEST(PropertyListRejectTest, InvalidBinaryFilesAreNoDictionary) {
  for (const char* name : {
           "libplist-malformed_dict.bplist",
           "cpython-invalid-invalid_ascii.bplist",
           "cpython-invalid-non_hashable_key.bplist",
           "cpython-invalid-offset_size_0.bplist",
           "cpython-invalid-too_large_reference_index.bplist",
           "cpython-invalid-too_large_top_object.bplist",
       }) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(PropertyList::ParseDictionary(Sample(name)).has_value());
    EXPECT_FALSE(PropertyList::ReadDictionary(SamplePath(name)).has_value());
  }
}

TEST(PropertyListRejectTest, SelfReferencingBinaryDictionaryIsRejectedWithoutCrashing) {
  EXPECT_FALSE(PropertyList::ParseDictionary(Sample("libplist-recursion.bplist")).has_value());
}

TEST(PropertyListRejectTest, TopLevelArrayAndUidAreNoDictionary) {
  for (const char* name :
       {"libplist-signedunsigned.bplist", "libplist-signedunsigned.plist", "libplist-uid.bplist"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(PropertyList::ParseDictionary(Sample(name)).has_value());
  }
  EXPECT_FALSE(
      PropertyList::ParseDictionary(std::string(kHeader) + "<string>dict</string>\n</plist>\n")
          .has_value());
}

TEST(PropertyListRejectTest, EveryTruncationOfABinaryDictionaryIsRejected) {
  // The trailer that locates everything else sits at the end.
  const std::string whole = Sample("cpython-test_plistlib-TESTDATA.bplist");
  for (size_t length = 1; length < whole.size(); ++length) {
    ASSERT_FALSE(PropertyList::ParseDictionary(whole.substr(0, length)).has_value())
        << "length " << length;
  }
}

TEST(PropertyListRejectTest, NestingOfRealListsIsReadAndWritten) {
  for (const std::string& data : {NestedBinary(100, 1), NestedBinary(10, 2), NestedXml(100)}) {
    std::optional<PropertyList> list = PropertyList::ParseDictionary(data);
    ASSERT_TRUE(list.has_value());
    EXPECT_NE(list->xml().find("<integer>7</integer>"), std::string::npos);
  }
}

TEST(PropertyListRejectTest, DeepNestingIsRejectedWithoutExhaustingTheStack) {
  // Both are within the size limit; reading or writing them recursively would
  // need far more stack than a thread has.
  const std::string binary = NestedBinary(100000, 1);
  const std::string xml = NestedXml(40000);
  ASSERT_LE(binary.size(), PropertyList::kMaxFileSize);
  ASSERT_LE(xml.size(), PropertyList::kMaxFileSize);
  EXPECT_FALSE(PropertyList::ParseDictionary(binary).has_value());
  EXPECT_FALSE(PropertyList::ParseDictionary(xml).has_value());
}

TEST(PropertyListRejectTest, SharedReferencesThatExpandBeyondAnyRealListAreRejected) {
  // 40 arrays of two references each to the next: 2^40 nodes once expanded,
  // from a file of a few hundred bytes.
  const std::string data = NestedBinary(40, 2);
  ASSERT_LT(data.size(), 1024u);
  EXPECT_FALSE(PropertyList::ParseDictionary(data).has_value());
}

TEST(PropertyListRejectTest, BinaryStringsAndKeysMustHoldNoNul) {
  const std::string ascii_key("\x51K", 2);
  const std::string utf16_value("\x62\x00\xC5\x00\x62", 5);  // "\u00C5b"
  std::optional<PropertyList> valid =
      PropertyList::ParseDictionary(OneEntryBinary(ascii_key, utf16_value));
  ASSERT_TRUE(valid.has_value());
  EXPECT_THAT(valid->stringForKey("K"), Optional(std::string("\xC3\x85") + "b"));
  EXPECT_NE(valid->xml().find("<key>K</key>"), std::string::npos);

  const std::string nul_key("\x53K\0L", 4);
  const std::string nul_utf16_key("\x62\x00K\x00\x00", 5);
  const std::string nul_value("\x53v\0w", 4);
  const std::string nul_utf16_value("\x62\x00\x00\x00v", 5);
  const std::string integer("\x10\x07", 2);
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {nul_key, integer},
           {nul_utf16_key, integer},
           {ascii_key, nul_value},
           {ascii_key, nul_utf16_value},
           {integer, integer},
       }) {
    std::optional<PropertyList> list = PropertyList::ParseDictionary(OneEntryBinary(key, value));
    EXPECT_FALSE(list.has_value()) << list->xml();
  }
}

TEST(PropertyListRejectTest, TextThatIsNoPropertyListIsRejected) {
  EXPECT_FALSE(PropertyList::ParseDictionary("").has_value());
  EXPECT_FALSE(PropertyList::ParseDictionary("FormatVersion = 1;").has_value());
  EXPECT_FALSE(PropertyList::ParseDictionary("bplist00").has_value());
  EXPECT_FALSE(
      PropertyList::ParseDictionary(std::string(kHeader) + "<dict>\n<key>A</key>\n").has_value());
}

// --- Values --------------------------------------------------------------------------

TEST(PropertyListValueTest, IntegersAreTruncatedToTheirLow32Bits) {
  std::optional<PropertyList> list = PropertyList::ParseDictionary(
      XmlDictionary("\t<key>Above</key>\n\t<integer>4294967304</integer>\n"
                    "\t<key>MinusOne</key>\n\t<integer>-1</integer>\n"
                    "\t<key>Largest</key>\n\t<integer>4294967295</integer>\n"
                    "\t<key>Huge</key>\n\t<integer>18446744073709551615</integer>\n"
                    "\t<key>Zero</key>\n\t<integer>0</integer>\n"));
  ASSERT_TRUE(list.has_value());
  EXPECT_THAT(list->uint32ForKey("Above"), Optional(8u));
  EXPECT_THAT(list->uint32ForKey("MinusOne"), Optional(4294967295u));
  EXPECT_THAT(list->uint32ForKey("Largest"), Optional(4294967295u));
  EXPECT_THAT(list->uint32ForKey("Huge"), Optional(4294967295u));
  EXPECT_THAT(list->uint32ForKey("Zero"), Optional(0u));
}

TEST(PropertyListValueTest, NonIntegerValuesGiveNoNumber) {
  std::optional<PropertyList> list = PropertyList::ParseDictionary(XmlDictionary(
      "\t<key>String</key>\n\t<string>8</string>\n"
      "\t<key>Real</key>\n\t<real>8</real>\n"
      "\t<key>True</key>\n\t<true/>\n"
      "\t<key>Date</key>\n\t<date>2004-10-26T10:33:33Z</date>\n"
      "\t<key>Data</key>\n\t<data>CA==</data>\n"
      "\t<key>Array</key>\n\t<array>\n\t\t<integer>8</integer>\n\t</array>\n"
      "\t<key>Dict</key>\n\t<dict>\n\t\t<key>Version</key>\n\t\t<integer>8</integer>\n"
      "\t</dict>\n"));
  ASSERT_TRUE(list.has_value());
  for (const char* key : {"String", "Real", "True", "Date", "Data", "Array", "Dict", "Missing"}) {
    EXPECT_EQ(list->uint32ForKey(key), std::nullopt) << key;
  }
}

TEST(PropertyListValueTest, OtherAccessorsAnswerOnlyForTheirOwnType) {
  std::optional<PropertyList> list = PropertyList::ParseDictionary(XmlDictionary(
      "\t<key>Label</key>\n\t<string>com.quendalore.ks2</string>\n"
      "\t<key>RunAtLoad</key>\n\t<false/>\n"
      "\t<key>ProgramArguments</key>\n\t<array>\n\t\t<string>/bin/kestrun</string>\n"
      "\t\t<string></string>\n\t</array>\n"
      "\t<key>Mixed</key>\n\t<array>\n\t\t<string>a</string>\n\t\t<integer>1</integer>\n"
      "\t</array>\n"
      "\t<key>Number</key>\n\t<integer>1</integer>\n"));
  ASSERT_TRUE(list.has_value());
  EXPECT_THAT(list->stringForKey("Label"), Optional(std::string("com.quendalore.ks2")));
  EXPECT_THAT(list->boolForKey("RunAtLoad"), Optional(false));
  EXPECT_THAT(list->stringArrayForKey("ProgramArguments"),
              Optional(ElementsAre("/bin/kestrun", "")));
  EXPECT_EQ(list->stringArrayForKey("Mixed"), std::nullopt);
  EXPECT_EQ(list->stringForKey("Number"), std::nullopt);
  EXPECT_EQ(list->boolForKey("Number"), std::nullopt);
  EXPECT_EQ(list->stringArrayForKey("Label"), std::nullopt);
}

// --- Reading files -------------------------------------------------------------------

class PropertyListFileTest : public ::testing::Test {
 protected:
  TempRoot root;
};

TEST_F(PropertyListFileTest, FileOfExactlyTheLimitIsReadAndOneByteMoreIsNot) {
  const std::string empty_padding = XmlDictionary("\t<key>Pad</key>\n\t<string></string>\n");
  const size_t room = PropertyList::kMaxFileSize - empty_padding.size();
  const auto padded = [](size_t length) {
    return XmlDictionary("\t<key>Pad</key>\n\t<string>" + std::string(length, 'p') + "</string>\n");
  };
  root.writeFile("/at-limit.plist", padded(room));
  root.writeFile("/over-limit.plist", padded(room + 1));
  ASSERT_EQ(root.readFile("/at-limit.plist").size(), PropertyList::kMaxFileSize);

  std::optional<PropertyList> at_limit = PropertyList::ReadDictionary(root.at("/at-limit.plist"));
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(at_limit->stringForKey("Pad")->size(), room);
  EXPECT_FALSE(PropertyList::ReadDictionary(root.at("/over-limit.plist")).has_value());
  EXPECT_FALSE(PropertyList::ParseDictionary(padded(room + 1)).has_value());
}

TEST_F(PropertyListFileTest, FifoAtThePathIsRejectedAtOnce) {
  ASSERT_EQ(mkfifo(root.at("/inst.plist").c_str(), 0600), 0);
  auto reading = std::async(std::launch::async, [&] {
    return PropertyList::ReadDictionary(root.at("/inst.plist")).has_value();
  });
  if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Give the stuck reader a writer so that the test can end.
    const int unblock = open(root.at("/inst.plist").c_str(), O_RDWR | O_CLOEXEC);
    reading.wait();
    if (unblock >= 0) close(unblock);
    FAIL() << "reading a FIFO waited for a writer";
  }
  EXPECT_FALSE(reading.get());
}

TEST_F(PropertyListFileTest, EmptyFileDirectoryAndMissingPathAreNoDictionary) {
  root.writeFile("/empty.plist", "");
  root.makeDirs("/folder.plist");
  EXPECT_FALSE(PropertyList::ReadDictionary(root.at("/empty.plist")).has_value());
  EXPECT_FALSE(PropertyList::ReadDictionary(root.at("/folder.plist")).has_value());
  EXPECT_FALSE(PropertyList::ReadDictionary(root.at("/missing.plist")).has_value());
}

// --- Writing -------------------------------------------------------------------------

// What is read must be what is written back: a key or string that libplist
// would cut short at a NUL is no database.
TEST(PropertyListRoundTripTest, NulInsideXmlIsRejectedAndCharacterReferencesRoundTrip) {
  const std::string head =
      "<plist version=\"1.0\"><dict><key>FormatVersion</key><integer>1</integer><key>";
  EXPECT_FALSE(PropertyList::ParseDictionary(head + std::string("Ins\0talled", 10) +
                                             "</key><string>x</string></dict></plist>"));
  EXPECT_FALSE(PropertyList::ParseDictionary(head + "Key</key><string>a" + std::string("\0", 1) +
                                             "b</string></dict></plist>"));
  int read = 0;
  for (const std::string key : {"a&#0;b", "a&#x0;b", "a&amp;b", "caf\xc3\xa9", "\x84\x84"}) {
    const auto parsed =
        PropertyList::ParseDictionary(head + key + "</key><string>v</string></dict></plist>");
    if (!parsed) continue;  // refused outright is fine too
    ++read;
    const auto again = PropertyList::ParseDictionary(parsed->xml());
    ASSERT_TRUE(again.has_value()) << key;
    EXPECT_EQ(again->xml(), parsed->xml()) << key;
  }
  EXPECT_GE(read, 2) << "ordinary keys must still be read";
}

// Inputs the fuzzer found: lists libplist reads but would write back
// differently. Each is refused, or read exactly as it would be written.
TEST(PropertyListRoundTripTest, FuzzerFindingsReadBackAsWritten) {
  for (const char* name : {"inst-plist-nul-in-key.xml", "inst-plist-markup-in-key.xml"}) {
    std::ifstream in(std::string(TEST_DATA_DIR) + "/fuzz-regressions/" + name, std::ios::binary);
    ASSERT_TRUE(in.good()) << name;
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto parsed = PropertyList::ParseDictionary(bytes.str());
    if (!parsed) continue;
    const auto again = PropertyList::ParseDictionary(parsed->xml());
    ASSERT_TRUE(again.has_value()) << name;
    EXPECT_EQ(again->xml(), parsed->xml()) << name;
  }
}

TEST(PropertyListWriteTest, XmlIsWhatMacOSWritesWithSortedKeysAndTabs) {
  PropertyList list = PropertyList::NewDictionary();
  list.setUInt32("Version", 8);
  list.setUInt32("ReferenceCounter", 1);
  list.setUInt32("FormatVersion", 1);
  EXPECT_EQ(list.xml(), kDatabaseXml);
}

TEST(PropertyListWriteTest, SettingAKeyAgainReplacesItsValue) {
  PropertyList list = PropertyList::NewDictionary();
  list.setUInt32("ReferenceCounter", 1);
  list.setUInt32("ReferenceCounter", 4294967295u);
  EXPECT_EQ(list.xml(),
            XmlDictionary("\t<key>ReferenceCounter</key>\n\t<integer>4294967295</integer>\n"));
  EXPECT_EQ(PropertyList::NewDictionary().xml(), std::string(kHeader) + "<dict/>\n</plist>\n");
}

TEST_F(PropertyListFileTest, WrittenFileHoldsTheXmlWithTheRequestedMode) {
  PropertyList list = PropertyList::NewDictionary();
  list.setUInt32("FormatVersion", 1);
  list.setUInt32("Version", 8);
  list.setUInt32("ReferenceCounter", 1);
  AtomicWriteOptions options;
  options.permissions = 0600;
  ASSERT_TRUE(list.writeToFile(root.at("/inst.plist"), options).ok());
  EXPECT_EQ(root.readFile("/inst.plist"), kDatabaseXml);
  struct stat st;
  ASSERT_EQ(stat(root.at("/inst.plist").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  const FsResult failed = list.writeToFile(root.at("/missing/inst.plist"));
  EXPECT_FALSE(failed.ok());
  EXPECT_FALSE(root.exists("/missing"));
}

TEST_F(PropertyListFileTest, ExtraKeysSurviveAReadModifyWriteRoundTrip) {
  root.writeFile("/inst.plist", XmlDictionary("\t<key>Version</key>\n\t<integer>8</integer>\n"
                                              "\t<key>Products</key>\n"
                                              "\t<dict>\n"
                                              "\t\t<key>zeta</key>\n\t\t<true/>\n"
                                              "\t\t<key>alpha</key>\n"
                                              "\t\t<array>\n"
                                              "\t\t\t<string>one &amp; two</string>\n"
                                              "\t\t\t<integer>2</integer>\n"
                                              "\t\t</array>\n"
                                              "\t</dict>\n"
                                              "\t<key>ReferenceCounter</key>\n"
                                              "\t<integer>1</integer>\n"
                                              "\t<key>FormatVersion</key>\n"
                                              "\t<integer>1</integer>\n"));
  std::optional<PropertyList> list = PropertyList::ReadDictionary(root.at("/inst.plist"));
  ASSERT_TRUE(list.has_value());
  list->setUInt32("ReferenceCounter", 2);
  ASSERT_TRUE(list->writeToFile(root.at("/inst.plist")).ok());

  const std::string expected = XmlDictionary(
      "\t<key>FormatVersion</key>\n\t<integer>1</integer>\n"
      "\t<key>Products</key>\n"
      "\t<dict>\n"
      "\t\t<key>alpha</key>\n"
      "\t\t<array>\n"
      "\t\t\t<string>one &amp; two</string>\n"
      "\t\t\t<integer>2</integer>\n"
      "\t\t</array>\n"
      "\t\t<key>zeta</key>\n\t\t<true/>\n"
      "\t</dict>\n"
      "\t<key>ReferenceCounter</key>\n\t<integer>2</integer>\n"
      "\t<key>Version</key>\n\t<integer>8</integer>\n");
  EXPECT_EQ(root.readFile("/inst.plist"), expected);
  std::optional<PropertyList> again = PropertyList::ReadDictionary(root.at("/inst.plist"));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->xml(), expected);
}

TEST_F(PropertyListFileTest, BinaryDatabaseIsRewrittenAsXml) {
  root.writeFile("/inst.plist", Sample("libplist-order.bplist"));
  std::optional<PropertyList> list = PropertyList::ReadDictionary(root.at("/inst.plist"));
  ASSERT_TRUE(list.has_value());
  ASSERT_TRUE(list->writeToFile(root.at("/inst.plist")).ok());
  const std::string written = root.readFile("/inst.plist");
  EXPECT_EQ(written.rfind(kHeader, 0), 0u);
  std::optional<PropertyList> from_xml =
      PropertyList::ParseDictionary(Sample("libplist-order.plist"));
  ASSERT_TRUE(from_xml.has_value());
  EXPECT_EQ(written, from_xml->xml());
}

}  // namespace
}  // namespace vq
