// A small model of launchd behind /bin/launchctl, answering each subcommand
// as the real tool does (messages and exit codes as observed on macOS). Its
// state is in <root>/var/launchctl, since the tool gives its children an
// empty environment:
//
//   calls       every argument vector, one line each, words split by 0x1f
//   loaded      "<domain>\t<label>" per loaded job ("system" or "gui/UID")
//   sessions    one uid per line with a graphical session (a gui/UID domain)
//   pause-call  holding N: the N-th call writes "paused" and waits until
//               pause-call is gone
//
// "print" answers for a loaded job with its list's path (found among the
// lists of the domain's folder), "state = running" and a pid of its own.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
const std::string dir = "/var/launchctl/";  // the model always runs inside the sandbox

Strings Lines(const std::string& name) {
  std::ifstream in(dir + name);
  Strings lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Has(const Strings& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The job's label from its property list; empty when it has none.
std::string LabelOf(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  std::smatch label;
  const std::string content = text.str();
  std::regex_search(content, label, std::regex("<key>Label</key>[^]*?<string>([^]*?)</string>"));
  return label.empty() ? "" : label[1].str();
}

bool HasSession(const std::string& domain) {
  return domain == "system" ||
         (domain.rfind("gui/", 0) == 0 && Has(Lines("sessions"), domain.substr(4)));
}

int Say(int code, const std::string& text) {
  std::fputs(text.c_str(), stderr);
  return code;
}

int Answer(const Strings& args) {
  const std::string sub = args.size() > 1 ? args[1] : "";
  Strings loaded = Lines("loaded");
  auto change = [&](const std::string& entry, bool load) {
    if (load) loaded.push_back(entry);
    if (!load) loaded.erase(std::remove(loaded.begin(), loaded.end(), entry), loaded.end());
    std::ofstream out(dir + "loaded.new");
    for (const std::string& line : loaded) out << line << "\n";
    out.close();
    std::rename((dir + "loaded.new").c_str(), (dir + "loaded").c_str());
    return 0;
  };
  // The legacy subcommands work in the system domain, print their failure and still exit 0.
  if ((sub == "load" || sub == "unload") && args.size() == 3) {
    const std::string label = LabelOf(args[2]), entry = "system\t" + label;
    const bool load = sub == "load";
    if (label.empty()) return Say(0, args[2] + ": Invalid property list\n");
    if (Has(loaded, entry) != load) return change(entry, load);
    return Say(0, std::string(load ? "Load" : "Unload") + " failed: 5: Input/output error\n" +
                      "Try running `launchctl " + (load ? "bootstrap" : "bootout") +
                      "` as root for richer errors.\n");
  }
  if (sub == "start" && args.size() == 3) return Has(loaded, "system\t" + args[2]) ? 0 : 3;
  if ((sub == "bootstrap" || sub == "bootout") && args.size() == 4) {
    const bool load = sub == "bootstrap";
    if (!HasSession(args[2])) {
      return Say(125, std::string(load ? "Bootstrap" : "Boot-out") +
                          " failed: 125: Domain does not support specified action\n");
    }
    const std::string label = LabelOf(args[3]), entry = args[2] + "\t" + label;
    if (!label.empty() && Has(loaded, entry) != load) return change(entry, load);
    return load ? Say(5, "Bootstrap failed: 5: Input/output error\n")
                : Say(3, "Boot-out failed: 3: No such process\n");
  }
  if (sub == "print" && args.size() == 3 && std::count(args[2].begin(), args[2].end(), '/') > 0) {
    const size_t slash = args[2].rfind('/');
    const std::string domain = args[2].substr(0, slash), label = args[2].substr(slash + 1);
    if (!HasSession(domain)) return Say(125, "Could not find domain for " + domain + "\n");
    if (!Has(loaded, domain + "\t" + label)) {
      const std::string where = domain == "system" ? "system" : "user gui: " + domain.substr(4);
      return Say(113, "Could not find service \"" + label + "\" in domain for " + where + "\n");
    }
    // The job's list, from the folder launchd reads that domain's lists from.
    std::string path;
    const char* folder = domain == "system" ? "/Library/LaunchDaemons/" : "/Library/LaunchAgents/";
    for (const char* name : {"com.quendalore.ks2.plist", "com.quendalore.ks2.ws.plist",
                             "com.quendalore.kestrun.plist"}) {
      if (LabelOf(folder + std::string(name)) == label) path = folder + std::string(name);
    }
    std::printf(
        "%s = {\n\tactive count = 1\n\tpath = %s\n\tstate = running\n\tpid = %d\n"
        "\tlast exit code = (never exited)\n}\n",
        args[2].c_str(), path.c_str(), 4000 + static_cast<int>(loaded.size()));
    return 0;
  }
  if (sub == "kickstart" && args.size() == 3) {
    const size_t slash = args[2].rfind('/');
    const std::string domain = args[2].substr(0, slash), label = args[2].substr(slash + 1);
    if (!HasSession(domain)) return Say(125, "Could not find domain for " + domain + "\n");
    if (Has(loaded, domain + "\t" + label)) return 0;
    const std::string where = domain == "system" ? "system" : "user gui: " + domain.substr(4);
    return Say(113, "Could not find service \"" + label + "\" in domain for " + where + "\n");
  }
  return Say(64, "Usage: launchctl <subcommand> ... | help [subcommand]\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? "\x1f" : "") + std::string(argv[i]);
  line += "\n";
  const int calls = open((dir + "calls").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (calls >= 0) {
    (void)!write(calls, line.data(), line.size());
    close(calls);
  }
  const Strings pause = Lines("pause-call");
  if (!pause.empty() && pause[0] == std::to_string(Lines("calls").size())) {
    std::ofstream(dir + "paused") << getpid() << "\n";
    while (access((dir + "pause-call").c_str(), F_OK) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    unlink((dir + "paused").c_str());
  }
  return Answer(Strings(argv, argv + argc));
}
