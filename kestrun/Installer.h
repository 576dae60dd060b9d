// VQKS2Installer: one install or uninstall run of the shared service. It owns
// the installation database in memory, the installation lock, the backup made
// during an update, the journal that lets the next run finish what a killed
// one left, and the transactions that string these together.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrun/InstallPaths.h"
#include "libutils-macOS/users.h"
#include "platform/file_manager.h"
#include "platform/install_lock.h"
#include "platform/logger.h"
#include "platform/property_list.h"
#include "platform/scoped_fd.h"

// Results of readDB.
enum InstDBResult : int {
  InstDBOlder = 0,    // valid, an older version is installed
  InstDBMissing = 1,  // nothing at the database path, or a file that is not a property list
  InstDBInvalid = 2,  // a dictionary, but not of the accepted format
  InstDBCurrent = 3,  // valid, this version or a newer one is installed
  // The file is there but could not be read (an I/O error, no descriptor
  // left): nothing is decided from it.
  InstDBUnreadable = 4,
};

// What repairing an interrupted run found and did.
enum class VQRepair {
  kNothing,              // no run was interrupted
  kRepaired,             // an interrupted update was rolled back, or leftovers went
  kFirstInstallRemoved,  // an interrupted first install, which never counted, was taken away
  kRemovalFinished,      // a removal killed after its commit was finished
  kFailed,               // the journal could not be read, or the repair did not finish
};

class VQKS2Installer {
 public:
  // Both answer null when a field cannot be made; neither logs.
  static std::unique_ptr<VQKS2Installer> initWithSource(const char* source,
                                                        const VQInstallPaths& paths,
                                                        vq::Logger& logger);
  static std::unique_ptr<VQKS2Installer> initWithLogger(const VQInstallPaths& paths,
                                                        vq::Logger& logger);

  // Checks the installed locations and makes sure the directory set's root
  // exists: a boolean result with its cause. Logs nothing.
  [[nodiscard]] static vq::FsResult initGlobals(const VQInstallPaths& paths);
  // Creates the directory set's root and any missing parent with mode 0755,
  // owner 0 and group 0; an existing directory keeps its attributes.
  [[nodiscard]] static vq::FsResult createDirSet(const VQInstallPaths& paths);
  // FormatVersion 1, Version 8, ReferenceCounter 0.
  static vq::PropertyList createDefaultInstPlist();

  // Takes the installation lock, waiting while another process holds it: a
  // boolean result with its cause. The lock lasts until the end of the
  // process, and of any older tool it runs.
  [[nodiscard]] vq::FsResult lock();
  // The same without waiting: fails with EWOULDBLOCK while someone holds it.
  [[nodiscard]] vq::FsResult tryLock();
  // Finishes what a run killed half-way left, with the lock held: an update
  // is rolled back to the installation it started from (its daemon loaded
  // and its agent's property list in place), a first install is taken away,
  // so that a killed run leaves no reference of its own; what killed runs
  // were deleting goes, and a backup no journal names is adopted (nothing
  // else installed) or removed. Says at default level what it found.
  [[nodiscard]] VQRepair repairInterruptedInstall();

  // Classifies the database on disk and, when it is valid, adopts it. A file
  // that is not a property list is moved aside (inst.plist.damaged-SECONDS
  // beside the set) and said at error level before it counts as missing.
  [[nodiscard]] InstDBResult readDB();
  // A boolean result with its cause.
  [[nodiscard]] vq::FsResult writeDB();
  // Adds delta to the counter in memory, clamped to 0 ... 4294967295.
  [[nodiscard]] bool incrementRefCounter(int32_t delta, uint32_t* newValue);
  [[nodiscard]] bool applyMyVersion();

  bool backupPreviousFiles();
  bool removeBackup();
  bool restoreBackup();

  // Runs a program through the child process runner, logging its exit code
  // and output at info level.
  [[nodiscard]] bool execve(const char* path, char* const argv[]);

  // Backs up the older installation and has its own tool remove it. The
  // older tool has done its part only when it exited 0, was not ended by a
  // signal, and left neither its set nor its daemon's property list.
  [[nodiscard]] bool uninstallPrevious();
  // Owner 0 and group 0 for path and everything below it; modes untouched.
  [[nodiscard]] bool setAttrsRecurse(const std::string& path);

  // Puts the daemon's property list in place, loads it and starts the
  // label. A load that prints a failure has failed, even with exit status
  // 0; when it says the label was loaded already, it is unloaded and loaded
  // once more.
  [[nodiscard]] bool serviceLoadStartWithFile(const std::string& file, const std::string& path);
  bool launchctlUnload(const std::string& path);
  [[nodiscard]] bool serviceLoadStart();

  // After a failed full install: the backup of an update comes back with its
  // daemon and agent; a first install is taken away. The journal goes only
  // when that has happened; otherwise the next run finishes it.
  void recover();
  // Unregisters the services and deletes the files, each step whatever the
  // one before gave (update mode; the last reference goes by uninstall).
  void removeAll();
  void blockKestrunV1();
  // Whether version 1's marker stands (blockKestrunV1's effect).
  bool versionOneBlocked() const;
  [[nodiscard]] int install(bool refOnly);
  // One reference less; the last one removes the installation.
  [[nodiscard]] int uninstall();
  // After a successful full install: the run's journal and backup go.
  // False when the run could not commit: it was rolled back, or the next
  // run rolls it back.
  [[nodiscard]] bool commitFullInstall();

  // Deletes the lock file when the run ends, as a complete removal does.
  void removeLockFileWhenDone() { removeLockFileAtEnd = lock_fd.valid(); }

  const vq::PropertyList& database() const { return instDB; }
  // Why the last failed step failed, for the run's verdict; empty when
  // nothing failed.
  const std::string& failureCause() const { return failure; }
  // Why readDB answered InstDBUnreadable.
  const vq::FsResult& databaseReadError() const { return dbReadError; }

  // The lock is released when the process ends. A lock file scheduled for
  // deletion by removeAll goes here.
  ~VQKS2Installer();
  VQKS2Installer(const VQKS2Installer&) = delete;
  VQKS2Installer& operator=(const VQKS2Installer&) = delete;

 private:
  struct Token {};

 public:
  VQKS2Installer(Token, const VQInstallPaths& paths, vq::Logger& log, vq::FileManager* fileManager);

 private:
  vq::FsResult takeLock(vq::platform::LockWait wait);
  // Checks that the older installed tool, and every folder above it, belongs
  // to root and is writable by nobody else before it is run as root.
  bool isSafeToRun(const std::string& path);
  // What the older tool removes in place of its installation, now the
  // backup: a root-owned copy of its set without the plug-ins in modules
  // (the bulk of a set, which no tool runs).
  vq::FsResult makeStandIn(const std::string& backup);
  vq::FsResult copySourceToDirectorySet();
  // Removes the directory set in one step: it is renamed aside, then deleted,
  // so that it is never seen half-deleted.
  vq::FsResult removeDirectorySet();
  // Unloads the daemon (and boots the agent out of every session it may have
  // activated it in) when its property list is in place, then deletes the
  // agent's list and the set. True when nothing of it is left.
  bool takeAwayFirstInstall();
  // Puts the set of `backup` back, with its daemon and agent registered.
  bool restoreFrom(const std::string& backup);
  // Deletes staging, backup and removal folders that killed runs left; a
  // backup no journal names is adopted or removed.
  void removeLeftovers();
  // `names`: the support folder's.
  void settleOrphanBackups(const std::vector<std::string>& names);
  // Whether the set's database stands in its place (a regular file).
  bool databaseInPlace() const;
  // The journal: what a run must undo if it does not finish.
  bool writeJournal(const std::string& entry);
  void removeJournal();
  // Unloads the daemon and deletes its list; true when launchd no longer
  // has it and the list is gone.
  bool unloadDaemon();
  // The last reference's removal, journaled: the services are taken down,
  // then the set leaves its place in one rename, the commit. A failure before
  // it puts the services back and answers false (the installation stays as
  // it was); after it, what cannot be deleted is left for the next run.
  bool removeLastInstallation();
  // The daemon loaded and started, the agent's list in place and the agent
  // in the sessions of `users`.
  bool restoreServices(const vq::UserList& users);
  // After the set left its place: what killed runs left, version 1's folder,
  // the plug-in links, and then the journal; what cannot be deleted keeps
  // the journal for the next run.
  void cleanUpAfterRemoval();
  // writeDB, with a failure logged ("cannot save installer database" and its
  // cause) and kept for the verdict.
  bool saveDB();
  // Keeps the first cause of a failure for the verdict; answers false.
  bool fail(const std::string& cause);

  const VQInstallPaths paths;
  vq::PropertyList instDB;
  std::optional<std::string> sourceDir;
  std::optional<std::string> KS2BackupDir;
  vq::ScopedFd lock_fd;
  vq::Logger* logger;
  vq::FileManager* fm;
  bool journaled = false;
  // The lock file of a complete removal, deleted when the run ends.
  bool removeLockFileAtEnd = false;
  std::string failure;
  vq::FsResult dbReadError = vq::FsResult::Ok();
};
