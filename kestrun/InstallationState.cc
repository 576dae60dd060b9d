#include "kestrun/InstallationState.h"

#include <errno.h>

#include "kestrun/Globals.h"
#include "platform/file_manager.h"
#include "platform/install_lock.h"
#include "platform/regular_file.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string References(uint32_t count) {
  return std::to_string(count) + (count == 1 ? " reference" : " references");
}

// The values of the database at path, or why there are none (ENOENT: no file).
std::optional<std::pair<uint32_t, uint32_t>> ReadValues(const std::string& path, int* error,
                                                        std::string* problem) {
  std::string data;
  vq::FsResult read = vq::ReadRegularFileAt(path, vq::PropertyList::kMaxFileSize, &data);
  if (!read) {
    *error = read.error().code;
    *problem = read.description();
    return std::nullopt;
  }
  std::optional<vq::PropertyList> db = vq::PropertyList::ParseDictionary(data);
  std::optional<std::pair<uint32_t, uint32_t>> values;
  if (db) values = VQDatabaseValues(*db);
  if (!values) {
    *error = EINVAL;
    *problem = path + (db ? " is not of the format this tool reads" : " is not a property list");
  }
  return values;
}

}  // namespace

std::optional<std::pair<uint32_t, uint32_t>> VQDatabaseValues(const vq::PropertyList& db) {
  const std::optional<uint32_t> format = db.uint32ForKey(vqDBFormatVersion);
  const std::optional<uint32_t> version = db.uint32ForKey(vqDBVersion);
  const std::optional<uint32_t> counter = db.uint32ForKey(vqDBReferenceCounter);
  if (format != vqDBFormat || !version || !counter) return std::nullopt;
  return std::make_pair(*version, *counter);
}

VQInstallationState VQInstallationState::Inspect(const VQInstallPaths& paths, bool probeLock) {
  VQInstallationState state;
  vq::FileManager& fm = *vq::FileManager::defaultManager();
  state.daemonPlist = fm.itemExists(paths.launchFullPath);
  state.agentPlist = fm.itemExists(paths.wsLaunchFullPath);
  if (const auto names = fm.contentsOfDirectory(paths.supportRoot)) {
    for (const std::string& name : *names) {
      if (StartsWith(name, VQInstallPaths::kBackupPrefix)) state.backups.push_back(name);
      if (VQInstallPaths::IsLeftover(name)) state.leftovers.push_back(name);
      if (StartsWith(name, VQInstallPaths::kDamagedDatabasePrefix)) state.damaged.push_back(name);
    }
  }

  int error = 0;
  std::string problem;
  const auto values = ReadValues(paths.instPlistFile, &error, &problem);
  if (values) std::tie(state.version, state.references) = *values;

  std::string entry;
  vq::FsResult journal = vq::ReadRegularFileAt(paths.pendingFile, vqJournalMaxSize, &entry);
  if (journal || journal.error().code != ENOENT) {
    if (journal && StartsWith(entry, vqJournalRestore)) {
      state.kind = Kind::kUpdateInterrupted;
      const std::string backup =
          paths.supportRoot + "/" + entry.substr(sizeof vqJournalRestore - 1);
      int ignored = 0;
      std::string alsoIgnored;
      if (const auto old = ReadValues(backup + "/inst.plist", &ignored, &alsoIgnored)) {
        std::tie(state.version, state.references) = *old;
        state.repair = "restore the installation the update started from (" + backup + ")";
      } else {
        state.repair = "reload the installation in place (the update had changed nothing)";
      }
    } else if (journal && entry == vqJournalRemove) {
      state.kind = Kind::kRemovalInterrupted;
      // Before its commit the set is in place, and stays; after it, it goes.
      state.repair = values ? "put the services of the installation in place back"
                            : "finish removing the installation, whose last reference went";
    } else if (journal && entry == vqJournalFresh) {
      state.kind = Kind::kFirstInstallInterrupted;
      state.version.reset();
      state.references.reset();
      state.repair = "remove the interrupted first installation, which never counted";
    } else {
      state.kind = Kind::kDatabaseDamaged;
      state.problem =
          journal ? paths.pendingFile + " holds no entry this tool wrote" : journal.description();
      state.repair = "none: the run stops until " + paths.pendingFile + " can be read";
    }
  } else if (values) {
    state.kind = Kind::kInstalled;
  } else if (error == ENOENT) {
    state.kind = state.backups.empty() ? Kind::kNotInstalled : Kind::kUpdateInterrupted;
    if (!state.backups.empty()) {
      state.repair = "restore " + paths.supportRoot + "/" + state.backups.back() +
                     ", a backup no run needs, with nothing else installed";
    }
  } else {
    state.kind = Kind::kDatabaseDamaged;
    state.problem = problem;
    if (error == EINVAL) {
      state.repair = "keep the database aside and count again from a fresh install";
    }
  }
  if (state.repair.empty() && !state.leftovers.empty()) {
    state.repair = "remove what killed runs left (" + state.leftovers.front() + ")";
  }
  if (state.repair.empty() && state.kind == Kind::kInstalled && !state.backups.empty()) {
    state.repair = "remove " + state.backups.front() + ", a backup no run needs";
  }
  if (probeLock && vq::platform::IsInstallLockHeld(paths.instLockFile).value_or(false)) {
    state.kind = Kind::kOperationRunning;
  }
  return state;
}

const char* VQInstallationState::KindName(Kind kind) {
  switch (kind) {
    case Kind::kInstalled:
      return "installed";
    case Kind::kNotInstalled:
      return "not installed";
    case Kind::kUpdateInterrupted:
      return "update interrupted";
    case Kind::kFirstInstallInterrupted:
      return "first install interrupted";
    case Kind::kRemovalInterrupted:
      return "removal interrupted";
    case Kind::kDatabaseDamaged:
      return "database damaged";
    case Kind::kOperationRunning:
      return "operation running";
  }
  return "unknown";
}

std::string VQInstallationState::summary() const {
  const std::string installed = version && references ? "version " + std::to_string(*version) +
                                                            " installed, " + References(*references)
                                                      : std::string("nothing installed");
  const std::string restored = version && references ? "version " + std::to_string(*version) +
                                                           " with " + References(*references)
                                                     : std::string("the installation in place");
  switch (kind) {
    case Kind::kInstalled:
    case Kind::kNotInstalled:
      return installed;
    case Kind::kOperationRunning:
      return "an install or uninstall is running (" + installed + ")";
    case Kind::kUpdateInterrupted:
      return "an interrupted update waits for the next run, which restores " + restored;
    case Kind::kFirstInstallInterrupted:
      return "an interrupted first install waits for the next run, which removes it";
    case Kind::kRemovalInterrupted:
      return version
                 ? "an interrupted removal waits for the next run, which keeps " + restored
                 : std::string("an interrupted removal waits for the next run, which finishes it");
    case Kind::kDatabaseDamaged:
      return "the installation database cannot be used (" + problem + ")";
  }
  return installed;
}
