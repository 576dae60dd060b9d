#include "kestrun/main.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kestrun/Globals.h"
#include "kestrun/Installer.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/UserAgent.h"
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

int RunWorkers(bool once, const VQInstallPaths& paths) {
  std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("all");
  auto mods = VQKS2ModInstaller::initWithLogger(paths, *logger);
  auto agent = VQKS2UserAgent::initWithLogger(paths, *logger);
  if (!mods || !agent) return kExitFailure;
  // Each pass reads the file system and the users afresh, once for both
  // workers; nothing is carried between passes.
  for (unsigned long pass = 1;; ++pass) {
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
  }
  return {"installation DB invalid format", false};
}

// The start every install and uninstall shares: the installed locations'
// root folder, the installer object, and (except in update mode) the lock
// with any interrupted run repaired. Null, with the failure and its cause
// logged, when the run cannot go on.
std::unique_ptr<VQKS2Installer> OpenInstaller(Procedure procedure, const char* source,
                                              bool takeLock, const VQInstallPaths& paths,
                                              vq::Logger& logger) {
  const char* cannotInitialize = procedure == Procedure::kInstall ? "cannot initialize installer"
                                                                  : "cannot initialize uninstaller";
  // initGlobals: a boolean with its cause.
  if (vq::FsResult ready = VQKS2Installer::initGlobals(paths); !ready) {
    vq::LogWithCause(logger, vq::LogType::kError, cannotInitialize, ready);
    return nullptr;
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
    return nullptr;
  }
  if (!takeLock) return installer;
  // lock: a boolean with its cause.
  if (vq::FsResult locked = installer->lock(); !locked) {
    vq::LogWithCause(logger, vq::LogType::kError, "cannot lock installation database", locked);
    return nullptr;
  }
  installer->repairInterruptedInstall();
  return installer;
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
  auto installer = OpenInstaller(Procedure::kInstall, source, true, paths, logger);
  if (!installer) return kExitFailure;

  const InstDBResult state = installer->readDB();
  const DatabaseVerdict verdict = JudgeDatabase(state, Procedure::kInstall);
  if (verdict.line != nullptr) VQ_LOG_INFO(logger, "%{public}s", verdict.line);
  if (!verdict.proceed) return kExitFailure;
  if (state == InstDBCurrent) {
    const int result = installer->install(true);
    if (result != kExitSuccess) {
      VQ_LOG_INFO(logger, "install process terminated due to error");
      return result;
    }
    VQ_LOG_INFO(logger, "done.");
    return kExitSuccess;
  }
  if (state == InstDBOlder && !installer->uninstallPrevious()) {
    VQ_LOG_INFO(logger, "uninstalling previous version failed");
    return kExitFailure;
  }

  const int result = installer->install(false);
  if (result != kExitSuccess) {
    VQ_LOG_INFO(logger, "install process terminated due to error, trying to recover");
    installer->recover();
    return result;
  }
  // Version 1 is retired while the run can still be rolled back: a run
  // killed here leaves the older installation, not a reference of its own.
  installer->blockKestrunV1();
  installer->commitFullInstall();
  VQ_LOG_INFO(logger, "done.");
  return kExitSuccess;
}

int kestrun_uninstall(bool update, const VQInstallPaths& paths, vq::Logger& logger) {
  VQ_LOG_INFO(logger, "uninstallation started");
  // Update mode takes no lock: the newer installer that runs it holds it.
  auto installer = OpenInstaller(Procedure::kUninstall, nullptr, !update, paths, logger);
  if (!installer) return kExitFailure;
  if (update) {
    VQ_LOG_INFO(logger, "uninstaller started in update mode");
    installer->removeAll();
    VQ_LOG_INFO(logger, "done.");
    return kExitSuccess;
  }
  const DatabaseVerdict verdict = JudgeDatabase(installer->readDB(), Procedure::kUninstall);
  if (verdict.line != nullptr) VQ_LOG_INFO(logger, "%{public}s", verdict.line);
  if (!verdict.proceed) return kExitFailure;
  bool removedAll = false;
  const int result = installer->uninstall(&removedAll);
  if (result != kExitSuccess) {
    VQ_LOG_INFO(logger, "uninstall process terminated due to error");
    return result;
  }
  if (removedAll) VQKS2ModInstaller::removeAllLinks(paths, logger);
  VQ_LOG_INFO(logger, "done.");
  return kExitSuccess;
}
