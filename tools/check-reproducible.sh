#!/bin/sh
# Builds the delivered executables of the current commit twice, from two clean copies in
# folders of different names and lengths, and compares them byte for byte. Exits non-zero
# and names the file when the two builds differ. Run by test.sh after the test suite.
set -eu
cd "$(dirname "$0")/.."

commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "note: uncommitted changes are not part of this check; it builds $commit"
fi
work=$(mktemp -d -t tools-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
trees="a second-clone"

for tree in $trees; do
  mkdir "$work/$tree"
  git archive "$commit" | tar -x -C "$work/$tree"
  for preset in mingw-x86 mingw-x64; do
    targets=Tallow_deliverable
    [ "$preset" = mingw-x86 ] && targets="Tallow_deliverable Bracken_deliverable"
    echo "== building $preset in $work/$tree"
    # Only the deliverables; their dist/ lies inside the copy.
    if ! (cd "$work/$tree" && cmake --preset "$preset" -DTOOLS_BUILD_TESTS=OFF &&
          cmake --build --preset "$preset" --target $targets) >"$work/$tree-$preset.log" 2>&1; then
      cat "$work/$tree-$preset.log"
      echo "build of $preset in $work/$tree failed"
      exit 1
    fi
  done
done

status=0
set -- $trees
for exe in x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe; do
  if cmp "$work/$1/dist/$exe" "$work/$2/dist/$exe"; then
    echo "same bytes: dist/$exe"
  else
    echo "NOT REPRODUCIBLE: dist/$exe differs between two builds of $commit"
    status=1
  fi
done
exit $status
