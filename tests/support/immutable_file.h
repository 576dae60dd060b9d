// Marks a file or folder immutable for the life of the object, so that even
// root cannot change or remove it: the way tests make an operation fail.
#pragma once

#include <string>

namespace vq::testing {

class ScopedImmutable {
 public:
  explicit ScopedImmutable(std::string path);
  ~ScopedImmutable();
  ScopedImmutable(const ScopedImmutable&) = delete;
  ScopedImmutable& operator=(const ScopedImmutable&) = delete;

  // False where the file system has no immutable flag.
  bool applied() const { return applied_; }

 private:
  bool set(bool immutable);

  std::string path_;
  bool applied_ = false;
};

}  // namespace vq::testing
