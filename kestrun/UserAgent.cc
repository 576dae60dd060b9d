#include "kestrun/UserAgent.h"

#include <errno.h>

#include <cstdio>

#include "kestrun/Globals.h"
#include "kestrun/LaunchdPlist.h"
#include "libutils-macOS/execve.h"
#include "libutils-macOS/launchctl.h"

namespace {
constexpr char kGuiDomain[] = "gui";
}  // namespace

VQKS2UserAgent::VQKS2UserAgent(Token, vq::Logger& log, const VQInstallPaths& paths,
                               vq::FileManager* fileManager)
    : logger(&log),
      plistFullPath(paths.wsLaunchFullPath),
      fm(fileManager),
      launchctl(paths.launchctl) {}

std::unique_ptr<VQKS2UserAgent> VQKS2UserAgent::initWithLogger(const VQInstallPaths& paths,
                                                               vq::Logger& logger) {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return nullptr;
  return std::make_unique<VQKS2UserAgent>(Token{}, logger, paths, fm);
}

void VQKS2UserAgent::runOnceVerbose(bool verbose, const vq::UserList& users) {
  if (verbose) std::fputs("ws agent is activated for:", stdout);
  // Bootstrapping an agent that is already loaded fails harmlessly; the
  // kick-start follows either way, so a new login is covered on the next pass.
  for (const vq::platform::PosixAccount& account : users.accounts) {
    (void)vq_launchctl_bootstrap(*logger, kGuiDomain, account.uid, plistFullPath.c_str(),
                                 launchctl.c_str());
    (void)vq_launchctl_kickstart(*logger, kGuiDomain, account.uid, vqDefaultWSService,
                                 launchctl.c_str());
    if (verbose) std::printf(" %s", account.name.c_str());
  }
  if (verbose) {
    std::fputs(".\n", stdout);
    std::fflush(stdout);
  }
}

bool VQKS2UserAgent::install(const std::string& serviceDir) {
  return InstallLaunchdPlist(*logger, *fm, serviceDir + "/conf/" + vqDefaultWSLaunchPlistFile,
                             plistFullPath)
      .ok();
}

bool VQKS2UserAgent::remove(const vq::UserList& users) {
  bool done = users.enumerated && users.complete;
  for (const vq::platform::PosixAccount& account : users.accounts) {
    const std::optional<vq::ArgumentVector> bootout =
        vq::LaunchctlStrapArguments("bootout", kGuiDomain, account.uid, plistFullPath.c_str());
    if (!bootout) continue;
    const vq::ChildOutcome outcome =
        vq::RunChild(*logger, launchctl.c_str(), bootout->argv(), vq::ChildOptions{});
    // Not loaded there (3), or no graphical session to boot it out of (125):
    // nothing is left in that session either way.
    const int code = outcome.exitCode;
    if (!outcome.ran || outcome.signal != 0 || (code != 0 && code != 3 && code != 125)) {
      done = false;
    }
  }
  if (!users.enumerated) VQ_LOG_INFO(*logger, "ws service removing failed, ignoring...");
  vq::FsResult removed = fm->removeItem(plistFullPath);
  vq::LogIgnored(*logger, removed);
  return done && (removed || removed.error().code == ENOENT);
}
