#!/bin/sh
# Installs what the build, the tests and the release need on Debian (as root), when it is
# missing. Sourced by setup.sh and release.sh, from the repository's top folder.
need=""
command -v i686-w64-mingw32-g++-posix >/dev/null || need="$need g++-mingw-w64-i686-posix"
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need="$need g++-mingw-w64-x86-64-posix"
command -v i686-w64-mingw32-windres >/dev/null || need="$need binutils-mingw-w64-i686"
command -v x86_64-w64-mingw32-windres >/dev/null || need="$need binutils-mingw-w64-x86-64"
command -v cmake >/dev/null || need="$need cmake"
command -v ninja >/dev/null || need="$need ninja-build"
command -v flock >/dev/null || need="$need util-linux"
command -v gcovr >/dev/null || need="$need gcovr"
command -v script >/dev/null || need="$need bsdutils"
# The release: signing, its test certificates, the archives.
command -v osslsigncode >/dev/null || need="$need osslsigncode"
command -v openssl >/dev/null || need="$need openssl"
command -v zip >/dev/null || need="$need zip"
command -v unzip >/dev/null || need="$need unzip"
# The release test: the notices of a test link with zlib; the bill of materials' validator.
[ -f /usr/i686-w64-mingw32/lib/libz.a ] || need="$need libz-mingw-w64-dev"
command -v npm >/dev/null || need="$need npm"
# The installer recipe's test (examples/nsis/): makensis builds Windows installers on Linux.
command -v makensis >/dev/null || need="$need nsis"
# The checks (tools/check.sh): the layout, the linters.
command -v clang-format-14 >/dev/null || need="$need clang-format-14"
command -v clang-tidy-14 >/dev/null || need="$need clang-tidy-14"
command -v cppcheck >/dev/null || need="$need cppcheck"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
[ -x /usr/lib/wine/wine64 ] || need="$need wine wine64"
[ -x /usr/lib/wine/wine ] || need="$need wine32:i386"
locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$' || need="$need locales"

if [ -n "$need" ]; then
  echo "== installing:$need"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
fi
# A Chinese locale gives Wine programs the code page 936 when a test asks for it.
locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$' || localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
sh tools/bom-validator.sh
# Wine's i386 half is a 32-bit Linux program: a host that cannot start one gets an
# emulator for it (TOOLS_EMULATE_I386=1: on any host), or the set-up stops here.
sh tools/i386-emulation.sh
# Inno Setup's compiler, for the Inno Setup recipe's test, from the npm registry.
sh tools/innosetup.sh
