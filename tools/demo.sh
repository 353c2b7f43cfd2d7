#!/bin/sh
# Installs what is missing, builds, and runs the tools' main job in a throwaway Wine
# prefix, so that their real output can be seen.
set -eu
cd "$(dirname "$0")/.."
# The build and Wine; nothing that only the tests or the checks need.
TOOLS_NEEDS="build run"
. tools/setup.sh
. tools/wine-loader.sh

prefix=$(mktemp -d -t tools-demo.XXXXXX)
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
unset DISPLAY
trap 'wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
echo "== making a throwaway Wine prefix in $prefix"
wine_boot >/dev/null 2>&1

# Each tool's part of the demonstration.
for part in tools/demo-tallow.sh tools/demo-packages.sh tools/demo-bracken.sh; do
  if [ -f "$part" ]; then . "./$part"; fi
done
