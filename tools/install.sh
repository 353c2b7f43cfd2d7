#!/bin/sh
# Installs, on Debian 12 or 13 (as root), what one use of the tree needs, when it is
# missing. Sourced from the repository's top folder after setting TOOLS_NEEDS to the uses
# that follow, any of:
#   build    the cross toolchains, CMake and GoogleTest (both builds, tests included)
#   run      Wine, both halves, and an emulator where the host runs no 32-bit programs
#   test     the rest of the test suite: a Chinese locale, the installer engines, the
#            release's signing and archives, the bill of materials' validator
#   release  the release's signing, archives and notices
#   check    the linters (clang-format 19, clang-tidy 19, cppcheck) and gcovr
# A package is installed only when what it gives is missing. The package lists are
# fetched again (tried three times) only when something is; an index that still cannot be
# fetched is named and the install is tried with the lists there are. Only an install
# that fails stops the set-up, naming the packages.
needs=" ${TOOLS_NEEDS:-build run test} "
has() { case $needs in *" $1 "*) return 0 ;; esac; return 1; }

need=""
want() { # command-or-file package
  case $1 in
    /*) [ -e "$1" ] ;;
    *) command -v "$1" >/dev/null ;;
  esac || need="$need $2"
}
if has build; then
  want i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
  want x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
  want i686-w64-mingw32-windres binutils-mingw-w64-i686
  want x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
  want cmake cmake
  want ninja ninja-build
  want /usr/src/googletest/CMakeLists.txt googletest
  # The build's check of each executable's delay imports.
  want python3 python3
fi
if has run || has test; then
  want /usr/lib/wine/wine64 "wine wine64"
  want /usr/lib/wine/wine wine32:i386
  want flock util-linux
fi
if has test || has release; then
  # The release: signing, its test certificates, the archives, the notices.
  want osslsigncode osslsigncode
  want openssl openssl
  want zip zip
  want unzip unzip
  want python3 python3
fi
if has test; then
  want script bsdutils
  # The release test: the notices of a test link with zlib; the bill of materials' validator
  # and Inno Setup's compiler come from the npm registry.
  want /usr/i686-w64-mingw32/lib/libz.a libz-mingw-w64-dev
  want npm npm
  # The NSIS recipe's test: makensis builds Windows installers on Linux.
  want makensis nsis
  # The character maps that localedef needs for the Chinese locale below: a minimal system
  # has localedef (libc-bin) without them.
  want /usr/share/i18n/charmaps/UTF-8.gz locales
fi
if has check; then
  want clang-format-19 clang-format-19
  want clang-tidy-19 clang-tidy-19
  want cppcheck cppcheck
  want gcovr gcovr
  want python3 python3
fi

. tools/apt-lists.sh

if [ -n "$need" ]; then
  echo "== installing:$need"
  case $need in *:i386*) dpkg --add-architecture i386 ;; esac
  update_lists
  # shellcheck disable=SC2086
  install_packages $need || { echo "FAILED: could not install:$need"; exit 1; }
fi
if has test; then
  # A Chinese locale gives Wine programs the code page 936 when a test asks for it.
  locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$' || localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
  sh tools/bom-validator.sh
  # Inno Setup's compiler, for the Inno Setup recipe's test, from the npm registry.
  sh tools/innosetup.sh
fi
if has run || has test; then
  # Wine's i386 half is a 32-bit Linux program: a host that cannot start one gets an
  # emulator for it (TOOLS_EMULATE_I386=1: on any host), or the set-up stops here.
  sh tools/i386-emulation.sh
fi
