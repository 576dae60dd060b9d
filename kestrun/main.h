// The tool's entry point and its install and uninstall procedures.
#pragma once

#include "kestrun/InstallPaths.h"
#include "platform/logger.h"

// What the words after the program name ask for.
struct KestrunCommand {
  enum class Mode { kServiceLoop, kInstall, kUninstall, kCreate, kStatus, kInvalid };
  Mode mode = Mode::kInvalid;
  const char* source = nullptr;  // install: the payload folder, as given
  bool update = false;           // uninstall: -u was given
  bool json = false;             // status: --json was given
  const char* error = nullptr;   // kInvalid: the message for standard error
};

// Reads the command line without acting on it. An unknown option after
// "uninstall" makes getopt print its own diagnostic on standard error.
KestrunCommand ParseCommandLine(int argc, char* argv[]);

// The whole command line: root check, dispatch, and the exit status.
int KestrunMain(int argc, char* argv[]);

// Install from a payload directory: first install, update, or one more reference.
int kestrun_install(const char* source, const VQInstallPaths& paths, vq::Logger& logger);
// One reference less, everything removed with the last; in update mode,
// everything removed at once, without the lock and without the database.
int kestrun_uninstall(bool update, const VQInstallPaths& paths, vq::Logger& logger);
