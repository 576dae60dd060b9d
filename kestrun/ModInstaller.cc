#include "kestrun/ModInstaller.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
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
// As many links as macOS follows in one path lookup.
constexpr int kMaxLinksFollowed = 32;

constexpr std::string_view kDriverKey = "VirtualDriver=";
constexpr std::string_view kInsertion = ", vq\rvq=On\r";

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

const char* Tag(int code) {
  static const char* const kTags[] = {"SUCC", "FAIL", "UPDT", "EXST"};
  return code >= 0 && code < 4 ? kTags[code] : "ERRO";
}

// How the walk to a location's folder ended.
enum class FolderStatus {
  kOpened,       // dir is the folder
  kNameMissing,  // the folder's own name is absent; dir is the folder above it
  kMissing,      // something further up is absent
  kUnsafe,       // a user's link would lead out of that user's own files
  kFailed,       // not a folder, no access, too many links
};

struct Folder {
  FolderStatus status = FolderStatus::kFailed;
  vq::ScopedFd dir;
  // The user whose link the walk followed, if any.
  std::optional<uid_t> steeredBy;
};

struct PendingName {
  std::string name;
  bool isOwnLast;  // the last name of the path itself, not one from a link's content
};

std::deque<PendingName> NamesOf(const std::string& path, bool ownPath) {
  std::deque<PendingName> names;
  for (std::string& component : vq::PathComponents(path)) {
    if (component != "/") names.push_back({std::move(component), false});
  }
  if (ownPath && !names.empty()) names.back().isOwnLast = true;
  return names;
}

struct Level {
  vq::ScopedFd fd;
  uid_t owner;
};

bool RestartAtRoot(std::vector<Level>* levels) {
  levels->clear();
  vq::ScopedFd fd(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return false;
  levels->push_back({std::move(fd), st.st_uid});
  return true;
}

// Opens the folder at an absolute path one name at a time, each relative to
// the descriptor of the folder before it, so nothing swapped in on the way can
// redirect the work done in it afterwards. Links on the way are followed as
// the system would (Homebrew's opt/ links are links), with one restriction:
// once the walk has followed a link that a user can change, it may only enter
// that user's own folders and links and must end in one. A user's link can
// thus never lead root into a folder the user could not write.
Folder OpenFolder(const std::string& path) {
  Folder folder;
  std::vector<Level> levels;
  if (path.empty() || path[0] != '/' || !RestartAtRoot(&levels)) return folder;
  auto steeredElsewhere = [&](uid_t owner) {
    return folder.steeredBy.has_value() && owner != *folder.steeredBy;
  };
  auto unsafe = [&]() {
    folder.status = FolderStatus::kUnsafe;
    return std::move(folder);
  };

  std::deque<PendingName> pending = NamesOf(path, true);
  int linksFollowed = 0;
  while (!pending.empty()) {
    const PendingName next = std::move(pending.front());
    pending.pop_front();
    if (next.name == ".") continue;
    if (next.name == "..") {
      // Back along folders already entered; never above the root.
      if (levels.size() > 1) levels.pop_back();
      continue;
    }
    const int dir = levels.back().fd.get();
    vq::ScopedFd child(openat(dir, next.name.c_str(), kFolderFlags));
    if (child.valid()) {
      struct stat st;
      if (fstat(child.get(), &st) != 0) return folder;
      if (steeredElsewhere(st.st_uid)) return unsafe();
      levels.push_back({std::move(child), st.st_uid});
      continue;
    }
    struct stat st;
    if (fstatat(dir, next.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return folder;
      if (!next.isOwnLast) {
        folder.status = FolderStatus::kMissing;
        return folder;
      }
      if (steeredElsewhere(levels.back().owner)) return unsafe();
      folder.status = FolderStatus::kNameMissing;
      folder.dir = std::move(levels.back().fd);
      return folder;
    }
    if (!S_ISLNK(st.st_mode)) return folder;

    // Whoever can change a link decides where it leads: the owner of its
    // folder, or, in a folder that only root can change, the link's owner.
    const uid_t controller = levels.back().owner != 0 ? levels.back().owner : st.st_uid;
    if (steeredElsewhere(controller)) return unsafe();
    if (++linksFollowed > kMaxLinksFollowed) return folder;
    char content[PATH_MAX];
    const ssize_t n = readlinkat(dir, next.name.c_str(), content, sizeof content);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof content) return folder;
    if (controller != 0) folder.steeredBy = controller;
    const std::string target(content, static_cast<size_t>(n));
    if (target[0] == '/') {
      if (!RestartAtRoot(&levels)) return folder;
      if (steeredElsewhere(levels.back().owner)) return unsafe();
    }
    std::deque<PendingName> expanded = NamesOf(target, false);
    pending.insert(pending.begin(), std::make_move_iterator(expanded.begin()),
                   std::make_move_iterator(expanded.end()));
  }
  if (steeredElsewhere(levels.back().owner)) return unsafe();
  folder.status = FolderStatus::kOpened;
  folder.dir = std::move(levels.back().fd);
  return folder;
}

// Makes the process's working directory an open folder for the scope, so
// that the file manager's operations on a bare name act inside that very
// folder, whatever happens to the path that led to it. The process is
// single-threaded; the previous working directory comes back at the end.
class WorkingFolderScope {
 public:
  explicit WorkingFolderScope(int dir)
      : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), entered_(fchdir(dir) == 0) {}
  ~WorkingFolderScope() {
    if (!entered_) return;
    if (saved_.valid() && fchdir(saved_.get()) == 0) return;
    (void)!chdir("/");
  }
  WorkingFolderScope(const WorkingFolderScope&) = delete;
  WorkingFolderScope& operator=(const WorkingFolderScope&) = delete;

  bool entered() const { return entered_; }

 private:
  vq::ScopedFd saved_;
  bool entered_;
};

// Creates the missing folder `name` (one level, default attributes) inside
// the folder above it and opens it.
Folder MakeFolder(vq::FileManager& fm, Folder above, const std::string& name) {
  {
    WorkingFolderScope scope(above.dir.get());
    if (scope.entered()) (void)fm.createDirectory(name, false);
  }
  Folder folder;
  folder.steeredBy = above.steeredBy;
  vq::ScopedFd made(openat(above.dir.get(), name.c_str(), kFolderFlags));
  struct stat st;
  if (!made.valid() || fstat(made.get(), &st) != 0) return folder;
  // Root's own new folder, or the steering user's, is no place of anyone else.
  if (folder.steeredBy && st.st_uid != *folder.steeredBy && st.st_uid != geteuid()) {
    folder.status = FolderStatus::kUnsafe;
    return folder;
  }
  folder.status = FolderStatus::kOpened;
  folder.dir = std::move(made);
  return folder;
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
  // A current link costs one attribute query and one link read, nothing more.
  std::optional<vq::ItemAttributes> item = fm->attributesOfItem(path);
  if (item && item->type == vq::FileType::kSymbolicLink && !needToUpdate(path, target)) {
    return VQLinkExisting;
  }

  // Locations may lie in folders that users can change (/usr/local and
  // /opt/homebrew are often a user's), so every change is made by name
  // inside the folder's descriptor.
  const std::string folderPath = vq::ParentPath(path);
  Folder folder = OpenFolder(folderPath);
  if (folder.status == FolderStatus::kNameMissing) {
    // One level only: a client whose own folders are missing is not installed.
    folder = MakeFolder(*fm, std::move(folder), vq::LastPathComponent(folderPath));
  }
  if (folder.status == FolderStatus::kUnsafe) {
    VQ_LOG_ERROR(*logger,
                 "not touching %{public}s: its folder is reached through another user's link",
                 path.c_str());
    return VQLinkFailed;
  }
  // Without its folder the link cannot be made, as when the client is missing.
  auto cannotLink = [&] {
    VQ_LOG_INFO(*logger, "create link %{public}s", path.c_str());
    return VQLinkFailed;
  };
  if (folder.status != FolderStatus::kOpened) return cannotLink();
  WorkingFolderScope scope(folder.dir.get());
  if (!scope.entered()) return cannotLink();

  const std::string name = vq::LastPathComponent(path);
  int result = VQLinkMade;
  if (std::optional<vq::ItemAttributes> here = fm->attributesOfItem(name)) {
    if (here->type == vq::FileType::kSymbolicLink) {
      if (!needToUpdate(name, target)) return VQLinkExisting;
      result = VQLinkUpdated;
    }
    VQ_LOG_INFO(*logger, "remove %{public}s", path.c_str());
    (void)fm->removeItem(name);
  }
  VQ_LOG_INFO(*logger, "create link %{public}s", path.c_str());
  if (!fm->createSymbolicLink(name, target)) return VQLinkFailed;
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
    const std::string path = vq::platform::Rooted(location);
    Folder folder = OpenFolder(vq::ParentPath(path));
    if (folder.status != FolderStatus::kOpened) return;
    WorkingFolderScope scope(folder.dir.get());
    if (scope.entered()) (void)fm->removeItem(vq::LastPathComponent(path));
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
  vq::ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
