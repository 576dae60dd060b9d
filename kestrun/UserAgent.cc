#include "kestrun/UserAgent.h"

#include <cstdio>

#include "kestrun/Globals.h"
#include "libutils-macOS/launchctl.h"
#include "libutils-macOS/users.h"

namespace {
constexpr char kGuiDomain[] = "gui";
}  // namespace

VQKS2UserAgent::VQKS2UserAgent(Token, vq::Logger& log, std::string plistPath,
                               vq::FileManager* fileManager)
    : logger(&log), plistFullPath(std::move(plistPath)), fm(fileManager) {}

std::unique_ptr<VQKS2UserAgent> VQKS2UserAgent::initWithLogger(const VQInstallPaths& paths,
                                                               vq::Logger& logger) {
  std::string path = paths.wsLaunchFullPath;
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return nullptr;
  return std::make_unique<VQKS2UserAgent>(Token{}, logger, std::move(path), fm);
}

void VQKS2UserAgent::runOnceVerbose(bool verbose) {
  runOnceVerbose(verbose, vq::UserList::Current());
}

void VQKS2UserAgent::runOnceVerbose(bool verbose, const vq::UserList& users) {
  if (verbose) std::fputs("ws agent is activated for:", stdout);
  // Bootstrapping an agent that is already loaded fails harmlessly; the
  // kick-start follows either way, so a new login is covered on the next pass.
  for (const vq::platform::PosixAccount& account : users.accounts) {
    (void)vq_launchctl_bootstrap(*logger, kGuiDomain, account.uid, plistFullPath.c_str());
    (void)vq_launchctl_kickstart(*logger, kGuiDomain, account.uid, vqDefaultWSService);
    if (verbose) std::printf(" %s", account.name.c_str());
  }
  if (verbose) {
    std::fputs(".\n", stdout);
    std::fflush(stdout);
  }
}

bool VQKS2UserAgent::install(const std::string& serviceDir) {
  const std::string source = serviceDir + "/conf/" + vqDefaultWSLaunchPlistFile;
  (void)fm->removeItem(plistFullPath);
  // launchd must get a regular file: a link in the payload is refused.
  vq::FsResult copied = fm->copyRegularFile(source, plistFullPath);
  if (!copied) {
    VQ_LOG_ERROR(*logger, "cannot install launchd plist file: %s", copied.description().c_str());
    return false;
  }
  return true;
}

void VQKS2UserAgent::remove() {
  const bool enumerated =
      vq_enum_GUI_users(*logger, [&](uint32_t uid, const std::string&, const std::string&) {
        (void)vq_launchctl_bootout(*logger, kGuiDomain, uid, plistFullPath.c_str());
      });
  if (!enumerated) VQ_LOG_INFO(*logger, "ws service removing failed, ignoring...");
  (void)fm->removeItem(plistFullPath);
}
