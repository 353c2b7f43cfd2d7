#!/bin/sh
# Fetches Inno Setup's compiler, which builds the Inno Setup recipe (examples/inno/) in the
# installer test, into build/innosetup (bin/ISCC.exe, run under Wine), when that folder
# does not hold the pinned version yet. It comes from the npm registry's package
# "innosetup" (fetched with npm pack, which runs no script of the package), checked against
# the integrity pinned here. Run by tools/install.sh, after it has installed npm, from the
# repository's top folder. Without the registry it says so and ends without the compiler:
# only the installer test needs it, and fails without it.
set -eu
package=innosetup@6.4.1
integrity=sha512-Bh/dNlyyFsFKBGoTf19n1msPnm4Njfb0CWVirw2CV1MSJXYy0ajRI+xjo/Yr9DtZFLLafhnwm1ZsxTu309F8lQ==
folder=build/innosetup

[ "$(cat "$folder/.package" 2>/dev/null)" = "$package $integrity" ] && exit 0
if ! command -v npm >/dev/null; then
  echo "innosetup.sh: npm is missing (install.sh installs Debian's npm); the test of the" \
    "Inno Setup recipe fails without the compiler" >&2
  exit 0
fi

echo "== fetching Inno Setup's compiler: the npm package $package"
work=$(mktemp -d -t tools-innosetup.XXXXXX)
trap 'rm -rf "$work"' EXIT
if ! npm pack "$package" --ignore-scripts --pack-destination "$work" >"$work/npm.log" 2>&1; then
  cat "$work/npm.log" >&2
  echo "innosetup.sh: the npm package $package (Inno Setup's compiler) could not be fetched from" \
    "the npm registry; the test of the Inno Setup recipe fails without it" >&2
  exit 0
fi
archive=$(ls "$work"/*.tgz)
got="sha512-$(openssl dgst -sha512 -binary "$archive" | base64 -w0)"
if [ "$got" != "$integrity" ]; then
  echo "innosetup.sh: the npm package $package is not the one pinned: its integrity is $got, not $integrity" >&2
  exit 1
fi
rm -rf "$folder"
mkdir -p "$folder"
tar -xzf "$archive" -C "$folder" --strip-components=1 --no-same-owner
echo "$package $integrity" >"$folder/.package"
