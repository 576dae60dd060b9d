#include "kestrun/Status.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kestrun/Globals.h"
#include "kestrun/InstallationState.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/RunVerdict.h"
#include "libutils-macOS/execve.h"
#include "libutils-macOS/launchctl.h"
#include "libutils-macOS/users.h"
#include "platform/effective_identity.h"
#include "platform/file_manager.h"
#include "platform/logger.h"
#include "platform/path.h"
#include "platform/property_list.h"
#include "platform/regular_file.h"
#include "platform/safe_folder.h"

namespace {

using vq::ReportValue;

// launchctl's answers are read here, not logged: the report is the output.
class Quiet final : public vq::Logger {
 public:
  bool isEnabled(vq::LogType) const override { return false; }
  void write(vq::LogType, std::string_view) override {}
};

// A binary as large as a tool may be; a version marker lies in its data.
constexpr size_t kMaxToolSize = 64 << 20;

ReportValue Names(const std::vector<std::string>& names) {
  ReportValue::Array items;
  for (const std::string& name : names) items.emplace_back(name);
  return items;
}

// The version an installed tool carries, read from its file, never run.
std::string ToolVersion(const std::string& tool) {
  std::string data;
  if (!vq::ReadRegularFileAt(tool, kMaxToolSize, &data)) return "unknown";
  const size_t at = data.find(vqOwnVersionMarkerPrefix);
  if (at == std::string::npos) return "unknown";
  const size_t start = at + std::strlen(vqOwnVersionMarkerPrefix);
  size_t end = start;
  while (end < data.size() && end - start < 10 && data[end] >= '0' && data[end] <= '9') ++end;
  return end == start ? "unknown" : data.substr(start, end - start);
}

// What `launchctl print <target>` says of a job.
struct JobState {
  std::string loaded = "unknown";  // "yes", "no", "no graphical session" or "unknown"
  std::string path, state, pid, lastExit, reason;
};

std::string Field(const std::string& output, const std::string& name) {
  const std::string key = "\t" + name + " = ";
  const size_t at = output.find(key);
  if (at == std::string::npos) return "";
  const size_t start = at + key.size();
  return output.substr(start, output.find('\n', start) - start);
}

JobState AskLaunchd(const VQInstallPaths& paths, const std::string& target) {
  JobState job;
  Quiet quiet;
  const vq::ArgumentVector print = vq::LaunchctlPrintArguments(target);
  const vq::ChildOutcome asked =
      vq::RunChild(quiet, paths.launchctl.c_str(), print.argv(), vq::ChildOptions{});
  if (asked.succeeded() && asked.signal == 0 && asked.output.find(" = {") != std::string::npos) {
    // The runner keeps the first part of the answer, which holds these fields.
    job.loaded = "yes";
    job.path = Field(asked.output, "path");
    job.state = Field(asked.output, "state");
    job.pid = Field(asked.output, "pid");
    job.lastExit = Field(asked.output, "last exit code");
  } else if (asked.ran && asked.exitCode == vq::kLaunchctlNoSuchJob) {
    job.loaded = "no";
  } else if (asked.output.find("Could not find domain") != std::string::npos) {
    job.loaded = "no graphical session";
  } else {
    job.reason = !asked.ran ? "launchctl could not be run"
                 : asked.output.empty()
                     ? "launchctl print exited with " + std::to_string(asked.exitCode)
                     : asked.output;
  }
  return job;
}

ReportValue Installation(const VQInstallPaths& paths, const VQInstallationState& state) {
  ReportValue out;
  out.set("State", VQInstallationState::KindName(state.kind));
  out.set("Installed", state.kind == VQInstallationState::Kind::kInstalled ||
                           (state.kind == VQInstallationState::Kind::kOperationRunning &&
                            state.version.has_value()));
  if (state.version) out.set("Version", static_cast<int64_t>(*state.version));
  if (state.references) out.set("ReferenceCounter", static_cast<int64_t>(*state.references));
  out.set("Path", paths.kestrun2Path);
  out.set("ToolVersion", vq::FileManager::defaultManager()->itemExists(paths.uninstallerPath)
                             ? ToolVersion(paths.uninstallerPath)
                             : "none");
  out.set("NextRunRepairs", state.repair.empty() ? "nothing" : state.repair);
  if (!state.problem.empty()) out.set("Problem", state.problem);
  out.set("Backups", Names(state.backups));
  out.set("Leftovers", Names(state.leftovers));
  out.set("KeptDatabases", Names(state.damaged));
  out.set("Summary", state.summary());
  return out;
}

ReportValue Daemon(const VQInstallPaths& paths, const VQInstallationState& state,
                   const JobState& job) {
  ReportValue out;
  out.set("Label", vqDaemonLabel);
  out.set("PropertyList", paths.launchFullPath);
  out.set("PropertyListPresent", state.daemonPlist);
  out.set("Loaded", job.loaded);
  if (!job.path.empty()) out.set("LoadedFrom", job.path);
  if (!job.state.empty()) out.set("JobState", job.state);
  if (!job.pid.empty()) {
    const bool number = job.pid.find_first_not_of("0123456789") == std::string::npos;
    out.set("PID", number ? ReportValue(static_cast<int64_t>(std::stoll(job.pid))) : job.pid);
  }
  if (job.loaded == "yes")
    out.set("LastExitStatus", job.lastExit.empty() ? "unknown" : job.lastExit);
  if (!job.reason.empty()) out.set("Reason", job.reason);
  return out;
}

ReportValue Agent(const VQInstallPaths& paths, const VQInstallationState& state,
                  const vq::UserList& users) {
  ReportValue out;
  out.set("Label", vqDefaultWSService);
  out.set("PropertyList", paths.wsLaunchFullPath);
  out.set("PropertyListPresent", state.agentPlist);
  ReportValue::Array sessions;
  for (const vq::platform::PosixAccount& account : users.accounts) {
    const JobState job =
        AskLaunchd(paths, "gui/" + std::to_string(account.uid) + "/" + vqDefaultWSService);
    ReportValue user;
    user.set("User", account.name);
    user.set("UID", static_cast<int64_t>(account.uid));
    user.set("Loaded", job.loaded);
    if (!job.reason.empty()) user.set("Reason", job.reason);
    sessions.push_back(std::move(user));
  }
  out.set("Users", std::move(sessions));
  return out;
}

// Each plug-in location as the service's pass would find it, with the
// installed set's file as the target.
ReportValue Links(const VQInstallPaths& paths) {
  ReportValue::Array out;
  VQKS2ModInstaller::forEachLocation([&](const char* location, const char* origFile,
                                         bool isModule) {
    const std::string path = paths.rooted(location);
    const std::string target = paths.kestrun2Path + (isModule ? "/modules/" : "/conf/") + origFile;
    ReportValue link;
    link.set("Location", location);
    link.set("Target", target);
    const vq::SafeFolder folder = vq::SafeFolder::Open(vq::ParentPath(path));
    std::string state, reason;
    switch (folder.status()) {
      case vq::FolderStatus::kMissing:
        state = "client not installed";
        reason = "its folder is missing";
        break;
      case vq::FolderStatus::kNameMissing:
        state = "not linked yet";
        reason = "the next pass makes its folder and the link";
        break;
      case vq::FolderStatus::kUnsafe:
        state = "failing";
        reason = "its folder is reached through another user's link";
        break;
      case vq::FolderStatus::kFailed:
        state = "failing";
        reason = "its folder cannot be opened";
        break;
      case vq::FolderStatus::kReplaced:
      case vq::FolderStatus::kRefused:
        state = "failing";
        reason = "its folder's owner's rights cannot be taken on";
        break;
      case vq::FolderStatus::kOpened: {
        std::optional<vq::FileType> existing;
        std::optional<std::string> content;
        switch (VQKS2ModInstaller::decideLinkAt(folder, vq::LastPathComponent(path), target,
                                                &existing, &content)) {
          case VQLinkAction::kKeep:
            state = "current";
            break;
          case VQLinkAction::kMake:
            state = "not linked yet";
            reason = "the next pass makes the link";
            break;
          case VQLinkAction::kReplaceLink:
            state = "stale link";
            reason = "it points to " + content.value_or("(unreadable)");
            break;
          case VQLinkAction::kReplaceOther:
            state = "something else in the way";
            reason = *existing == vq::FileType::kDirectory ? "a folder stands there"
                                                           : "a file stands there";
            break;
        }
        break;
      }
    }
    link.set("State", state);
    if (!reason.empty()) link.set("Reason", reason);
    out.push_back(std::move(link));
  });
  return out;
}

// Each user's module file, read with that user's identity as the pass reads it.
ReportValue ModulesFiles(const vq::UserList& users) {
  ReportValue::Array out;
  for (const vq::platform::PosixAccount& account : users.accounts) {
    ReportValue user;
    user.set("User", account.name);
    user.set("File", account.home + vqCitrixModulesFile);
    auto identity = vq::platform::ScopedEffectiveIdentity::Assume(account.uid, account.gid);
    VQModulesFile file;
    if (identity) {
      file = VQKS2ModInstaller::inspectModulesFile(account);
    } else {
      file.state = VQModulesFile::State::kNotEditable;
      file.why = "the user's identity cannot be taken on";
    }
    static const char* const kStates[] = {"absent", "enabled", "not enabled", "not editable"};
    user.set("State", kStates[static_cast<int>(file.state)]);
    if (file.why != nullptr) user.set("Reason", file.why);
    out.push_back(std::move(user));
  }
  return out;
}

ReportValue LastRun(const VQInstallPaths& paths) {
  ReportValue out;
  const std::optional<vq::PropertyList> record =
      vq::PropertyList::ReadDictionary(VQRunVerdict::RecordPath(paths));
  if (!record) {
    out.set("Recorded", false);
    return out;
  }
  out.set("Recorded", true);
  for (const char* key : {"Date", "Command", "Result", "Verdict"}) {
    out.set(key, record->stringForKey(key).value_or("unknown"));
  }
  return out;
}

}  // namespace

ReportValue CollectStatus(const VQInstallPaths& paths, int* exitStatus) {
  const VQInstallationState state = VQInstallationState::Inspect(paths, true);
  const JobState daemon = AskLaunchd(paths, std::string("system/") + vqDaemonLabel);
  const vq::UserList users = vq::UserList::Current();
  ReportValue links = Links(paths);
  ReportValue modules = ModulesFiles(users);

  std::vector<std::string> problems;
  using Kind = VQInstallationState::Kind;
  const bool notInstalled = state.kind == Kind::kNotInstalled;
  if (!notInstalled && state.kind != Kind::kInstalled) {
    problems.push_back(state.summary());
  } else if (!state.repair.empty()) {
    problems.push_back("the next run will " + state.repair);
  }
  if (notInstalled) {
    if (daemon.loaded == "yes") problems.push_back("the daemon is loaded with nothing installed");
    if (state.daemonPlist || state.agentPlist)
      problems.push_back("launchd property lists with nothing installed");
  } else if (state.kind == Kind::kInstalled) {
    if (!state.daemonPlist) problems.push_back("the daemon's property list is missing");
    if (!state.agentPlist) problems.push_back("the agent's property list is missing");
    if (daemon.loaded != "yes")
      problems.push_back("the daemon is not loaded (" + daemon.loaded + ")");
  }
  for (const ReportValue& link : std::get<ReportValue::Array>(links.value())) {
    const auto& linkState = std::get<std::string>(link.find("State")->value());
    if (linkState == "failing" || linkState == "something else in the way") {
      problems.push_back(std::get<std::string>(link.find("Location")->value()) + ": " + linkState);
    }
  }

  const char* health =
      problems.empty() ? (notInstalled ? "not installed" : "healthy") : "needs attention";
  *exitStatus = problems.empty() ? (notInstalled ? kStatusNotInstalled : kStatusHealthy)
                                 : kStatusNeedsAttention;
  ReportValue report;
  report.set("Health", health);
  report.set("Problems", Names(problems));
  report.set("Installation", Installation(paths, state));
  report.set("Daemon", Daemon(paths, state, daemon));
  report.set("Agent", Agent(paths, state, users));
  report.set("Links", std::move(links));
  report.set("CitrixModules", std::move(modules));
  report.set("LastRun", LastRun(paths));
  return report;
}

int kestrun_status(bool json, const VQInstallPaths& paths) {
  int exitStatus = kStatusNeedsAttention;
  const ReportValue report = CollectStatus(paths, &exitStatus);
  const std::string text = json ? report.json() : report.plistXml();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return exitStatus;
}
