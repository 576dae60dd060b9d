// VQKS2ModInstaller: keeps the maker's plug-ins linked into every supported
// remote-desktop client and enabled in every user's Citrix module file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_manager.h"
#include "platform/logger.h"

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

class VQKS2ModInstaller {
 public:
  using LocationVisitor =
      std::function<void(const char* location, const char* origFile, bool isModule)>;

  // The roots come from where the running executable lies: its directory's
  // parent holds "modules" and "conf". Null, with an error logged, when they
  // cannot be found.
  static std::unique_ptr<VQKS2ModInstaller> initWithLogger(vq::Logger& logger);

  // Whether the link at path must be made anew: it cannot be read, or its
  // content is not exactly orig.
  [[nodiscard]] bool needToUpdate(const std::string& link, const std::string& orig) const;
  // Makes sure a link to the plug-in file stands at location (a VQLinkResult).
  // Changes are made by name inside the location's folder, opened by
  // descriptor; where the way to that folder follows a user's link out of
  // that user's own files, nothing is changed and the answer is a failure.
  [[nodiscard]] int tryMakeLink(const std::string& location, const std::string& origFile,
                                bool isModule);
  // Calls the visitor for each of the twelve locations, in table order.
  static void forEachLocation(const LocationVisitor& visitor);
  // Links every location, then enables the plug-in for every user; with
  // verbose, reports each on standard output.
  void runOnceVerbose(bool verbose);
  // Removes whatever stands at every location; never follows a link, and
  // passes over locations whose folder lies behind a user's link.
  static void removeAllLinks();

  // Adds "vq" to the file's driver list and a "vq=On" line after it, once.
  // The rewrite keeps the file's mode, and its owner and group when made by
  // root; with a user's identity, a file of anyone else is left alone.
  [[nodiscard]] bool fixModulesFile(const std::string& path);
  // Edits every local user's module file with that user's identity.
  void fixAllModulesFilesVerbose(bool verbose);
  // The edit itself: the patched bytes, or nothing when the file stays as it is.
  static std::optional<std::string> patchedModulesData(std::string_view data);

  const std::string& version() const { return ver; }
  const std::string& modulesRoot() const { return modRoot; }
  const std::string& configurationRoot() const { return confRoot; }

 private:
  struct Token {};

 public:
  VQKS2ModInstaller(Token, vq::Logger& log, vq::FileManager* fileManager, std::string version,
                    std::string modulesRoot, std::string configurationRoot);

 private:
  vq::FileManager* fm;
  std::string ver;
  std::string modRoot;
  std::string confRoot;
  vq::Logger* logger;
};

// Where a user's Citrix module file lies below the home directory.
inline constexpr char vqCitrixModulesFile[] =
    "/Library/Application Support/Citrix Receiver/Modules";
