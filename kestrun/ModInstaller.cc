#include "kestrun/ModInstaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "libutils-macOS/users.h"
#include "platform/atomic_file.h"
#include "platform/effective_identity.h"
#include "platform/executable_path.h"
#include "platform/scoped_fd.h"
#include "platform/system_root.h"

const char* const vqListFreeRDPLocations[] = {
    "/usr/local/opt/freerdp/lib/freerdp2/libvq-client.dylib",
    "/usr/local/lib/freerdp2/libvq-client.dylib",
    "/opt/local/lib/freerdp2/libvq-client.dylib",
    "/usr/local/lib/freerdp3/libvq-client.dylib",
    "/opt/homebrew/opt/freerdp/lib/freerdp2/libvq-client.dylib",
    "/usr/local/lib/libvq-client.dylib",
    nullptr,
};
const char* const vqListBlastLocations[] = {
    "/Applications/VMware Horizon Client.app/Contents/Frameworks/rdpvcbridge/libvq.dylib",
    nullptr,
};
const char* const vqListPCoIPLocations[] = {
    "/Applications/WorkSpaces.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib",
    "/Applications/PCoIPClient.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib",
    "/Applications/VMware Horizon Client.app/Contents/Library/pcoip/vchan_plugins/"
    "libpcoip_vchan_vq.dylib",
    nullptr,
};
const char* const vqListICALocations[] = {
    "/Library/Application Support/Citrix/PlugIns/vq",
    nullptr,
};
const char* const vqListDCVLocations[] = {
    "/Library/DCV Extensions/com.quendalore.dcvproxy.json",
    nullptr,
};
const VQModRecord vqModAllList[] = {
    {vqListFreeRDPLocations, "libfreerdp.dylib", true},
    {vqListBlastLocations, "libblast.dylib", true},
    {vqListPCoIPLocations, "libpcoip.dylib", true},
    {vqListICALocations, "ica.bundle", true},
    {vqListDCVLocations, "com.quendalore.dcvproxy.json", false},
    {nullptr, nullptr, false},
};

namespace {

// A module file of a real client is a few kilobytes; anything far larger is
// not one and is left alone rather than read into memory.
constexpr off_t kMaxModulesFileSize = 1 << 20;
// Link contents longer than this are not read in full.
constexpr size_t kLinkReadCapacity = 1024;

constexpr std::string_view kDriverKey = "VirtualDriver=";
constexpr std::string_view kInsertion = ", vq\rvq=On\r";

const char* Tag(int code) {
  static const char* const kTags[] = {"SUCC", "FAIL", "UPDT", "EXST"};
  return code >= 0 && code < 4 ? kTags[code] : "ERRO";
}

}  // namespace

VQKS2ModInstaller::VQKS2ModInstaller(Token, vq::Logger& log, vq::FileManager* fileManager,
                                     std::string version, std::string modulesRoot,
                                     std::string configurationRoot)
    : fm(fileManager),
      ver(std::move(version)),
      modRoot(std::move(modulesRoot)),
      confRoot(std::move(configurationRoot)),
      logger(&log) {}

std::unique_ptr<VQKS2ModInstaller> VQKS2ModInstaller::initWithLogger(vq::Logger& logger) {
  const std::optional<std::string> bundle = vq::platform::MainExecutableDirectory();
  std::vector<std::string> components;
  if (bundle) components = vq::PathComponents(*bundle);
  if (components.empty()) {
    VQ_LOG_ERROR(logger, "cannot get bundle path");
    return nullptr;
  }
  if (components.size() < 2) {
    VQ_LOG_ERROR(logger, "utility path is too short");
    return nullptr;
  }
  std::string version = components[components.size() - 2];
  VQ_LOG_INFO(logger, "Kestrun version: %{public}s\n", version.c_str());
  components.back() = "modules";
  std::string modRoot = vq::PathWithComponents(components);
  components.back() = "conf";
  std::string confRoot = vq::PathWithComponents(components);
  if (modRoot.empty() || confRoot.empty()) {
    VQ_LOG_ERROR(logger, "cannot allocate dir names");
    return nullptr;
  }
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) {
    VQ_LOG_ERROR(logger, "cannot allocate file manager object");
    return nullptr;
  }
  return std::make_unique<VQKS2ModInstaller>(Token{}, logger, fm, std::move(version),
                                             std::move(modRoot), std::move(confRoot));
}

bool VQKS2ModInstaller::needToUpdate(const std::string& link, const std::string& orig) const {
  char content[kLinkReadCapacity + 1];
  const long n = fm->readSymbolicLink(link, content, kLinkReadCapacity);
  if (n < 0) return true;
  content[n] = '\0';
  // The text alone decides: a relative content naming the same file differs.
  return static_cast<size_t>(n) != orig.size() ||
         std::memcmp(content, orig.data(), orig.size()) != 0;
}

int VQKS2ModInstaller::tryMakeLink(const std::string& location, const std::string& origFile,
                                   bool isModule) {
  const std::string target = (isModule ? modRoot : confRoot) + "/" + origFile;
  const std::string path = vq::platform::Rooted(location);
  int result = VQLinkMade;
  if (std::optional<vq::ItemAttributes> item = fm->attributesOfItem(path)) {
    if (item->type == vq::FileType::kSymbolicLink) {
      if (!needToUpdate(path, target)) return VQLinkExisting;
      result = VQLinkUpdated;
    }
    VQ_LOG_INFO(*logger, "remove %{public}s", path.c_str());
    (void)fm->removeItem(path);
  } else {
    // One level only: a client whose own folders are missing is not installed.
    const std::string parent = vq::ParentPath(path);
    if (!parent.empty() && !fm->itemExists(parent)) (void)fm->createDirectory(parent, false);
  }
  VQ_LOG_INFO(*logger, "create link %{public}s", path.c_str());
  if (!fm->createSymbolicLink(path, target)) return VQLinkFailed;
  return result;
}

void VQKS2ModInstaller::forEachLocation(const LocationVisitor& visitor) {
  for (const VQModRecord* record = vqModAllList; record->locations != nullptr; ++record) {
    for (const char* const* location = record->locations; *location != nullptr; ++location) {
      visitor(*location, record->origFile, record->isModule);
    }
  }
}

void VQKS2ModInstaller::runOnceVerbose(bool verbose) {
  forEachLocation([&](const char* location, const char* origFile, bool isModule) {
    const int result = tryMakeLink(location, origFile, isModule);
    if (verbose) {
      std::printf("[%s] %s -> %s\n", Tag(result), origFile, vq::platform::Rooted(location).c_str());
    }
  });
  fixAllModulesFilesVerbose(verbose);
}

void VQKS2ModInstaller::removeAllLinks() {
  vq::FileManager* fm = vq::FileManager::defaultManager();
  if (fm == nullptr) return;
  forEachLocation([&](const char* location, const char*, bool) {
    (void)fm->removeItem(vq::platform::Rooted(location));
  });
}

std::optional<std::string> VQKS2ModInstaller::patchedModulesData(std::string_view data) {
  if (data.empty()) return std::nullopt;
  const size_t key = data.find(kDriverKey);
  if (key == std::string_view::npos) return std::nullopt;
  const size_t listStart = key + kDriverKey.size();
  const size_t lineEnd = data.find('\r', listStart);
  if (lineEnd == std::string_view::npos) return std::nullopt;

  // "vq" is listed when it stands as a whole entry: after the '=', a blank or
  // a tab, and before a comma or the line's CR. A comma does not start an entry.
  size_t entryStart = listStart;
  for (size_t i = listStart; i <= lineEnd; ++i) {
    const char byte = data[i];
    if (byte == '\t' || byte == ' ') {
      entryStart = i + 1;
    } else if (byte == ',' || byte == '\r') {
      if (entryStart + 2 == i && data[entryStart] == 'v' && data[entryStart + 1] == 'q') {
        return std::nullopt;
      }
    }
  }

  std::string patched;
  patched.reserve(data.size() + kInsertion.size() - 1);
  patched.append(data.substr(0, lineEnd));
  patched.append(kInsertion);
  patched.append(data.substr(lineEnd + 1));
  return patched;
}

bool VQKS2ModInstaller::fixModulesFile(const std::string& path) {
  // Non-blocking: a FIFO planted at the path must not stall the service.
  vq::ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxModulesFileSize) {
    return false;
  }
  // Working as its user, a file owned by someone else could not keep its owner.
  const uid_t self = geteuid();
  if (self != 0 && st.st_uid != self) return false;

  std::string data(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  fd.reset();

  const std::optional<std::string> patched = patchedModulesData(data);
  if (!patched) return false;
  vq::AtomicWriteOptions options;
  options.permissions = st.st_mode & 07777;
  if (self == 0) {
    options.owner = st.st_uid;
    options.group = st.st_gid;
  }
  // As with the platform's own atomic write, a failure goes unnoticed.
  (void)vq::WriteFileAtomically(path, *patched, options);
  return true;
}

void VQKS2ModInstaller::fixAllModulesFilesVerbose(bool verbose) {
  std::vector<std::string> enabled;
  (void)vq::EnumerateGUIAccounts([&](const vq::platform::PosixAccount& account) {
    // Everything in a home folder is done with its owner's rights, so that no
    // link or swapped folder there can reach what the user could not.
    auto identity = vq::platform::ScopedEffectiveIdentity::Assume(account.uid, account.gid);
    if (!identity) return;
    if (fixModulesFile(account.home + vqCitrixModulesFile)) enabled.push_back(account.name);
  });
  if (!verbose) return;
  if (enabled.empty()) {
    std::fputs("Citrix enabled for no one\n", stdout);
  } else {
    std::fputs("Citrix enabled for: ", stdout);
    for (const std::string& name : enabled) std::printf("%s ", name.c_str());
    std::fputs("\n", stdout);
  }
  std::fflush(stdout);
}
