// The names, labels, keys and numbers compiled into the tool. Paths here are
// the absolute paths of a Mac; VQInstallPaths puts them under the root the
// run works on (the real "/" for the tool, a temporary folder for a test).
#pragma once

#include <cstddef>
#include <cstdint>

// Locations and file names of the installation.
inline constexpr char vqDefaultApplicationSupportRoot[] =
    "/Library/Application Support/com.quendalore";
inline constexpr char vqDefaultLaunchPlistFile[] = "com.quendalore.ks2.plist";
inline constexpr char vqOldLaunchFullPath[] = "/Library/LaunchDaemons/com.quendalore.kestrun.plist";
inline constexpr char vqDefaultWSLaunchPlistFile[] = "com.quendalore.ks2.ws.plist";
inline constexpr char vqLaunchDaemonsDir[] = "/Library/LaunchDaemons";
inline constexpr char vqLaunchAgentsDir[] = "/Library/LaunchAgents";
// A user's Citrix module file, below the home folder.
inline constexpr char vqCitrixModulesFile[] =
    "/Library/Application Support/Citrix Receiver/Modules";

// launchd labels.
inline constexpr char vqDaemonLabel[] = "com.quendalore.ks2";
inline constexpr char vqDefaultWSService[] = "com.quendalore.ks2.ws";

// Keys of the installation database, and the only layout this tool reads and writes.
inline constexpr char vqDBFormatVersion[] = "FormatVersion";
inline constexpr char vqDBVersion[] = "Version";
inline constexpr char vqDBReferenceCounter[] = "ReferenceCounter";
inline constexpr uint32_t vqDBFormat = 1;

// The journal (ks2.pending) of a run under way holds one entry: roll an
// update back to the backup named after "restore ", take an unfinished
// first install away ("fresh"), or finish or undo the last reference's
// removal ("remove"). Nothing longer is a journal this tool wrote.
inline constexpr char vqJournalRestore[] = "restore ";
inline constexpr char vqJournalFresh[] = "fresh";
inline constexpr char vqJournalRemove[] = "remove";
inline constexpr size_t vqJournalMaxSize = 256;

// The version of the service this tool installs (8 in every release build).
extern const uint32_t vqOwnVersion;
// "@(#)kestrun own version 8": the version as the binary carries it, found
// by reading an installed copy rather than running it.
extern const char vqOwnVersionMarker[];
inline constexpr char vqOwnVersionMarkerPrefix[] = "@(#)kestrun own version ";
// Seconds the service loop rests after each pass.
extern const unsigned vqServicePassPause;
// Passes after which the service loop ends; 0 (every release build): never.
extern const unsigned long vqServicePassLimit;

// Exit statuses of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
