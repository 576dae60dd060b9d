#include "kestrun/Installer.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kestrun/Globals.h"
#include "kestrun/InstallationState.h"
#include "kestrun/LaunchdPlist.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/UserAgent.h"
#include "libutils-macOS/execve.h"
#include "libutils-macOS/launchctl.h"
#include "libutils-macOS/users.h"
#include "platform/atomic_file.h"
#include "platform/path.h"
#include "platform/regular_file.h"
#include "platform/safe_folder.h"

namespace {

// Only root may open the lock file: anyone who can open it can lock it and
// hold every installer of every product waiting.
constexpr mode_t kLockFileMode = 0600;
constexpr mode_t kDatabaseMode = 0644;

// Where a backup goes once its update has succeeded, on its way out.
std::string DiscardedName(const VQInstallPaths& paths, const std::string& backup) {
  return paths.inSupport(VQInstallPaths::kRemovalPrefix, vq::LastPathComponent(backup));
}

char* Arg(const char* text) { return const_cast<char*>(text); }

// Folders of the directory set: 0755, owner 0, group 0.
vq::CreateAttributes RootFolder() {
  vq::CreateAttributes attributes;
  attributes.permissions = 0755;
  attributes.owner = 0;
  attributes.group = 0;
  return attributes;
}

// Copies into the directory set give every new item owner 0 and group 0 on
// its descriptor, so that the ownership pass has nothing left to change, and
// never write access for others: launchd runs the set's programs as root.
// (Group write is harmless with group 0, which holds root alone.)
vq::CopyOptions OwnedByRoot() {
  vq::CopyOptions options;
  options.owner = 0;
  options.group = 0;
  options.withoutModes = S_IWOTH;
  return options;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Longer than any database this tool writes.
constexpr size_t kMaxDatabaseSize = vq::PropertyList::kMaxFileSize;

}  // namespace

VQKS2Installer::VQKS2Installer(Token, const VQInstallPaths& installPaths, vq::Logger& log,
                               vq::FileManager* fileManager)
    : paths(installPaths), instDB(createDefaultInstPlist()), logger(&log), fm(fileManager) {}

VQKS2Installer::~VQKS2Installer() {
  if (removeLockFileAtEnd) vq::LogIgnored(*logger, fm->removeItem(paths.instLockFile));
}

std::unique_ptr<VQKS2Installer> VQKS2Installer::initWithSource(const char* source,
                                                               const VQInstallPaths& paths,
                                                               vq::Logger& logger) {
  if (source == nullptr) return nullptr;
  auto installer = initWithLogger(paths, logger);
  if (installer) installer->sourceDir = source;
  return installer;
}

std::unique_ptr<VQKS2Installer> VQKS2Installer::initWithLogger(const VQInstallPaths& paths,
                                                               vq::Logger& logger) {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return nullptr;
  return std::make_unique<VQKS2Installer>(Token{}, paths, logger, fm);
}

vq::FsResult VQKS2Installer::initGlobals(const VQInstallPaths& paths) {
  if (paths.kestrun2Path.empty() || paths.instLockFile.empty() || paths.instPlistFile.empty() ||
      paths.uninstallerPath.empty() || paths.launchFullPath.empty()) {
    return vq::FsResult::Fail("compose installed locations", "", EINVAL);
  }
  return createDirSet(paths);
}

vq::FsResult VQKS2Installer::createDirSet(const VQInstallPaths& paths) {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return vq::FsResult::Fail("get the file manager", "", ENOMEM);
  return fm->createDirectory(paths.kestrun2Path, vq::Intermediates::kYes, RootFolder());
}

vq::PropertyList VQKS2Installer::createDefaultInstPlist() {
  vq::PropertyList db = vq::PropertyList::NewDictionary();
  db.setUInt32(vqDBFormatVersion, vqDBFormat);
  db.setUInt32(vqDBVersion, vqOwnVersion);
  db.setUInt32(vqDBReferenceCounter, 0);
  return db;
}

vq::FsResult VQKS2Installer::lock() { return takeLock(vq::platform::LockWait::kWait); }

vq::FsResult VQKS2Installer::tryLock() { return takeLock(vq::platform::LockWait::kFail); }

vq::FsResult VQKS2Installer::takeLock(vq::platform::LockWait wait) {
  if (lock_fd.valid()) return vq::FsResult::Ok();
  lock_fd = vq::platform::AcquireInstallLock(paths.instLockFile, kLockFileMode, wait);
  if (!lock_fd.valid()) return vq::FsResult::Fail("lock", paths.instLockFile, errno);
  return vq::FsResult::Ok();
}

bool VQKS2Installer::fail(const std::string& cause) {
  if (failure.empty()) failure = cause;
  return false;
}

bool VQKS2Installer::writeJournal(const std::string& entry) {
  vq::AtomicWriteOptions options;
  options.permissions = 0600;
  if (vq::FsResult written = vq::WriteFileAtomically(paths.pendingFile, entry, options); !written) {
    VQ_LOG_ERROR(*logger, "cannot write the journal: %{public}s", written.description().c_str());
    return fail(written.description());
  }
  journaled = true;
  return true;
}

void VQKS2Installer::removeJournal() {
  vq::FsResult removed = vq::RemoveFileDurably(paths.pendingFile);
  if (!removed && removed.error().code != ENOENT) {
    // The next run finds it and finishes what it says.
    VQ_LOG_ERROR(*logger, "cannot remove the journal: %{public}s", removed.description().c_str());
    (void)fail(removed.description());
    return;
  }
  journaled = false;
}

VQRepair VQKS2Installer::repairInterruptedInstall() {
  std::string entry;
  vq::FsResult read = vq::ReadRegularFileAt(paths.pendingFile, vqJournalMaxSize, &entry);
  if (!read && read.error().code == ENOENT) {
    // A run killed after it counted may have left what it was deleting.
    removeLeftovers();
    return VQRepair::kNothing;
  }
  // A journal that cannot be read is never guessed at: rolling an update
  // back as if it were a first install would lose every reference.
  const bool restore = read && StartsWith(entry, vqJournalRestore);
  if (!read || (!restore && entry != vqJournalFresh && entry != vqJournalRemove)) {
    const std::string why =
        read ? paths.pendingFile + " holds no entry this tool wrote" : read.description();
    VQ_LOG_ERROR(*logger, "cannot repair an interrupted run: %{public}s", why.c_str());
    (void)fail(why);
    return VQRepair::kFailed;
  }
  journaled = true;
  VQRepair repaired = VQRepair::kRepaired;
  if (restore) {
    const std::string name = entry.substr(std::strlen(vqJournalRestore));
    if (!StartsWith(name, VQInstallPaths::kBackupPrefix) || name.find('/') != std::string::npos) {
      VQ_LOG_ERROR(*logger, "cannot repair an interrupted run: %{public}s names no backup",
                   paths.pendingFile.c_str());
      (void)fail(paths.pendingFile + " names no backup");
      return VQRepair::kFailed;
    }
    std::string backup = paths.supportRoot + "/" + name;
    // Killed while committing: the backup was already moved aside.
    if (!fm->itemExists(backup)) backup = DiscardedName(paths, backup);
    if (fm->itemExists(backup)) {
      VQ_LOG_DEFAULT(
          *logger,
          "an update was interrupted: restoring the installation it started from (%{public}s)",
          backup.c_str());
      if (!restoreFrom(backup)) return VQRepair::kFailed;
    } else {
      // Killed before the set became the backup: the older tool had not run.
      VQ_LOG_DEFAULT(*logger, "an update was interrupted before it changed anything");
    }
  } else if (entry == vqJournalRemove) {
    if (databaseInPlace()) {
      VQ_LOG_DEFAULT(*logger,
                     "a removal was interrupted before the set went: putting its services back");
      if (!restoreServices(vq::UserList::Current())) return VQRepair::kFailed;
    } else {
      VQ_LOG_DEFAULT(*logger, "a removal was interrupted after the set went: finishing it");
      cleanUpAfterRemoval();
      repaired = VQRepair::kRemovalFinished;
    }
  } else {
    VQ_LOG_DEFAULT(*logger, "a first installation was interrupted: removing what it installed");
    if (!takeAwayFirstInstall()) return VQRepair::kFailed;
    repaired = VQRepair::kFirstInstallRemoved;
  }
  removeLeftovers();
  KS2BackupDir.reset();
  removeJournal();
  if (journaled) return VQRepair::kFailed;
  // What the killed run left half-done may have taken the root with it.
  vq::LogIgnored(*logger, createDirSet(paths));
  return repaired;
}

bool VQKS2Installer::restoreFrom(const std::string& backup) {
  KS2BackupDir = backup;
  if (!restoreBackup()) return false;
  KS2BackupDir.reset();
  if (!serviceLoadStart()) return false;
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  return agent && agent->install(paths.kestrun2Path);
}

bool VQKS2Installer::takeAwayFirstInstall() {
  // The daemon ran once its list was loaded, and its passes may have
  // activated the agent in users' sessions: while either stays, the
  // journal stays for the next run.
  if (fm->itemExists(paths.launchFullPath)) {
    const bool unloaded = unloadDaemon();
    auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
    if (!(agent && agent->remove(vq::UserList::Current())) || !unloaded) {
      return fail("the interrupted installation's services could not be taken down");
    }
  }
  vq::LogIgnored(*logger, fm->removeItem(paths.wsLaunchFullPath));
  vq::FsResult removed = removeDirectorySet();
  if (!removed && removed.error().code != ENOENT) {
    VQ_LOG_ERROR(*logger, "cannot remove the interrupted installation: %{public}s",
                 removed.description().c_str());
    return fail(removed.description());
  }
  return true;
}

InstDBResult VQKS2Installer::readDB() {
  std::string data;
  dbReadError = vq::ReadRegularFileAt(paths.instPlistFile, kMaxDatabaseSize, &data);
  if (!dbReadError) {
    const int code = dbReadError.error().code;
    if (code == ENOENT) return InstDBMissing;
    // Something that is not a small regular file is no database; an I/O
    // error says nothing about what the file holds.
    if (code != EINVAL && code != EFBIG) {
      (void)fail(dbReadError.description());
      return InstDBUnreadable;
    }
  }
  std::optional<vq::PropertyList> db;
  if (dbReadError) db = vq::PropertyList::ParseDictionary(data);
  if (!db) {
    // Counted as missing, so the count starts again; the file is kept for
    // whoever wants to know what it held.
    const std::string kept =
        paths.inSupport(VQInstallPaths::kDamagedDatabasePrefix, std::to_string(time(nullptr)));
    vq::FsResult moved = fm->renameItem(paths.instPlistFile, kept);
    if (!moved) {
      dbReadError = moved;
      VQ_LOG_ERROR(*logger, "cannot keep the unreadable installation database: %{public}s",
                   moved.description().c_str());
      (void)fail(moved.description());
      return InstDBUnreadable;
    }
    dbReadError = vq::FsResult::Ok();
    VQ_LOG_ERROR(*logger,
                 "installation database %{public}s could not be read as a property list: kept "
                 "as %{public}s; the reference count starts again",
                 paths.instPlistFile.c_str(), kept.c_str());
    return InstDBMissing;
  }
  // Values of any other type count as a different format: nothing in the
  // system writes them, and guessing a number from them could lose references.
  const std::optional<std::pair<uint32_t, uint32_t>> values = VQDatabaseValues(*db);
  if (!values) return InstDBInvalid;
  const uint32_t version = values->first;
  instDB = std::move(*db);
  VQ_LOG_INFO(*logger, "installed version: %u, my version: %u", version, vqOwnVersion);
  return version < vqOwnVersion ? InstDBOlder : InstDBCurrent;
}

bool VQKS2Installer::databaseInPlace() const {
  const std::optional<vq::ItemAttributes> db = fm->attributesOfItem(paths.instPlistFile);
  return db && db->type == vq::FileType::kRegular;
}

vq::FsResult VQKS2Installer::writeDB() {
  vq::AtomicWriteOptions options;
  options.permissions = kDatabaseMode;
  return instDB.writeToFile(paths.instPlistFile, options);
}

bool VQKS2Installer::saveDB() {
  vq::FsResult written = writeDB();
  if (!written) {
    vq::LogWithCause(*logger, vq::LogType::kError, "cannot save installer database", written);
    return fail(written.description());
  }
  return true;
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
      std::snprintf(name, sizeof name, "%s%u-%ld", VQInstallPaths::kBackupPrefix,
                    static_cast<unsigned>(getpid()), static_cast<long>(time(nullptr)));
  KS2BackupDir.reset();
  if (written < 0 || static_cast<size_t>(written) >= sizeof name) return false;
  const std::string path = paths.supportRoot + "/" + name;
  // The journal names the backup before it exists: a run killed from here on
  // is rolled back to it by the next run, or finds the old set untouched.
  if (!writeJournal(vqJournalRestore + std::string(name))) {
    VQ_LOG_ERROR(*logger, "cannot copy directory set to backup: cannot write %{public}s",
                 paths.pendingFile.c_str());
    return false;
  }
  // The installed set itself becomes the backup, in one rename: nothing is
  // copied, the restore is a rename back, and the older tool cannot reach
  // it. In its place the older tool finds a stand-in and removes that.
  vq::FsResult moved = fm->renameItem(paths.kestrun2Path, path);
  if (!moved) {
    VQ_LOG_ERROR(*logger, "cannot copy directory set to backup: %{public}s",
                 moved.description().c_str());
    (void)fail(moved.description());
    removeJournal();
    return false;
  }
  KS2BackupDir = path;
  vq::FsResult standIn = makeStandIn(path);
  if (!standIn) {
    VQ_LOG_ERROR(*logger, "cannot copy directory set to backup: %{public}s",
                 standIn.description().c_str());
    (void)fail(standIn.description());
    // Put back; where that fails, the journal stays and the next run does it.
    if (restoreBackup()) removeJournal();
    KS2BackupDir.reset();
    return false;
  }
  return true;
}

vq::FsResult VQKS2Installer::makeStandIn(const std::string& backup) {
  vq::FsResult made = fm->createDirectory(paths.kestrun2Path, vq::Intermediates::kNo, RootFolder());
  const std::optional<std::vector<std::string>> names = fm->contentsOfDirectory(backup);
  if (made && !names) made = vq::FsResult::Fail("list", backup, errno);
  for (size_t i = 0; made && names && i < names->size(); ++i) {
    const std::string& name = (*names)[i];
    const std::string to = paths.kestrun2Path + "/" + name;
    made = name == "modules" ? fm->createDirectory(to, vq::Intermediates::kNo, RootFolder())
                             : fm->copyItem(backup + "/" + name, to, OwnedByRoot());
  }
  return made;
}

bool VQKS2Installer::removeBackup() {
  if (!KS2BackupDir) return true;
  vq::FsResult removed = fm->removeItem(*KS2BackupDir);
  if (!removed) {
    VQ_LOG_ERROR(*logger, "cannot remove backup: %{public}s", removed.description().c_str());
    return false;
  }
  return true;
}

bool VQKS2Installer::restoreBackup() {
  if (!KS2BackupDir || !fm->itemExists(*KS2BackupDir)) return true;
  vq::FsResult removed = removeDirectorySet();
  // What matters is that the place is free: a set that is already gone, or
  // was moved aside but not yet fully deleted, does not stop the restore.
  if (!removed && fm->itemExists(paths.kestrun2Path)) {
    VQ_LOG_ERROR(*logger, "cannot remove kestrun directory set: %{public}s",
                 removed.description().c_str());
    return fail(removed.description());
  }
  // The backup lies beside the directory set, so moving it back is one
  // rename: the directory set is never seen half-restored.
  vq::FsResult moved = fm->renameItem(*KS2BackupDir, paths.kestrun2Path);
  if (!moved) {
    VQ_LOG_ERROR(*logger, "cannot copy backup: %{public}s", moved.description().c_str());
    return fail(moved.description());
  }
  return true;
}

bool VQKS2Installer::execve(const char* path, char* const argv[]) {
  vq::ChildOptions options;
  options.resultType = vq::LogType::kInfo;
  return vq::RunChildProcess(*logger, path, argv, options);
}

bool VQKS2Installer::isSafeToRun(const std::string& path) {
  // A folder that another user could write to would let that user choose
  // what root runs.
  const std::optional<std::string> why = vq::WhyNotRootOnly(paths.root, path);
  if (!why) return true;
  VQ_LOG_ERROR(*logger,
               "not running %{public}s: %{public}s; give it owner root and remove write access "
               "for others, then run the installer again",
               path.c_str(), why->c_str());
  return fail(*why);
}

bool VQKS2Installer::uninstallPrevious() {
  // Refused before anything is touched: nothing to undo afterwards.
  if (!isSafeToRun(paths.uninstallerPath)) {
    VQ_LOG_INFO(*logger, "uninstaller returned error");
    return false;
  }
  if (!backupPreviousFiles()) {
    VQ_LOG_INFO(*logger, "backup process failed");
    return false;
  }
  char* const argv[] = {Arg("kestrun"), Arg("uninstall"), Arg("-u"), nullptr};
  // The older tool holds our lock as its descriptor 3 for as long as it
  // runs, so that no installer can start while it is still removing files,
  // even when we are killed meanwhile.
  vq::ChildOptions options;
  options.resultType = vq::LogType::kInfo;
  options.inheritedDescriptor = lock_fd.get();
  const vq::ChildOutcome older =
      vq::RunChild(*logger, paths.uninstallerPath.c_str(), argv, options);
  // Its exit status alone is not enough: a tool ended by a signal, or one
  // that left its set or its daemon behind, has not removed its installation.
  std::string why;
  if (!older.succeeded()) {
    why = "it exited with " + std::to_string(older.exitCode);
  } else if (older.signal != 0) {
    why = "it was ended by signal " + std::to_string(older.signal);
  } else if (fm->itemExists(paths.kestrun2Path)) {
    why = "it left " + paths.kestrun2Path + " in place";
  } else if (fm->itemExists(paths.launchFullPath)) {
    why = "it left its daemon registered (" + paths.launchFullPath + ")";
  }
  if (why.empty()) return true;
  VQ_LOG_INFO(*logger, "uninstaller returned error");
  VQ_LOG_ERROR(*logger, "the older tool %{public}s did not remove its installation: %{public}s",
               paths.uninstallerPath.c_str(), why.c_str());
  (void)fail("the older tool did not remove its installation: " + why);
  // Whatever the older tool removed before it failed comes back.
  recover();
  return false;
}

bool VQKS2Installer::setAttrsRecurse(const std::string& path) {
  // The copy already gave every item owner 0 and group 0; this pass only
  // changes what something else left otherwise.
  auto apply = [&](const std::string& full, const std::string& shown,
                   std::optional<std::pair<uid_t, gid_t>> owner) {
    if (owner == std::make_pair(uid_t{0}, gid_t{0})) return;
    vq::FsResult result = fm->setOwner(full, 0, 0);
    if (!result) {
      VQ_LOG_ERROR(*logger, "cannot set owner/group for %{public}s, ignoring.\n%s", shown.c_str(),
                   result.description().c_str());
    }
  };
  const std::optional<vq::ItemAttributes> root = fm->attributesOfItem(path);
  apply(path, path,
        root ? std::make_optional(std::make_pair(root->owner, root->group)) : std::nullopt);
  std::unique_ptr<vq::DirectoryEnumerator> enumerator = fm->enumeratorAtPath(path);
  if (!enumerator) return true;
  while (std::optional<std::string> relative = enumerator->nextObject()) {
    apply(path + "/" + *relative, *relative, enumerator->lastOwner());
  }
  return true;
}

bool VQKS2Installer::serviceLoadStartWithFile(const std::string& file, const std::string& path) {
  // launchd must get a regular file: a link in the payload is refused.
  if (vq::FsResult placed =
          InstallLaunchdPlist(*logger, *fm, paths.kestrun2Path + "/conf/" + file, path);
      !placed) {
    return fail("cannot install launchd plist file: " + placed.description());
  }
  vq::ChildOptions options;
  options.resultType = vq::LogType::kInfo;
  const vq::ArgumentVector load = vq::LaunchctlLoadArguments(path);
  vq::ChildOutcome loaded = vq::RunChild(*logger, paths.launchctl.c_str(), load.argv(), options);
  if (loaded.succeeded() && vq::LaunchctlOutputReportsLoaded(loaded.output)) {
    // A job of that label still loaded (an older daemon that was not taken
    // down): unloaded, then loaded from the new list once more.
    (void)execve(paths.launchctl.c_str(), vq::LaunchctlUnloadArguments(path).argv());
    loaded = vq::RunChild(*logger, paths.launchctl.c_str(), load.argv(), options);
  }
  // The legacy subcommand prints its failure and often still exits 0.
  if (!loaded.succeeded() || vq::LaunchctlOutputReportsFailure(loaded.output)) {
    VQ_LOG_INFO(*logger, "launchctl returned error (load)");
    const std::string why =
        "launchctl load " + path + ": " +
        (loaded.output.empty() ? "exit status " + std::to_string(loaded.exitCode) : loaded.output);
    VQ_LOG_ERROR(*logger, "%{public}s", why.c_str());
    return fail(why);
  }
  if (!execve(paths.launchctl.c_str(), vq::LaunchctlStartArguments(vqDaemonLabel).argv())) {
    VQ_LOG_INFO(*logger, "launchctl returned error (start)");
    return fail("launchctl start " + std::string(vqDaemonLabel) + " failed");
  }
  return true;
}

bool VQKS2Installer::serviceLoadStart() {
  return serviceLoadStartWithFile(vqDefaultLaunchPlistFile, paths.launchFullPath);
}

bool VQKS2Installer::launchctlUnload(const std::string& path) {
  if (!execve(paths.launchctl.c_str(), vq::LaunchctlUnloadArguments(path).argv())) {
    VQ_LOG_INFO(*logger, "launchctl could not unload %{public}s, keeping it", path.c_str());
    return false;
  }
  vq::FsResult removed = fm->removeItem(path);
  vq::LogIgnored(*logger, removed);
  return true;
}

void VQKS2Installer::recover() {
  bool recovered;
  if (KS2BackupDir) {
    recovered = restoreFrom(*KS2BackupDir);
  } else {
    // A first install that failed never counted: what it put in place goes.
    recovered = takeAwayFirstInstall();
  }
  // Only a finished recovery ends the journal; otherwise the next run
  // finishes it.
  if (recovered && journaled) removeJournal();
}

void VQKS2Installer::removeAll() {
  VQ_LOG_INFO(*logger, "unloading services...");
  if (!unloadDaemon()) VQ_LOG_INFO(*logger, "kestrun service removing failed, ignoring...");
  if (auto agent = VQKS2UserAgent::initWithLogger(paths, *logger)) {
    (void)agent->remove(vq::UserList::Current());
  }
  VQ_LOG_INFO(*logger, "removing directory set...");
  vq::FsResult removed = removeDirectorySet();
  if (!removed && removed.error().code != ENOENT) {
    vq::LogWithCause(*logger, vq::LogType::kInfo, "cannot remove directory set, ignoring...",
                     removed);
  }
  // Update mode: the lock is the parent installer's, which keeps the file;
  // run on its own, nobody holds it and the file goes.
  if (!lock_fd.valid()) vq::platform::RemoveLockFileIfFree(paths.instLockFile);
  vq::LogIgnored(*logger, fm->removeItem(paths.kestrun1Path));
}

bool VQKS2Installer::removeLastInstallation() {
  // Journaled first, so that a run killed half-way is finished or undone.
  if (!writeJournal(vqJournalRemove)) return false;
  VQ_LOG_INFO(*logger, "unloading services...");
  const vq::UserList users = vq::UserList::Current();
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  bool down = unloadDaemon();
  if (!down) VQ_LOG_INFO(*logger, "kestrun service removing failed, ignoring...");
  down = down && agent && agent->remove(users);
  VQ_LOG_INFO(*logger, "removing directory set...");
  // Until the commit every step can be undone, and is when one fails.
  auto undo = [&](const std::string& why) {
    (void)fail(why);
    if (restoreServices(users)) removeJournal();
    return false;
  };
  if (!down) return undo("the services could not be taken down");
  // The commit: the set (and its database) leaves its place in one rename.
  const std::string aside = paths.removalFolder(getpid());
  vq::LogIgnored(*logger, fm->removeItem(aside));
  vq::FsResult moved = fm->renameItem(paths.kestrun2Path, aside);
  if (!moved) {
    vq::LogWithCause(*logger, vq::LogType::kInfo, "cannot remove directory set", moved);
    return undo(moved.description());
  }
  vq::FsResult removed = fm->removeItem(aside);
  if (!removed) {
    // Left aside under a name the next run removes.
    vq::LogWithCause(*logger, vq::LogType::kInfo, "cannot remove directory set, ignoring...",
                     removed);
  }
  cleanUpAfterRemoval();
  // While this run holds the lock, its file goes when the run ends, so that
  // nobody can lock a new file and start while this run is still working.
  removeLockFileAtEnd = lock_fd.valid();
  return true;
}

bool VQKS2Installer::restoreServices(const vq::UserList& users) {
  if (!serviceLoadStart()) return false;
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  if (!agent || !agent->install(paths.kestrun2Path)) return false;
  // Back in the sessions it was booted out of, as the service's pass puts it.
  agent->runOnceVerbose(false, users);
  return true;
}

void VQKS2Installer::cleanUpAfterRemoval() {
  removeLeftovers();
  vq::FsResult version1 = fm->removeItem(paths.kestrun1Path);
  vq::LogIgnored(*logger, version1);
  const bool linksGone = VQKS2ModInstaller::removeAllLinks(paths, *logger);
  // What could not be deleted is the next run's: the journal stays for it.
  if (linksGone && (version1 || version1.error().code == ENOENT)) removeJournal();
}

bool VQKS2Installer::unloadDaemon() {
  if (launchctlUnload(paths.launchFullPath)) return !fm->itemExists(paths.launchFullPath);
  // launchctl answered with a failure: that matters only while launchd still
  // has the job (asked only now, so that a normal removal makes the same
  // calls as ever). Its list then goes too.
  const vq::ArgumentVector print =
      vq::LaunchctlPrintArguments(std::string("system/") + vqDaemonLabel);
  vq::ChildOptions options;
  options.resultType = vq::LogType::kInfo;
  const vq::ChildOutcome asked =
      vq::RunChild(*logger, paths.launchctl.c_str(), print.argv(), options);
  if (!asked.ran || asked.signal != 0 || asked.exitCode != vq::kLaunchctlNoSuchJob) {
    return fail("the daemon could not be unloaded");
  }
  vq::FsResult removed = fm->removeItem(paths.launchFullPath);
  vq::LogIgnored(*logger, removed);
  return removed || removed.error().code == ENOENT;
}

void VQKS2Installer::blockKestrunV1() {
  (void)launchctlUnload(paths.oldLaunchFullPath);
  vq::LogIgnored(*logger, fm->removeItem(paths.oldLaunchFullPath));
  vq::LogIgnored(*logger, fm->removeItem(paths.kestrun1Path));
  vq::LogIgnored(*logger, fm->createDirectory(paths.kestrun1Path + "/99", vq::Intermediates::kYes,
                                              RootFolder()));
}

bool VQKS2Installer::versionOneBlocked() const {
  const std::optional<vq::ItemAttributes> marker = fm->attributesOfItem(paths.kestrun1Path + "/99");
  return marker && marker->type == vq::FileType::kDirectory;
}

void VQKS2Installer::removeLeftovers() {
  const std::optional<std::vector<std::string>> names = fm->contentsOfDirectory(paths.supportRoot);
  if (!names) return;
  for (const std::string& name : *names) {
    if (VQInstallPaths::IsLeftover(name)) {
      vq::LogIgnored(*logger, fm->removeItem(paths.supportRoot + "/" + name));
    }
  }
  settleOrphanBackups(*names);
}

void VQKS2Installer::settleOrphanBackups(const std::vector<std::string>& names) {
  if (journaled) return;
  std::vector<std::string> backups;
  for (const std::string& name : names) {
    if (StartsWith(name, VQInstallPaths::kBackupPrefix)) backups.push_back(name);
  }
  if (backups.empty()) return;
  // The newest last: the names end in the seconds their backup was made.
  auto seconds = [](const std::string& name) {
    return std::strtoll(name.c_str() + name.rfind('-') + 1, nullptr, 10);
  };
  std::stable_sort(backups.begin(), backups.end(), [&](const std::string& a, const std::string& b) {
    return seconds(a) < seconds(b);
  });
  if (!databaseInPlace()) {
    // Nothing installed but a complete older set: it is what was installed.
    const std::string adopted = paths.supportRoot + "/" + backups.back();
    VQ_LOG_DEFAULT(*logger,
                   "a backup no run needs and no installation in place: restoring %{public}s",
                   adopted.c_str());
    if (!restoreFrom(adopted)) return;
    backups.pop_back();
  }
  for (const std::string& name : backups) {
    const std::string path = paths.supportRoot + "/" + name;
    VQ_LOG_DEFAULT(*logger, "removing %{public}s: a backup no run needs", path.c_str());
    vq::LogIgnored(*logger, fm->removeItem(path));
  }
}

vq::FsResult VQKS2Installer::removeDirectorySet() {
  const std::string aside = paths.removalFolder(getpid());
  vq::LogIgnored(*logger, fm->removeItem(aside));
  vq::FsResult moved = fm->renameItem(paths.kestrun2Path, aside);
  if (!moved) {
    // Not renamable (on another file system, say): delete it in place.
    if (moved.error().code == ENOENT) return moved;
    return fm->removeItem(paths.kestrun2Path);
  }
  return fm->removeItem(aside);
}

vq::FsResult VQKS2Installer::copySourceToDirectorySet() {
  const std::string staging = paths.stagingFolder(getpid());
  vq::FsResult copied = fm->copyItem(*sourceDir, staging, OwnedByRoot());
  if (copied) {
    // A directory set root that another run's start-up made meanwhile is
    // empty, and rename replaces an empty directory.
    copied = fm->renameItem(staging, paths.kestrun2Path);
  }
  if (!copied) vq::LogIgnored(*logger, fm->removeItem(staging));
  return copied;
}

int VQKS2Installer::install(bool refOnly) {
  if (refOnly) {
    if (!incrementRefCounter(1, nullptr)) return kExitFailure;
    if (!saveDB()) return kExitFailure;
    return kExitSuccess;
  }

  // A first install is journaled too: killed before it finishes, it is taken
  // away by the next run rather than counted.
  if (!journaled && !writeJournal(vqJournalFresh)) {
    VQ_LOG_ERROR(*logger, "cannot copy service files into place: cannot write %{public}s",
                 paths.pendingFile.c_str());
    return kExitFailure;
  }
  removeLeftovers();
  vq::FsResult removed = removeDirectorySet();
  if (!removed && removed.error().code != ENOENT) {
    VQ_LOG_ERROR(*logger, "cannot copy service files into place: %{public}s",
                 removed.description().c_str());
    (void)fail(removed.description());
    return kExitFailure;
  }
  vq::FsResult copied = copySourceToDirectorySet();
  if (!copied) {
    VQ_LOG_ERROR(*logger, "cannot copy service files into place: %{public}s",
                 copied.description().c_str());
    (void)fail(copied.description());
    return kExitFailure;
  }
  if (!setAttrsRecurse(paths.kestrun2Path)) {
    VQ_LOG_ERROR(*logger, "cannot set ownership for ks2 directory set");
    (void)fail("cannot set ownership for ks2 directory set");
    return kExitFailure;
  }
  if (!incrementRefCounter(1, nullptr)) return kExitFailure;
  if (!applyMyVersion()) return kExitFailure;
  if (!saveDB()) return kExitFailure;
  if (!serviceLoadStart()) {
    VQ_LOG_INFO(*logger, "launchd service installation terminated due to error");
    return kExitFailure;
  }
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  if (!agent || !agent->install(paths.kestrun2Path)) {
    VQ_LOG_INFO(*logger, "launchd ws service installation terminated due to error");
    (void)fail("cannot install launchd plist file " + paths.wsLaunchFullPath);
    return kExitFailure;
  }
  return kExitSuccess;
}

bool VQKS2Installer::commitFullInstall() {
  // The backup is moved aside first (a rename), then the journal goes: that
  // deletion is the moment the install counts. Only deleting what was moved
  // aside comes after it.
  std::optional<std::string> discarded;
  if (KS2BackupDir) {
    discarded = DiscardedName(paths, *KS2BackupDir);
    vq::FsResult moved = fm->renameItem(*KS2BackupDir, *discarded);
    vq::LogIgnored(*logger, moved);
    if (!moved) discarded = KS2BackupDir;
  }
  removeJournal();
  if (journaled) {
    // Not committed: the run is rolled back, now or by the next run.
    if (discarded) KS2BackupDir = discarded;
    recover();
    return false;
  }
  if (discarded) {
    if (vq::FsResult removed = fm->removeItem(*discarded); !removed) {
      VQ_LOG_ERROR(*logger, "cannot remove backup: %{public}s", removed.description().c_str());
    }
  }
  return true;
}

int VQKS2Installer::uninstall() {
  uint32_t remaining = 0;
  if (!incrementRefCounter(-1, &remaining)) return kExitFailure;
  if (remaining != 0) {
    VQ_LOG_INFO(*logger, "other software depends on kestrun, just decreasing ref counter");
    return saveDB() ? kExitSuccess : kExitFailure;
  }
  return removeLastInstallation() ? kExitSuccess : kExitFailure;
}
