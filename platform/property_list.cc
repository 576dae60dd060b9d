#include "platform/property_list.h"

#include <errno.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/scoped_fd.h"

namespace vq {
namespace {

plist_t Node(void* node) { return static_cast<plist_t>(node); }

// A deep copy with every dictionary's keys in byte order.
plist_t SortedCopy(plist_t node) {
  if (plist_get_node_type(node) == PLIST_ARRAY) {
    plist_t out = plist_new_array();
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i) {
      plist_array_append_item(out, SortedCopy(plist_array_get_item(node, i)));
    }
    return out;
  }
  if (plist_get_node_type(node) != PLIST_DICT) return plist_copy(node);

  std::vector<std::pair<std::string, plist_t>> items;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iter, &key, &value);
    if (key == nullptr) break;
    items.emplace_back(key, value);
    free(key);
  }
  free(iter);
  std::sort(items.begin(), items.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  plist_t out = plist_new_dict();
  for (auto& [key, value] : items) plist_dict_set_item(out, key.c_str(), SortedCopy(value));
  return out;
}

}  // namespace

PropertyList PropertyList::NewDictionary() { return PropertyList(plist_new_dict()); }

std::optional<PropertyList> PropertyList::ParseDictionary(std::string_view data) {
  if (data.empty() || data.size() > kMaxFileSize) return std::nullopt;
  const auto length = static_cast<uint32_t>(data.size());
  plist_t root = nullptr;
  if (plist_is_binary(data.data(), length)) {
    plist_from_bin(data.data(), length, &root);
  } else {
    plist_from_xml(data.data(), length, &root);
  }
  if (root == nullptr) return std::nullopt;
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return std::nullopt;
  }
  return PropertyList(root);
}

std::optional<PropertyList> PropertyList::ReadDictionary(const std::string& path) {
  // Non-blocking so that a FIFO standing at the path cannot stall the reader.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      static_cast<size_t>(st.st_size) > kMaxFileSize) {
    return std::nullopt;
  }
  std::string data(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = read(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return ParseDictionary(data);
}

PropertyList::PropertyList(PropertyList&& other) noexcept
    : node_(std::exchange(other.node_, nullptr)) {}

PropertyList& PropertyList::operator=(PropertyList&& other) noexcept {
  if (this != &other) {
    if (node_ != nullptr) plist_free(Node(node_));
    node_ = std::exchange(other.node_, nullptr);
  }
  return *this;
}

PropertyList::~PropertyList() {
  if (node_ != nullptr) plist_free(Node(node_));
}

bool PropertyList::contains(const char* key) const {
  return plist_dict_get_item(Node(node_), key) != nullptr;
}

std::optional<uint32_t> PropertyList::uint32ForKey(const char* key) const {
  plist_t value = plist_dict_get_item(Node(node_), key);
  if (value == nullptr || plist_get_node_type(value) != PLIST_UINT) return std::nullopt;
  uint64_t number = 0;
  plist_get_uint_val(value, &number);
  return static_cast<uint32_t>(number);
}

std::optional<std::string> PropertyList::stringForKey(const char* key) const {
  plist_t value = plist_dict_get_item(Node(node_), key);
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  char* text = nullptr;
  plist_get_string_val(value, &text);
  if (text == nullptr) return std::nullopt;
  std::string out(text);
  free(text);
  return out;
}

std::optional<std::vector<std::string>> PropertyList::stringArrayForKey(const char* key) const {
  plist_t value = plist_dict_get_item(Node(node_), key);
  if (value == nullptr || plist_get_node_type(value) != PLIST_ARRAY) return std::nullopt;
  std::vector<std::string> out;
  const uint32_t count = plist_array_get_size(value);
  for (uint32_t i = 0; i < count; ++i) {
    plist_t item = plist_array_get_item(value, i);
    if (plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(item, &text);
    out.emplace_back(text != nullptr ? text : "");
    free(text);
  }
  return out;
}

std::optional<bool> PropertyList::boolForKey(const char* key) const {
  plist_t value = plist_dict_get_item(Node(node_), key);
  if (value == nullptr || plist_get_node_type(value) != PLIST_BOOLEAN) return std::nullopt;
  uint8_t flag = 0;
  plist_get_bool_val(value, &flag);
  return flag != 0;
}

void PropertyList::setUInt32(const char* key, uint32_t value) {
  plist_dict_set_item(Node(node_), key, plist_new_uint(value));
}

std::string PropertyList::xml() const {
  plist_t sorted = SortedCopy(Node(node_));
  char* text = nullptr;
  uint32_t length = 0;
  plist_to_xml(sorted, &text, &length);
  plist_free(sorted);
  if (text == nullptr) return std::string();
  std::string out(text, length);
  free(text);
  return out;
}

FsResult PropertyList::writeToFile(const std::string& path,
                                   const AtomicWriteOptions& options) const {
  const std::string data = xml();
  if (data.empty()) return FsResult::Fail("serialize", path, EINVAL);
  return WriteFileAtomically(path, data, options);
}

}  // namespace vq
