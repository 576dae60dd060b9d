#include "kestrun/ModInstaller.h"

#include <fcntl.h>
#include <ftw.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/capture_logger.h"
#include "platform/effective_identity.h"
#include "platform/file_manager.h"
#include "tests/support/captured_output.h"
#include "tests/support/immutable_file.h"
#include "tests/support/locations.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vq::CaptureLogger;
using vq::LogRecord;
using vq::LogType;
using vq::testing::TempRoot;
using vq::testing::TestUser;
using namespace vq::testing;  // the plug-in locations

constexpr char kModulesFile[] = "/Library/Application Support/Citrix Receiver/Modules";
constexpr char kUnsafeMessage[] = ": its folder is reached through another user's link";

struct Location {
  std::string path;
  std::string file;
  bool isModule;
  bool operator==(const Location&) const = default;
};

const std::vector<Location>& Table() {
  static const std::vector<Location> table = [] {
    std::vector<Location> rows;
    for (const PluginLocation& row : kPluginLocations)
      rows.push_back({row.path, row.file, row.isModule});
    return rows;
  }();
  return table;
}

struct Stat {
  bool exists = false;
  mode_t type = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  ino_t inode = 0;
  int64_t mtimeNs = 0;
};

Stat StatOf(const std::string& path) {
  Stat out;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return out;
  out.exists = true;
  out.type = st.st_mode & S_IFMT;
  out.mode = st.st_mode & 07777;
  out.uid = st.st_uid;
  out.gid = st.st_gid;
  out.inode = st.st_ino;
  out.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return out;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Sample(const std::string& name) {
  const std::string data = ReadHostFile(std::string(TEST_DATA_DIR) + "/citrix/" + name);
  EXPECT_FALSE(data.empty()) << name;
  return data;
}

LogRecord Info(const std::string& text) { return {LogType::kInfo, text}; }

// Every item below a folder with what identifies its state, for "nothing
// changed" checks.
std::vector<std::string> Snapshot(const std::string& folder) {
  std::vector<std::string> out;
  static std::vector<std::string>* sink;
  sink = &out;
  nftw(
      folder.c_str(),
      [](const char* path, const struct stat* st, int, FTW*) {
        sink->push_back(std::string(path) + " " + std::to_string(st->st_ino) + " " +
                        std::to_string(st->st_mode) + " " + std::to_string(st->st_uid) + " " +
                        std::to_string(st->st_mtim.tv_sec) + "." +
                        std::to_string(st->st_mtim.tv_nsec));
        return 0;
      },
      16, FTW_PHYS);
  return out;
}

void OwnTree(const std::string& path, uid_t uid, gid_t gid) {
  static uid_t owner;
  static gid_t group;
  owner = uid;
  group = gid;
  nftw(
      path.c_str(),
      [](const char* item, const struct stat*, int, FTW*) {
        return lchown(item, owner, group) == 0 ? 0 : -1;
      },
      16, FTW_PHYS);
}

// Standard output of fn, byte for byte.
template <typename Fn>
std::string Stdout(Fn fn) {
  return CapturedOutput(STDOUT_FILENO, fn);
}

class ModInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mods = VQKS2ModInstaller::initWithLogger(log);
    ASSERT_NE(mods, nullptr) << log.dump();
    log.clear();
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "---- log ----\n" << log.dump();
  }

  std::string module(const std::string& file) const { return mods->modulesRoot() + "/" + file; }
  std::string conf(const std::string& file) const { return mods->configurationRoot() + "/" + file; }
  int link(const char* location, const char* file = "libfreerdp.dylib", bool isModule = true) {
    return mods->tryMakeLink(location, file, isModule);
  }
  void own(std::string_view absolute, const TestUser& user) const {
    ASSERT_EQ(lchown(root.at(absolute).c_str(), user.uid, user.gid), 0) << absolute;
  }
  std::string unsafe(const char* location) const {
    return "not touching " + root.at(location) + kUnsafeMessage;
  }
  // Client folders in which every location can be linked.
  void installEveryClient() const {
    for (const Location& location : Table()) {
      root.makeDirs(vq::ParentPath(vq::ParentPath(location.path)));
    }
  }
  // A home folder owned by its user, with a module file when content is given.
  void makeHome(const TestUser& user, const std::string* content, mode_t mode = 0644) const {
    const std::string home = user.home.substr(root.path().size());
    root.makeDirs(home + "/Library/Application Support/Citrix Receiver");
    if (content != nullptr) root.writeFile(home + kModulesFile, *content, mode);
    OwnTree(user.home, user.uid, user.gid);
  }
  std::string modulesOf(const TestUser& user) const { return user.home + kModulesFile; }

  TempRoot root;
  CaptureLogger log;
  std::unique_ptr<VQKS2ModInstaller> mods;
  const TestUser alice{"alice", 1001, 1001, root.at("/Users/alice")};
  const TestUser bob{"bob", 1002, 1002, root.at("/Users/bob")};
  const TestUser carol{"carol", 1003, 1003, root.at("/Users/carol")};
};

const std::string kListLine = "VirtualDriver=Alpha, Beta\r";
const std::string kModules = "[ICA 3.0]\r" + kListLine + "Alpha=On\rBeta=On\r";
const std::string kModulesPatched =
    "[ICA 3.0]\rVirtualDriver=Alpha, Beta, vq\rvq=On\rAlpha=On\rBeta=On\r";

// ---- the location table ----

TEST(LocationTable, HoldsTwelveLocationsInOrder) {
  std::vector<Location> visited;
  VQKS2ModInstaller::forEachLocation([&](const char* location, const char* file, bool isModule) {
    visited.push_back({location, file, isModule});
  });
  EXPECT_EQ(visited, Table());

  // The records themselves, ended by a record without a list.
  const VQModRecord* record = vqModAllList;
  EXPECT_EQ(record[0].locations, vqListFreeRDPLocations);
  EXPECT_EQ(record[1].locations, vqListBlastLocations);
  EXPECT_EQ(record[2].locations, vqListPCoIPLocations);
  EXPECT_EQ(record[3].locations, vqListICALocations);
  EXPECT_EQ(record[4].locations, vqListDCVLocations);
  EXPECT_EQ(record[5].locations, nullptr);
  EXPECT_EQ(record[5].origFile, nullptr);
  EXPECT_FALSE(record[5].isModule);
  EXPECT_STREQ(vqListFreeRDPLocations[5], kUsrLocalLib);
  EXPECT_EQ(vqListFreeRDPLocations[6], nullptr);
  EXPECT_EQ(vqListBlastLocations[1], nullptr);
  EXPECT_EQ(vqListPCoIPLocations[3], nullptr);
  EXPECT_EQ(vqListICALocations[1], nullptr);
  EXPECT_EQ(vqListDCVLocations[1], nullptr);
}

// ---- construction ----

TEST_F(ModInstallerTest, RootsFollowTheRunningExecutable) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(n, 0);
  const std::string above = vq::ParentPath(vq::ParentPath(std::string(self, n)));
  EXPECT_EQ(mods->modulesRoot(), above + "/modules");
  EXPECT_EQ(mods->configurationRoot(), above + "/conf");
  EXPECT_EQ(mods->version(), vq::LastPathComponent(above));

  CaptureLogger fresh;
  ASSERT_NE(VQKS2ModInstaller::initWithLogger(fresh), nullptr);
  EXPECT_THAT(fresh.records(), ElementsAre(Info("Kestrun version: " + mods->version() + "\n")));
}

// ---- one location ----

TEST_F(ModInstallerTest, MissingFolderIsCreatedOneLevelDeep) {
  root.makeDirs("/usr/local/lib");
  root.makeDirs("/Library");
  EXPECT_EQ(link(kFreeRDP3), VQLinkMade);
  EXPECT_EQ(link(kDCV, "com.quendalore.dcvproxy.json", false), VQLinkMade);

  EXPECT_EQ(root.readLink(kFreeRDP3), module("libfreerdp.dylib"));
  EXPECT_EQ(root.readLink(kDCV), conf("com.quendalore.dcvproxy.json"));
  for (const char* folder : {"/usr/local/lib/freerdp3", "/Library/DCV Extensions"}) {
    const Stat made = StatOf(root.at(folder));
    EXPECT_EQ(made.type, static_cast<mode_t>(S_IFDIR)) << folder;
    EXPECT_EQ(made.mode, 0755u) << folder;
    EXPECT_EQ(made.uid, 0u) << folder;
  }
  EXPECT_THAT(log.records(), ElementsAre(Info("create link " + root.at(kFreeRDP3)),
                                         Info("create link " + root.at(kDCV))));
}

TEST_F(ModInstallerTest, ClientWithoutItsFoldersFails) {
  root.makeDirs("/Applications");
  EXPECT_EQ(link(kPCoIP, "libpcoip.dylib"), VQLinkFailed);
  EXPECT_EQ(link(kMacPorts), VQLinkFailed);
  EXPECT_THAT(root.list("/Applications"), IsEmpty());
  EXPECT_FALSE(root.exists("/opt"));
  EXPECT_THAT(log.records(), ElementsAre(Info("create link " + root.at(kPCoIP)),
                                         Info("create link " + root.at(kMacPorts))));
}

TEST_F(ModInstallerTest, ItemAtTheFolderPathIsNeverReplaced) {
  // A file, and a link to nowhere, each count as the folder: nothing is made.
  root.writeFile("/usr/local/lib/freerdp3", "not a folder");
  root.symlink(root.at("/absent/freerdp2"), "/usr/local/lib/freerdp2");
  EXPECT_EQ(link(kFreeRDP3), VQLinkFailed);
  EXPECT_EQ(link(kFreeRDP2), VQLinkFailed);
  EXPECT_EQ(root.readFile("/usr/local/lib/freerdp3"), "not a folder");
  EXPECT_EQ(root.readLink("/usr/local/lib/freerdp2"), root.at("/absent/freerdp2"));
  EXPECT_FALSE(root.exists("/absent"));
  EXPECT_THAT(log.records(), ElementsAre(Info("create link " + root.at(kFreeRDP3)),
                                         Info("create link " + root.at(kFreeRDP2))));
}

TEST_F(ModInstallerTest, FileOrFolderAtTheLocationIsReplacedWithResultZero) {
  root.writeFile(kUsrLocalLib, "an old copy");
  root.writeFile(std::string(kCitrix) + "/Contents/Info.plist", "<plist/>");
  root.writeFile(std::string(kCitrix) + "/Contents/MacOS/vq", "binary");
  EXPECT_EQ(link(kUsrLocalLib), VQLinkMade);
  EXPECT_EQ(link(kCitrix, "ica.bundle"), VQLinkMade);
  EXPECT_EQ(root.readLink(kUsrLocalLib), module("libfreerdp.dylib"));
  EXPECT_EQ(root.readLink(kCitrix), module("ica.bundle"));
  EXPECT_THAT(root.list("/Library/Application Support/Citrix/PlugIns"),
              ElementsAre("vq -> " + module("ica.bundle")));
  EXPECT_THAT(log.records(), ElementsAre(Info("remove " + root.at(kUsrLocalLib)),
                                         Info("create link " + root.at(kUsrLocalLib)),
                                         Info("remove " + root.at(kCitrix)),
                                         Info("create link " + root.at(kCitrix))));
}

TEST_F(ModInstallerTest, LinkWithOtherContentIsMadeAnewWithoutTouchingItsTarget) {
  root.writeFile("/elsewhere/libfreerdp.dylib", "their module");
  root.writeFile("/elsewhere/bundle/Contents/Info.plist", "theirs");
  root.makeDirs("/usr/local/lib");
  root.makeDirs("/Library/Application Support/Citrix/PlugIns");
  root.symlink(root.at("/elsewhere/libfreerdp.dylib"), kUsrLocalLib);
  root.symlink(root.at("/elsewhere/bundle"), kCitrix);

  EXPECT_EQ(link(kUsrLocalLib), VQLinkUpdated);
  EXPECT_EQ(link(kCitrix, "ica.bundle"), VQLinkUpdated);
  EXPECT_EQ(root.readLink(kUsrLocalLib), module("libfreerdp.dylib"));
  EXPECT_EQ(root.readLink(kCitrix), module("ica.bundle"));
  EXPECT_EQ(root.readFile("/elsewhere/libfreerdp.dylib"), "their module");
  EXPECT_EQ(root.readFile("/elsewhere/bundle/Contents/Info.plist"), "theirs");
  EXPECT_THAT(log.records(), ElementsAre(Info("remove " + root.at(kUsrLocalLib)),
                                         Info("create link " + root.at(kUsrLocalLib)),
                                         Info("remove " + root.at(kCitrix)),
                                         Info("create link " + root.at(kCitrix))));
}

TEST_F(ModInstallerTest, DanglingLinkWithTheExactContentIsLeftAlone) {
  ASSERT_FALSE(vq::FileManager::defaultManager()->itemExists(module("libfreerdp.dylib")));
  root.makeDirs("/usr/local/lib");
  root.symlink(module("libfreerdp.dylib"), kUsrLocalLib);
  const Stat before = StatOf(root.at(kUsrLocalLib));
  EXPECT_EQ(link(kUsrLocalLib), VQLinkExisting);
  const Stat after = StatOf(root.at(kUsrLocalLib));
  EXPECT_EQ(after.inode, before.inode);
  EXPECT_EQ(after.mtimeNs, before.mtimeNs);
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ModInstallerTest, SameFileInOtherWordsIsUpdated) {
  // The content is compared as text: a relative path or a trailing slash
  // leading to the same file still differs.
  std::string up;
  for (const std::string& component : vq::PathComponents(root.at("/usr/local/lib"))) {
    if (component != "/") up += "../";
  }
  const std::string expected = module("libfreerdp.dylib");
  for (const std::string& other : {up + expected.substr(1), expected + "/", "/" + expected}) {
    log.clear();
    root.makeDirs("/usr/local/lib");
    unlink(root.at(kUsrLocalLib).c_str());
    root.symlink(other, kUsrLocalLib);
    EXPECT_EQ(link(kUsrLocalLib), VQLinkUpdated) << other;
    EXPECT_EQ(root.readLink(kUsrLocalLib), expected);
    EXPECT_THAT(log.records(), ElementsAre(Info("remove " + root.at(kUsrLocalLib)),
                                           Info("create link " + root.at(kUsrLocalLib))));
  }
}

TEST_F(ModInstallerTest, ItemThatCannotBeRemovedFails) {
  root.writeFile(kUsrLocalLib, "stuck");
  vq::testing::ScopedImmutable stuck(root.at("/usr/local/lib"));
  if (!stuck.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  EXPECT_EQ(link(kUsrLocalLib), VQLinkFailed);
  EXPECT_EQ(root.readFile(kUsrLocalLib), "stuck");
  EXPECT_THAT(log.records(), ElementsAre(Info("remove " + root.at(kUsrLocalLib)),
                                         Info("create link " + root.at(kUsrLocalLib))));
}

TEST_F(ModInstallerTest, FolderAtTheLocationGoesWithoutFollowingLinksInside) {
  root.writeFile("/rootlib/keep", "root's");
  root.writeFile(std::string(kCitrix) + "/Contents/Info.plist", "<plist/>");
  root.symlink(root.at("/rootlib"), std::string(kCitrix) + "/Contents/Resources");
  root.symlink(root.at("/rootlib/keep"), std::string(kCitrix) + "/keep");
  const std::vector<std::string> rootlib = Snapshot(root.at("/rootlib"));

  EXPECT_EQ(link(kCitrix, "ica.bundle"), VQLinkMade);
  EXPECT_EQ(root.readLink(kCitrix), module("ica.bundle"));
  EXPECT_EQ(Snapshot(root.at("/rootlib")), rootlib);
  EXPECT_EQ(root.readFile("/rootlib/keep"), "root's");
}

// ---- folders that users can change ----

TEST_F(ModInstallerTest, UsersLinkOutOfTheirOwnFilesIsNeverFollowed) {
  // /usr/local/lib belongs to a user, as with Homebrew; the user points a
  // plug-in folder at a folder of root's.
  root.makeDirs("/usr/local/lib");
  own("/usr/local/lib", alice);
  root.writeFile("/rootlib/libvq-client.dylib/inner/file", "root's");
  root.writeFile("/rootlib2/libvq-client.dylib", "root's file");
  root.symlink(root.at("/rootlib"), "/usr/local/lib/freerdp2");
  own("/usr/local/lib/freerdp2", alice);
  root.symlink("../../../rootlib2", "/usr/local/lib/freerdp3");
  own("/usr/local/lib/freerdp3", alice);
  const std::vector<std::string> before = Snapshot(root.at("/rootlib"));
  const std::vector<std::string> before2 = Snapshot(root.at("/rootlib2"));

  EXPECT_EQ(link(kFreeRDP2), VQLinkFailed);
  EXPECT_EQ(link(kFreeRDP3), VQLinkFailed);
  VQKS2ModInstaller::removeAllLinks();

  EXPECT_EQ(Snapshot(root.at("/rootlib")), before);
  EXPECT_EQ(Snapshot(root.at("/rootlib2")), before2);
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kError, unsafe(kFreeRDP2)},
                                         LogRecord{LogType::kError, unsafe(kFreeRDP3)}));
}

TEST_F(ModInstallerTest, UsersLinkInRootsFolderIsStillTheUsers) {
  root.makeDirs("/usr/local/lib");
  root.makeDirs("/rootlib");
  root.symlink(root.at("/rootlib"), "/usr/local/lib/freerdp2");
  own("/usr/local/lib/freerdp2", alice);
  EXPECT_EQ(link(kFreeRDP2), VQLinkFailed);
  EXPECT_THAT(root.list("/rootlib"), IsEmpty());
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kError, unsafe(kFreeRDP2)}));
}

TEST_F(ModInstallerTest, RootsOwnLinksAndUsersLinksWithinTheirFilesAreFollowed) {
  // Root's link may lead anywhere.
  root.makeDirs("/usr/local/lib");
  root.makeDirs("/elsewhere/freerdp2");
  root.symlink(root.at("/elsewhere/freerdp2"), "/usr/local/lib/freerdp2");
  EXPECT_EQ(link(kFreeRDP2), VQLinkMade);
  EXPECT_EQ(root.readLink("/elsewhere/freerdp2/libvq-client.dylib"), module("libfreerdp.dylib"));

  // Homebrew's opt/ links are relative links of the user, inside the user's files.
  root.makeDirs("/opt");
  root.makeDirs("/opt/homebrew/Cellar/freerdp/2.11.7/lib/freerdp2");
  root.makeDirs("/opt/homebrew/opt");
  root.symlink("../Cellar/freerdp/2.11.7", "/opt/homebrew/opt/freerdp");
  OwnTree(root.at("/opt/homebrew"), alice.uid, alice.gid);
  EXPECT_EQ(link(kHomebrew), VQLinkMade);
  EXPECT_EQ(root.readLink("/opt/homebrew/Cellar/freerdp/2.11.7/lib/freerdp2/libvq-client.dylib"),
            module("libfreerdp.dylib"));
  EXPECT_EQ(link(kHomebrew), VQLinkExisting);

  // The plug-in folder may be missing in the user's files: it is made there.
  root.makeDirs("/usr/local/Cellar/freerdp/2.11.7/lib");
  root.makeDirs("/usr/local/opt");
  root.symlink("../Cellar/freerdp/2.11.7", "/usr/local/opt/freerdp");
  OwnTree(root.at("/usr/local/Cellar"), alice.uid, alice.gid);
  OwnTree(root.at("/usr/local/opt"), alice.uid, alice.gid);
  EXPECT_EQ(link(kHomebrewOpt), VQLinkMade);
  EXPECT_EQ(root.readLink("/usr/local/Cellar/freerdp/2.11.7/lib/freerdp2/libvq-client.dylib"),
            module("libfreerdp.dylib"));
  EXPECT_EQ(link(kHomebrewOpt), VQLinkExisting);
}

TEST_F(ModInstallerTest, UsersAbsoluteLinkIsNotFollowed) {
  // An absolute link starts again at root's "/", which is no place of the user.
  root.makeDirs("/usr/local/lib/freerdp-mine");
  OwnTree(root.at("/usr/local/lib"), alice.uid, alice.gid);
  root.symlink(root.at("/usr/local/lib/freerdp-mine"), "/usr/local/lib/freerdp2");
  own("/usr/local/lib/freerdp2", alice);
  EXPECT_EQ(link(kFreeRDP2), VQLinkFailed);
  EXPECT_THAT(root.list("/usr/local/lib/freerdp-mine"), IsEmpty());

  // The same folder named relatively is the user's own.
  unlink(root.at("/usr/local/lib/freerdp2").c_str());
  root.symlink("freerdp-mine", "/usr/local/lib/freerdp2");
  own("/usr/local/lib/freerdp2", alice);
  EXPECT_EQ(link(kFreeRDP2), VQLinkMade);
  EXPECT_EQ(root.readLink("/usr/local/lib/freerdp-mine/libvq-client.dylib"),
            module("libfreerdp.dylib"));
}

// ---- link check ----

TEST_F(ModInstallerTest, NeedToUpdateComparesTheLinkTextUpTo1024Bytes) {
  root.writeFile("/f", "plain file");
  root.symlink("abc", "/l");
  EXPECT_TRUE(mods->needToUpdate(root.at("/none"), "abc"));
  EXPECT_TRUE(mods->needToUpdate(root.at("/f"), "abc"));
  EXPECT_FALSE(mods->needToUpdate(root.at("/l"), "abc"));
  EXPECT_TRUE(mods->needToUpdate(root.at("/l"), "abcd"));
  EXPECT_TRUE(mods->needToUpdate(root.at("/l"), "ab"));
  EXPECT_TRUE(mods->needToUpdate(root.at("/l"), ""));

  // Only the first 1024 bytes of a longer content are read.
  const std::string longer = "/" + std::string(1100, 'x');
  root.symlink(longer, "/long");
  EXPECT_FALSE(mods->needToUpdate(root.at("/long"), longer.substr(0, 1024)));
  EXPECT_TRUE(mods->needToUpdate(root.at("/long"), longer));
  EXPECT_TRUE(mods->needToUpdate(root.at("/long"), longer.substr(0, 1023)));
}

// ---- whole passes ----

TEST_F(ModInstallerTest, VerbosePassPrintsOneLinePerLocationThenTheCitrixLine) {
  root.makeDirs("/usr/local/lib/freerdp2");
  root.symlink("/old/libfreerdp.dylib", kFreeRDP2);
  root.symlink(module("libfreerdp.dylib"), kUsrLocalLib);
  root.makeDirs("/Applications/PCoIPClient.app/Contents/MacOS");
  root.makeDirs("/Library/Application Support/Citrix/PlugIns");
  root.writeUsers({});

  const std::string out = Stdout([&] { mods->runOnceVerbose(true); });
  auto line = [&](const char* tag, const char* file, const char* location) {
    return std::string("[") + tag + "] " + file + " -> " + root.at(location) + "\n";
  };
  EXPECT_EQ(
      out,
      line("FAIL", "libfreerdp.dylib", kHomebrewOpt) + line("UPDT", "libfreerdp.dylib", kFreeRDP2) +
          line("FAIL", "libfreerdp.dylib", kMacPorts) +
          line("SUCC", "libfreerdp.dylib", kFreeRDP3) +
          line("FAIL", "libfreerdp.dylib", kHomebrew) +
          line("EXST", "libfreerdp.dylib", kUsrLocalLib) + line("FAIL", "libblast.dylib", kBlast) +
          line("FAIL", "libpcoip.dylib", kWorkSpaces) + line("SUCC", "libpcoip.dylib", kPCoIP) +
          line("FAIL", "libpcoip.dylib", kHorizonPCoIP) + line("SUCC", "ica.bundle", kCitrix) +
          line("SUCC", "com.quendalore.dcvproxy.json", kDCV) + "Citrix enabled for no one\n");
}

TEST_F(ModInstallerTest, SecondPassIsSilentAndChangesNothing) {
  installEveryClient();
  root.writeUsers({alice});
  makeHome(alice, &kModules);
  EXPECT_EQ(Stdout([&] { mods->runOnceVerbose(false); }), "");
  for (const Location& location : Table()) {
    EXPECT_EQ(root.readLink(location.path),
              location.isModule ? module(location.file) : conf(location.file));
  }
  EXPECT_EQ(root.readFile(alice.home.substr(root.path().size()) + kModulesFile), kModulesPatched);

  const std::vector<std::string> before = Snapshot(root.path());
  log.clear();
  EXPECT_EQ(Stdout([&] { mods->runOnceVerbose(false); }), "");
  EXPECT_THAT(log.records(), IsEmpty());
  EXPECT_EQ(Snapshot(root.path()), before);

  // Verbose, the same state reads as current everywhere.
  std::string expected;
  for (const Location& location : Table()) {
    expected += "[EXST] " + location.file + " -> " + root.at(location.path) + "\n";
  }
  EXPECT_EQ(Stdout([&] { mods->runOnceVerbose(true); }), expected + "Citrix enabled for no one\n");
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ModInstallerTest, RemoveAllLinksEmptiesEveryLocation) {
  installEveryClient();
  root.writeUsers({});
  mods->runOnceVerbose(false);
  // A real folder where a link was, and a link whose target must stay.
  unlink(root.at(kCitrix).c_str());
  root.writeFile(std::string(kCitrix) + "/Contents/Info.plist", "<plist/>");
  root.writeFile("/elsewhere/libpcoip.dylib", "keep me");
  unlink(root.at(kPCoIP).c_str());
  root.symlink(root.at("/elsewhere/libpcoip.dylib"), kPCoIP);
  // And a location where nothing stands.
  unlink(root.at(kWorkSpaces).c_str());
  log.clear();

  VQKS2ModInstaller::removeAllLinks();
  for (const Location& location : Table())
    EXPECT_FALSE(root.exists(location.path)) << location.path;
  EXPECT_EQ(root.readFile("/elsewhere/libpcoip.dylib"), "keep me");
  // The folders the passes made stay.
  EXPECT_TRUE(root.exists("/usr/local/lib/freerdp3"));
  EXPECT_TRUE(root.exists("/Library/DCV Extensions"));
  EXPECT_THAT(log.records(), IsEmpty());

  VQKS2ModInstaller::removeAllLinks();
  for (const Location& location : Table()) EXPECT_FALSE(root.exists(location.path));
}

// ---- the module file edit ----

TEST(ModulesPatch, RealMacFileGetsTheEntryOnce) {
  const std::string sample = Sample("mac-Modules.Homework4fin");
  const std::string list =
      "VirtualDriver=Thinwire3.0, Clipboard, ClientManagement, ClientComm, ZL_FONT, ZLC, TWI, "
      "SmartCard, SSPI, TUI";
  const size_t at = sample.find(list + "\r");
  ASSERT_NE(at, std::string::npos);
  const std::string expected =
      sample.substr(0, at) + list + ", vq\rvq=On\r" + sample.substr(at + list.size() + 1);

  const std::optional<std::string> patched = VQKS2ModInstaller::patchedModulesData(sample);
  ASSERT_TRUE(patched.has_value());
  EXPECT_EQ(*patched, expected);
  EXPECT_EQ(patched->size(), sample.size() + 10);
  EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(*patched), std::nullopt);
}

TEST(ModulesPatch, LinuxFilesAreLeftAlone) {
  // Blanks around '=' and LF line ends: neither the key nor a CR is found.
  for (const char* name : {"linux-module.ini.RPi-TC2", "linux-module.ini.RPi-TC2-nls-en",
                           "linux-module.ini.RPiTC-X"}) {
    const std::string sample = Sample(name);
    EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(sample), std::nullopt) << name;
    // With the key written tightly, the missing CR still stops the edit.
    std::string tight = sample;
    const size_t at = tight.find("VirtualDriver = ");
    ASSERT_NE(at, std::string::npos);
    tight.replace(at, 16, "VirtualDriver=");
    EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(tight), std::nullopt) << name;
    // A CR later in the file is taken as the end of the list line.
    EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(tight + "tail\r"), tight + "tail, vq\rvq=On\r")
        << name;
  }
}

TEST(ModulesPatch, GoldenCases) {
  struct Case {
    std::string in;
    std::optional<std::string> out;
  };
  const std::vector<Case> cases = {
      // CR LF: the CR of the list line is replaced, its LF follows "vq=On".
      {"[ICA 3.0]\r\nVirtualDriver=Alpha\r\nAlpha=On\r\n",
       "[ICA 3.0]\r\nVirtualDriver=Alpha, vq\rvq=On\r\nAlpha=On\r\n"},
      {"VirtualDriver = Alpha\r", std::nullopt},
      {"VirtualDriver =Alpha\r", std::nullopt},
      {"VirtualDriver=vq, Alpha\r", std::nullopt},
      {"VirtualDriver=vq\r", std::nullopt},
      {"VirtualDriver=Alpha,\tvq\r", std::nullopt},
      {"VirtualDriver=Alpha, vq, Beta\r", std::nullopt},
      {"VirtualDriver=\rNext=1\r", "VirtualDriver=, vq\rvq=On\rNext=1\r"},
      {"VirtualDriver=Alpha,vq\r", "VirtualDriver=Alpha,vq, vq\rvq=On\r"},
      {"VirtualDriver=Alpha,vq, vq\rvq=On\r", std::nullopt},
      {"VirtualDriver=vq ,Alpha\r", "VirtualDriver=vq ,Alpha, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, xvq\r", "VirtualDriver=Alpha, xvq, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, vqx\r", "VirtualDriver=Alpha, vqx, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, vq \r", "VirtualDriver=Alpha, vq , vq\rvq=On\r"},
      // Only the first key counts, wherever it stands.
      {"A=1\rVirtualDriver=Alpha\rB=2\rVirtualDriver=Beta\r",
       "A=1\rVirtualDriver=Alpha, vq\rvq=On\rB=2\rVirtualDriver=Beta\r"},
      {"VirtualDriver=vq\rVirtualDriver=Beta\r", std::nullopt},
      {"XVirtualDriver=Alpha\r", "XVirtualDriver=Alpha, vq\rvq=On\r"},
      // An existing "vq=On" line is not looked for.
      {"vq=On\rVirtualDriver=Alpha\r", "vq=On\rVirtualDriver=Alpha, vq\rvq=On\r"},
      // Raw bytes, NULs included, pass through unchanged.
      {std::string("\0VirtualDriver=A\0B\r\xff", 19),
       std::string("\0VirtualDriver=A\0B, vq\rvq=On\r\xff", 29)},
      {"", std::nullopt},
      {"VirtualDriver=", std::nullopt},
      {"VirtualDriver=Alpha\n", std::nullopt},
      {"[ICA 3.0]\rNothing=here\r", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(c.in), c.out) << testing::PrintToString(c.in);
  }
}

TEST_F(ModInstallerTest, FixModulesFileKeepsOwnerAndMode) {
  makeHome(alice, &kModules, 0640);
  EXPECT_TRUE(mods->fixModulesFile(modulesOf(alice)));
  EXPECT_EQ(ReadHostFile(modulesOf(alice)), kModulesPatched);
  Stat after = StatOf(modulesOf(alice));
  EXPECT_EQ(after.uid, alice.uid);
  EXPECT_EQ(after.gid, alice.gid);
  EXPECT_EQ(after.mode, 0640u);
  EXPECT_FALSE(mods->fixModulesFile(modulesOf(alice)));
  EXPECT_EQ(ReadHostFile(modulesOf(alice)), kModulesPatched);

  // The same with the user's identity, as the passes do it.
  root.writeFile("/Users/alice" + std::string(kModulesFile), kModules, 0600);
  OwnTree(alice.home, alice.uid, alice.gid);
  {
    auto as = vq::platform::ScopedEffectiveIdentity::Assume(alice.uid, alice.gid);
    ASSERT_NE(as, nullptr);
    EXPECT_TRUE(mods->fixModulesFile(modulesOf(alice)));
  }
  after = StatOf(modulesOf(alice));
  EXPECT_EQ(after.uid, alice.uid);
  EXPECT_EQ(after.gid, alice.gid);
  EXPECT_EQ(after.mode, 0600u);
  EXPECT_EQ(ReadHostFile(modulesOf(alice)), kModulesPatched);
  EXPECT_THAT(root.list("/Users/alice/Library/Application Support/Citrix Receiver"),
              ElementsAre("Modules"));
}

TEST_F(ModInstallerTest, FixModulesFileLeavesEverythingButASmallRegularFileAlone) {
  makeHome(alice, nullptr);
  const std::string path = modulesOf(alice);
  EXPECT_FALSE(mods->fixModulesFile(path));  // missing

  root.writeFile("/Users/alice" + std::string(kModulesFile), "");
  EXPECT_FALSE(mods->fixModulesFile(path));  // empty

  unlink(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  EXPECT_FALSE(mods->fixModulesFile(path));  // returns at once, without a writer
  unlink(path.c_str());

  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_FALSE(mods->fixModulesFile(path));
  rmdir(path.c_str());

  // Up to 1 MiB is a module file; one byte more is not.
  std::string big = kListLine;
  big.resize(1 << 20, ';');
  root.writeFile("/Users/alice" + std::string(kModulesFile), big);
  EXPECT_TRUE(mods->fixModulesFile(path));
  big = kListLine;
  big.resize((1 << 20) + 1, ';');
  root.writeFile("/Users/alice" + std::string(kModulesFile), big);
  EXPECT_FALSE(mods->fixModulesFile(path));
  EXPECT_EQ(ReadHostFile(path), big);
}

TEST_F(ModInstallerTest, FileOwnedBySomeoneElseIsLeftAloneByTheUser) {
  makeHome(alice, &kModules, 0666);
  ASSERT_EQ(lchown(modulesOf(alice).c_str(), bob.uid, bob.gid), 0);
  auto as = vq::platform::ScopedEffectiveIdentity::Assume(alice.uid, alice.gid);
  ASSERT_NE(as, nullptr);
  EXPECT_FALSE(mods->fixModulesFile(modulesOf(alice)));
  as.reset();
  EXPECT_EQ(ReadHostFile(modulesOf(alice)), kModules);
  EXPECT_EQ(StatOf(modulesOf(alice)).uid, bob.uid);
}

TEST_F(ModInstallerTest, EnabledUsersAreReportedOnOneLine) {
  root.writeUsers({alice, bob});
  makeHome(alice, &kModules);
  makeHome(bob, &kModules);
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(true); }),
            "Citrix enabled for: alice bob \n");
  for (const TestUser* user : {&alice, &bob}) {
    EXPECT_EQ(ReadHostFile(modulesOf(*user)), kModulesPatched);
    EXPECT_EQ(StatOf(modulesOf(*user)).uid, user->uid);
    EXPECT_EQ(StatOf(modulesOf(*user)).gid, user->gid);
  }
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);

  // Nobody left to edit; the silent form prints nothing either way.
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(true); }), "Citrix enabled for no one\n");
  root.writeFile("/Users/bob" + std::string(kModulesFile), kModules);
  OwnTree(bob.home, bob.uid, bob.gid);
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(false); }), "");
  EXPECT_EQ(ReadHostFile(modulesOf(bob)), kModulesPatched);
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ModInstallerTest, UsersWithoutAFileOrWithoutUsersNobodyIsEnabled) {
  root.writeUsers({alice});
  makeHome(alice, nullptr);
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(true); }), "Citrix enabled for no one\n");
  root.writeUsers({});
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(true); }), "Citrix enabled for no one\n");
}

TEST_F(ModInstallerTest, ModuleFilesAreReadAndWrittenWithTheUsersRightsOnly) {
  root.writeUsers({alice, bob, carol});
  // alice's file is a link to a file only root may read.
  root.writeFile("/secret/Modules", "VirtualDriver=Secret\r", 0600);
  makeHome(alice, nullptr);
  root.symlink(root.at("/secret/Modules"), "/Users/alice" + std::string(kModulesFile));
  own("/Users/alice" + std::string(kModulesFile), alice);
  // bob's folder is a link to a folder of root's holding a file of bob's.
  root.writeFile("/rootfolder/Modules", kModules, 0644);
  ASSERT_EQ(lchown(root.at("/rootfolder/Modules").c_str(), bob.uid, bob.gid), 0);
  root.makeDirs("/Users/bob/Library/Application Support");
  root.symlink(root.at("/rootfolder"), "/Users/bob/Library/Application Support/Citrix Receiver");
  OwnTree(bob.home, bob.uid, bob.gid);
  // carol's file is root's, in carol's own folder.
  makeHome(carol, &kModules);
  ASSERT_EQ(lchown(modulesOf(carol).c_str(), 0, 0), 0);
  const std::vector<std::string> secret = Snapshot(root.at("/secret"));
  const std::vector<std::string> rootfolder = Snapshot(root.at("/rootfolder"));

  // bob's file could be read, so bob counts as enabled although the write
  // into root's folder failed unnoticed.
  EXPECT_EQ(Stdout([&] { mods->fixAllModulesFilesVerbose(true); }), "Citrix enabled for: bob \n");
  EXPECT_EQ(Snapshot(root.at("/secret")), secret);
  EXPECT_EQ(Snapshot(root.at("/rootfolder")), rootfolder);
  EXPECT_EQ(ReadHostFile(root.at("/rootfolder/Modules")), kModules);
  EXPECT_EQ(ReadHostFile(modulesOf(carol)), kModules);
  EXPECT_EQ(root.readLink("/Users/alice" + std::string(kModulesFile)), root.at("/secret/Modules"));
  EXPECT_EQ(geteuid(), 0u);
}

}  // namespace
