// Path strings, taken apart and put together without touching the file
// system. A path is absolute when it starts with '/'; repeated and trailing
// slashes are ignored where a component is looked for.
#pragma once

#include <string>
#include <vector>

namespace vq {

// "/a/b/c" -> "/a/b"; "/a/b/" -> "/a"; "c" -> ""; "/c" -> "/"; "/" -> "/".
std::string ParentPath(const std::string& path);
// "/a/b/c" -> "c"; "/a/b/" -> "b"; "c" -> "c"; "/" -> "/".
std::string LastPathComponent(const std::string& path);
// "/a/b" -> {"/", "a", "b"}; "a//b/" -> {"a", "b"}; "/" -> {"/"}; "" -> {}.
std::vector<std::string> PathComponents(const std::string& path);
// The inverse of PathComponents: {"/", "a", "b"} -> "/a/b"; {"a", "b"} -> "a/b".
std::string PathWithComponents(const std::vector<std::string>& components);
// "/a" + "b" -> "/a/b"; "/a/" + "b" -> "/a/b"; "/" + "b" -> "/b"; "" + "b" -> "/b".
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace vq
