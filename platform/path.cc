#include "platform/path.h"

namespace vq {
namespace {

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string ParentPath(const std::string& path) {
  const std::string trimmed = StripTrailingSlashes(path);
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

std::string LastPathComponent(const std::string& path) {
  const std::string trimmed = StripTrailingSlashes(path);
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos || trimmed.size() == 1) return trimmed;
  return trimmed.substr(slash + 1);
}

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (!path.empty() && path[0] == '/') components.emplace_back("/");
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t slash = path.find('/', pos);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > pos) components.push_back(path.substr(pos, end - pos));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return components;
}

std::string PathWithComponents(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) {
    if (component == "/") {
      path = "/";
      continue;
    }
    if (!path.empty() && path.back() != '/') path += '/';
    path += component;
  }
  return path;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string out = folder;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace vq
