// The entries of an open directory, from the first, read through a duplicate
// of the caller's descriptor, which stays the caller's to close (the two
// share a position: one stream at a time reads a folder).
#pragma once

#include <dirent.h>
#include <errno.h>

#include <memory>
#include <string>
#include <vector>

namespace vq {

class DirectoryStream {
 public:
  // Not valid() when the directory cannot be read; errno says why.
  explicit DirectoryStream(int dir_fd);
  bool valid() const { return dir_ != nullptr; }
  // The next entry other than "." and ".."; null at the end or on an error,
  // which errno then tells apart (0 at the end).
  const dirent* next();

 private:
  struct Closer {
    void operator()(DIR* dir) const;
  };
  std::unique_ptr<DIR, Closer> dir_;
};

// Calls visit(name, d_type) for every entry, in the order the file system
// gives them, until visit answers false. False when the directory could not
// be read to its end or visit stopped early; errno is the reading error.
template <typename Visit>
bool ForEachEntry(int dir_fd, Visit&& visit) {
  DirectoryStream stream(dir_fd);
  if (!stream.valid()) return false;
  while (const dirent* entry = stream.next()) {
    if (!visit(entry->d_name, entry->d_type)) return false;
  }
  return errno == 0;
}

// The names in an open directory, sorted.
bool ReadSortedNames(int dir_fd, std::vector<std::string>* names);

}  // namespace vq
