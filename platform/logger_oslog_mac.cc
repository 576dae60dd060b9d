// Unified-log backend. VQ_LOG hands its format straight to os_log through
// nativeHandle(), so "%{public}" and "%{private}" keep their meaning; write()
// only sees text that was rendered elsewhere.
#include <os/log.h>

#include <string>

#include "platform/logger.h"

namespace vq {
namespace {

class OsLogLogger final : public Logger {
 public:
  // os_log_create may answer null (logging disabled); the default handle then
  // stands in, and only a handle of our own is released.
  explicit OsLogLogger(const char* category) : handle_(os_log_create(kLogSubsystem, category)) {}
  ~OsLogLogger() override {
    if (handle_ != nullptr) os_release(handle_);
  }
  OsLogLogger(const OsLogLogger&) = delete;
  OsLogLogger& operator=(const OsLogLogger&) = delete;

  bool isEnabled(LogType type) const override {
    return os_log_type_enabled(handle(), static_cast<os_log_type_t>(type));
  }

  void write(LogType type, std::string_view text) override {
    const std::string copy(text);
    os_log_with_type(handle(), static_cast<os_log_type_t>(type), "%{public}s", copy.c_str());
  }

  void* nativeHandle() const override { return handle(); }

 private:
  os_log_t handle() const { return handle_ != nullptr ? handle_ : OS_LOG_DEFAULT; }

  const os_log_t handle_;
};

}  // namespace

std::unique_ptr<Logger> CreateSystemLogger(const char* category) {
  return std::make_unique<OsLogLogger>(category);
}

}  // namespace vq
