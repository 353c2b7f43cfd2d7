#!/bin/sh
# Every check beyond the tests, run by CI after tools/test.sh: the layout of the C++ files
# under src/ and tests/ (clang-format 19 against .clang-format), the linters (clang-tidy 19
# with .clang-tidy, then cppcheck) on the product code and the test support code of both
# processor builds, and the coverage run with its floors on lines and branches
# (tools/coverage.sh).
# Installs what is missing and builds first. Exits non-zero when any check fails; each
# check runs whatever the ones before it found.
set -eu
cd "$(dirname "$0")/.."
TOOLS_NEEDS="build run test check"
. tools/setup.sh

status=0

echo "== layout (clang-format 19, .clang-format)"
if ! clang-format-19 --dry-run -Werror $(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h'); then
  echo "FAILED: the files above are not laid out as .clang-format says (clang-format-19 -i FILE mends them)"
  status=1
fi

# clang-tidy reads each build's compile commands, which name the mingw-w64 g++ and its
# flags. Clang takes the target's C headers from the mingw-w64 sysroot; the C++ library
# headers are those the g++ of the build searches.
tidy() { # arch triple
  build=build/mingw-$1
  files=$(linted "$1")
  gxx=$2-g++-posix
  set -- --extra-arg=--target="$2" --extra-arg=--sysroot=/usr/"$2"
  for dir in $(echo | "$gxx" -std=c++20 -E -x c++ - -v 2>&1 |
               sed -n '/<\.\.\.> search starts here/,/End of search/p' | grep '/include/c++'); do
    set -- "$@" --extra-arg=-isystem"$dir"
  done
  # Two at a time; a finding prints as an error and fails the file.
  echo "$files" | xargs -P 2 -n 1 clang-tidy-19 --quiet -p "$build" "$@" 2>/dev/null
}
# The product code and the test support code that a build compiles (the test suites
# themselves are left out).
linted() { # arch
  all=$(git ls-files 'src/*.cpp' 'tests/support/*.cpp' 'tests/doubles/*.cpp' \
                       tests/bracken/bracken_test_support.cpp tests/bracken/scripted_service.cpp)
  if [ "$1" = x64 ]; then echo "$all" | grep -v -e '^src/bracken/' -e '^tests/bracken/'; else echo "$all"; fi
}
# cppcheck on the same files, from the build's compile commands cut down to them.
# useStlAlgorithm is left out: a short loop reads plainer than an algorithm with a lambda.
# normalCheckLevelMaxBranches: cppcheck 2.11 and later say where they analysed fewer
# branches of a long function than --check-level=exhaustive would (an option 2.10 lacks).
cppcheck_build() { # arch
  platform=win32W
  [ "$1" = x64 ] && platform=win64
  mkdir -p "build/mingw-$1/cppcheck"
  linted "$1" | python3 -c '
import json, os, sys
keep = {os.path.abspath(line.strip()) for line in sys.stdin if line.strip()}
commands = json.load(open(sys.argv[1]))
json.dump([c for c in commands if os.path.abspath(c["file"]) in keep], open(sys.argv[2], "w"))
' "build/mingw-$1/compile_commands.json" "build/mingw-$1/cppcheck/compile_commands.json"
  cppcheck --project="build/mingw-$1/cppcheck/compile_commands.json" --platform="$platform" --std=c++20 \
    --enable=warning,performance,portability,style --inline-suppr --suppress=missingIncludeSystem \
    --suppress=useStlAlgorithm --suppress=normalCheckLevelMaxBranches --quiet --error-exitcode=1 --template='{file}:{line}: {severity}: {message} [{id}]'
}
for arch in x86 x64; do
  triple=i686-w64-mingw32
  [ "$arch" = x64 ] && triple=x86_64-w64-mingw32
  echo "== linter (clang-tidy 19, .clang-tidy), mingw-$arch"
  if ! tidy "$arch" "$triple"; then
    echo "FAILED: clang-tidy reports the findings above in mingw-$arch"
    status=1
  fi
  echo "== linter (cppcheck), mingw-$arch"
  if ! cppcheck_build "$arch"; then
    echo "FAILED: cppcheck reports the findings above in mingw-$arch"
    status=1
  fi
done

echo "== coverage"
sh tools/coverage.sh || status=1
exit $status
