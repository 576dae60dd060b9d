#!/usr/bin/env bash
# The main job: installs the sample payload, runs one create pass and
# uninstalls it again, all inside a throwaway sandbox root, and shows the
# files, the launchctl calls and the log after each step. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/tests/kestrun_demo
