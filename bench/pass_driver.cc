// Runs service passes in one process for the measurements that need a whole
// process: system calls per pass (run it under strace -c with two pass counts
// and take the difference, which cancels the set-up) and resident memory
// after a number of passes.
//
//   kestrun_pass_driver [--passes N] [--users U] [--worker links|agent|both]
//                       [--clients present|missing] [--rss-at N,N,...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "bench/pass_root.h"

namespace {

// VmRSS and VmHWM of this process, in KiB.
std::string MemoryLine() {
  std::ifstream status("/proc/self/status");
  std::string line, rss = "?", hwm = "?";
  while (std::getline(status, line)) {
    std::istringstream words(line);
    std::string key, value;
    words >> key >> value;
    if (key == "VmRSS:") rss = value;
    if (key == "VmHWM:") hwm = value;
  }
  return "rss_kib " + rss + " peak_kib " + hwm;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kestrun_pass_driver [--passes N] [--users U] "
               "[--worker links|agent|both] [--clients present|missing] [--rss-at N,N,...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long passes = 1;
  int users = 2;
  std::string worker = "both";
  bool clientsPresent = true;
  std::set<long> rssAt;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--passes") {
      passes = std::atol(value);
    } else if (flag == "--users") {
      users = std::atoi(value);
    } else if (flag == "--worker") {
      worker = value;
    } else if (flag == "--clients") {
      clientsPresent = std::strcmp(value, "missing") != 0;
    } else if (flag == "--rss-at") {
      std::istringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) rssAt.insert(std::atol(item.c_str()));
    } else {
      return Usage();
    }
  }
  if (argc % 2 == 0 || passes < 0 || users < 0 ||
      (worker != "links" && worker != "agent" && worker != "both")) {
    return Usage();
  }

  try {
    vq::bench::PassRoot root(users, clientsPresent);
    std::printf("after set-up: %s\n", MemoryLine().c_str());
    for (long pass = 1; pass <= passes; ++pass) {
      if (worker != "agent") root.mods().runOnceVerbose(false);
      if (worker != "links") root.agent().runOnceVerbose(false);
      if (rssAt.count(pass) != 0) {
        std::printf("after %ld passes: %s\n", pass, MemoryLine().c_str());
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestrun_pass_driver: %s\n", error.what());
    return 1;
  }
  return 0;
}
