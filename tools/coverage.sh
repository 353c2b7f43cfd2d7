#!/bin/sh
# Installs what is missing, builds the coverage configuration of both processor builds
# (the product code instrumented, at -O0, in build/coverage-*; dist/ is never touched),
# runs the whole test suite under Wine and prints gcovr's line and branch coverage per
# product file. Exits non-zero when a test fails, when less than 99% of the product lines
# of either build ran, or when fewer of its branches were taken than the build's floor.
# The branches that no test takes are listed, with the reason, in docs/branches.md.
set -eu
cd "$(dirname "$0")/.."
TOOLS_NEEDS="build run test check"
. tools/setup.sh

floor=99
status=0
for arch in x86 x64; do
  preset=coverage-$arch
  triple=i686-w64-mingw32
  # The share of branches taken, in percent, that each build keeps: the figures reached.
  branchFloor=98.4
  [ "$arch" = x64 ] && triple=x86_64-w64-mingw32 && branchFloor=97.2
  echo "== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  # Counts from an earlier run would add up with this one's.
  find "build/$preset" -name '*.gcda' -delete
  prefix="build/$preset/wineprefix"
  rm -rf "$prefix" "$prefix.lock"
  echo "== testing $preset"
  ctest --preset "$preset" || status=1
  WINEPREFIX="$PWD/$prefix" wineserver -k 2>/dev/null || true

  report="build/$preset/coverage.json"
  # The Wine prefix is left out of the search: its drive links lead to the whole file
  # system, where a process that ends meanwhile breaks the walk.
  gcovr --root . --object-directory "build/$preset" --filter 'src/' \
    --gcov-executable "$triple-gcov" --exclude-throw-branches --exclude-unreachable-branches \
    --exclude-directories "build/$preset/wineprefix" --json "$report" "build/$preset" >/dev/null
  echo "== product lines run, $preset"
  gcovr --add-tracefile "$report" --root . --txt - || status=1
  echo "== product branches taken, $preset"
  gcovr --add-tracefile "$report" --root . --branches --txt -
  if ! gcovr --add-tracefile "$report" --root . --fail-under-line "$floor" >/dev/null; then
    echo "FAILED: fewer than $floor% of the product lines of $preset ran"
    status=1
  fi
  if ! gcovr --add-tracefile "$report" --root . --fail-under-branch "$branchFloor" >/dev/null; then
    echo "FAILED: fewer than $branchFloor% of the product branches of $preset were taken"
    status=1
  fi
done
exit $status
