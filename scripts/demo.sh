#!/usr/bin/env bash
# The main job: two products install, update and uninstall the service in a
# throwaway sandbox, and the service makes one pass; after each step it shows
# the files, the database, the launchctl calls and the log. Run as root.
# Builds only what the demo runs: the tool, its older build and the payloads.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-demo -j "$(nproc)" --target kestrun_demo
exec build-demo/demo/kestrun_demo
