#include "libutils-macOS/launchctl.h"

#include <cstring>

#include "libutils-macOS/execve.h"

namespace vq {
namespace {

// Room for any real domain target; a longer one counts as not composable.
constexpr size_t kTargetCapacity = 512;

std::optional<std::string> DomainTarget(const char* domain, uint32_t uid, const char* label) {
  std::string target = std::strcmp(domain, "system") == 0
                           ? std::string("system")
                           : std::string(domain) + "/" + std::to_string(uid);
  if (label != nullptr) target.append("/").append(label);
  if (target.size() >= kTargetCapacity) return std::nullopt;
  return target;
}

bool Run(Logger& logger, const char* launchctl, const std::optional<ArgumentVector>& arguments) {
  if (!arguments) {
    VQ_LOG_ERROR(logger, "cannot compose domain-target");
    return false;
  }
  return vq_execve(logger, launchctl, arguments->argv(), false);
}

}  // namespace

ArgumentVector::ArgumentVector(std::vector<std::string> words) : words_(std::move(words)) {
  point();
}

ArgumentVector::ArgumentVector(ArgumentVector&& other) noexcept : words_(std::move(other.words_)) {
  point();
}

void ArgumentVector::point() {
  pointers_.clear();
  for (std::string& word : words_) pointers_.push_back(word.data());
  pointers_.push_back(nullptr);
}

std::optional<ArgumentVector> LaunchctlStrapArguments(const char* verb, const char* domain,
                                                      uint32_t uid, const char* path) {
  std::optional<std::string> target = DomainTarget(domain, uid, nullptr);
  if (!target) return std::nullopt;
  return ArgumentVector({"launchctl", verb, std::move(*target), path});
}

std::optional<ArgumentVector> LaunchctlKickstartArguments(const char* domain, uint32_t uid,
                                                          const char* label) {
  std::optional<std::string> target = DomainTarget(domain, uid, label);
  if (!target) return std::nullopt;
  return ArgumentVector({"launchctl", "kickstart", std::move(*target)});
}

bool LaunchctlOutputReportsFailure(std::string_view output) {
  for (std::string_view marker :
       {"failed:", "service already loaded", "Invalid property list", "bad ownership",
        "Could not find", "Operation not permitted", "Error "}) {
    if (output.find(marker) != std::string_view::npos) return true;
  }
  return false;
}

bool LaunchctlOutputReportsLoaded(std::string_view output) {
  return output.find("Load failed: 5:") != std::string_view::npos ||
         output.find("Load failed: 37:") != std::string_view::npos ||
         output.find("service already loaded") != std::string_view::npos;
}

ArgumentVector LaunchctlLoadArguments(const std::string& path) {
  return ArgumentVector({"launchctl", "load", path});
}

ArgumentVector LaunchctlUnloadArguments(const std::string& path) {
  return ArgumentVector({"launchctl", "unload", path});
}

ArgumentVector LaunchctlStartArguments(const char* label) {
  return ArgumentVector({"launchctl", "start", label});
}

ArgumentVector LaunchctlPrintArguments(const std::string& target) {
  return ArgumentVector({"launchctl", "print", target});
}

}  // namespace vq

bool vq_launchctl_bootstrap(vq::Logger& logger, const char* domain, uint32_t uid, const char* path,
                            const char* launchctl) {
  return vq::Run(logger, launchctl, vq::LaunchctlStrapArguments("bootstrap", domain, uid, path));
}

bool vq_launchctl_bootout(vq::Logger& logger, const char* domain, uint32_t uid, const char* path,
                          const char* launchctl) {
  return vq::Run(logger, launchctl, vq::LaunchctlStrapArguments("bootout", domain, uid, path));
}

bool vq_launchctl_kickstart(vq::Logger& logger, const char* domain, uint32_t uid, const char* label,
                            const char* launchctl) {
  return vq::Run(logger, launchctl, vq::LaunchctlKickstartArguments(domain, uid, label));
}
