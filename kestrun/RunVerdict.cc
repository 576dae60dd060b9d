#include "kestrun/RunVerdict.h"

#include <time.h>

#include "kestrun/Globals.h"
#include "kestrun/InstallationState.h"
#include "platform/property_list.h"

namespace {

std::string UtcNow() {
  const time_t now = time(nullptr);
  struct tm utc;
  char text[32];
  if (gmtime_r(&now, &utc) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    return std::to_string(now);
  }
  return text;
}

}  // namespace

VQRunVerdict::VQRunVerdict(const VQInstallPaths& paths, vq::Logger& logger, std::string command)
    : paths_(paths), logger_(logger), command_(std::move(command)) {}

std::string VQRunVerdict::RecordPath(const VQInstallPaths& paths) {
  return paths.supportRoot + "/ks2.last-run.plist";
}

int VQRunVerdict::succeeded(const std::string& state) {
  return finish(
      true, action_ + " done: " +
                (state.empty() ? VQInstallationState::Inspect(paths_, false).summary() : state));
}

int VQRunVerdict::failed(const std::string& cause) {
  return finish(false, action_ + " failed: " + cause + "; " +
                           VQInstallationState::Inspect(paths_, false).summary());
}

int VQRunVerdict::finish(bool success, const std::string& line) {
  if (success) {
    VQ_LOG_DEFAULT(logger_, "%{public}s", line.c_str());
  } else {
    VQ_LOG_ERROR(logger_, "%{public}s", line.c_str());
  }
  if (recorded_) {
    vq::PropertyList record = vq::PropertyList::NewDictionary();
    record.setString("Date", UtcNow());
    record.setString("Command", command_);
    record.setString("Result", success ? "succeeded" : "failed");
    record.setUInt32("ExitStatus", success ? kExitSuccess : kExitFailure);
    record.setString("Verdict", line);
    // The record is a courtesy to admins: a run's outcome never depends on it.
    if (vq::FsResult written = record.writeToFile(RecordPath(paths_)); !written) {
      vq::LogIgnored(logger_, written);
    }
  }
  return success ? kExitSuccess : kExitFailure;
}
