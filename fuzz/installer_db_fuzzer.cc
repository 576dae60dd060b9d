// Feeds arbitrary bytes to the installer as its database file and checks
// that the classification agrees with what the bytes hold, that a database it
// accepts survives being written back and read again, and that the counter
// arithmetic stays within its bounds.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "kestrun/Globals.h"
#include "kestrun/Installer.h"
#include "platform/logger.h"
#include "platform/property_list.h"
#include "platform/scoped_fd.h"
#include "tests/support/temp_root.h"

namespace {

class QuietLogger final : public vq::Logger {
 public:
  bool isEnabled(vq::LogType) const override { return false; }
  void write(vq::LogType, std::string_view) override {}
};

// Made once for the whole run; released by an exit handler, before the
// process-wide root prefix that it restores is destroyed.
std::unique_ptr<vq::testing::TempRoot> g_root;
QuietLogger g_logger;

void WriteDatabase(std::string_view data) {
  // A fresh file each time: ext4 flushes a file truncated and rewritten in
  // place when it is closed, which would make every run wait for the disk.
  (void)unlink(vqDefaultInstPlistFile.c_str());
  vq::ScopedFd fd(
      open(vqDefaultInstPlistFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  FUZZ_CHECK(fd.valid());
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd.get(), data.data() + done, data.size() - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
}

struct Fields {
  std::optional<uint32_t> format, version, counter;
};

Fields FieldsOf(const vq::PropertyList& db) {
  return {db.uint32ForKey(vqDBFormatVersion), db.uint32ForKey(vqDBVersion),
          db.uint32ForKey(vqDBReferenceCounter)};
}

bool IsDefault(const vq::PropertyList& db) {
  const Fields fields = FieldsOf(db);
  return fields.format == 1u && fields.version == vqOwnVersion && fields.counter == 0u;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A throwaway root: every compiled-in path lands below it.
  g_root = std::make_unique<vq::testing::TempRoot>();
  if (!VQKS2Installer::initGlobals()) {
    std::fprintf(stderr, "installer_db_fuzzer: cannot build the directory set (run as root)\n");
    g_root.reset();
    std::abort();
  }
  std::atexit([] { g_root.reset(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  WriteDatabase(data);

  auto installer = VQKS2Installer::initWithLogger(g_logger);
  FUZZ_CHECK(installer != nullptr);
  const int result = installer->readDB();
  FUZZ_CHECK(result >= InstDBOlder && result <= InstDBCurrent);

  // The reader on the file and the parser on the same bytes must agree.
  const std::optional<vq::PropertyList> parsed = vq::PropertyList::ParseDictionary(data);
  if (!parsed) {
    FUZZ_CHECK(result == InstDBMissing);
    FUZZ_CHECK(IsDefault(installer->database()));
    return 0;
  }
  FUZZ_CHECK(result != InstDBMissing);

  // Accepted exactly when the format is 1 and both counters are integers.
  const Fields fields = FieldsOf(*parsed);
  const bool valid = fields.format == vqDBFormat && fields.version && fields.counter;
  if (!valid) {
    FUZZ_CHECK(result == InstDBInvalid);
    FUZZ_CHECK(IsDefault(installer->database()));
    return 0;
  }
  FUZZ_CHECK(result == (*fields.version < vqOwnVersion ? InstDBOlder : InstDBCurrent));
  const Fields adopted = FieldsOf(installer->database());
  FUZZ_CHECK(adopted.format == fields.format && adopted.version == fields.version &&
             adopted.counter == fields.counter);

  // What writeDB would write must read back as the same database: a
  // database the next run could not read would lose every reference.
  const std::optional<vq::PropertyList> reread =
      vq::PropertyList::ParseDictionary(installer->database().xml());
  FUZZ_CHECK(reread.has_value());
  const Fields again = FieldsOf(*reread);
  FUZZ_CHECK(again.format == fields.format && again.version == fields.version &&
             again.counter == fields.counter);
  FUZZ_CHECK(reread->xml() == installer->database().xml());

  // The counter saturates at both ends and never wraps.
  const uint32_t counter = *fields.counter;
  uint32_t up = 0;
  FUZZ_CHECK(installer->incrementRefCounter(1, &up));
  FUZZ_CHECK(up == (counter == std::numeric_limits<uint32_t>::max() ? counter : counter + 1));
  uint32_t down = 0;
  FUZZ_CHECK(installer->incrementRefCounter(-1, &down));
  FUZZ_CHECK(down == (up == 0 ? 0 : up - 1));
  FUZZ_CHECK(installer->database().uint32ForKey(vqDBReferenceCounter) == down);
  uint32_t untouched = 12345;
  FUZZ_CHECK(!installer->incrementRefCounter(0, &untouched));
  FUZZ_CHECK(untouched == 12345);

  // A full install keeps every other key and sets only the version.
  FUZZ_CHECK(installer->applyMyVersion());
  const Fields applied = FieldsOf(installer->database());
  FUZZ_CHECK(applied.format == fields.format && applied.version == vqOwnVersion &&
             applied.counter == down);
  return 0;
}
