// The tool's costs beside their Unix floors, measured side by side in one
// run: full install, update and last uninstall against cp -a + chown -R and
// rm -rf of the same trees (in the sandbox's tmpfs and on the host's disk),
// the system calls of a steady service pass against the floor of the work it
// must do, the parent's CPU per launchctl child against a bare posix_spawn,
// and a pass over 100 users against one over 1. Prints "ratio NAME VALUE"
// lines, then the absolute medians. --quick: fewer rounds, no 500 MB payload.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "libutils-macOS/execve.h"
#include "tests/support/sandbox.h"

namespace {

using vq::testing::Sandbox;
using vq::testing::SyslogLine;
using vq::testing::TestUser;

std::map<std::string, double> g_absolute;
std::map<std::string, std::map<std::string, long>> g_calls;  // per tool: syscall -> calls

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Shell(Sandbox& sandbox, const std::string& command) {
  vq::testing::RunOptions options;
  options.environment = {"PATH=/usr/bin:/bin"};
  const vq::testing::RunResult result = sandbox.run({"/bin/sh", "-c", command}, options);
  if (result.exitCode != 0) {
    std::fprintf(stderr, "bench: failed: %s\n%s", command.c_str(), result.err.c_str());
    std::exit(1);
  }
}

void Tool(Sandbox& sandbox, const std::string& payload, std::vector<std::string> args) {
  args.insert(args.begin(), payload + "/bin/kestrun");
  if (sandbox.run(args).exitCode != 0) {
    std::fprintf(stderr, "bench: %s %s failed\n%s", payload.c_str(), args[1].c_str(),
                 sandbox.syslogDump().c_str());
    std::exit(1);
  }
  sandbox.clearSyslog();
}

// Tops a built payload up to `files` files of `megabytes` in all: 2 MiB
// libraries (one per 250 files) with versioned links, the rest resources of
// 4 to 31 KiB five folders deep, everything owned 501:20 as a build leaves it.
void Payload(Sandbox& sandbox, const std::string& from, const std::string& to, int files) {
  const int libraries = std::max(1, files / 250);
  std::ostringstream script;
  script << "set -e; cp -a " << from << " " << to << "; cd " << to << "/modules; i=0; "
         << "while [ $i -lt " << libraries
         << " ]; do head -c 2097152 /dev/urandom > libx$i.2.dylib; "
         << "ln -s libx$i.2.dylib libx$i.dylib; i=$((i+1)); done; "
         << "mkdir -p r/a/b/c/d; i=0; while [ $i -lt " << files - libraries << " ]; do "
         << "head -c $((4096 + (i * 7919) % 28672)) /dev/zero > r/a/b/c/d/f$i; i=$((i+1)); done; "
         << "chown -R 501:20 " << to;
  Shell(sandbox, script.str());
}

void Clean(Sandbox& sandbox, const std::string& copy) {
  Shell(sandbox,
        "rm -rf '/Library/Application Support/com.quendalore' /Library/LaunchDaemons/* "
        "/Library/LaunchAgents/* /var/launchctl/loaded " +
            copy);
}

void Ratio(const std::string& name, double value) {
  std::printf("ratio %s %.2f\n", name.c_str(), value);
}

// Paired rounds, in alternating order, on the machine `sandbox`: installs,
// updates and last uninstalls of payload `tag` against their baselines.
void Transactions(Sandbox& sandbox, const std::string& where, const std::string& tag, int files,
                  int rounds) {
  const std::string payload = where + "/p-" + tag, older = where + "/o-" + tag;
  // The baselines write to the same file system as the tool.
  const std::string target = where + "/copy",
                    copyCommand = "cp -a " + payload + " " + target + " && chown -R 0:0 " + target;
  Payload(sandbox, "/payload", payload, files);
  Payload(sandbox, "/payload-v7", older, files);
  std::vector<double> install, update, uninstall, copy, remove, ri, ru, rr;
  for (int round = 0; round < rounds; ++round) {
    const bool baselineFirst = round % 2 == 0;
    double tool = 0, base = 0;
    auto baseline = [&] { base = Seconds([&] { Shell(sandbox, copyCommand); }); };
    Clean(sandbox, target);
    if (baselineFirst) baseline();
    Shell(sandbox, "rm -rf " + target);
    tool = Seconds([&] { Tool(sandbox, payload, {"install", payload}); });
    if (!baselineFirst) baseline();
    install.push_back(tool), copy.push_back(base), ri.push_back(tool / base);

    Clean(sandbox, target);
    Tool(sandbox, older, {"install", older});
    tool = Seconds([&] { Tool(sandbox, payload, {"install", payload}); });
    update.push_back(tool), ru.push_back(tool / base);

    // The update counted the older installation's reference too.
    Tool(sandbox, payload, {"uninstall"});
    Shell(sandbox, copyCommand);
    double rm = 0;
    auto removal = [&] { rm = Seconds([&] { Shell(sandbox, "rm -rf " + target); }); };
    if (baselineFirst) removal();
    tool = Seconds([&] { Tool(sandbox, payload, {"uninstall"}); });
    if (!baselineFirst) removal();
    uninstall.push_back(tool), remove.push_back(rm), rr.push_back(tool / rm);
  }
  Ratio("install_vs_cp_chown_" + tag, Median(ri));
  Ratio("update_vs_cp_chown_" + tag, Median(ru));
  Ratio("uninstall_vs_rm_" + tag, Median(rr));
  g_absolute["install_" + tag + "_s"] = Median(install);
  g_absolute["update_" + tag + "_s"] = Median(update);
  g_absolute["uninstall_" + tag + "_s"] = Median(uninstall);
  g_absolute["cp_chown_" + tag + "_s"] = Median(copy);
  g_absolute["rm_" + tag + "_s"] = Median(remove);
  Shell(sandbox, "rm -rf " + payload + " " + older);
  Clean(sandbox, target);
}

// System calls of the tool's own process (not its children) per steady pass:
// the difference between 12 and 2 passes, over 10.
double g_logLinesPerPass = 0;

double PassSyscalls(Sandbox& sandbox) {
  std::map<std::string, size_t> lines;
  auto count = [&](const char* tool) {
    sandbox.clearSyslog();
    Shell(sandbox, std::string("strace -c -o /var/strace.txt ") + tool + " >/dev/null");
    const std::string text = sandbox.readFile("/var/strace.txt");
    std::istringstream rows(text);
    for (std::string row; std::getline(rows, row);) {
      std::istringstream f(row);
      std::vector<std::string> w;
      for (std::string x; f >> x;) w.push_back(x);
      if (w.size() >= 5 && std::isdigit(static_cast<unsigned char>(w[0][0]))) {
        g_calls[tool][w.back()] = std::atol(w[3].c_str());
      }
    }
    const size_t total = text.rfind("total");
    long calls = 0;
    if (total != std::string::npos) {
      std::istringstream fields(text.substr(total == 0 ? 0 : text.rfind('\n', total)));
      double percent, seconds, usecs;
      fields >> percent >> seconds >> usecs >> calls;
    }
    lines[tool] = sandbox.syslog().size();
    return static_cast<double>(calls);
  };
  const double perPass =
      (count("/payload/bin/kestrun-12") - count("/payload/bin/kestrun-2")) / 10.0;
  g_logLinesPerPass = (static_cast<double>(lines["/payload/bin/kestrun-12"]) -
                       static_cast<double>(lines["/payload/bin/kestrun-2"])) /
                      10.0;
  return perPass;
}

// A steady machine: every client's folder present, every module file
// enabled, the agent loaded for every one of `users` users.
void SteadyScene(Sandbox& sandbox, int users) {
  std::vector<TestUser> list;
  for (int i = 0; i < users; ++i) {
    list.push_back(
        {"user" + std::to_string(i), 1001u + i, 1001u + i, "/Users/user" + std::to_string(i)});
  }
  sandbox.writeUsers(list);
  std::string homes;
  for (const TestUser& user : list) {
    homes += "m='" + user.home +
             "/Library/Application Support/Citrix Receiver'; mkdir -p \"$m\"; "
             "printf 'VirtualDriver=TWI, vq\\rvq=On\\r' > \"$m/Modules\"; chown -R " +
             std::to_string(user.uid) + ":" + std::to_string(user.gid) + " " + user.home + "; ";
  }
  Shell(sandbox, "rm -rf /Users/*; " + homes);
  Shell(sandbox,
        "for d in /usr/local/opt/freerdp/lib/freerdp2 /usr/local/lib/freerdp2 "
        "/opt/local/lib/freerdp2 "
        "/usr/local/lib/freerdp3 /opt/homebrew/opt/freerdp/lib/freerdp2 "
        "'/Applications/VMware Horizon Client.app/Contents/Frameworks/rdpvcbridge' "
        "/Applications/WorkSpaces.app/Contents/MacOS/vchan_plugins "
        "/Applications/PCoIPClient.app/Contents/MacOS/vchan_plugins "
        "'/Applications/VMware Horizon Client.app/Contents/Library/pcoip/vchan_plugins' "
        "'/Library/Application Support/Citrix/PlugIns' '/Library/DCV Extensions'; do mkdir -p "
        "\"$d\"; done");
  Tool(sandbox, "/payload", {"install", "/payload"});
  Tool(sandbox, "/payload", {"create"});
}

// Parent CPU seconds per child: the runner against posix_spawn + waitpid.
double SpawnCpu(int children, bool runner) {
  class Quiet final : public vq::Logger {
   public:
    bool isEnabled(vq::LogType) const override { return false; }
    void write(vq::LogType, std::string_view) override {}
  } quiet;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  char* env[] = {nullptr};
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  for (int i = 0; i < children; ++i) {
    if (runner) {
      (void)vq_execve(quiet, "/bin/true", argv, false);
    } else {
      pid_t pid;
      if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, env) == 0)
        waitpid(pid, nullptr, 0);
    }
  }
  getrusage(RUSAGE_SELF, &after);
  auto cpu = [](const rusage& r) {
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  return (cpu(after) - cpu(before)) / children;
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  // --pass: only the steady pass for 2 users, with strace's table of it.
  const bool passOnly = argc > 1 && std::strcmp(argv[1], "--pass") == 0;
  // A 50 MB round takes well under a second, and its small figures (an
  // uninstall is some 25 ms) move with every scheduling hiccup: many rounds.
  const int rounds = quick ? 9 : 15;
  Sandbox sandbox;
  if (!sandbox.ready()) {
    std::fprintf(stderr, "bench: no sandbox: %s\n", sandbox.whyNotReady().c_str());
    return 1;
  }
  sandbox.installPayload();
  sandbox.installOlderPayload();
  sandbox.copyIn(KESTRUN_2PASSES_TOOL_PATH, "/payload/bin/kestrun-2");
  sandbox.copyIn(KESTRUN_12PASSES_TOOL_PATH, "/payload/bin/kestrun-12");

  if (passOnly) {
    SteadyScene(sandbox, 2);
    const double perPass = PassSyscalls(sandbox);
    std::printf("per pass: %.1f, log lines %.1f\n", perPass, g_logLinesPerPass);
    for (const SyslogLine& line : sandbox.syslog()) std::printf("  log: %s\n", line.text.c_str());
    for (const auto& [name, calls] : g_calls["/payload/bin/kestrun-12"]) {
      const double each = (calls - g_calls["/payload/bin/kestrun-2"][name]) / 10.0;
      if (each != 0) std::printf("  %-16s %5.1f\n", name.c_str(), each);
    }
    return 0;
  }
  Transactions(sandbox, "", "50MB", 2000, rounds);
  if (!quick) Transactions(sandbox, "", "500MB", 20000, 5);
  // The same on the host's disk, in a fresh ext4 file system made in an image
  // file there and mounted over the sandbox's /Library (inside the sandbox's
  // private mount namespace). A fresh one, because on an aged file system the
  // cost of creating a file depends on which block group the folder lands in
  // (here 2,000 empty files took 0.06 to 1.5 s by folder), which would swamp
  // the comparison.
  char image[] = "/var/tmp/kestrun-bench-XXXXXX";
  const int imageFd = mkstemp(image);
  if (imageFd >= 0 && ftruncate(imageFd, 4LL << 30) == 0 && close(imageFd) == 0) {
    const std::string library = sandbox.at("/Library");
    const std::string mountIt =
        std::string("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 ") + image +
        " && mount -o loop " + image + " '" + library + "'";
    if (std::system(mountIt.c_str()) == 0) {
      Shell(sandbox,
            "mkdir -p '/Library/Application Support' /Library/LaunchDaemons "
            "/Library/LaunchAgents");
      Transactions(sandbox, "/Library", "50MB_disk", 2000, rounds);
      umount2(library.c_str(), MNT_DETACH);
    } else {
      std::fprintf(stderr, "bench: no ext4 image (mkfs.ext4 or a loop device missing)\n");
    }
  }
  unlink(image);

  SteadyScene(sandbox, 2);
  const double pass2 = PassSyscalls(sandbox);
  // What a steady pass for 2 users cannot do without: an lstat and a readlink
  // per location (12); a stat each of the password file and login.defs; per
  // user an open, fstat, read and close of the module file and the identity
  // switch there and back (setgroups, setresgid, setresuid, twice); per
  // launchctl child (2 per user) a pipe, the start of a process (vfork with
  // signals held and let through again: 3 calls) and wait4, one read and two
  // closes; one sendto per line the pass logs (launchctl's answers, at debug
  // level, as the runner must log them).
  const double floor2 = 12 * 2 + 2 + 2 * ((4 + 6) + 2 * (1 + 3 + 1 + 3)) + g_logLinesPerPass;
  Ratio("pass_syscalls_vs_floor", pass2 / floor2);
  g_absolute["pass_syscalls_2_users"] = pass2;
  g_absolute["pass_syscalls_floor_2_users"] = floor2;
  SteadyScene(sandbox, 1);
  const double pass1 = PassSyscalls(sandbox);
  SteadyScene(sandbox, 100);
  const double pass100 = PassSyscalls(sandbox);
  // Linear growth: the per-user cost at 100 users over the per-user cost
  // between 1 and 2 users.
  Ratio("pass_100_users_per_user_vs_1", ((pass100 - pass1) / 99) / (pass2 - pass1));
  g_absolute["pass_syscalls_1_user"] = pass1;
  g_absolute["pass_syscalls_100_users"] = pass100;

  std::vector<double> spawn;
  for (int round = 0; round < rounds; ++round) {
    spawn.push_back(SpawnCpu(200, true) / SpawnCpu(200, false));
  }
  Ratio("spawn_cpu_vs_posix_spawn", Median(spawn));
  g_absolute["child_parent_cpu_ms"] = SpawnCpu(200, true) * 1000;

  for (const auto& [name, value] : g_absolute) std::printf("median %s %.4f\n", name.c_str(), value);
  return 0;
}
