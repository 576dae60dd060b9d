#include "tests/e2e/e2e_fixture.h"

#include "platform/property_list.h"

namespace vq::testing {

E2ETest::Database E2ETest::readDatabase() const {
  Database db;
  db.present = sandbox.exists(kDatabase);
  auto plist = PropertyList::ReadDictionary(sandbox.at(kDatabase));
  if (!plist) return db;
  auto format = plist->uint32ForKey("FormatVersion");
  auto version = plist->uint32ForKey("Version");
  auto counter = plist->uint32ForKey("ReferenceCounter");
  db.valid = format && version && counter;
  db.formatVersion = format.value_or(0);
  db.version = version.value_or(0);
  db.referenceCounter = counter.value_or(0);
  return db;
}

}  // namespace vq::testing
