#include "kestrun/main.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "kestrun/Globals.h"
#include "kestrun/Installer.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/UserAgent.h"
#include "platform/option_parser.h"

namespace {

constexpr char kNotRoot[] = "Error: must be run as root\n";
constexpr char kNoSource[] = "Error: source path must be specified\n";
constexpr char kInvalidArgument[] = "Error: invalid argument\n";

// Each message goes out in one write of exactly its bytes.
int Fail(const char* message) {
  std::fwrite(message, 1, std::strlen(message), stderr);
  return kExitFailure;
}

int RunWorkers(bool once) {
  std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("all");
  auto mods = VQKS2ModInstaller::initWithLogger(*logger);
  auto agent = VQKS2UserAgent::initWithLogger(*logger);
  if (!mods || !agent) return kExitFailure;
  if (once) {
    mods->runOnceVerbose(true);
    agent->runOnceVerbose(true);
    return kExitSuccess;
  }
  // Each pass reads the file system afresh; nothing is carried between them.
  for (unsigned long pass = 1;; ++pass) {
    mods->runOnceVerbose(false);
    agent->runOnceVerbose(false);
    if (pass == vqServicePassLimit) return kExitSuccess;
    sleep(vqServicePassPause);
  }
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
  // Whatever the caller's mask, what root creates is never writable by others.
  umask(022);

  const KestrunCommand command = ParseCommandLine(argc, argv);
  switch (command.mode) {
    case KestrunCommand::Mode::kServiceLoop:
      return RunWorkers(false);
    case KestrunCommand::Mode::kCreate:
      return RunWorkers(true);
    case KestrunCommand::Mode::kInstall: {
      std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("installer");
      return kestrun_install(command.source, *logger);
    }
    case KestrunCommand::Mode::kUninstall: {
      std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("uninstaller");
      return kestrun_uninstall(command.update, *logger);
    }
    case KestrunCommand::Mode::kInvalid:
      break;
  }
  return Fail(command.error);
}

int kestrun_install(const char* source, vq::Logger& logger) {
  VQ_LOG_INFO(logger, "installation started");
  if (!VQKS2Installer::initGlobals()) {
    VQ_LOG_ERROR(logger, "cannot initialize installer");
    return kExitFailure;
  }
  auto installer = VQKS2Installer::initWithSource(source, logger);
  if (!installer) {
    VQ_LOG_ERROR(logger, "cannot initialize installer");
    return kExitFailure;
  }
  if (!installer->lock()) {
    VQ_LOG_ERROR(logger, "cannot lock installation database");
    return kExitFailure;
  }

  switch (installer->readDB()) {
    case InstDBCurrent: {
      VQ_LOG_INFO(logger, "installed version of Kestrun2 is OK, just increasing ref counter");
      const int result = installer->install(true);
      if (result != 0) {
        VQ_LOG_INFO(logger, "install process terminated due to error");
        return result;
      }
      VQ_LOG_INFO(logger, "done.");
      return kExitSuccess;
    }
    case InstDBInvalid:
      VQ_LOG_INFO(logger, "installation DB invalid format");
      return kExitFailure;
    case InstDBOlder:
      VQ_LOG_INFO(logger, "older version detected, uninstalling it first");
      if (!installer->uninstallPrevious()) {
        VQ_LOG_INFO(logger, "uninstalling previous version failed");
        return kExitFailure;
      }
      break;
    case InstDBMissing:
    default:
      break;
  }

  const int result = installer->install(false);
  if (result != 0) {
    VQ_LOG_INFO(logger, "install process terminated due to error, trying to recover");
    installer->recover();
    return result;
  }
  (void)installer->removeBackup();
  installer->blockKestrunV1();
  VQ_LOG_INFO(logger, "done.");
  return kExitSuccess;
}

int kestrun_uninstall(bool update, vq::Logger& logger) {
  VQ_LOG_INFO(logger, "uninstallation started");
  if (!VQKS2Installer::initGlobals()) {
    VQ_LOG_ERROR(logger, "cannot initialize uninstaller");
    return kExitFailure;
  }
  auto installer = VQKS2Installer::initWithLogger(logger);
  if (!installer) {
    VQ_LOG_ERROR(logger, "cannot initialize uninstaller");
    return kExitFailure;
  }
  if (update) {
    VQ_LOG_INFO(logger, "uninstaller started in update mode");
    installer->removeAll();
    VQ_LOG_INFO(logger, "done.");
    return kExitSuccess;
  }
  if (!installer->lock()) {
    VQ_LOG_ERROR(logger, "cannot lock installation database");
    return kExitFailure;
  }
  switch (installer->readDB()) {
    case InstDBInvalid:
      VQ_LOG_INFO(logger, "installation DB invalid format");
      return kExitFailure;
    case InstDBMissing:
      VQ_LOG_INFO(logger, "installation DB not found or access denied");
      return kExitFailure;
    case InstDBOlder:
      VQ_LOG_INFO(logger, "strange that uninstaller from higher version");
      break;
    default:
      break;
  }
  bool removedAll = false;
  const int result = installer->uninstall(&removedAll);
  if (result != 0) {
    VQ_LOG_INFO(logger, "uninstall process terminated due to error");
    return result;
  }
  if (removedAll) VQKS2ModInstaller::removeAllLinks();
  VQ_LOG_INFO(logger, "done.");
  return kExitSuccess;
}
