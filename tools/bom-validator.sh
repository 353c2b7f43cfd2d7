#!/bin/sh
# Installs what the release test validates the bill of materials with: the npm packages
# that tools/bom-validator/package-lock.json pins, each with its integrity hash, into
# build/bom-validator/node_modules (npm ci, outside the source tree). Run by install.sh
# from the repository's top folder; does nothing while the installed set matches the lock.
# Without the registry it says so and ends without the validator: only the release test
# needs it, and fails without it.
set -eu
lock=tools/bom-validator/package-lock.json
target=build/bom-validator
if [ -d "$target/node_modules" ] && cmp -s "$lock" "$target/package-lock.json"; then
  exit 0
fi
command -v npm >/dev/null || { echo "npm is missing: install Debian's npm"; exit 1; }
echo "== installing the bill of materials' validator into $target"
rm -rf "$target"
mkdir -p "$target"
cp tools/bom-validator/package.json "$lock" "$target/"
# No install scripts and no optional packages: the library's XML half (a native module)
# is not needed to validate JSON.
if ! (cd "$target" && npm ci --omit=optional --ignore-scripts --no-audit --no-fund \
        --fetch-retries=1 >npm.log 2>&1); then
  tail -n 5 "$target/npm.log"
  packages=$(sed -n '/"dependencies"/,/}/s/^ *"\([^"]*\)": "\([^"]*\)".*/\1@\2/p' tools/bom-validator/package.json | tr '\n' ' ')
  echo "could not install from the npm registry: $packages(npm ci in $target failed; its log:" \
    "$target/npm.log); the release test fails without them" >&2
  # A later run tries again.
  rm -rf "$target/node_modules" "$target/package-lock.json"
  exit 0
fi
