// `kestrun status`: the state of the service on this Mac for people and for
// management tools, as a property list (or JSON), changing nothing: no file
// is written, the lock is not waited for, and launchctl is only asked
// ("print"). The exit status says healthy, not installed, or needs attention.
#pragma once

#include "kestrun/InstallPaths.h"
#include "platform/report_value.h"

// Exit statuses of `kestrun status`; a command-line error still ends with 1.
inline constexpr int kStatusHealthy = 0;
inline constexpr int kStatusNotInstalled = 3;
inline constexpr int kStatusNeedsAttention = 4;

// The whole report, and the exit status it stands for in *exitStatus.
vq::ReportValue CollectStatus(const VQInstallPaths& paths, int* exitStatus);

// Prints the report on standard output and answers its exit status.
int kestrun_status(bool json, const VQInstallPaths& paths);
