#include "kestrun/ModInstaller.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kestrun/Globals.h"
#include "platform/effective_identity.h"
#include "platform/executable_path.h"
#include "platform/path.h"
#include "platform/regular_file.h"
#include "platform/safe_folder.h"
#include "platform/scoped_fd.h"

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
constexpr size_t kMaxModulesFileSize = 1 << 20;
// Link contents longer than this are not read in full.
constexpr size_t kLinkReadCapacity = 1024;

constexpr std::string_view kDriverKey = "VirtualDriver=";
constexpr std::string_view kInsertion = ", vq\rvq=On\r";
constexpr char kModulesFileName[] = "Modules";

const char* Tag(int code) {
  static const char* const kTags[] = {"SUCC", "FAIL", "UPDT", "EXST"};
  return code >= 0 && code < 4 ? kTags[code] : "ERRO";
}

}  // namespace

VQKS2ModInstaller::VQKS2ModInstaller(Token, vq::Logger& log, const VQInstallPaths& installPaths,
                                     vq::FileManager* fileManager, std::string version,
                                     std::string modulesRoot, std::string configurationRoot)
    : paths(installPaths),
      fm(fileManager),
      ver(std::move(version)),
      modRoot(std::move(modulesRoot)),
      confRoot(std::move(configurationRoot)),
      logger(&log) {}

std::unique_ptr<VQKS2ModInstaller> VQKS2ModInstaller::initWithLogger(const VQInstallPaths& paths,
                                                                     vq::Logger& logger) {
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
  return std::make_unique<VQKS2ModInstaller>(Token{}, logger, paths, fm, std::move(version),
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

VQLinkAction VQKS2ModInstaller::decideLink(std::optional<vq::FileType> existing,
                                           const std::optional<std::string>& content,
                                           const std::string& target) {
  if (!existing) return VQLinkAction::kMake;
  if (*existing != vq::FileType::kSymbolicLink) return VQLinkAction::kReplaceOther;
  // The text alone decides: a relative content naming the same file differs.
  if (content && *content == target) return VQLinkAction::kKeep;
  return VQLinkAction::kReplaceLink;
}

VQLinkAction VQKS2ModInstaller::decideLinkAt(const vq::SafeFolder& folder, const std::string& name,
                                             const std::string& target,
                                             std::optional<vq::FileType>* existing,
                                             std::optional<std::string>* content) {
  existing->reset();
  content->reset();
  if (const std::optional<struct stat> st = folder.attributesAt(name)) {
    *existing = vq::FileTypeOf(st->st_mode);
    if (**existing == vq::FileType::kSymbolicLink) *content = folder.readLinkAt(name);
  }
  return decideLink(*existing, *content, target);
}

int VQKS2ModInstaller::tryMakeLink(const std::string& location, const std::string& origFile,
                                   bool isModule) {
  const std::string target = (isModule ? modRoot : confRoot) + "/" + origFile;
  const std::string path = paths.rooted(location);
  // A current link costs one attribute query and one link read, nothing more.
  std::optional<vq::ItemAttributes> item = fm->attributesOfItem(path);
  if (item && item->type == vq::FileType::kSymbolicLink && !needToUpdate(path, target)) {
    return VQLinkExisting;
  }

  // Locations may lie in folders that users can change (/usr/local and
  // /opt/homebrew are often a user's), so every change is made by name
  // inside the folder's descriptor.
  vq::SafeFolder folder = vq::SafeFolder::Open(vq::ParentPath(path));
  if (folder.status() == vq::FolderStatus::kNameMissing) {
    // One level only: a client whose own folders are missing is not installed.
    folder = std::move(folder).makeMissingFolder();
  }
  if (folder.status() == vq::FolderStatus::kUnsafe) {
    VQ_LOG_ERROR(*logger,
                 "not touching %{public}s: its folder is reached through another user's link",
                 path.c_str());
    return VQLinkFailed;
  }
  if (folder.status() == vq::FolderStatus::kRefused) {
    VQ_LOG_DEFAULT(*logger, "not touching %{public}s: cannot act as the owner of %{public}s",
                   path.c_str(), vq::ParentPath(vq::ParentPath(path)).c_str());
    return VQLinkFailed;
  }
  if (folder.status() == vq::FolderStatus::kReplaced) {
    VQ_LOG_DEFAULT(*logger,
                   "not touching %{public}s: the folder made for it was swapped for another's",
                   path.c_str());
    return VQLinkFailed;
  }
  if (!folder.opened()) {
    // Without its folder the link cannot be made, as when the client is missing.
    VQ_LOG_INFO(*logger, "create link %{public}s", path.c_str());
    return VQLinkFailed;
  }

  const std::string name = vq::LastPathComponent(path);
  std::optional<vq::FileType> existing;
  std::optional<std::string> content;
  const VQLinkAction action = decideLinkAt(folder, name, target, &existing, &content);
  if (action == VQLinkAction::kKeep) return VQLinkExisting;
  if (action != VQLinkAction::kMake) {
    VQ_LOG_INFO(*logger, "remove %{public}s", path.c_str());
    vq::FsResult removed = folder.removeItemAt(name);
    if (!removed && removed.error().code != ENOENT) {
      VQ_LOG_DEFAULT(*logger, "not replacing %{public}s: %{public}s", path.c_str(),
                     removed.description().c_str());
      return VQLinkFailed;
    }
  }
  VQ_LOG_INFO(*logger, "create link %{public}s", path.c_str());
  if (vq::FsResult made = folder.makeLinkAt(name, target); !made) {
    VQ_LOG_DEFAULT(*logger, "not linking %{public}s: %{public}s", path.c_str(),
                   made.description().c_str());
    return VQLinkFailed;
  }
  return action == VQLinkAction::kReplaceLink ? VQLinkUpdated : VQLinkMade;
}

void VQKS2ModInstaller::forEachLocation(const LocationVisitor& visitor) {
  for (const VQModRecord* record = vqModAllList; record->locations != nullptr; ++record) {
    for (const char* const* location = record->locations; *location != nullptr; ++location) {
      visitor(*location, record->origFile, record->isModule);
    }
  }
}

void VQKS2ModInstaller::runOnceVerbose(bool verbose, const vq::UserList& users) {
  forEachLocation([&](const char* location, const char* origFile, bool isModule) {
    const int result = tryMakeLink(location, origFile, isModule);
    if (verbose) std::printf("[%s] %s -> %s\n", Tag(result), origFile, location);
  });
  fixAllModulesFilesVerbose(verbose, users);
}

bool VQKS2ModInstaller::removeAllLinks(const VQInstallPaths& paths, vq::Logger& logger) {
  bool removedAll = true;
  forEachLocation([&](const char* location, const char*, bool) {
    const std::string path = paths.rooted(location);
    vq::SafeFolder folder = vq::SafeFolder::Open(vq::ParentPath(path));
    // Nothing to remove where the client's folders are missing.
    if (folder.status() == vq::FolderStatus::kMissing ||
        folder.status() == vq::FolderStatus::kNameMissing) {
      return;
    }
    vq::FsResult removed = folder.opened() ? folder.removeItemAt(vq::LastPathComponent(path))
                                           : vq::FsResult::Fail("open the folder of", path, EACCES);
    if (!removed && removed.error().code != ENOENT) {
      VQ_LOG_DEFAULT(logger, "not removing %{public}s: %{public}s", path.c_str(),
                     removed.description().c_str());
      removedAll = false;
    }
  });
  return removedAll;
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

VQModulesFile VQKS2ModInstaller::inspectModulesFile(const vq::platform::PosixAccount& account) {
  using State = VQModulesFile::State;
  VQModulesFile file;
  const std::string path = account.home + vqCitrixModulesFile;
  // Most passes find the entry there already: one open and one read decide.
  std::string quick;
  if (vq::FsResult read = vq::ReadRegularFileAt(path, kMaxModulesFileSize, &quick); !read) {
    if (read.error().code != ENOENT) {
      file.state = State::kNotEditable;
      file.why = "it is not a regular file the user can read, of a module file's size";
    }
    return file;
  }
  if (!patchedModulesData(quick)) {
    const size_t key = quick.find(kDriverKey);
    const bool listed = key != std::string::npos && quick.find('\r', key) != std::string::npos;
    file.state = listed ? State::kEnabled : State::kNotEditable;
    if (!listed) file.why = "it has no VirtualDriver= list ending in a carriage return";
    return file;
  }
  file.wanted = true;
  file.state = State::kNotEditable;
  // To edit, the file is reached by descriptor from the home folder without
  // following any link, and must be the user's own, with one name.
  file.folder.emplace(
      vq::SafeFolder::OpenBeneath(account.home, vq::ParentPath(vqCitrixModulesFile)));
  std::optional<std::string> data;
  if (!file.folder->opened()) {
    file.why = "its folder cannot be reached without following a link";
  } else if (!(file.fd = file.folder->openForEditAt(kModulesFileName)).valid()) {
    file.why = "the user cannot write it";
  } else if (!(data = vq::ReadRegularFile(file.fd.get(), kMaxModulesFileSize, &file.st))) {
    file.why = "it is not a regular file of a module file's size";
  } else if (file.st.st_uid != account.uid) {
    file.why = "it belongs to another user";
  } else if (file.st.st_nlink != 1) {
    file.why = "it has more than one name";
  } else {
    file.state = State::kNotEnabled;
    file.data = std::move(*data);
  }
  return file;
}

bool VQKS2ModInstaller::fixModulesFile(const vq::platform::PosixAccount& account) {
  const std::string path = account.home + vqCitrixModulesFile;
  VQModulesFile file = inspectModulesFile(account);
  if (file.state == VQModulesFile::State::kNotEditable && file.wanted) {
    VQ_LOG_DEFAULT(*logger, "not editing %{public}s: %{public}s", path.c_str(), file.why);
    return false;
  }
  if (file.state != VQModulesFile::State::kNotEnabled) return false;
  const std::optional<std::string> patched = patchedModulesData(file.data);
  if (!patched) return false;
  if (file.folder->rewriteFileAt(kModulesFileName, file.fd.get(), *patched,
                                 file.st.st_mode & 07777)) {
    return true;
  }
  VQ_LOG_DEFAULT(*logger, "not editing %{public}s: it cannot be written", path.c_str());
  return false;
}

void VQKS2ModInstaller::fixAllModulesFilesVerbose(bool verbose, const vq::UserList& users) {
  std::vector<std::string> enabled;
  for (const vq::platform::PosixAccount& account : users.accounts) {
    // Everything in a home folder is done with its owner's rights, so that no
    // link or swapped folder there can reach what the user could not.
    auto identity = vq::platform::ScopedEffectiveIdentity::Assume(account.uid, account.gid);
    if (!identity) {
      VQ_LOG_DEFAULT(*logger, "not editing %{public}s: cannot act as %{public}s",
                     (account.home + vqCitrixModulesFile).c_str(), account.name.c_str());
      continue;
    }
    if (fixModulesFile(account)) enabled.push_back(account.name);
  }
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
