#include "kestrun/Installer.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "kestrun/Globals.h"
#include "kestrun/UserAgent.h"
#include "libutils-macOS/execve.h"
#include "libutils-macOS/launchctl.h"
#include "platform/install_lock.h"
#include "platform/system_root.h"

namespace {

// Only root may open the lock file: anyone who can open it can lock it and
// hold every installer of every product waiting.
constexpr mode_t kLockFileMode = 0600;
constexpr mode_t kDatabaseMode = 0644;
constexpr char kStagingPrefix[] = ".ks2-staging-";
constexpr char kRemovalPrefix[] = ".ks2-removing-";

std::string LaunchctlProgram() { return vq::platform::Rooted(vqLaunchctlPath); }

char* Arg(const char* text) { return const_cast<char*>(text); }

// Whether the descriptor still names the file at the path: a lock on a file
// that another run deleted after we opened it serialises nothing.
bool DescriptorNamesPath(int fd, const std::string& path) {
  struct stat held, current;
  if (fstat(fd, &held) != 0 || held.st_nlink == 0) return false;
  if (stat(path.c_str(), &current) != 0) return false;
  return held.st_dev == current.st_dev && held.st_ino == current.st_ino;
}

}  // namespace

VQKS2Installer::VQKS2Installer(Token, vq::Logger& log, vq::FileManager* fileManager)
    : instDB(createDefaultInstPlist()), logger(&log), fm(fileManager) {}

VQKS2Installer::~VQKS2Installer() {
  if (lockFileToRemove) (void)unlink(lockFileToRemove->c_str());
}

std::unique_ptr<VQKS2Installer> VQKS2Installer::initWithSource(const char* source,
                                                               vq::Logger& logger) {
  if (source == nullptr) return nullptr;
  auto installer = initWithLogger(logger);
  if (installer) installer->sourceDir = source;
  return installer;
}

std::unique_ptr<VQKS2Installer> VQKS2Installer::initWithLogger(vq::Logger& logger) {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return nullptr;
  return std::make_unique<VQKS2Installer>(Token{}, logger, fm);
}

bool VQKS2Installer::initGlobals() {
  const std::string support = vq::platform::Rooted(vqDefaultApplicationSupportRoot);
  vqDefaultKestrun1Path = support + "/kestrun";
  vqDefaultKestrun2Path = support + "/ks2";
  vqDefaultInstLockFile = support + "/ks2.lock";
  vqDefaultInstPlistFile = vqDefaultKestrun2Path + "/inst.plist";
  vqDefaultUninstallerPath = vqDefaultKestrun2Path + "/bin/kestrun";
  vqDefaultLaunchFullPath =
      vq::platform::Rooted(vqLaunchDaemonsDir) + "/" + vqDefaultLaunchPlistFile;
  if (vqDefaultKestrun2Path.empty() || vqDefaultInstLockFile.empty() ||
      vqDefaultInstPlistFile.empty() || vqDefaultUninstallerPath.empty() ||
      vqDefaultLaunchFullPath.empty()) {
    return false;
  }
  return createDirSet();
}

bool VQKS2Installer::createDirSet() {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return false;
  vq::CreateAttributes attributes;
  attributes.permissions = 0755;
  attributes.owner = 0;
  attributes.group = 0;
  return fm->createDirectory(vqDefaultKestrun2Path, true, attributes).ok();
}

vq::PropertyList VQKS2Installer::createDefaultInstPlist() {
  vq::PropertyList db = vq::PropertyList::NewDictionary();
  db.setUInt32(vqDBFormatVersion, vqDBFormat);
  db.setUInt32(vqDBVersion, vqOwnVersion);
  db.setUInt32(vqDBReferenceCounter, 0);
  return db;
}

bool VQKS2Installer::lock() {
  if (lock_fd != -1) return true;
  for (;;) {
    const int fd =
        vq::platform::OpenExclusivelyLocked(vqDefaultInstLockFile.c_str(), kLockFileMode);
    if (fd < 0) return false;
    if (DescriptorNamesPath(fd, vqDefaultInstLockFile)) {
      lock_fd = fd;
      return true;
    }
    // The holder deleted the file while we waited: lock the file that is
    // there now (or a new one) instead.
    close(fd);
  }
}

void VQKS2Installer::unlock() {
  if (lock_fd != -1) close(lock_fd);
  lock_fd = -1;
}

int VQKS2Installer::readDB() {
  std::optional<vq::PropertyList> db = vq::PropertyList::ReadDictionary(vqDefaultInstPlistFile);
  if (!db) return InstDBMissing;
  const std::optional<uint32_t> format = db->uint32ForKey(vqDBFormatVersion);
  if (!format || *format != vqDBFormat) return InstDBInvalid;
  // Values of any other type count as a different format: nothing in the
  // system writes them, and guessing a number from them could lose references.
  const std::optional<uint32_t> counter = db->uint32ForKey(vqDBReferenceCounter);
  const std::optional<uint32_t> version = db->uint32ForKey(vqDBVersion);
  if (!counter || !version) return InstDBInvalid;
  instDB = std::move(*db);
  VQ_LOG_INFO(*logger, "installed version: %u, my version: %u", *version, vqOwnVersion);
  return *version < vqOwnVersion ? InstDBOlder : InstDBCurrent;
}

bool VQKS2Installer::writeDB() {
  vq::AtomicWriteOptions options;
  options.permissions = kDatabaseMode;
  return instDB.writeToFile(vqDefaultInstPlistFile, options).ok();
}

bool VQKS2Installer::incrementRefCounter(int32_t delta, uint32_t* newValue) {
  if (delta == 0) return false;
  const std::optional<uint32_t> current = instDB.uint32ForKey(vqDBReferenceCounter);
  if (!current) return false;
  int64_t sum = static_cast<int64_t>(*current) + delta;
  if (sum < 0) sum = 0;
  if (sum > std::numeric_limits<uint32_t>::max()) sum = std::numeric_limits<uint32_t>::max();
  const auto value = static_cast<uint32_t>(sum);
  instDB.setUInt32(vqDBReferenceCounter, value);
  if (newValue != nullptr) *newValue = value;
  return true;
}

bool VQKS2Installer::applyMyVersion() {
  instDB.setUInt32(vqDBVersion, vqOwnVersion);
  return true;
}

bool VQKS2Installer::backupPreviousFiles() {
  char name[64];
  const int written =
      std::snprintf(name, sizeof name, "/ks2bk-%u-%ld", static_cast<unsigned>(getpid()),
                    static_cast<long>(time(nullptr)));
  KS2BackupDir.reset();
  if (written < 0 || static_cast<size_t>(written) >= sizeof name) return false;
  const std::string path = vq::platform::Rooted(vqDefaultApplicationSupportRoot) + name;
  KS2BackupDir = path;

  const bool existed = fm->itemExists(path);
  vq::FsResult copied = fm->copyItem(vqDefaultKestrun2Path, path);
  if (!copied) {
    VQ_LOG_ERROR(*logger, "cannot copy directory set to backup: %s", copied.description().c_str());
    // A partial copy is no backup; one that was there before is not ours.
    if (!existed) (void)fm->removeItem(path);
    KS2BackupDir.reset();
    return false;
  }
  return true;
}

bool VQKS2Installer::removeBackup() {
  if (!KS2BackupDir) return true;
  vq::FsResult removed = fm->removeItem(*KS2BackupDir);
  if (!removed) {
    VQ_LOG_ERROR(*logger, "cannot remove backup: %s", removed.description().c_str());
    return false;
  }
  return true;
}

bool VQKS2Installer::restoreBackup() {
  if (!KS2BackupDir) return true;
  vq::FsResult removed = removeDirectorySet();
  // What matters is that the place is free: a set that is already gone, or
  // was moved aside but not yet fully deleted, does not stop the restore.
  if (!removed && fm->itemExists(vqDefaultKestrun2Path)) {
    VQ_LOG_ERROR(*logger, "cannot remove kestrun directory set: %s", removed.description().c_str());
    return false;
  }
  // The backup lies beside the directory set, so moving it back is one
  // rename: the directory set is never seen half-restored.
  vq::FsResult moved = fm->renameItem(*KS2BackupDir, vqDefaultKestrun2Path);
  if (!moved) {
    VQ_LOG_ERROR(*logger, "cannot copy backup: %s", moved.description().c_str());
    return false;
  }
  return true;
}

bool VQKS2Installer::execve(const char* path, char* const argv[]) {
  return vq::RunChildProcess(*logger, vq::LogType::kInfo, path, argv, false);
}

bool VQKS2Installer::isSafeToRun(const std::string& path) {
  // Everything from the root prefix down is checked: a folder that another
  // user could write to would let that user choose what root runs.
  const std::string& root = vq::platform::SystemRoot();
  std::string checked = root.empty() ? "/" : root;
  std::string rest = path.substr(root.size());
  size_t pos = 0;
  for (;;) {
    struct stat st;
    if (lstat(checked.c_str(), &st) != 0) {
      VQ_LOG_ERROR(*logger, "not running %{public}s: cannot examine %{public}s", path.c_str(),
                   checked.c_str());
      return false;
    }
    const bool last = checked == path;
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))) {
      VQ_LOG_ERROR(*logger,
                   "not running %{public}s: %{public}s is not a root-owned %s writable only by "
                   "root",
                   path.c_str(), checked.c_str(), last ? "file" : "folder");
      return false;
    }
    if (last) return true;
    pos = rest.find('/', pos + 1);
    checked = root + rest.substr(0, pos);
    if (checked.empty()) return false;
  }
}

bool VQKS2Installer::uninstallPrevious() {
  if (!backupPreviousFiles()) {
    VQ_LOG_INFO(*logger, "backup process failed");
    return false;
  }
  char* const argv[] = {Arg("kestrun"), Arg("uninstall"), Arg("-u"), nullptr};
  if (isSafeToRun(vqDefaultUninstallerPath) && execve(vqDefaultUninstallerPath.c_str(), argv)) {
    return true;
  }
  VQ_LOG_INFO(*logger, "uninstaller returned error");
  return false;
}

bool VQKS2Installer::setAttrsRecurse(const std::string& path) {
  vq::FsResult root = fm->setOwner(path, 0, 0);
  if (!root) {
    VQ_LOG_ERROR(*logger, "cannot set owner/group for %{public}s, ignoring.\n%s", path.c_str(),
                 root.description().c_str());
  }
  std::unique_ptr<vq::DirectoryEnumerator> enumerator = fm->enumeratorAtPath(path);
  if (!enumerator) return true;
  while (std::optional<std::string> relative = enumerator->nextObject()) {
    vq::FsResult item = fm->setOwner(path + "/" + *relative, 0, 0);
    if (!item) {
      VQ_LOG_ERROR(*logger, "cannot set owner/group for %{public}s, ignoring.\n%s",
                   relative->c_str(), item.description().c_str());
    }
  }
  return true;
}

bool VQKS2Installer::serviceLoadStartWithFile(const std::string& file, const std::string& path) {
  const std::string source = vqDefaultKestrun2Path + "/conf/" + file;
  (void)fm->removeItem(path);
  vq::FsResult copied = fm->copyItem(source, path);
  if (!copied) {
    VQ_LOG_ERROR(*logger, "cannot install launchd plist file: %s", copied.description().c_str());
    return false;
  }
  const std::string launchctl = LaunchctlProgram();
  char* const load[] = {Arg("launchctl"), Arg("load"), Arg(path.c_str()), nullptr};
  if (!execve(launchctl.c_str(), load)) {
    VQ_LOG_INFO(*logger, "launchctl returned error (load)");
    return false;
  }
  char* const start[] = {Arg("launchctl"), Arg("start"), Arg(vqDaemonLabel), nullptr};
  if (!execve(launchctl.c_str(), start)) {
    VQ_LOG_INFO(*logger, "launchctl returned error (start)");
    return false;
  }
  return true;
}

bool VQKS2Installer::serviceLoadStart() {
  return serviceLoadStartWithFile(vqDefaultLaunchPlistFile, vqDefaultLaunchFullPath);
}

bool VQKS2Installer::launchctlUnload(const std::string& path) {
  const std::string launchctl = LaunchctlProgram();
  char* const unload[] = {Arg("launchctl"), Arg("unload"), Arg(path.c_str()), nullptr};
  if (!execve(launchctl.c_str(), unload)) {
    VQ_LOG_INFO(*logger, "launchctl could not unload %{public}s, keeping it", path.c_str());
    return false;
  }
  (void)fm->removeItem(path);
  return true;
}

void VQKS2Installer::recover() {
  (void)restoreBackup();
  (void)serviceLoadStart();
  if (auto agent = VQKS2UserAgent::initWithLogger(*logger)) {
    (void)agent->install(vqDefaultKestrun2Path);
  }
}

void VQKS2Installer::removeAll() {
  VQ_LOG_INFO(*logger, "unloading services...");
  if (!launchctlUnload(vqDefaultLaunchFullPath)) {
    VQ_LOG_INFO(*logger, "kestrun service removing failed, ignoring...");
  }
  if (auto agent = VQKS2UserAgent::initWithLogger(*logger)) agent->remove();
  VQ_LOG_INFO(*logger, "removing directory set...");
  if (!removeDirectorySet()) VQ_LOG_INFO(*logger, "cannot remove directory set, ignoring...");
  removeLeftovers();
  // While this run holds the lock, its file goes when the run ends, so that
  // nobody can lock a new file and start while this run is still working. In
  // update mode the lock is the parent installer's, which keeps the file.
  if (lock_fd != -1) lockFileToRemove = vqDefaultInstLockFile;
  (void)fm->removeItem(vqDefaultKestrun1Path);
}

void VQKS2Installer::blockKestrunV1() {
  const std::string oldPlist = vq::platform::Rooted(vqOldLaunchFullPath);
  (void)launchctlUnload(oldPlist);
  (void)fm->removeItem(oldPlist);
  vq::CreateAttributes attributes;
  attributes.owner = 0;
  attributes.group = 0;
  (void)fm->removeItem(vqDefaultKestrun1Path);
  (void)fm->createDirectory(vqDefaultKestrun1Path + "/99", true, attributes);
}

void VQKS2Installer::removeLeftovers() {
  const std::string support = vq::platform::Rooted(vqDefaultApplicationSupportRoot);
  if (auto names = fm->contentsOfDirectory(support)) {
    for (const std::string& name : *names) {
      if (name.rfind(kStagingPrefix, 0) == 0 || name.rfind(kRemovalPrefix, 0) == 0) {
        (void)fm->removeItem(support + "/" + name);
      }
    }
  }
}

vq::FsResult VQKS2Installer::removeDirectorySet() {
  const std::string aside = vq::platform::Rooted(vqDefaultApplicationSupportRoot) + "/" +
                            kRemovalPrefix + std::to_string(getpid());
  (void)fm->removeItem(aside);
  vq::FsResult moved = fm->renameItem(vqDefaultKestrun2Path, aside);
  if (!moved) {
    // Not renamable (on another file system, say): delete it in place.
    if (moved.error().code == ENOENT) return moved;
    return fm->removeItem(vqDefaultKestrun2Path);
  }
  return fm->removeItem(aside);
}

vq::FsResult VQKS2Installer::copySourceToDirectorySet() {
  const std::string support = vq::platform::Rooted(vqDefaultApplicationSupportRoot);
  const std::string staging = support + "/" + kStagingPrefix + std::to_string(getpid());
  vq::FsResult copied = fm->copyItem(*sourceDir, staging);
  if (copied) {
    // A directory set root that another run's start-up made meanwhile is
    // empty, and rename replaces an empty directory.
    copied = fm->renameItem(staging, vqDefaultKestrun2Path);
  }
  if (!copied) (void)fm->removeItem(staging);
  return copied;
}

int VQKS2Installer::install(bool refOnly) {
  if (refOnly) {
    if (!incrementRefCounter(1, nullptr)) return 1;
    if (!writeDB()) {
      VQ_LOG_ERROR(*logger, "cannot save installer database");
      return 1;
    }
    return 0;
  }

  removeLeftovers();
  (void)removeDirectorySet();
  vq::FsResult copied = copySourceToDirectorySet();
  if (!copied) {
    VQ_LOG_ERROR(*logger, "cannot copy service files into place: %s", copied.description().c_str());
    return 1;
  }
  if (!setAttrsRecurse(vqDefaultKestrun2Path)) {
    VQ_LOG_ERROR(*logger, "cannot set ownership for ks2 directory set");
    return 1;
  }
  if (!incrementRefCounter(1, nullptr)) return 1;
  if (!applyMyVersion()) return 1;
  if (!writeDB()) {
    VQ_LOG_ERROR(*logger, "cannot save installer database");
    return 1;
  }
  if (!serviceLoadStart()) {
    VQ_LOG_INFO(*logger, "launchd service installation terminated due to error");
    return 1;
  }
  auto agent = VQKS2UserAgent::initWithLogger(*logger);
  if (!agent || !agent->install(vqDefaultKestrun2Path)) {
    VQ_LOG_INFO(*logger, "launchd ws service installation terminated due to error");
    return 1;
  }
  return 0;
}

int VQKS2Installer::uninstall(bool* removedAll) {
  uint32_t remaining = 0;
  if (!incrementRefCounter(-1, &remaining)) return 1;
  if (remaining != 0) {
    VQ_LOG_INFO(*logger, "other software depends on kestrun, just decreasing ref counter");
    if (!writeDB()) {
      VQ_LOG_ERROR(*logger, "cannot save installer database");
      return 1;
    }
    if (removedAll != nullptr) *removedAll = false;
    return 0;
  }
  removeAll();
  if (removedAll != nullptr) *removedAll = true;
  return 0;
}
