#!/bin/sh
# Installs what is missing, builds both processor builds and runs the whole test suite
# under Wine, each build in its own fresh Wine prefix; then checks that two builds of the
# current commit give the same executables. Exits non-zero when either fails.
set -eu
cd "$(dirname "$0")/.."
TOOLS_NEEDS="build run test"
. tools/setup.sh

status=0
for preset in mingw-x86 mingw-x64; do
  echo "== testing $preset"
  prefix="build/$preset/wineprefix"
  rm -rf "$prefix" "$prefix.lock"
  ctest --preset "$preset" || status=1
  # CTest shows no output of a test that passed or that it counts as skipped: the fault
  # injection's summaries and the reasons of skipped tests, repeated here.
  grep -h -e '^fault injection:' -e '^NOT RUN:' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true
  WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true
done
echo "== checking that the release executables are reproducible"
sh tools/check-reproducible.sh || status=1
exit $status
