// VQKS2ModInstaller: keeps the maker's plug-ins linked into every supported
// remote-desktop client and enabled in every user's Citrix module file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kestrun/InstallPaths.h"
#include "libutils-macOS/users.h"
#include "platform/file_manager.h"
#include "platform/logger.h"
#include "platform/safe_folder.h"
#include "platform/scoped_fd.h"

// One plug-in and the places where links to it stand.
struct VQModRecord {
  const char* const* locations;  // null-terminated
  const char* origFile;
  bool isModule;  // true: the file lies in modRoot; false: in confRoot
};

extern const char* const vqListFreeRDPLocations[];
extern const char* const vqListBlastLocations[];
extern const char* const vqListPCoIPLocations[];
extern const char* const vqListICALocations[];
extern const char* const vqListDCVLocations[];
// Ends with a record whose locations are null.
extern const VQModRecord vqModAllList[];

// Results of tryMakeLink.
enum VQLinkResult : int {
  VQLinkMade = 0,      // "SUCC"
  VQLinkFailed = 1,    // "FAIL"
  VQLinkUpdated = 2,   // "UPDT"
  VQLinkExisting = 3,  // "EXST"
};

// What a location needs, from what stands there now.
enum class VQLinkAction {
  kKeep,          // the link is current
  kReplaceLink,   // a link with other content: replaced ("UPDT")
  kReplaceOther,  // a file or folder: removed, then linked ("SUCC")
  kMake,          // nothing there ("SUCC")
};

// A user's Citrix module file as the service's pass finds it.
struct VQModulesFile {
  enum class State { kAbsent, kEnabled, kNotEnabled, kNotEditable };
  State state = State::kAbsent;
  const char* why = nullptr;  // kNotEditable: why
  bool wanted = false;        // the file lacks the entry: a pass would edit it
  // kNotEnabled: the file opened for the edit, its folder, content and stat.
  std::optional<vq::SafeFolder> folder;
  vq::ScopedFd fd;
  std::string data;
  struct stat st = {};
};

class VQKS2ModInstaller {
 public:
  using LocationVisitor =
      std::function<void(const char* location, const char* origFile, bool isModule)>;

  // The roots come from where the running executable lies: its directory's
  // parent holds "modules" and "conf". The locations lie under the paths'
  // root. Null, with an error logged, when the roots cannot be found.
  static std::unique_ptr<VQKS2ModInstaller> initWithLogger(const VQInstallPaths& paths,
                                                           vq::Logger& logger);

  // Whether the link at path must be made anew: it cannot be read, or its
  // content is not exactly orig.
  [[nodiscard]] bool needToUpdate(const std::string& link, const std::string& orig) const;
  // Makes sure a link to the plug-in file stands at location (a VQLinkResult).
  // Changes are made by name inside the location's folder, opened by
  // descriptor; where the way to that folder follows a user's link out of
  // that user's own files, nothing is changed and the answer is a failure.
  // The decision alone: existing is the type of what stands at the location
  // (none: nothing), content a link's text when it is one.
  static VQLinkAction decideLink(std::optional<vq::FileType> existing,
                                 const std::optional<std::string>& content,
                                 const std::string& target);
  // The same from what stands at `name` in an open folder, which *existing
  // and *content then hold.
  static VQLinkAction decideLinkAt(const vq::SafeFolder& folder, const std::string& name,
                                   const std::string& target, std::optional<vq::FileType>* existing,
                                   std::optional<std::string>* content);
  [[nodiscard]] int tryMakeLink(const std::string& location, const std::string& origFile,
                                bool isModule);
  // Calls the visitor for each of the twelve locations, in table order.
  static void forEachLocation(const LocationVisitor& visitor);
  // Links every location, then enables the plug-in for every user of the
  // pass; with verbose, reports each on standard output.
  void runOnceVerbose(bool verbose, const vq::UserList& users);
  // Removes whatever stands at every location under the paths' root; never
  // follows a link, and passes over locations whose folder lies behind a
  // user's link.
  // False when one could not be removed, or its folder not looked into.
  [[nodiscard]] static bool removeAllLinks(const VQInstallPaths& paths, vq::Logger& logger);

  // Adds "vq" to the user's driver list and a "vq=On" line after it, once;
  // true only when the file was edited and written. Run with the user's
  // identity. A file that is not the user's own, has other names, or lies
  // behind a link is left alone, and the log says why.
  [[nodiscard]] bool fixModulesFile(const vq::platform::PosixAccount& account);
  // The user's module file as a pass finds it, read with the user's
  // identity (the caller's), nothing changed.
  static VQModulesFile inspectModulesFile(const vq::platform::PosixAccount& account);
  // Edits every local user's module file with that user's identity.
  void fixAllModulesFilesVerbose(bool verbose, const vq::UserList& users);
  // The edit itself: the patched bytes, or nothing when the file stays as it is.
  static std::optional<std::string> patchedModulesData(std::string_view data);

 private:
  struct Token {};

 public:
  VQKS2ModInstaller(Token, vq::Logger& log, const VQInstallPaths& paths,
                    vq::FileManager* fileManager, std::string version, std::string modulesRoot,
                    std::string configurationRoot);

 private:
  const VQInstallPaths paths;
  vq::FileManager* fm;
  std::string ver;
  std::string modRoot;
  std::string confRoot;
  vq::Logger* logger;
};
