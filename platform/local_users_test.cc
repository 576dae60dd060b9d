#include "platform/local_users.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/support/temp_root.h"

namespace vq::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vq::testing::TempRoot;

// --- login.defs ----------------------------------------------------------------------

TEST(ParseLoginDefsTest, ReadsTheRangeFromDebiansLayout) {
  const LoginUidRange range = ParseLoginDefs(
      "#\n# /etc/login.defs - Configuration control definitions for the login package.\n#\n"
      "MAIL_DIR        /var/mail\n"
      "#UID_MIN 1\n"
      "# UID_MAX 2\n"
      "UID_MIN\t\t\t 500\n"
      "UID_MAX\t\t\t29999\n"
      "SYS_UID_MIN\t\t  100\n"
      "SYS_UID_MAX\t\t  499\n");
  EXPECT_EQ(range.min, 500u);
  EXPECT_EQ(range.max, 29999u);
}

TEST(ParseLoginDefsTest, MissingKeysKeepTheDefaults) {
  EXPECT_EQ(ParseLoginDefs("").min, 1000u);
  EXPECT_EQ(ParseLoginDefs("").max, 60000u);
  const LoginUidRange only_max = ParseLoginDefs("UID_MAX 70000\n");
  EXPECT_EQ(only_max.min, 1000u);
  EXPECT_EQ(only_max.max, 70000u);
  const LoginUidRange only_min = ParseLoginDefs("UID_MIN 2000");  // no final newline
  EXPECT_EQ(only_min.min, 2000u);
  EXPECT_EQ(only_min.max, 60000u);
}

TEST(ParseLoginDefsTest, GarbageValuesAreIgnored) {
  const LoginUidRange range = ParseLoginDefs(
      "UID_MIN abc\n"
      "UID_MIN 12x\n"
      "UID_MIN -5\n"
      "UID_MIN\n"
      "UID_MAX 99999999999\n"
      "UID_MAX 1e5\n"
      "UID_MINIMUM 7\n");
  EXPECT_EQ(range.min, 1000u);
  EXPECT_EQ(range.max, 60000u);
}

TEST(ParseLoginDefsTest, LeadingBlanksTrailingCommentsAndCarriageReturnsAreTolerated) {
  const LoginUidRange range =
      ParseLoginDefs("  \tUID_MIN 1500   # local policy\r\nUID_MAX 2500\r\n");
  EXPECT_EQ(range.min, 1500u);
  EXPECT_EQ(range.max, 2500u);
}

TEST(ParseLoginDefsTest, TheLastDefinitionWins) {
  const LoginUidRange range = ParseLoginDefs("UID_MIN 1100\nUID_MIN 1200\n");
  EXPECT_EQ(range.min, 1200u);
}

// --- Visible accounts ------------------------------------------------------------------

PosixAccount Account(std::string name, uint32_t uid, std::string shell = "/bin/bash") {
  return {uid, uid, std::move(name), "/home/x", std::move(shell)};
}

TEST(IsVisibleAccountTest, UidBoundsAreInclusive) {
  const LoginUidRange range{1000, 60000};
  EXPECT_FALSE(IsVisibleAccount(Account("low", 999), range));
  EXPECT_TRUE(IsVisibleAccount(Account("first", 1000), range));
  EXPECT_TRUE(IsVisibleAccount(Account("last", 60000), range));
  EXPECT_FALSE(IsVisibleAccount(Account("high", 60001), range));
  EXPECT_FALSE(IsVisibleAccount(Account("nobody", 65534), range));
  EXPECT_FALSE(IsVisibleAccount(Account("root", 0), range));
  EXPECT_TRUE(IsVisibleAccount(Account("root", 0), LoginUidRange{0, 0}));
}

TEST(IsVisibleAccountTest, ShellsEndingInNologinOrFalseHideTheAccount) {
  const LoginUidRange range;
  for (const char* shell : {"/usr/sbin/nologin", "/sbin/nologin", "/bin/false", "/usr/bin/false"}) {
    EXPECT_FALSE(IsVisibleAccount(Account("svc", 1500, shell), range)) << shell;
  }
  for (const char* shell : {"/bin/bash", "/bin/zsh", "/bin/sh", "", "/usr/bin/false-start"}) {
    EXPECT_TRUE(IsVisibleAccount(Account("person", 1500, shell), range)) << shell;
  }
}

TEST(IsVisibleAccountTest, NamesStartingWithUnderscoreAreHidden) {
  const LoginUidRange range;
  EXPECT_FALSE(IsVisibleAccount(Account("_www", 1500), range));
  EXPECT_TRUE(IsVisibleAccount(Account("a_b", 1500), range));
  EXPECT_FALSE(IsVisibleAccount(Account("", 1500), range));
}

// --- The password file under a root ----------------------------------------------------

class LocalUsersTest : public ::testing::Test {
 protected:
  TempRoot root;
};

constexpr char kPasswd[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
    "zoe:x:1005:1005:Zoe:/home/zoe:/bin/bash\n"
    "_svc:x:1001:1001::/var/svc:/bin/sh\n"
    "ghost:x:1002:1002::/nonexistent:/usr/bin/false\n"
    "quiet:x:1003:1003::/home/quiet:/usr/sbin/nologin\n"
    "adam:x:1000:1000:Adam,,,:/home/adam:/bin/zsh\n"
    "nobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n"
    "max:x:60000:60000::/home/max:/bin/sh\n"
    "low:x:999:999::/home/low:/bin/sh\n"
    "adam:x:1004:1004:second adam:/home/adam2:/bin/sh\n"
    "quiet:x:1006:1006::/home/quiet:/bin/sh\n";

TEST_F(LocalUsersTest, QueryListsVisibleAccountsInFileOrder) {
  root.writeFile("/etc/passwd", kPasswd);
  root.writeFile("/etc/login.defs", "UID_MIN\t\t\t 1000\nUID_MAX\t\t\t60000\n");
  const LocalIdentityQuery query = QueryLocalUserIdentities();
  EXPECT_TRUE(query.created);
  EXPECT_TRUE(query.executed);
  EXPECT_THAT(query.posixNames, ElementsAre("zoe", "adam", "max"));
}

TEST_F(LocalUsersTest, QueryJudgesADuplicateNameByItsFirstEntryAsLookupDoes) {
  // "adam" is listed once; "quiet" stays hidden although a later entry of
  // that name would be visible, since every lookup finds the first entry.
  root.writeFile("/etc/passwd", kPasswd);
  const LocalIdentityQuery query = QueryLocalUserIdentities();
  EXPECT_EQ(std::count(query.posixNames.begin(), query.posixNames.end(), "adam"), 1);
  EXPECT_EQ(std::count(query.posixNames.begin(), query.posixNames.end(), "quiet"), 0);
  EXPECT_EQ(LookupAccount("quiet")->shell, "/usr/sbin/nologin");
}

TEST_F(LocalUsersTest, QueryUsesTheRangeOfLoginDefsOrTheDefaultsWithoutIt) {
  root.writeFile("/etc/passwd", kPasswd);
  EXPECT_THAT(QueryLocalUserIdentities().posixNames, ElementsAre("zoe", "adam", "max"));

  root.writeFile("/etc/login.defs", "UID_MIN 999\nUID_MAX 1004\n");
  EXPECT_THAT(QueryLocalUserIdentities().posixNames, ElementsAre("adam", "low"));
}

TEST_F(LocalUsersTest, MalformedLinesDoNotEndTheList) {
  root.writeFile("/etc/passwd",
                 "adam:x:1000:1000::/home/adam:/bin/sh\n"
                 "this is no entry\n"
                 "\n"
                 "broken:x:notanumber:1001::/home/broken:/bin/sh\n"
                 "zoe:x:1005:1005::/home/zoe:/bin/sh\n");
  EXPECT_THAT(QueryLocalUserIdentities().posixNames, ElementsAre("adam", "zoe"));
  EXPECT_TRUE(LookupAccount("zoe").has_value());
}

TEST_F(LocalUsersTest, MissingPasswordFileMeansTheQueryDidNotRun) {
  const LocalIdentityQuery query = QueryLocalUserIdentities();
  EXPECT_TRUE(query.created);
  EXPECT_FALSE(query.executed);
  EXPECT_THAT(query.posixNames, IsEmpty());
}

TEST_F(LocalUsersTest, EmptyPasswordFileRunsAndFindsNobody) {
  root.writeFile("/etc/passwd", "");
  const LocalIdentityQuery query = QueryLocalUserIdentities();
  EXPECT_TRUE(query.executed);
  EXPECT_THAT(query.posixNames, IsEmpty());
}

TEST_F(LocalUsersTest, LookupGivesTheWholeEntryOfTheFirstMatch) {
  root.writeFile("/etc/passwd", kPasswd);
  const std::optional<PosixAccount> adam = LookupAccount("adam");
  ASSERT_TRUE(adam.has_value());
  EXPECT_EQ(adam->uid, 1000u);
  EXPECT_EQ(adam->gid, 1000u);
  EXPECT_EQ(adam->name, "adam");
  EXPECT_EQ(adam->home, "/home/adam");
  EXPECT_EQ(adam->shell, "/bin/zsh");
}

TEST_F(LocalUsersTest, LookupFindsHiddenAccountsAndOnlyExactNames) {
  root.writeFile("/etc/passwd", kPasswd);
  const std::optional<PosixAccount> daemon = LookupAccount("daemon");
  ASSERT_TRUE(daemon.has_value());
  EXPECT_EQ(daemon->uid, 1u);
  EXPECT_EQ(daemon->home, "/usr/sbin");
  EXPECT_FALSE(LookupAccount("ada").has_value());
  EXPECT_FALSE(LookupAccount("adamx").has_value());
  EXPECT_FALSE(LookupAccount("Adam").has_value());
  EXPECT_FALSE(LookupAccount("").has_value());
}

TEST_F(LocalUsersTest, LookupWithoutPasswordFileFindsNothing) {
  EXPECT_FALSE(LookupAccount("root").has_value());
}

TEST_F(LocalUsersTest, LookupReadsTheRootsFileNotTheHosts) {
  root.writeFile("/etc/passwd", "root:x:0:0:root:/var/inside-root:/bin/sh\n");
  const std::optional<PosixAccount> account = LookupAccount("root");
  ASSERT_TRUE(account.has_value());
  EXPECT_EQ(account->home, "/var/inside-root");
}

// --- The console -------------------------------------------------------------------------

TEST_F(LocalUsersTest, AChangedPasswordFileIsReadAgain) {
  root.writeFile("/etc/passwd", "zoe:x:1005:1005::/home/zoe:/bin/sh\n");
  EXPECT_THAT(QueryLocalUserIdentities().posixNames, ElementsAre("zoe"));
  ASSERT_TRUE(LookupAccount("zoe").has_value());
  // Same size, new content: an account renamed in place.
  root.writeFile("/etc/passwd", "amy:x:1005:1005::/home/zoe:/bin/sh\n");
  EXPECT_THAT(QueryLocalUserIdentities().posixNames, ElementsAre("amy"));
  EXPECT_FALSE(LookupAccount("zoe").has_value());
  // Replaced by a new file, as account tools do.
  root.writeFile("/etc/passwd.new", "bob:x:1007:1007::/home/bob:/bin/sh\n");
  ASSERT_EQ(rename(root.at("/etc/passwd.new").c_str(), root.at("/etc/passwd").c_str()), 0);
  EXPECT_EQ(LookupAccount("bob")->uid, 1007u);
}

TEST_F(LocalUsersTest, WithoutASeatNobodyOwnsTheConsole) { EXPECT_FALSE(IsConsoleUser()); }

TEST_F(LocalUsersTest, TheActiveUserOfSeat0OwnsTheConsole) {
  const std::string me = std::to_string(getuid());
  const std::string other = std::to_string(getuid() + 1000);
  const auto seat = [](const std::string& active, const std::string& uids) {
    return "# This is private data. Do not parse.\nIS_SEAT0=1\nCAN_MULTI_SESSION=1\n"
           "CAN_TTY=1\nCAN_GRAPHICAL=1\nACTIVE=2\nACTIVE_UID=" +
           active + "\nSESSIONS=2 5\nUIDS=" + uids + "\n";
  };

  root.writeFile("/run/systemd/seats/seat0", seat(me, me + " " + other));
  EXPECT_TRUE(IsConsoleUser());

  root.writeFile("/run/systemd/seats/seat0", seat(other, me + " " + other));
  EXPECT_FALSE(IsConsoleUser()) << "a session on the seat that is not the active one";

  root.writeFile("/run/systemd/seats/seat0", seat(me + "0", me));
  EXPECT_FALSE(IsConsoleUser());

  root.writeFile("/run/systemd/seats/seat0", "IS_SEAT0=1\nUIDS=" + me + "\n");
  EXPECT_FALSE(IsConsoleUser()) << "no active session";
}

}  // namespace
}  // namespace vq::platform
