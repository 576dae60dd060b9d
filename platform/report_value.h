// A value shaped like a property list (a string, an integer, a boolean, an
// array or a dictionary whose keys keep their order) that renders as JSON or
// as an XML property list: what a report for people and for management tools
// is built from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vq {

class ReportValue {
 public:
  using Array = std::vector<ReportValue>;
  using Dictionary = std::vector<std::pair<std::string, ReportValue>>;

  ReportValue() : value_(Dictionary()) {}
  ReportValue(std::string text) : value_(std::move(text)) {}    // NOLINT: a value of its kind
  ReportValue(const char* text) : value_(std::string(text)) {}  // NOLINT
  ReportValue(int64_t number) : value_(number) {}               // NOLINT
  ReportValue(bool flag) : value_(flag) {}                      // NOLINT
  ReportValue(Array items) : value_(std::move(items)) {}        // NOLINT

  // Dictionary entries, in order; setting a key again replaces its value.
  ReportValue& set(const std::string& key, ReportValue value);
  // The value of a dictionary's key; null when there is none.
  const ReportValue* find(const std::string& key) const;

  // Two-space indented JSON, keys in their order.
  std::string json() const;
  // An XML property list, keys sorted as the platform writes them.
  std::string plistXml() const;

  const std::variant<std::string, int64_t, bool, Array, Dictionary>& value() const {
    return value_;
  }

 private:
  void appendJson(std::string* out, int indent) const;

  std::variant<std::string, int64_t, bool, Array, Dictionary> value_;
};

}  // namespace vq
