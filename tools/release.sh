#!/bin/sh
# Builds the three executables (the release-x86 and release-x64 workflow presets), signs
# them when a certificate is given, and writes into the release folder (default release/):
#   mobile-device-tools-<version>.zip          x86/Tallow.exe, x64/Tallow.exe, x86/Bracken.exe,
#                                               README.txt, THIRD-PARTY-NOTICES.txt (and the
#                                               license file, if any)
#   mobile-device-tools-<version>-symbols.zip  the three .debug files the executables link to
#   mobile-device-tools-<version>.cdx.json     the bill of materials (CycloneDX 1.5)
#   SHA256SUMS                                  both archives, the bill of materials and the
#                                               executables inside
# The notices and the bill of materials come from the link maps of the three executables and
# the Debian packages installed (tools/third-party.sh). Unsigned, two runs on one commit
# write the same bytes: every file in an archive has the commit's time (or
# SOURCE_DATE_EPOCH), fixed permissions and no extra attributes, in a fixed order.
#
#   sh tools/release.sh [folder]
#
# Signing (Authenticode, SHA-256, osslsigncode), all from the environment:
#   RELEASE_PKCS12           the PKCS#12 file holding the certificate and its key
#   RELEASE_PKCS12_PASSWORD  its password (never written into the tree, never printed)
#   RELEASE_TIMESTAMP_URL    an RFC 3161 time-stamp server; no time stamp without it
set -eu
# A folder given is taken from where the script was started; release/ lies in the tree.
case ${1:-} in
  '') out=release ;;
  /*) out=$1 ;;
  *) out=$PWD/$1 ;;
esac
cd "$(dirname "$0")/.."
TOOLS_NEEDS="build release"
. tools/install.sh

# A private folder (mode 700) for everything on the way, the password file included.
work=$(mktemp -d -t tools-release.XXXXXX)
trap 'rm -rf "$work"' EXIT

for arch in x86 x64; do
  echo "== building release-$arch"
  if ! cmake --workflow --preset "release-$arch" >"$work/build.log" 2>&1; then
    cat "$work/build.log"
    echo "the build of release-$arch failed"
    exit 1
  fi
done

# The version and the names the build took from the project.
info() { sed -n "s/^$1=//p" build/release-x86/release_info; }
version=$(info version)
product=$(info product)
url=$(info url)
[ -n "$version" ] && [ -n "$product" ] || { echo "build/release-x86/release_info names no version or product"; exit 1; }
name=mobile-device-tools-$version

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  epoch=$SOURCE_DATE_EPOCH
else
  epoch=$(git log -1 --format=%ct 2>/dev/null) || { echo "no commit to take the files' time from: set SOURCE_DATE_EPOCH"; exit 1; }
fi
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  echo "note: the tree has uncommitted changes; the release is built from them"
fi

stage=$work/$name
symbols=$work/$name-symbols
set --
mkdir -p "$stage/x86" "$stage/x64" "$symbols/x86" "$symbols/x64"
for exe in x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe; do
  arch=${exe%%/*}
  cp "build/release-$arch/bin/${exe#*/}" "$stage/$exe"
  cp "build/release-$arch/symbols/${exe#*/}.debug" "$symbols/$exe.debug"
  set -- "$@" "$exe=build/release-$arch/linked/$(basename "$exe" .exe).map"
done
# The third-party code that the linker took into each executable.
sh tools/third-party.sh scan "$@" >"$work/third-party" || { echo "the third-party notices cannot be made"; exit 1; }

if [ -n "${RELEASE_PKCS12:-}" ]; then
  [ -f "$RELEASE_PKCS12" ] || { echo "RELEASE_PKCS12 names no file"; exit 1; }
  # The password reaches osslsigncode in a file of the private folder, not on its
  # command line, where any process listing would show it. (osslsigncode cannot read an
  # empty password from a file: an empty one is given as such.)
  if [ -n "${RELEASE_PKCS12_PASSWORD:-}" ]; then
    ( umask 077; printf '%s' "$RELEASE_PKCS12_PASSWORD" >"$work/password" )
    set -- -readpass "$work/password"
  else
    set -- -pass ""
  fi
  set -- -pkcs12 "$RELEASE_PKCS12" "$@" -h sha256 -n "$product"
  [ -z "$url" ] || set -- "$@" -i "$url"
  [ -z "${RELEASE_TIMESTAMP_URL:-}" ] || set -- "$@" -ts "$RELEASE_TIMESTAMP_URL"
  for exe in x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe; do
    # Signing appends the certificate table to the image and fills in the security
    # directory and the checksum; the sections, the debug link among them, stay as built.
    if ! osslsigncode sign "$@" -in "$stage/$exe" -out "$stage/$exe.signed" >"$work/sign.log" 2>&1; then
      cat "$work/sign.log"
      echo "signing $exe failed"
      exit 1
    fi
    mv "$stage/$exe.signed" "$stage/$exe"
  done
  rm -f "$work/password"
  stamp="no time stamp"
  [ -z "${RELEASE_TIMESTAMP_URL:-}" ] || stamp="time-stamped"
  echo "signed the three executables with $RELEASE_PKCS12 ($stamp)"
else
  echo "unsigned release: RELEASE_PKCS12 names no certificate"
fi

# README.txt: the tools' usage, exit codes and debug log switch, from the README's
# sections of those names, with Windows line ends.
{
  printf '%s %s\n\n' "$product" "$version"
  awk '
    /^## / { keep = ($0 == "## Tallow, the driver tool" || $0 == "## Bracken, the service tool" ||
                     $0 == "## Debug log"); if (keep) found++ }
    keep { print }
    END { if (found != 3) { print "README.md lacks one of the sections for README.txt" > "/dev/stderr"; exit 1 } }
  ' README.md
} | sed 's/$/\r/' >"$stage/README.txt"
sh tools/third-party.sh notices "$work/third-party" "$product" "$version" >"$work/notices"
sed 's/$/\r/' "$work/notices" >"$stage/THIRD-PARTY-NOTICES.txt"
files="x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe README.txt THIRD-PARTY-NOTICES.txt"
for license in LICENSE LICENSE.txt LICENSE.md COPYING; do
  if [ -f "$license" ]; then cp "$license" "$stage/"; files="$files $license"; fi
done

# Fixed times (in UTC: zip stores local times), permissions and order; -X leaves out the
# extra attributes (owner, Unix times), -D the folder entries.
pack() { # folder archive files...
  dir=$1 archive=$2
  shift 2
  (cd "$dir" && chmod 0644 "$@" && TZ=UTC0 touch -d "@$epoch" "$@" && TZ=UTC0 zip -X -D -q -9 "$archive" "$@")
}
mkdir "$work/out"
pack "$stage" "$work/out/$name.zip" $files
pack "$symbols" "$work/out/$name-symbols.zip" x86/Tallow.exe.debug x64/Tallow.exe.debug x86/Bracken.exe.debug
# The bill of materials names the executables as shipped (signed, when they are).
sh tools/third-party.sh bom "$work/third-party" "$product" "$version" "$epoch" "$stage" >"$work/out/$name.cdx.json"
(cd "$work/out" && sha256sum "$name.zip" "$name-symbols.zip" "$name.cdx.json") >"$work/out/SHA256SUMS"
(cd "$stage" && sha256sum x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe) >>"$work/out/SHA256SUMS"

mkdir -p "$out"
for file in "$name.zip" "$name-symbols.zip" "$name.cdx.json" SHA256SUMS; do
  cp "$work/out/$file" "$out/$file.part"
  mv "$out/$file.part" "$out/$file"
  echo "$out/$file"
done
