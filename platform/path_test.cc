#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(Path, ParentAndLastComponent) {
  // path, parent, last component
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"/a/b/c", "/a/b", "c"}, {"/a/b/", "/a", "b"}, {"/a/b//", "/a", "b"}, {"c", "", "c"},
      {"/c", "/", "c"},        {"/", "/", "/"},      {"a/b", "a", "b"},     {"", "", ""},
  };
  for (const auto& [path, parent, last] : rows) {
    EXPECT_EQ(vq::ParentPath(path), parent) << path;
    EXPECT_EQ(vq::LastPathComponent(path), last) << path;
  }
}

TEST(Path, ComponentsRoundTrip) {
  using Parts = std::vector<std::string>;
  // path, components, the path they join back to
  const std::vector<std::tuple<std::string, Parts, std::string>> rows = {
      {"/a/b", {"/", "a", "b"}, "/a/b"},
      {"a//b/", {"a", "b"}, "a/b"},
      {"/", {"/"}, "/"},
      {"", {}, ""},
      {"//x", {"/", "x"}, "/x"},
  };
  for (const auto& [path, parts, joined] : rows) {
    EXPECT_EQ(vq::PathComponents(path), parts) << path;
    EXPECT_EQ(vq::PathWithComponents(parts), joined) << path;
  }
}

TEST(Path, Join) {
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/", "b", "/b"}, {"", "b", "/b"}};
  for (const auto& [folder, name, joined] : rows) EXPECT_EQ(vq::JoinPath(folder, name), joined);
}

}  // namespace
