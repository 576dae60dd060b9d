// The service pass in process: the link maker with the module files, and the
// ws agent, timed apart (the agent's pass is mostly its launchctl children),
// in the steady state with 2 users, and as the number of visible accounts
// grows with the clients present or missing. Prints Google Benchmark's
// table (medians of repeated runs), then a summary with the ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/pass_root.h"
#include "libutils-macOS/users.h"

namespace {

using vq::bench::PassRoot;

// One root at a time: each sets the process-wide root prefix. Repetitions of
// one benchmark run back to back and share it. Released before main returns,
// while the prefix it restores still exists.
std::unique_ptr<PassRoot> g_root;
std::pair<int, bool> g_rootKey;

PassRoot& RootFor(int users, bool clientsPresent) {
  if (!g_root || g_rootKey != std::make_pair(users, clientsPresent)) {
    g_root.reset();
    g_root = std::make_unique<PassRoot>(users, clientsPresent);
    g_rootKey = {users, clientsPresent};
  }
  return *g_root;
}

PassRoot* Prepare(benchmark::State& state, int users, bool clientsPresent) {
  try {
    return &RootFor(users, clientsPresent);
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return nullptr;
  }
}

void BM_LinkPass(benchmark::State& state) {
  const bool present = state.range(1) != 0;
  PassRoot* root = Prepare(state, static_cast<int>(state.range(0)), present);
  if (root == nullptr) return;
  for (auto _ : state) root->mods().runOnceVerbose(false);
  state.counters["failing"] = root->failingLinks();
}
BENCHMARK(BM_LinkPass)
    ->ArgNames({"users", "clients"})
    ->Args({2, 1})
    ->Args({1, 1})
    ->Args({10, 1})
    ->Args({100, 1})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({100, 0})
    ->Unit(benchmark::kMicrosecond);

// The user enumeration alone: the agent's own work besides its children.
void BM_EnumerateUsers(benchmark::State& state) {
  PassRoot* root = Prepare(state, static_cast<int>(state.range(0)), true);
  if (root == nullptr) return;
  vq::bench::DiscardingLogger logger;
  for (auto _ : state) {
    int seen = 0;
    (void)vq_enum_GUI_users(logger,
                            [&](uint32_t, const std::string&, const std::string&) { ++seen; });
    benchmark::DoNotOptimize(seen);
  }
}
BENCHMARK(BM_EnumerateUsers)
    ->ArgName("users")
    ->Arg(2)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMicrosecond);

// Iterations are set by wall time: the CPU time of this process leaves out
// the launchctl children, which are most of the pass.
void BM_AgentPass(benchmark::State& state) {
  PassRoot* root = Prepare(state, static_cast<int>(state.range(0)), true);
  if (root == nullptr) return;
  for (auto _ : state) root->agent().runOnceVerbose(false);
}
BENCHMARK(BM_AgentPass)
    ->ArgName("users")
    ->Arg(2)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_FullPass(benchmark::State& state) {
  PassRoot* root = Prepare(state, static_cast<int>(state.range(0)), true);
  if (root == nullptr) return;
  for (auto _ : state) {
    root->mods().runOnceVerbose(false);
    root->agent().runOnceVerbose(false);
  }
}
BENCHMARK(BM_FullPass)->ArgName("users")->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

struct Median {
  double wallUs = 0;
  double cpuUs = 0;
};

// Google Benchmark's own table, plus the medians kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) failed_ = true;
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      medians_[run.run_name.function_name + "/" + run.run_name.args] = {run.GetAdjustedRealTime(),
                                                                        run.GetAdjustedCPUTime()};
    }
  }

  bool failed() const { return failed_; }
  // Nothing when the benchmark did not run (filtered out).
  const Median* find(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Median> medians_;
  bool failed_ = false;
};

void PrintSummary(const SummaryReporter& report) {
  std::printf("\n== Summary (medians; times per pass in microseconds)\n");
  const Median* links = report.find("BM_LinkPass/users:2/clients:1");
  const Median* users = report.find("BM_EnumerateUsers/users:2");
  const Median* agent = report.find("BM_AgentPass/users:2");
  const Median* full = report.find("BM_FullPass/users:2");
  if (links && users && agent && full) {
    std::printf("Steady state, 2 users, all twelve links current:\n");
    std::printf("  %-46s wall %10.1f   CPU %9.1f\n", "links + module files", links->wallUs,
                links->cpuUs);
    std::printf("  %-46s wall %10.1f   CPU %9.1f\n", "user enumeration (the ws agent's own work)",
                users->wallUs, users->cpuUs);
    const double own = links->wallUs + users->wallUs;
    std::printf("  work other than the launchctl children: %.1f us wall (goal < 1000 us: %s)\n",
                own, own < 1000 ? "met" : "NOT met");
    std::printf("  %-46s wall %10.1f   CPU %9.1f\n", "ws agent, with its 4 launchctl runs",
                agent->wallUs, agent->cpuUs);
    std::printf(
        "    each launchctl run: %.1f us wall, %.1f us CPU in this process (fork, exec, "
        "wait)\n",
        (agent->wallUs - users->wallUs) / 4, (agent->cpuUs - users->cpuUs) / 4);
    std::printf("  %-46s wall %10.1f   CPU %9.1f\n", "whole pass", full->wallUs, full->cpuUs);
  }

  std::printf("\nLinks + module files by visible accounts (wall; ratio to 1 user):\n");
  std::printf("  %6s %12s %8s %12s %8s %16s\n", "users", "present", "ratio", "missing", "ratio",
              "missing/present");
  const Median* present1 = report.find("BM_LinkPass/users:1/clients:1");
  const Median* missing1 = report.find("BM_LinkPass/users:1/clients:0");
  for (int count : {1, 10, 100}) {
    const std::string suffix = std::to_string(count);
    const Median* present = report.find("BM_LinkPass/users:" + suffix + "/clients:1");
    const Median* missing = report.find("BM_LinkPass/users:" + suffix + "/clients:0");
    if (!present || !missing || !present1 || !missing1) continue;
    std::printf("  %6d %12.1f %7.2fx %12.1f %7.2fx %15.2fx\n", count, present->wallUs,
                present->wallUs / present1->wallUs, missing->wallUs,
                missing->wallUs / missing1->wallUs, missing->wallUs / present->wallUs);
  }

  std::printf("\nUser enumeration and ws agent by visible accounts (wall; ratio to 1 user):\n");
  std::printf("  %6s %12s %8s %14s %8s %14s\n", "users", "enumeration", "ratio", "ws agent",
              "ratio", "agent per user");
  const Median* users1 = report.find("BM_EnumerateUsers/users:1");
  const Median* agent1 = report.find("BM_AgentPass/users:1");
  for (int count : {1, 10, 100}) {
    const std::string suffix = std::to_string(count);
    const Median* enumeration = report.find("BM_EnumerateUsers/users:" + suffix);
    const Median* row = report.find("BM_AgentPass/users:" + suffix);
    if (!enumeration || !row || !users1 || !agent1) continue;
    std::printf("  %6d %12.1f %7.2fx %14.1f %7.2fx %14.1f\n", count, enumeration->wallUs,
                enumeration->wallUs / users1->wallUs, row->wallUs, row->wallUs / agent1->wallUs,
                row->wallUs / count);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Medians of repeated runs unless the command line says otherwise (later
  // flags win).
  std::vector<char*> args = {argv[0]};
  char repetitions[] = "--benchmark_repetitions=5";
  char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
  args.push_back(repetitions);
  args.push_back(aggregatesOnly);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  g_root.reset();
  PrintSummary(reporter);
  return reporter.failed() ? 1 : 0;
}
