// A property-list dictionary backed by libplist. Reads the XML and the binary
// form; writes XML with sorted keys and tab indentation, as the platform does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/fs_result.h"

namespace vq {

class ReportValue;

class PropertyList {
 public:
  // Files larger than this are not read: no database or launchd job comes close.
  static constexpr size_t kMaxFileSize = 1 << 20;

  static PropertyList NewDictionary();
  // The same value as a property list; its top level must be a dictionary.
  static PropertyList FromReport(const ReportValue& report);
  // Nothing unless the bytes are a property list whose top level is a dictionary.
  static std::optional<PropertyList> ParseDictionary(std::string_view data);
  // Nothing unless the path names a readable regular file holding a dictionary.
  static std::optional<PropertyList> ReadDictionary(const std::string& path);

  PropertyList(PropertyList&& other) noexcept;
  PropertyList& operator=(PropertyList&& other) noexcept;
  PropertyList(const PropertyList&) = delete;
  PropertyList& operator=(const PropertyList&) = delete;
  ~PropertyList();

  // An integer value as an unsigned 32-bit number, truncated as NSNumber's
  // unsignedIntValue does; nothing when the key is missing or not an integer.
  std::optional<uint32_t> uint32ForKey(const char* key) const;
  // A string value; nothing when the key is missing or not a string.
  std::optional<std::string> stringForKey(const char* key) const;
  void setUInt32(const char* key, uint32_t value);
  void setString(const char* key, const std::string& value);

  std::string xml() const;
  FsResult writeToFile(const std::string& path, const AtomicWriteOptions& options = {}) const;

 private:
  explicit PropertyList(void* node) : node_(node) {}
  void* node_ = nullptr;  // plist_t
};

}  // namespace vq
