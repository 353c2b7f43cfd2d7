#!/bin/sh
# Runs one Windows test program under Wine in the suite's own prefix (first argument),
# making the prefix on first use, with the Wine loader of the program's bitness. Never
# touches the user's own ~/.wine. Fails, and says why, when the program is 32-bit and
# this host cannot start Wine's 32-bit loader.
set -eu
prefix=$1
shift
. "$(dirname "$0")/../tools/wine-loader.sh"

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A fixed locale makes the ANSI code page 1252 for every run, whatever the caller's.
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE DISPLAY

loader=$(wine_loader "$1")
if [ "$loader" = "$wine32" ] && ! "$wine32" --version >/dev/null 2>&1; then
  echo "FAILED: $1 is a 32-bit program and this host cannot start Wine's 32-bit loader" \
    "$wine32 (a kernel without 32-bit emulation, and no emulator registered for i386" \
    "programs): run sh tools/install.sh as root, which registers one." >&2
  exit 1
fi

if [ ! -f "$prefix/.tools-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.tools-ready" ]; then
      wine_boot >/dev/null 2>&1
      # A crash ends with its exception code instead of waiting in Wine's debugger.
      for view in 32 64; do
        wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /f /reg:$view >/dev/null 2>&1 || true
      done
      wineserver -w
      touch "$prefix/.tools-ready"
    fi
  ) 9>"$prefix.lock"
fi

# Wine's session (its server and system processes) outlives a test, and CTest would wait
# for it on the test's output pipes. A session started here, detached from those pipes,
# serves every test and ends 20 s after the last.
if wineserver -p20 </dev/null >/dev/null 2>&1; then
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi

# A GoogleTest program prints before it runs any test: one that fails having printed nothing
# never started. Wine now and then fails to start a process at all (seen once in some
# thousand starts); such a start is tried once more, and says so.
case $1 in
  *_tests.exe)
    out=$(mktemp)
    status=0
    "$loader" "$@" >"$out" || status=$?
    if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
      rm -f "$out"
      echo "wine-run.sh: $1 ended with $status before printing anything; starting it once more" >&2
      exec "$loader" "$@"
    fi
    cat "$out"
    rm -f "$out"
    exit "$status"
    ;;
esac
exec "$loader" "$@"
