#include "platform/property_list.h"

#include <errno.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/regular_file.h"
#include "platform/report_value.h"
#include "platform/scoped_fd.h"
#include "platform/utf8.h"

namespace vq {
namespace {

plist_t Node(void* node) { return static_cast<plist_t>(node); }

// What libplist hands over to be freed: nodes, and malloc'd keys, texts and
// iterators.
struct NodeFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using OwnedNode = std::unique_ptr<void, NodeFree>;
struct MallocFree {
  void operator()(void* memory) const { free(memory); }
};
using Malloced = std::unique_ptr<char, MallocFree>;

// Calls visit(key, value) for each item of a dictionary until it answers false.
template <typename Visit>
void ForEachDictItem(plist_t dict, Visit&& visit) {
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(dict, &iter);
  const std::unique_ptr<void, MallocFree> ownedIter(iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, iter, &key, &value);
    const Malloced ownedKey(key);
    if (value == nullptr || !visit(key, value)) return;
  }
}

// libplist reads, copies and writes a list recursively, one stack frame per
// level, and expands every reference of a binary list anew, so that a few
// shared containers can stand for millions of nodes. No real list comes near
// either limit; lists beyond them are not read.
constexpr uint32_t kMaxDepth = 512;
constexpr uint64_t kMaxNodes = 1 << 19;

// The high half of an object's marker byte in a binary list: its kind.
enum BinaryKind : unsigned {
  kBinaryInteger = 0x1,
  kBinaryAsciiString = 0x5,
  kBinaryUtf16String = 0x6,
  kBinaryArray = 0xA,
  kBinaryOrderedSet = 0xB,
  kBinarySet = 0xC,
  kBinaryDictionary = 0xD,
};
// The low half is a count, or this value when the count follows as an
// integer object.
constexpr unsigned kBinaryCountFollows = 0xF;

uint64_t BigEndian(const unsigned char* bytes, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
  return value;
}

// The containers of a binary list as its object table describes them, walked
// before libplist expands them. Objects lie between the header and the
// offset table, as the platform's own reader demands.
class BinaryObjects {
 public:
  static constexpr size_t kHeader = 8;
  static constexpr size_t kTrailer = 32;

  explicit BinaryObjects(std::string_view bytes)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  // Whether the top object's tree stays within the limits and every
  // reference on the way makes sense.
  bool withinLimits() {
    if (size_ < kHeader + kTrailer) return false;
    const unsigned char* trailer = data_ + size_ - kTrailer;
    offset_size_ = trailer[6];
    ref_size_ = trailer[7];
    count_ = BigEndian(trailer + 8, 8);
    table_ = BigEndian(trailer + 24, 8);
    const uint64_t end = size_ - kTrailer;
    if (offset_size_ < 1 || offset_size_ > 8 || ref_size_ < 1 || ref_size_ > 8 ||
        table_ < kHeader || table_ > end || count_ > (end - table_) / offset_size_) {
      return false;
    }
    state_.assign(count_, State{});
    return walk(BigEndian(trailer + 16, 8), 1).has_value();
  }

 private:
  struct State {
    bool visiting = false;
    uint32_t height = 0;  // 0 until known
    uint64_t nodes = 0;
  };
  struct Shape {
    uint32_t height;
    uint64_t nodes;
  };

  // Where an object starts; nothing unless that is between header and table.
  std::optional<uint64_t> offsetOf(uint64_t object) const {
    if (object >= count_) return std::nullopt;
    const uint64_t offset = BigEndian(data_ + table_ + object * offset_size_, offset_size_);
    if (offset < kHeader || offset >= table_) return std::nullopt;
    return offset;
  }

  // The count in an object's marker, and where its content begins.
  std::optional<std::pair<uint64_t, uint64_t>> countOf(uint64_t offset) const {
    uint64_t count = data_[offset] & 0x0F;
    uint64_t content = offset + 1;
    if (count == kBinaryCountFollows) {
      // The count follows as an integer object of 1, 2, 4 or 8 bytes.
      if (content >= table_ || data_[content] >> 4 != kBinaryInteger ||
          (data_[content] & 0x0F) > 3) {
        return std::nullopt;
      }
      const size_t width = size_t{1} << (data_[content] & 0x0F);
      if (width > table_ - content - 1) return std::nullopt;
      count = BigEndian(data_ + content + 1, width);
      content += 1 + width;
    }
    if (count > size_) return std::nullopt;
    return std::make_pair(count, content);
  }

  // Whether an ASCII or UTF-16 string lies whole before the table, without
  // a NUL inside (libplist 2.2 aborts on such a key and mishandles such a
  // string).
  bool textWithoutNul(uint64_t offset) const {
    const bool utf16 = data_[offset] >> 4 == kBinaryUtf16String;
    const auto count = countOf(offset);
    if (!count) return false;
    const auto [characters, content] = *count;
    const uint64_t bytes = utf16 ? 2 * characters : characters;
    if (bytes > table_ - content) return false;
    for (uint64_t i = 0; i < characters; ++i) {
      const unsigned char* character = data_ + content + (utf16 ? 2 * i : i);
      if (character[0] == 0 && (!utf16 || character[1] == 0)) return false;
    }
    return true;
  }

  // The height and size of an object's tree, the object standing at the
  // given depth; nothing when the tree breaks a limit or the table is broken.
  std::optional<Shape> walk(uint64_t object, uint32_t depth, bool key = false) {
    if (depth > kMaxDepth) return std::nullopt;
    const std::optional<uint64_t> offset = offsetOf(object);
    if (!offset) return std::nullopt;
    State& state = state_[object];
    if (state.visiting) return std::nullopt;  // a cycle
    const unsigned kind = data_[*offset] >> 4;
    const bool text = kind == kBinaryAsciiString || kind == kBinaryUtf16String;
    if (key && !text) return std::nullopt;
    if (state.height != 0) {
      if (depth - 1 + state.height > kMaxDepth) return std::nullopt;
      return Shape{state.height, state.nodes};
    }
    Shape shape{1, 1};
    if (text && !textWithoutNul(*offset)) return std::nullopt;
    if (kind == kBinaryArray || kind == kBinaryOrderedSet || kind == kBinarySet ||
        kind == kBinaryDictionary) {
      const auto count = countOf(*offset);
      if (!count) return std::nullopt;
      const auto [entries, refs_at] = *count;
      // A dictionary lists its keys' references, then its values'.
      const uint64_t refs = kind == kBinaryDictionary ? 2 * entries : entries;
      if (refs * ref_size_ > table_ - refs_at) return std::nullopt;
      state.visiting = true;
      for (uint64_t i = 0; i < refs; ++i) {
        const uint64_t child = BigEndian(data_ + refs_at + i * ref_size_, ref_size_);
        const std::optional<Shape> below =
            walk(child, depth + 1, kind == kBinaryDictionary && i < entries);
        if (!below) return std::nullopt;
        shape.height = std::max(shape.height, below->height + 1);
        shape.nodes += below->nodes;
        if (shape.nodes > kMaxNodes) return std::nullopt;
      }
    }
    state_[object] = State{false, shape.height, shape.nodes};
    return shape;
  }

  const unsigned char* data_;
  size_t size_;
  size_t offset_size_ = 0;
  size_t ref_size_ = 0;
  uint64_t count_ = 0;
  uint64_t table_ = 0;
  std::vector<State> state_;
};

// Whether a parsed list can be copied and written safely: within the depth
// limit, and no string with a NUL inside (libplist 2.2 copies a string up to
// its first NUL but writes it out to its full length).
bool Acceptable(plist_t node, uint32_t depth) {
  if (depth > kMaxDepth) return false;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return text != nullptr && std::strlen(text) == length &&
             IsValidUtf8(std::string_view(text, length));
    }
    case PLIST_ARRAY: {
      const uint32_t count = plist_array_get_size(node);
      for (uint32_t i = 0; i < count; ++i) {
        if (!Acceptable(plist_array_get_item(node, i), depth + 1)) return false;
      }
      return true;
    }
    case PLIST_DICT: {
      bool acceptable = true;
      ForEachDictItem(node, [&](const char* key, plist_t value) {
        acceptable = key != nullptr && IsValidUtf8(key) && Acceptable(value, depth + 1);
        return acceptable;
      });
      return acceptable;
    }
    default:
      return true;
  }
}

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
  ForEachDictItem(node, [&](const char* key, plist_t value) {
    if (key == nullptr) return false;
    items.emplace_back(key, value);
    return true;
  });
  std::sort(items.begin(), items.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  plist_t out = plist_new_dict();
  for (auto& [key, value] : items) plist_dict_set_item(out, key.c_str(), SortedCopy(value));
  return out;
}

}  // namespace

PropertyList PropertyList::NewDictionary() { return PropertyList(plist_new_dict()); }

namespace {

plist_t NodeOf(const ReportValue& report) {
  const auto& value = report.value();
  if (const auto* text = std::get_if<std::string>(&value)) return plist_new_string(text->c_str());
  if (const auto* number = std::get_if<int64_t>(&value)) {
    return plist_new_uint(static_cast<uint64_t>(*number));
  }
  if (const auto* flag = std::get_if<bool>(&value)) return plist_new_bool(*flag ? 1 : 0);
  if (const auto* items = std::get_if<ReportValue::Array>(&value)) {
    plist_t array = plist_new_array();
    for (const ReportValue& item : *items) plist_array_append_item(array, NodeOf(item));
    return array;
  }
  plist_t dict = plist_new_dict();
  for (const auto& [key, item] : std::get<ReportValue::Dictionary>(value)) {
    plist_dict_set_item(dict, key.c_str(), NodeOf(item));
  }
  return dict;
}

}  // namespace

PropertyList PropertyList::FromReport(const ReportValue& report) {
  return PropertyList(NodeOf(report));
}

std::optional<PropertyList> PropertyList::ParseDictionary(std::string_view data) {
  if (data.empty() || data.size() > kMaxFileSize) return std::nullopt;
  const auto length = static_cast<uint32_t>(data.size());
  plist_t root = nullptr;
  if (plist_is_binary(data.data(), length)) {
    if (!BinaryObjects(data).withinLimits()) return std::nullopt;
    plist_from_bin(data.data(), length, &root);
  } else {
    // NUL is no XML character at all; libplist would cut a key short at it,
    // and the database written back would not be the one read.
    if (data.find('\0') != std::string_view::npos) return std::nullopt;
    plist_from_xml(data.data(), length, &root);
  }
  OwnedNode owned(root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT || !Acceptable(root, 1)) {
    return std::nullopt;
  }
  PropertyList list(owned.release());
  // libplist's XML reader lets through what no writer produces (bytes that
  // are not UTF-8, markup inside a key, malformed dates) and writes it back
  // differently. Only a list whose written form reads back as itself is
  // taken, so that a database written back is the database that was read.
  const std::string written = list.xml();
  plist_t again = nullptr;
  if (!written.empty())
    plist_from_xml(written.data(), static_cast<uint32_t>(written.size()), &again);
  if (again == nullptr) return std::nullopt;
  const PropertyList reread(again);
  if (!Acceptable(again, 1) || reread.xml() != written) return std::nullopt;
  return list;
}

std::optional<PropertyList> PropertyList::ReadDictionary(const std::string& path) {
  // Non-blocking so that a FIFO standing at the path cannot stall the reader.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  const std::optional<std::string> data = ReadRegularFile(fd.get(), kMaxFileSize);
  if (!data) return std::nullopt;
  return ParseDictionary(*data);
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
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (text == nullptr) return std::nullopt;
  return std::string(text, length);
}

void PropertyList::setUInt32(const char* key, uint32_t value) {
  plist_dict_set_item(Node(node_), key, plist_new_uint(value));
}

void PropertyList::setString(const char* key, const std::string& value) {
  plist_dict_set_item(Node(node_), key, plist_new_string(value.c_str()));
}

std::string PropertyList::xml() const {
  const OwnedNode sorted(SortedCopy(Node(node_)));
  char* text = nullptr;
  uint32_t length = 0;
  plist_to_xml(Node(sorted.get()), &text, &length);
  const Malloced owned(text);
  return text == nullptr ? std::string() : std::string(text, length);
}

FsResult PropertyList::writeToFile(const std::string& path,
                                   const AtomicWriteOptions& options) const {
  const std::string data = xml();
  if (data.empty()) return FsResult::Fail("serialize", path, EINVAL);
  return WriteFileAtomically(path, data, options);
}

}  // namespace vq
