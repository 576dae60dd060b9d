#include "platform/report_value.h"

#include <cstdio>

#include "platform/property_list.h"

namespace vq {
namespace {

void AppendJsonString(std::string* out, const std::string& text) {
  out->push_back('"');
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out->append(escaped);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

}  // namespace

ReportValue& ReportValue::set(const std::string& key, ReportValue value) {
  auto& entries = std::get<Dictionary>(value_);
  for (auto& [name, existing] : entries) {
    if (name == key) {
      existing = std::move(value);
      return *this;
    }
  }
  entries.emplace_back(key, std::move(value));
  return *this;
}

const ReportValue* ReportValue::find(const std::string& key) const {
  const auto* entries = std::get_if<Dictionary>(&value_);
  if (entries == nullptr) return nullptr;
  for (const auto& [name, value] : *entries) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::string ReportValue::json() const {
  std::string out;
  appendJson(&out, 0);
  out.push_back('\n');
  return out;
}

void ReportValue::appendJson(std::string* out, int indent) const {
  const std::string inner(static_cast<size_t>(indent + 2), ' ');
  const std::string outer(static_cast<size_t>(indent), ' ');
  if (const auto* text = std::get_if<std::string>(&value_)) {
    AppendJsonString(out, *text);
  } else if (const auto* number = std::get_if<int64_t>(&value_)) {
    out->append(std::to_string(*number));
  } else if (const auto* flag = std::get_if<bool>(&value_)) {
    out->append(*flag ? "true" : "false");
  } else if (const auto* items = std::get_if<Array>(&value_)) {
    if (items->empty()) {
      out->append("[]");
      return;
    }
    out->append("[\n");
    for (size_t i = 0; i < items->size(); ++i) {
      out->append(inner);
      (*items)[i].appendJson(out, indent + 2);
      out->append(i + 1 < items->size() ? ",\n" : "\n");
    }
    out->append(outer).push_back(']');
  } else {
    const auto& entries = std::get<Dictionary>(value_);
    if (entries.empty()) {
      out->append("{}");
      return;
    }
    out->append("{\n");
    for (size_t i = 0; i < entries.size(); ++i) {
      out->append(inner);
      AppendJsonString(out, entries[i].first);
      out->append(": ");
      entries[i].second.appendJson(out, indent + 2);
      out->append(i + 1 < entries.size() ? ",\n" : "\n");
    }
    out->append(outer).push_back('}');
  }
}

std::string ReportValue::plistXml() const { return PropertyList::FromReport(*this).xml(); }

}  // namespace vq
