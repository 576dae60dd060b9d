// Root works in places that ordinary users control: their homes, and on many
// Macs /usr/local or /opt/homebrew. Here a user swaps files, folders and links
// while the service runs, and nothing outside the user's own rights may be
// read, written or removed.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/service_helpers.h"
#include "tests/support/locations.h"

#ifndef KESTRUN_NOPAUSE_TOOL_PATH
#error "KESTRUN_NOPAUSE_TOOL_PATH must name the build whose loop does not rest"
#endif

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kNoPauseTool[] = "/payload/bin/kestrun-nopause";
constexpr char kSecret[] = "VirtualDriver=Secret\r";
constexpr char kUnsafe[] = ": its folder is reached through another user's link";

// Everything below a folder, with what identifies each item's state.
std::vector<std::string> Snapshot(const Sandbox& sandbox, std::string_view folder) {
  static std::vector<std::string>* sink;
  std::vector<std::string> out;
  sink = &out;
  nftw(
      sandbox.at(folder).c_str(),
      [](const char* path, const struct stat* st, int, FTW*) {
        sink->push_back(std::string(path) + " " + std::to_string(st->st_ino) + " " +
                        std::to_string(st->st_mode) + " " + std::to_string(st->st_uid) + " " +
                        std::to_string(st->st_size) + " " + std::to_string(st->st_mtim.tv_sec) +
                        "." + std::to_string(st->st_mtim.tv_nsec));
        return 0;
      },
      16, FTW_PHYS);
  return out;
}

// Whether any regular file below a folder contains the text.
bool AnyFileContains(const Sandbox& sandbox, std::string_view folder, const std::string& text) {
  static const std::string* needle;
  static bool found;
  needle = &text;
  found = false;
  nftw(
      sandbox.at(folder).c_str(),
      [](const char* path, const struct stat* st, int, FTW*) {
        if (S_ISREG(st->st_mode) && ReadHostFile(path).find(*needle) != std::string::npos) {
          found = true;
        }
        return 0;
      },
      16, FTW_PHYS);
  return found;
}

// Reads a file as the calling process; empty when it cannot.
std::string ReadAsMe(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  close(fd);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void WriteAsMe(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write(fd, content.data(), content.size());
  close(fd);
}

class HomeSafetyTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({alice});
    // A file only root may read, and a folder only root may write.
    sandbox.makeDirs("/private/secret");
    sandbox.writeFile("/private/secret/Modules", kSecret, 0600);
    sandbox.writeFile("/private/rootfolder/Modules", "VirtualDriver=Alpha\r", 0644);
    Own(sandbox, "/private/rootfolder/Modules", alice);
  }

  std::vector<std::string> errors() const {
    std::vector<std::string> texts;
    for (const SyslogLine& line : sandbox.syslog()) {
      if (line.type == LogType::kError) texts.push_back(line.text);
    }
    return texts;
  }

  // Client folders for every location, so that passes are quick and quiet.
  void installEveryClient() const {
    for (const char* folder : {"/usr/local/opt/freerdp/lib", "/usr/local/lib", "/opt/local/lib",
                               "/opt/homebrew/opt/freerdp/lib",
                               "/Applications/VMware Horizon Client.app/Contents/Frameworks",
                               "/Applications/WorkSpaces.app/Contents/MacOS",
                               "/Applications/PCoIPClient.app/Contents/MacOS",
                               "/Applications/VMware Horizon Client.app/Contents/Library/pcoip",
                               "/Library/Application Support/Citrix"}) {
      sandbox.makeDirs(folder);
    }
  }

  long passesSeen() const { return static_cast<long>(sandbox.launchctlCalls().size()) / 2; }

  const TestUser alice{"alice", 1001, 1001, "/Users/alice"};
};

TEST_F(HomeSafetyTest, LinksInAHomeReachOnlyWhatTheUserCould) {
  sandbox.writeUsers({alice, {"bob", 1002, 1002, "/Users/bob"}});
  const TestUser bob{"bob", 1002, 1002, "/Users/bob"};
  MakeHome(sandbox, bob, nullptr);
  sandbox.symlink("/private/secret/Modules", bob.home + kModulesFile);
  Own(sandbox, bob.home + kModulesFile, bob);
  sandbox.makeDirs(alice.home + "/Library/Application Support");
  sandbox.symlink("/private/rootfolder",
                  alice.home + "/Library/Application Support/Citrix Receiver");
  OwnTree(sandbox, alice.home, alice);
  const auto secret = Snapshot(sandbox, "/private");

  RunResult result = runTool({"create"});
  EXPECT_EQ(result.exitCode, 0);
  // alice's file could be read with her rights, but not be replaced in
  // root's folder: reported, and left as it was.
  EXPECT_THAT(result.out, HasSubstr("\nCitrix enabled for: alice \n"));
  EXPECT_EQ(Snapshot(sandbox, "/private"), secret);
  EXPECT_EQ(sandbox.readFile("/private/secret/Modules"), kSecret);
  EXPECT_EQ(sandbox.readFile("/private/rootfolder/Modules"), "VirtualDriver=Alpha\r");
  EXPECT_EQ(sandbox.readLink(bob.home + kModulesFile), "/private/secret/Modules");
  EXPECT_FALSE(AnyFileContains(sandbox, "/Users", "Secret"));
}

TEST_F(HomeSafetyTest, SwappingTheModuleFileAndItsFolderDuringPassesLeaksNothing) {
  sandbox.copyIn(KESTRUN_NOPAUSE_TOOL_PATH, kNoPauseTool);
  installEveryClient();
  MakeHome(sandbox, alice, nullptr);
  const std::string support = sandbox.at(alice.home + "/Library/Application Support");
  const std::string folder = support + "/Citrix Receiver";
  const std::string saved = support + "/Citrix Receiver.saved";
  const std::string file = folder + "/Modules";
  const std::string fresh = folder + "/Modules.new";
  const std::string link = folder + "/Modules.link";
  const auto before = Snapshot(sandbox, "/private");

  // alice, again and again: her own file, then a link to root's secret in its
  // place, then the whole folder a link to root's folder, and back. The two
  // dangerous states last longest.
  UserProcess attacker(alice, [&](std::atomic<long>* counters) {
    const long round = counters[0].load();
    // What the service left in place of the link of the last round: a file
    // that is not hers, or one with root's secret, would be root's doing.
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid != alice.uid) {
      counters[3].fetch_add(1);
    }
    if (ReadAsMe(file).find("Secret") != std::string::npos) counters[2].fetch_add(1);
    WriteAsMe(fresh, "VirtualDriver=Alpha\r");
    (void)!rename(fresh.c_str(), file.c_str());
    usleep(200);
    if (ReadAsMe(file).find("vq=On") != std::string::npos) counters[1].fetch_add(1);
    (void)!symlink("/private/secret/Modules", link.c_str());
    (void)!rename(link.c_str(), file.c_str());
    usleep(static_cast<useconds_t>(1000 + round % 5 * 250));
    (void)!rename(folder.c_str(), saved.c_str());
    (void)!symlink("/private/rootfolder", folder.c_str());
    usleep(static_cast<useconds_t>(1000 + round % 3 * 500));
    (void)!unlink(folder.c_str());
    (void)!rename(saved.c_str(), folder.c_str());
  });
  ASSERT_TRUE(attacker.started());
  SandboxProcess service = sandbox.spawn({kNoPauseTool});
  // Until the service has edited alice's own file a few times between swaps.
  const bool raced = WaitUntil(
      [&] { return attacker.counter(1) >= 3 && attacker.counter(0) >= 200 && passesSeen() >= 50; },
      60000);
  service.kill(SIGKILL);
  service.wait();
  attacker.stop();

  EXPECT_TRUE(raced) << "rounds " << attacker.counter(0) << ", edits seen " << attacker.counter(1)
                     << ", passes " << passesSeen();
  EXPECT_EQ(attacker.counter(2), 0) << "root's secret reached alice's file";
  EXPECT_EQ(attacker.counter(3), 0) << "a file not hers appeared in alice's folder";
  EXPECT_EQ(Snapshot(sandbox, "/private"), before);
  EXPECT_EQ(sandbox.readFile("/private/secret/Modules"), kSecret);
  EXPECT_EQ(sandbox.readFile("/private/rootfolder/Modules"), "VirtualDriver=Alpha\r");
  EXPECT_FALSE(AnyFileContains(sandbox, "/Users", "Secret"));
  EXPECT_FALSE(AnyFileContains(sandbox, "/tmp", "Secret"));
  EXPECT_FALSE(AnyFileContains(sandbox, "/var", "Secret"));
}

TEST_F(HomeSafetyTest, UsersLinkInAPluginFolderIsNeverFollowed) {
  ASSERT_EQ(runTool({"install", "/payload"}).exitCode, 0);
  // /usr/local/lib is alice's, as Homebrew leaves it; she points two plug-in
  // folders at root's folders, one of them holding a whole tree.
  sandbox.makeDirs("/usr/local/lib");
  Own(sandbox, "/usr/local/lib", alice);
  sandbox.writeFile("/private/rootlib/libvq-client.dylib/Contents/keep", "root's");
  sandbox.writeFile("/private/rootlib2/libvq-client.dylib", "root's file");
  sandbox.symlink("/private/rootlib", "/usr/local/lib/freerdp2");
  sandbox.symlink("../../../private/rootlib2", "/usr/local/lib/freerdp3");
  Own(sandbox, "/usr/local/lib/freerdp2", alice);
  Own(sandbox, "/usr/local/lib/freerdp3", alice);
  const auto before = Snapshot(sandbox, "/private");
  sandbox.clearSyslog();

  RunResult result = sandbox.run({kInstalledTool, "create"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_THAT(result.out, HasSubstr("[FAIL] libfreerdp.dylib -> " + std::string(kFreeRDP2) + "\n"));
  EXPECT_THAT(result.out, HasSubstr("[FAIL] libfreerdp.dylib -> " + std::string(kFreeRDP3) + "\n"));
  EXPECT_THAT(result.out,
              HasSubstr("[SUCC] libfreerdp.dylib -> " + std::string(kUsrLocalLib) + "\n"));
  EXPECT_THAT(errors(), ElementsAre(std::string("not touching ") + kFreeRDP2 + kUnsafe,
                                    std::string("not touching ") + kFreeRDP3 + kUnsafe));
  EXPECT_EQ(Snapshot(sandbox, "/private"), before);

  // Nor does the removal of every link with the last reference.
  ASSERT_EQ(runTool({"uninstall"}).exitCode, 0);
  EXPECT_FALSE(sandbox.exists(kUsrLocalLib));
  EXPECT_EQ(Snapshot(sandbox, "/private"), before);
  EXPECT_EQ(sandbox.readFile("/private/rootlib/libvq-client.dylib/Contents/keep"), "root's");
}

TEST_F(HomeSafetyTest, SwappingAPluginFolderForALinkDuringPassesRemovesNothingOfRoots) {
  sandbox.copyIn(KESTRUN_NOPAUSE_TOOL_PATH, kNoPauseTool);
  sandbox.makeDirs("/usr/local/lib");
  Own(sandbox, "/usr/local/lib", alice);
  sandbox.writeFile("/private/rootlib/libvq-client.dylib/Contents/keep", "root's");
  sandbox.writeFile("/private/rootlib/other", "root's too");
  const auto before = Snapshot(sandbox, "/private");

  // alice's real plug-in folder, with a folder tree where the link belongs,
  // and beside it her link to root's folder.
  sandbox.makeDirs("/usr/local/lib/freerdp2/libvq-client.dylib/Contents");
  sandbox.symlink("/private/rootlib", "/usr/local/lib/.freerdp2.link");
  OwnTree(sandbox, "/usr/local/lib", alice);
  const std::string plugins = sandbox.at("/usr/local/lib/freerdp2");
  const std::string link = sandbox.at("/usr/local/lib/.freerdp2.link");
  const std::string item = plugins + "/libvq-client.dylib";

  // alice, again and again: the tree in her folder made anew, then the folder
  // and the link trading places many times over, each time in one step.
  UserProcess attacker(alice, [&](std::atomic<long>* counters) {
    struct stat st;
    if (lstat(item.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      // The service had linked in her real folder.
      counters[1].fetch_add(1);
      (void)!unlink(item.c_str());
    }
    (void)!mkdir(item.c_str(), 0755);
    (void)!mkdir((item + "/Contents").c_str(), 0755);
    WriteAsMe(item + "/Contents/file", "alice's");
    for (int flip = 0; flip < 400; ++flip) {
      if (renameat2(AT_FDCWD, plugins.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) != 0) {
        counters[2].fetch_add(1);
      }
      for (volatile int spin = 0; spin < 300 * (flip % 3);) spin = spin + 1;
    }
  });
  ASSERT_TRUE(attacker.started());
  SandboxProcess service = sandbox.spawn({kNoPauseTool});
  const std::string refused = std::string("not touching ") + kFreeRDP2 + kUnsafe;
  const bool raced = WaitUntil(
      [&] {
        const auto seen = errors();
        return attacker.counter(1) >= 10 && attacker.counter(0) >= 200 &&
               std::find(seen.begin(), seen.end(), refused) != seen.end();
      },
      60000);
  service.kill(SIGKILL);
  service.wait();
  attacker.stop();

  EXPECT_TRUE(raced) << "rounds " << attacker.counter(0) << ", links in her folder "
                     << attacker.counter(1);
  EXPECT_EQ(attacker.counter(2), 0) << "the exchange of folder and link failed";
  EXPECT_EQ(Snapshot(sandbox, "/private"), before);
  for (const std::string& error : errors()) EXPECT_EQ(error, refused);
}

}  // namespace
}  // namespace vq::testing
