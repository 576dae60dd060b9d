#include "libutils-macOS/users.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/capture_logger.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vq::platform::LocalIdentityQuery;
using vq::platform::PosixAccount;

using Reported = std::tuple<uint32_t, std::string, std::string>;  // uid, name, home

// A password database of hand-made entries that counts its lookups.
class FakeLookup {
 public:
  void add(PosixAccount account) {
    const std::string key = account.name;
    entries_[key] = std::move(account);
  }
  vq::AccountLookup function() {
    return [this](const std::string& name) -> std::optional<PosixAccount> {
      looked_up.push_back(name);
      const auto found = entries_.find(name);
      if (found == entries_.end()) return std::nullopt;
      return found->second;
    };
  }
  std::vector<std::string> looked_up;

 private:
  std::map<std::string, PosixAccount> entries_;
};

class EnumerateGUIAccountsTest : public ::testing::Test {
 protected:
  bool enumerate(const LocalIdentityQuery& query) {
    return vq::EnumerateGUIAccounts(query, lookup.function(), [this](const PosixAccount& account) {
      reported.emplace_back(account.uid, account.name, account.home);
    });
  }

  FakeLookup lookup;
  std::vector<Reported> reported;
};

TEST_F(EnumerateGUIAccountsTest, QueryNotCreatedIsFalseAndReportsNobody) {
  lookup.add({501, 20, "alice", "/Users/alice", "/bin/zsh"});
  LocalIdentityQuery query;
  query.created = false;
  query.executed = true;
  query.posixNames = {"alice"};
  EXPECT_FALSE(enumerate(query));
  EXPECT_THAT(reported, IsEmpty());
  EXPECT_THAT(lookup.looked_up, IsEmpty());
}

TEST_F(EnumerateGUIAccountsTest, QueryNotExecutedIsTrueAndReportsNobody) {
  lookup.add({501, 20, "alice", "/Users/alice", "/bin/zsh"});
  LocalIdentityQuery query;
  query.created = true;
  query.executed = false;
  query.posixNames = {"alice"};
  EXPECT_TRUE(enumerate(query));
  EXPECT_THAT(reported, IsEmpty());
  EXPECT_THAT(lookup.looked_up, IsEmpty());
}

TEST_F(EnumerateGUIAccountsTest, UnresolvableIdentitiesAreSkippedAndTheRestReportedInOrder) {
  lookup.add({503, 20, "carol", "/Users/carol", "/bin/zsh"});
  lookup.add({501, 20, "alice", "/Users/alice", "/bin/zsh"});
  lookup.add({502, 20, "bob", "/Users/bob", "/bin/zsh"});
  LocalIdentityQuery query;
  query.created = true;
  query.executed = true;
  query.posixNames = {"carol", std::nullopt, "ghost", "alice", std::nullopt, "bob"};
  EXPECT_TRUE(enumerate(query));
  EXPECT_THAT(reported, ElementsAre(Reported{503, "carol", "/Users/carol"},
                                    Reported{501, "alice", "/Users/alice"},
                                    Reported{502, "bob", "/Users/bob"}));
  EXPECT_THAT(lookup.looked_up, ElementsAre("carol", "ghost", "alice", "bob"));
}

TEST_F(EnumerateGUIAccountsTest, NameComesFromTheIdentityUidAndHomeFromThePasswordEntry) {
  // The password database may answer a name with an entry spelled otherwise.
  vq::AccountLookup by_any_name = [&](const std::string&) -> std::optional<PosixAccount> {
    return PosixAccount{777, 20, "Alice.Entry", "/Volumes/Home/alice", "/bin/zsh"};
  };
  LocalIdentityQuery query;
  query.created = true;
  query.executed = true;
  query.posixNames = {"alice"};
  std::vector<PosixAccount> accounts;
  EXPECT_TRUE(vq::EnumerateGUIAccounts(
      query, by_any_name, [&](const PosixAccount& account) { accounts.push_back(account); }));
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0].name, "alice");
  EXPECT_EQ(accounts[0].uid, 777u);
  EXPECT_EQ(accounts[0].gid, 20u);
  EXPECT_EQ(accounts[0].home, "/Volumes/Home/alice");
}

TEST_F(EnumerateGUIAccountsTest, EmptyAnswerIsTrueWithNobody) {
  LocalIdentityQuery query;
  query.created = true;
  query.executed = true;
  EXPECT_TRUE(enumerate(query));
  EXPECT_THAT(reported, IsEmpty());
}

// --- Over a password file --------------------------------------------------------------

class EnumGUIUsersTest : public ::testing::Test {
 protected:
  bool enumerate() {
    return vq_enum_GUI_users(
        log, [this](uint32_t uid, const std::string& name, const std::string& home) {
          reported.emplace_back(uid, name, home);
        });
  }

  vq::testing::TempRoot root;
  vq::CaptureLogger log;
  std::vector<Reported> reported;
};

TEST_F(EnumGUIUsersTest, VisibleUsersAreReportedAndHiddenOnesNot) {
  root.writeUsers({
      {"_spotlight", 1001, 1001, "/var/empty"},
      {"alice", 1000, 1000, "/Users/alice", "/bin/zsh"},
      {"daemon", 1002, 1002, "/var/daemon", "/usr/sbin/nologin"},
      {"guest", 1003, 1003, "/Users/guest", "/usr/bin/false"},
      {"system", 999, 999, "/var/system"},
      {"nobody", 60001, 60001, "/var/empty"},
      {"bob", 60000, 60000, "/Users/bob smith"},
  });
  EXPECT_TRUE(enumerate());
  EXPECT_THAT(reported, ElementsAre(Reported{1000, "alice", "/Users/alice"},
                                    Reported{60000, "bob", "/Users/bob smith"}));
  EXPECT_THAT(log.records(), IsEmpty()) << "the enumeration logs nothing";
}

TEST_F(EnumGUIUsersTest, UnreadablePasswordFileIsTrueWithNobody) {
  EXPECT_TRUE(enumerate());
  EXPECT_THAT(reported, IsEmpty());
  EXPECT_THAT(log.records(), IsEmpty());
}

}  // namespace
