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

// Each message goes out in one write of exactly its bytes.
template <size_t N>
int Fail(const char (&message)[N]) {
  std::fwrite(message, 1, N - 1, stderr);
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
  for (;;) {
    mods->runOnceVerbose(false);
    agent->runOnceVerbose(false);
    sleep(vqServicePassPause);
  }
}

int RunUninstall(int argc, char* argv[]) {
  // "uninstall" stands where the program name would: options start after it.
  vq::platform::ResetOptionParser();
  bool update = false;
  int option;
  while ((option = vq::platform::NextOption(argc, argv, "u")) == 'u') update = true;
  if (option != -1) return Fail("Error: invalid argument\n");
  std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("uninstaller");
  return kestrun_uninstall(update, *logger);
}

}  // namespace

int KestrunMain(int argc, char* argv[]) {
  if (getuid() != 0) return Fail("Error: must be run as root\n");
  // Whatever the caller's mask, what root creates is never writable by others.
  umask(022);

  if (argc < 2) return RunWorkers(false);
  const char* command = argv[1];
  if (std::strcmp(command, "install") == 0) {
    if (argc < 3) return Fail("Error: source path must be specified\n");
    std::unique_ptr<vq::Logger> logger = vq::CreateSystemLogger("installer");
    return kestrun_install(argv[2], *logger);
  }
  if (std::strcmp(command, "uninstall") == 0) return RunUninstall(argc - 1, argv + 1);
  if (std::strcmp(command, "create") == 0) return RunWorkers(true);
  return Fail("Error: invalid argument\n");
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
