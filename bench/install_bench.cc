// The full install of a generated payload (2,000 files, 50 MiB, nested
// folders, a few links) by the built tool, side by side with cp -a followed
// by chown -R 0:0 of the same tree, in the end-to-end sandbox (run as root).
// Also times the reference-only install, the uninstall that drops one
// reference and the last-reference uninstall, and prints medians and ratios.
//
//   kestrun_install_bench [--reps N] [--strace]
//
// --strace adds one install and one baseline under strace -f -c, to show
// where the time goes.
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace {

using vq::testing::RunResult;
using vq::testing::Sandbox;

constexpr int kTotalFiles = 2000;
constexpr int64_t kTotalBytes = 50LL << 20;
constexpr int kLargeFiles = 8;
constexpr int64_t kLargeFileBytes = 2LL << 20;
constexpr uid_t kPayloadOwner = 501;  // the first account on a Mac
constexpr gid_t kPayloadGroup = 20;

constexpr char kTool[] = "/payload/bin/kestrun";
constexpr char kDirectorySet[] = "/Library/Application Support/com.quendalore/ks2";

struct PayloadStats {
  int files = 0;
  int64_t bytes = 0;
  int folders = 0;
  int links = 0;
};

PayloadStats* g_stats = nullptr;

int CountItem(const char*, const struct stat* st, int type, FTW*) {
  if (type == FTW_F && S_ISREG(st->st_mode)) {
    ++g_stats->files;
    g_stats->bytes += st->st_size;
  } else if (type == FTW_D) {
    ++g_stats->folders;
  } else if (type == FTW_SL || type == FTW_SLN) {
    ++g_stats->links;
  }
  return 0;
}

int OwnItem(const char* path, const struct stat*, int, FTW*) {
  return lchown(path, kPayloadOwner, kPayloadGroup) == 0 ? 0 : -1;
}

PayloadStats Count(const std::string& hostPath) {
  PayloadStats stats;
  g_stats = &stats;
  nftw(hostPath.c_str(), CountItem, 16, FTW_PHYS);
  g_stats = nullptr;
  return stats;
}

// Deterministic content that no file system can compress or share.
class ByteStream {
 public:
  void fill(std::string* out, size_t size) {
    out->resize(size);
    for (size_t i = 0; i < size; i += 8) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      std::memcpy(out->data() + i, &state_, std::min<size_t>(8, size - i));
    }
  }
  uint64_t next(uint64_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_ % bound;
  }

 private:
  uint64_t state_ = 0x9e3779b97f4a7c15ULL;
};

// Tops the built payload up to kTotalFiles regular files and kTotalBytes:
// a few large libraries with versioned links to them, and many small
// resources in folders five levels down, as a product ships them.
PayloadStats GeneratePayload(const Sandbox& sandbox) {
  const PayloadStats base = Count(sandbox.at("/payload"));
  ByteStream stream;
  std::string data;
  for (int i = 0; i < kLargeFiles; ++i) {
    const std::string name = "libbulk" + std::to_string(i);
    stream.fill(&data, kLargeFileBytes);
    sandbox.writeFile("/payload/modules/lib/" + name + ".dylib", data, 0755);
    sandbox.symlink(name + ".dylib", "/payload/modules/lib/" + name + ".1.dylib");
  }
  const int small = kTotalFiles - base.files - kLargeFiles;
  const int64_t smallBytes = kTotalBytes - base.bytes - kLargeFiles * kLargeFileBytes;
  // Sizes spread from a quarter to 1.75 times the average, scaled so that
  // they add up exactly.
  const int64_t average = smallBytes / small;
  std::vector<int64_t> sizes;
  int64_t drawn = 0;
  for (int i = 0; i < small; ++i) {
    sizes.push_back(average / 4 + static_cast<int64_t>(stream.next(average * 3 / 2)));
    drawn += sizes.back();
  }
  int64_t scaled = 0;
  for (int64_t& size : sizes) {
    size = size * smallBytes / drawn;
    scaled += size;
  }
  sizes.back() += smallBytes - scaled;
  for (int i = 0; i < small; ++i) {
    stream.fill(&data, static_cast<size_t>(sizes[static_cast<size_t>(i)]));
    char path[128];
    std::snprintf(path, sizeof path, "/payload/modules/resources/group%02d/set%d/%s/item%04d.dat",
                  i % 10, (i / 10) % 5, i % 3 == 0 ? "extra" : "main", i);
    sandbox.writeFile(path, data);
  }
  sandbox.symlink("group00", "/payload/modules/resources/current");
  sandbox.symlink("../lib/libbulk0.dylib", "/payload/modules/resources/libbulk.dylib");
  nftw(sandbox.at("/payload").c_str(), OwnItem, 16, FTW_PHYS);
  return Count(sandbox.at("/payload"));
}

struct Timing {
  double wallMs = 0;
  double cpuMs = 0;  // user + system of the process and everything it waited for
};

double ChildrenCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Ends the measurement; main reports it and lets the sandbox clean up.
[[noreturn]] void Fail(const std::string& what, const RunResult& result, const Sandbox& sandbox) {
  throw std::runtime_error(what + "failed (exit " + std::to_string(result.exitCode) + ", signal " +
                           std::to_string(result.signal) + ")\n" + result.out + result.err + "\n" +
                           sandbox.syslogDump());
}

Timing Run(Sandbox& sandbox, const std::vector<std::string>& argv) {
  const double cpuBefore = ChildrenCpuMs();
  const auto start = std::chrono::steady_clock::now();
  const RunResult result = sandbox.run(argv);
  const auto end = std::chrono::steady_clock::now();
  std::string what;
  for (const std::string& arg : argv) what += arg + " ";
  if (result.exitCode != 0) Fail(what, result, sandbox);
  return {std::chrono::duration<double, std::milli>(end - start).count(),
          ChildrenCpuMs() - cpuBefore};
}

struct Round {
  Timing copy, chown, full, referenceOnly, dropOne, last;
};

Timing Sum(const Timing& a, const Timing& b) { return {a.wallMs + b.wallMs, a.cpuMs + b.cpuMs}; }

Round OneRound(Sandbox& sandbox, bool baselineFirst) {
  Round round;
  auto baseline = [&] {
    round.copy = Run(sandbox, {"/usr/bin/cp", "-a", "/payload", "/copy"});
    round.chown = Run(sandbox, {"/usr/bin/chown", "-R", "0:0", "/copy"});
    Run(sandbox, {"/usr/bin/rm", "-rf", "/copy"});
  };
  auto tool = [&] {
    round.full = Run(sandbox, {kTool, "install", "/payload"});
    round.referenceOnly = Run(sandbox, {kTool, "install", "/payload"});
    round.dropOne = Run(sandbox, {kTool, "uninstall"});
    round.last = Run(sandbox, {kTool, "uninstall"});
    if (sandbox.exists(kDirectorySet)) {
      throw std::runtime_error("the last uninstall left the directory set");
    }
  };
  if (baselineFirst) {
    baseline();
    tool();
  } else {
    tool();
    baseline();
  }
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();
  return round;
}

double MedianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename Pick>
Timing MedianTiming(const std::vector<Round>& rounds, Pick pick) {
  std::vector<double> wall, cpu;
  for (const Round& round : rounds) {
    const Timing timing = pick(round);
    wall.push_back(timing.wallMs);
    cpu.push_back(timing.cpuMs);
  }
  return {MedianOf(wall), MedianOf(cpu)};
}

template <typename Pick>
double MedianRatio(const std::vector<Round>& rounds, Pick numerator, Pick denominator) {
  std::vector<double> ratios;
  for (const Round& round : rounds) {
    ratios.push_back(numerator(round).wallMs / denominator(round).wallMs);
  }
  return MedianOf(ratios);
}

void StraceOnce(Sandbox& sandbox, const std::string& label, const std::vector<std::string>& argv) {
  std::vector<std::string> traced = {"/usr/bin/strace", "-f", "-c", "-o", "/tmp/strace.txt"};
  traced.insert(traced.end(), argv.begin(), argv.end());
  Run(sandbox, traced);
  std::printf("\n-- strace -f -c: %s\n", label.c_str());
  const std::string text = sandbox.readFile("/tmp/strace.txt");
  // The header and the busiest calls are enough to see where the time goes.
  size_t end = 0;
  for (int line = 0; line < 16 && end != std::string::npos; ++line) end = text.find('\n', end + 1);
  std::fputs(text.substr(0, end).c_str(), stdout);
  const size_t total = text.rfind("100.00");
  if (total != std::string::npos) std::printf("\n...\n%s", text.substr(total).c_str());
}

// Generates the payload, runs the rounds and prints the results.
int Measure(Sandbox& sandbox, int reps, bool strace) {
  sandbox.installPayload("/payload");
  const PayloadStats payload = GeneratePayload(sandbox);
  std::printf("payload: %d files, %.1f MiB, %d folders, %d links, owner %u:%u\n", payload.files,
              payload.bytes / 1048576.0, payload.folders, payload.links, kPayloadOwner,
              kPayloadGroup);

  (void)OneRound(sandbox, true);  // warm-up: caches, the tool's pages
  std::vector<Round> rounds;
  for (int i = 0; i < reps; ++i) rounds.push_back(OneRound(sandbox, i % 2 == 0));

  auto copy = [](const Round& r) { return r.copy; };
  auto chown = [](const Round& r) { return r.chown; };
  auto baseline = [](const Round& r) { return Sum(r.copy, r.chown); };
  auto full = [](const Round& r) { return r.full; };
  auto referenceOnly = [](const Round& r) { return r.referenceOnly; };
  auto dropOne = [](const Round& r) { return r.dropOne; };
  auto last = [](const Round& r) { return r.last; };
  using Pick = Timing (*)(const Round&);

  const Timing base = MedianTiming(rounds, baseline);
  const Timing install = MedianTiming(rounds, full);
  std::printf("\n== Install, medians of %d interleaved rounds (ms)\n", reps);
  std::printf("  %-40s %9s %9s %9s\n", "", "wall", "CPU", "ratio");
  auto row = [&](const char* name, const Timing& timing, const char* ratioName, double ratio) {
    std::printf("  %-40s %9.1f %9.1f", name, timing.wallMs, timing.cpuMs);
    if (ratioName != nullptr) std::printf(" %8.2fx %s", ratio, ratioName);
    std::printf("\n");
  };
  row("cp -a", MedianTiming(rounds, copy), nullptr, 0);
  row("chown -R 0:0", MedianTiming(rounds, chown), nullptr, 0);
  row("baseline: cp -a + chown -R 0:0", base, nullptr, 0);
  const double fullRatio = MedianRatio(rounds, Pick(full), Pick(baseline));
  row("kestrun install (full)", install, "of the baseline", fullRatio);
  const Timing ref = MedianTiming(rounds, referenceOnly);
  row("kestrun install (reference only)", ref, "of the full install",
      MedianRatio(rounds, Pick(referenceOnly), Pick(full)));
  const Timing drop = MedianTiming(rounds, dropOne);
  row("kestrun uninstall (one reference less)", drop, "of the full install",
      MedianRatio(rounds, Pick(dropOne), Pick(full)));
  const Timing lastOne = MedianTiming(rounds, last);
  row("kestrun uninstall (last reference)", lastOne, "of the full install",
      MedianRatio(rounds, Pick(last), Pick(full)));
  std::printf(
      "  full install / baseline (ratio of medians %.2fx, median of paired ratios "
      "%.2fx): goal <= 1.2x %s\n",
      install.wallMs / base.wallMs, fullRatio, fullRatio <= 1.2 ? "met" : "NOT met");

  if (strace) {
    StraceOnce(sandbox, "kestrun install (full)", {kTool, "install", "/payload"});
    Run(sandbox, {kTool, "uninstall"});
    StraceOnce(sandbox, "cp -a", {"/usr/bin/cp", "-a", "/payload", "/copy"});
    StraceOnce(sandbox, "chown -R 0:0", {"/usr/bin/chown", "-R", "0:0", "/copy"});
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 9;
  bool strace = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--strace") == 0) {
      strace = true;
    } else {
      std::fprintf(stderr, "usage: kestrun_install_bench [--reps N] [--strace]\n");
      return 2;
    }
  }

  Sandbox sandbox;
  if (!sandbox.ready()) {
    std::fprintf(stderr, "kestrun_install_bench: no sandbox: %s\n", sandbox.whyNotReady().c_str());
    return 1;
  }
  try {
    return Measure(sandbox, reps, strace);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestrun_install_bench: %s\n", error.what());
    return 1;
  }
}
