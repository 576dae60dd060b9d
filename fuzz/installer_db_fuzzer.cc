// Feeds arbitrary bytes to the installer as its database file: the
// classification must agree with what the bytes hold, and a database it
// accepts must survive being written back and read again, or the next run
// would lose every reference.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "kestrun/Globals.h"
#include "kestrun/Installer.h"

namespace {

struct QuietLogger final : vq::Logger {
  bool isEnabled(vq::LogType) const override { return false; }
  void write(vq::LogType, std::string_view) override {}
};

VQInstallPaths g_paths;
QuietLogger g_logger;

bool Valid(const vq::PropertyList& db) {
  return db.uint32ForKey(vqDBFormatVersion) == vqDBFormat && db.uint32ForKey(vqDBVersion) &&
         db.uint32ForKey(vqDBReferenceCounter);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char root[] = "/tmp/kestrun-fuzz-db-XXXXXX";
  FUZZ_CHECK(mkdtemp(root) != nullptr);
  g_paths = VQInstallPaths::Under(root);
  FUZZ_CHECK(VQKS2Installer::initGlobals(g_paths));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  std::ofstream(g_paths.instPlistFile, std::ios::binary | std::ios::trunc)
      .write(data.data(), static_cast<std::streamsize>(size));
  auto installer = VQKS2Installer::initWithLogger(g_paths, g_logger);
  const int result = installer->readDB();
  const std::optional<vq::PropertyList> parsed = vq::PropertyList::ParseDictionary(data);
  if (!parsed || !Valid(*parsed)) {
    FUZZ_CHECK(result == (parsed ? InstDBInvalid : InstDBMissing));
    return 0;
  }
  FUZZ_CHECK(result ==
             (*parsed->uint32ForKey(vqDBVersion) < vqOwnVersion ? InstDBOlder : InstDBCurrent));
  const std::string written = installer->database().xml();
  const std::optional<vq::PropertyList> reread = vq::PropertyList::ParseDictionary(written);
  FUZZ_CHECK(reread && Valid(*reread) && reread->xml() == written);
  return 0;
}
