// The outcome of a file-system operation. A failure carries the operation, the
// path and the error number, and renders as one line for the log.
#pragma once

#include <string>
#include <utility>

namespace vq {

struct FsError {
  std::string operation;
  std::string path;
  int code = 0;

  // "<operation> <path>: <system error text>"
  std::string description() const;
};

class [[nodiscard]] FsResult {
 public:
  static FsResult Ok() { return FsResult(); }
  static FsResult Fail(std::string operation, std::string path, int code) {
    FsResult result;
    result.ok_ = false;
    result.error_ = {std::move(operation), std::move(path), code};
    return result;
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const FsError& error() const { return error_; }
  std::string description() const { return ok_ ? std::string("success") : error_.description(); }

 private:
  bool ok_ = true;
  FsError error_;
};

}  // namespace vq
