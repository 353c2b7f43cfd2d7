#!/bin/sh
# Installs what the caller's TOOLS_NEEDS names (default: the build and the tests) on Debian
# (as root, tools/install.sh) and builds both processor builds. Leaves dist/x86 and
# dist/x64. Sourced by demo.sh, test.sh, check.sh and coverage.sh.
set -eu
cd "$(dirname "$0")/.."

. tools/install.sh

for preset in mingw-x86 mingw-x64; do
  echo "== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
