#!/bin/sh
# Installs what is missing, builds the coverage configuration of both processor builds
# (the product code instrumented, at -O0, in build/coverage-*; dist/ is never touched),
# runs the whole test suite under Wine and prints gcovr's line and branch coverage per
# product file. Exits non-zero when a test fails or when less than 99% of the product
# lines of either build ran.
set -eu
cd "$(dirname "$0")/.."
. tools/setup.sh

floor=99
status=0
for arch in x86 x64; do
  preset=coverage-$arch
  triple=i686-w64-mingw32
  [ "$arch" = x64 ] && triple=x86_64-w64-mingw32
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
done
exit $status
