// What is installed, as the files of the installation say, read without
// changing anything: the database, the journal of an interrupted run, the
// backups and leftovers in the support folder, the launchd property lists,
// and whether an install or uninstall holds the lock now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrun/InstallPaths.h"
#include "platform/property_list.h"

// Version and ReferenceCounter of a database of the format this tool reads;
// nothing for any other.
std::optional<std::pair<uint32_t, uint32_t>> VQDatabaseValues(const vq::PropertyList& db);

struct VQInstallationState {
  enum class Kind {
    kInstalled,
    kNotInstalled,
    kUpdateInterrupted,
    kFirstInstallInterrupted,
    kRemovalInterrupted,
    kDatabaseDamaged,
    kOperationRunning,
  };

  Kind kind = Kind::kNotInstalled;
  // The installed database's values; for an interrupted update, those of the
  // installation the next run restores.
  std::optional<uint32_t> version, references;
  std::string problem;  // why the database or the journal cannot be used
  std::string repair;   // what the next install or uninstall does first; empty: nothing
  std::vector<std::string> backups, leftovers, damaged;  // names in the support folder
  bool daemonPlist = false, agentPlist = false;

  // With probeLock, an install or uninstall holding the lock is reported;
  // a run that holds the lock itself passes false.
  static VQInstallationState Inspect(const VQInstallPaths& paths, bool probeLock);
  static const char* KindName(Kind kind);
  // One phrase for a verdict: "version 8 installed, 2 references", ...
  std::string summary() const;
};
