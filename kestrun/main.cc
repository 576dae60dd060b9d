#include "kestrun/main.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kestrun/Globals.h"
#include "kestrun/Installer.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/RunVerdict.h"
#include "kestrun/Status.h"
#include "kestrun/UserAgent.h"
#include "platform/executable_path.h"
#include "platform/option_parser.h"
#include "platform/process.h"
#include "platform/utf8.h"

namespace {

constexpr char kNotRoot[] = "Error: must be run as root\n";
constexpr char kNoSource[] = "Error: source path must be specified\n";
constexpr char kInvalidArgument[] = "Error: invalid argument\n";

// Each message goes out in one write of exactly its bytes.
int Fail(const char* message) {
  std::fwrite(message, 1, std::strlen(message), stderr);
  return kExitFailure;
}

// A run that was interrupted is finished by the first pass that finds the
// lock free. That happens in a session of its own: taking an interrupted
// first install away unloads the daemon, which may be running this pass.
// False when the tool's own installation has gone with it.
bool RepairBeforePass(const VQInstallPaths& paths, vq::Logger& logger) {
  vq::FileManager& fm = *vq::FileManager::defaultManager();
  if (!fm.itemExists(paths.pendingFile)) return true;
  (void)vq::platform::RunInNewSession([&] {
    auto installer = VQKS2Installer::initWithLogger(paths, logger);
    // Held: the run at work, or the next one, repairs it.
    if (!installer || !installer->tryLock()) return kExitSuccess;
    return installer->repairInterruptedInstall() == VQRepair::kFailed ? kExitFailure : kExitSuccess;
  });
  const std::optional<std::string> home = vq::platform::MainExecutableDirectory();
  return home && fm.itemExists(*home);
}

int RunWorkers(bool once, const VQInstallPaths& paths) {
  std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("all");
  auto mods = VQKS2ModInstaller::initWithLogger(paths, *logger);
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  if (!mods || !agent) return kExitFailure;
  // Each pass reads the file system and the users afresh, once for both
  // workers; nothing is carried between passes.
  for (unsigned long pass = 1;; ++pass) {
    if (!RepairBeforePass(paths, *logger)) return kExitSuccess;
    const vq::UserList users = vq::UserList::Current();
    mods->runOnceVerbose(once, users);
    agent->runOnceVerbose(once, users);
    if (once || pass == vqServicePassLimit) return kExitSuccess;
    if (vqServicePassPause != 0) sleep(vqServicePassPause);
  }
}

enum class Procedure { kInstall, kUninstall };

// What a procedure makes of the database's state: the line it logs (if any)
// and whether it goes on.
struct DatabaseVerdict {
  const char* line = nullptr;
  bool proceed = true;
};

DatabaseVerdict JudgeDatabase(InstDBResult state, Procedure procedure) {
  const bool installing = procedure == Procedure::kInstall;
  switch (state) {
    case InstDBCurrent:
      if (installing) return {"installed version of Kestrun2 is OK, just increasing ref counter"};
      return {};
    case InstDBInvalid:
      return {"installation DB invalid format", false};
    case InstDBOlder:
      if (installing) return {"older version detected, uninstalling it first"};
      return {"strange that uninstaller from higher version"};
    case InstDBMissing:
      if (installing) return {};
      return {"installation DB not found or access denied", false};
    case InstDBUnreadable:
      break;
  }
  return {"installation DB invalid format", false};
}

// The start every install and uninstall shares: the installed locations'
// root folder, the installer object, and (except in update mode) the lock,
// any interrupted run repaired, and the database read. Without an installer
// the run cannot go on; the failure is logged, and its cause kept.
struct OpenedInstaller {
  std::unique_ptr<VQKS2Installer> installer;
  VQRepair repair = VQRepair::kNothing;
  InstDBResult state = InstDBMissing;
  std::string cause;
};

OpenedInstaller OpenInstaller(Procedure procedure, const char* source, bool takeLock,
                              const VQInstallPaths& paths, vq::Logger& logger,
                              VQRunVerdict& verdict) {
  OpenedInstaller opened;
  const char* cannotInitialize = procedure == Procedure::kInstall ? "cannot initialize installer"
                                                                  : "cannot initialize uninstaller";
  // initGlobals: a boolean with its cause.
  if (vq::FsResult ready = VQKS2Installer::initGlobals(paths); !ready) {
    vq::LogWithCause(logger, vq::LogType::kError, cannotInitialize, ready);
    opened.cause = std::string(cannotInitialize) + ": " + ready.description();
    return opened;
  }
  std::unique_ptr<VQKS2Installer> installer;
  if (procedure == Procedure::kUninstall) {
    installer = VQKS2Installer::initWithLogger(paths, logger);
  } else if (source != nullptr && vq::IsValidUtf8(source)) {
    // A path that is not UTF-8 cannot be a path string on macOS.
    installer = VQKS2Installer::initWithSource(source, paths, logger);
  }
  if (!installer) {
    VQ_LOG_ERROR(logger, "%{public}s", cannotInitialize);
    opened.cause = cannotInitialize;
    return opened;
  }
  if (!takeLock) {
    opened.installer = std::move(installer);
    return opened;
  }
  // lock: a boolean with its cause.
  if (vq::FsResult locked = installer->lock(); !locked) {
    vq::LogWithCause(logger, vq::LogType::kError, "cannot lock installation database", locked);
    opened.cause = "cannot lock installation database: " + locked.description();
    return opened;
  }
  verdict.setRecorded(true);
  opened.repair = installer->repairInterruptedInstall();
  if (opened.repair == VQRepair::kFailed) {
    opened.cause = "an interrupted run could not be repaired: " + installer->failureCause();
    return opened;
  }
  opened.state = installer->readDB();
  if (opened.state == InstDBUnreadable) {
    vq::LogWithCause(logger, vq::LogType::kError, "cannot read installation database",
                     installer->databaseReadError());
    opened.cause = "cannot read installation database: " + installer->failureCause();
    return opened;
  }
  opened.installer = std::move(installer);
  return opened;
}

std::string Version(uint32_t version) { return "version " + std::to_string(version); }

// The cause a failed step left, or the procedure's own words for it.
std::string CauseOf(const VQKS2Installer& installer, const char* otherwise) {
  return installer.failureCause().empty() ? otherwise : installer.failureCause();
}

}  // namespace

KestrunCommand ParseCommandLine(int argc, char* argv[]) {
  using Mode = KestrunCommand::Mode;
  KestrunCommand command;
  if (argc < 2) {
    command.mode = Mode::kServiceLoop;
    return command;
  }
  const char* word = argv[1];
  if (std::strcmp(word, "install") == 0) {
    if (argc < 3) {
      command.error = kNoSource;
      return command;
    }
    command.mode = Mode::kInstall;
    command.source = argv[2];
    return command;
  }
  if (std::strcmp(word, "uninstall") == 0) {
    // "uninstall" stands where the program name would: options start after it.
    vq::platform::ResetOptionParser();
    int option;
    while ((option = vq::platform::NextOption(argc - 1, argv + 1, "u")) == 'u') {
      command.update = true;
    }
    if (option != -1) {
      command.error = kInvalidArgument;
      return command;
    }
    command.mode = Mode::kUninstall;
    return command;
  }
  if (std::strcmp(word, "create") == 0) {
    command.mode = Mode::kCreate;
    return command;
  }
  if (std::strcmp(word, "status") == 0) {
    // One option, and nothing else: a management tool that misspells it
    // gets an error rather than the other format.
    command.json = argc == 3 && std::strcmp(argv[2], "--json") == 0;
    if (argc > 3 || (argc == 3 && !command.json)) {
      command.error = kInvalidArgument;
      return command;
    }
    command.mode = Mode::kStatus;
    return command;
  }
  command.error = kInvalidArgument;
  return command;
}

int KestrunMain(int argc, char* argv[]) {
  if (getuid() != 0) return Fail(kNotRoot);
  vq::platform::PrepareProcess();

  const KestrunCommand command = ParseCommandLine(argc, argv);
  if (command.mode == KestrunCommand::Mode::kInvalid) return Fail(command.error);
  // Every location the run touches, from the real root, once.
  const VQInstallPaths paths = VQInstallPaths::Under("");
  switch (command.mode) {
    case KestrunCommand::Mode::kServiceLoop:
      return RunWorkers(false, paths);
    case KestrunCommand::Mode::kCreate:
      return RunWorkers(true, paths);
    case KestrunCommand::Mode::kStatus:
      return kestrun_status(command.json, paths);
    case KestrunCommand::Mode::kInstall: {
      std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("installer");
      return kestrun_install(command.source, paths, *logger);
    }
    case KestrunCommand::Mode::kUninstall: {
      std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("uninstaller");
      return kestrun_uninstall(command.update, paths, *logger);
    }
    case KestrunCommand::Mode::kInvalid:
      break;
  }
  return Fail(command.error);
}

int kestrun_install(const char* source, const VQInstallPaths& paths, vq::Logger& logger) {
  VQ_LOG_INFO(logger, "installation started");
  VQRunVerdict verdict(paths, logger, std::string("install ") + (source ? source : ""));
  verdict.setAction("install of " + Version(vqOwnVersion));
  OpenedInstaller opened = OpenInstaller(Procedure::kInstall, source, true, paths, logger, verdict);
  if (!opened.installer) return verdict.failed(opened.cause);
  VQKS2Installer* const installer = opened.installer.get();
  const InstDBResult state = opened.state;
  const uint32_t installed = installer->database().uint32ForKey(vqDBVersion).value_or(0);
  if (state == InstDBMissing) verdict.setAction("first install of " + Version(vqOwnVersion));
  if (state == InstDBOlder) {
    verdict.setAction("update from " + Version(installed) + " to " + Version(vqOwnVersion));
  }
  if (state == InstDBCurrent) verdict.setAction("one more reference to " + Version(installed));
  const DatabaseVerdict judged = JudgeDatabase(state, Procedure::kInstall);
  if (judged.line != nullptr) VQ_LOG_INFO(logger, "%{public}s", judged.line);
  if (!judged.proceed) return verdict.failed(judged.line);
  if (state == InstDBCurrent) {
    if (installer->install(true) != kExitSuccess) {
      VQ_LOG_INFO(logger, "install process terminated due to error");
      return verdict.failed(CauseOf(*installer, "install process terminated due to error"));
    }
    VQ_LOG_INFO(logger, "done.");
    return verdict.succeeded();
  }
  if (state == InstDBOlder && !installer->uninstallPrevious()) {
    VQ_LOG_INFO(logger, "uninstalling previous version failed");
    return verdict.failed(CauseOf(*installer, "uninstalling previous version failed"));
  }

  if (installer->install(false) != kExitSuccess) {
    VQ_LOG_INFO(logger, "install process terminated due to error, trying to recover");
    installer->recover();
    return verdict.failed(CauseOf(*installer, "install process terminated due to error"));
  }
  // Version 1 is retired while the run can still be rolled back: a run
  // killed here leaves the older installation, not a reference of its own.
  installer->blockKestrunV1();
  // Its marker is part of what the run installs: without it, the run has
  // not done what it says.
  if (!installer->versionOneBlocked()) {
    VQ_LOG_INFO(logger, "install process terminated due to error, trying to recover");
    installer->recover();
    return verdict.failed("version 1's marker could not be made");
  }
  if (!installer->commitFullInstall()) {
    return verdict.failed(CauseOf(*installer, "the installation could not be committed"));
  }
  VQ_LOG_INFO(logger, "done.");
  return verdict.succeeded();
}

int kestrun_uninstall(bool update, const VQInstallPaths& paths, vq::Logger& logger) {
  VQ_LOG_INFO(logger, "uninstallation started");
  VQRunVerdict verdict(paths, logger, update ? "uninstall -u" : "uninstall");
  verdict.setAction(update ? "removal in update mode" : "uninstall of one reference");
  // Update mode takes no lock: the newer installer that runs it holds it.
  OpenedInstaller opened =
      OpenInstaller(Procedure::kUninstall, nullptr, !update, paths, logger, verdict);
  if (!opened.installer) return verdict.failed(opened.cause);
  VQKS2Installer* const installer = opened.installer.get();
  if (update) {
    VQ_LOG_INFO(logger, "uninstaller started in update mode");
    installer->removeAll();
    VQ_LOG_INFO(logger, "done.");
    // The installer that runs this one holds the lock and the journal: the
    // state is its to say.
    return verdict.succeeded("this installation removed for the update that runs it");
  }
  const InstDBResult state = opened.state;
  const VQRepair repair = opened.repair;
  if (state == InstDBMissing &&
      (repair == VQRepair::kFirstInstallRemoved || repair == VQRepair::kRemovalFinished)) {
    // The interrupted first install never counted, or the interrupted
    // removal was this very uninstall: no reference is left to drop.
    VQ_LOG_DEFAULT(logger, "nothing left to uninstall: %{public}s",
                   repair == VQRepair::kRemovalFinished
                       ? "the interrupted removal has been finished"
                       : "the interrupted first installation was never counted and has been "
                         "removed");
    installer->removeLockFileWhenDone();
    VQ_LOG_INFO(logger, "done.");
    return verdict.succeeded();
  }
  const DatabaseVerdict judged = JudgeDatabase(state, Procedure::kUninstall);
  if (judged.line != nullptr) VQ_LOG_INFO(logger, "%{public}s", judged.line);
  // With nothing installed, a lock file is all that is left of earlier runs.
  if (state == InstDBMissing) installer->removeLockFileWhenDone();
  if (!judged.proceed) return verdict.failed(judged.line);
  if (installer->database().uint32ForKey(vqDBReferenceCounter).value_or(0) <= 1) {
    verdict.setAction("last uninstall");
  }
  if (installer->uninstall() != kExitSuccess) {
    VQ_LOG_INFO(logger, "uninstall process terminated due to error");
    return verdict.failed(CauseOf(*installer, "uninstall process terminated due to error"));
  }
  // The plug-in links went with the last reference, inside the removal.
  VQ_LOG_INFO(logger, "done.");
  return verdict.succeeded();
}
