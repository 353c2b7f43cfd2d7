#!/bin/sh
# Runs one Windows test program under Wine in the suite's own prefix (first argument),
# making the prefix on first use. Never touches the user's own ~/.wine.
set -eu
prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A fixed locale makes the ANSI code page 1252 for every run, whatever the caller's.
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE DISPLAY

if [ ! -f "$prefix/.tools-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.tools-ready" ]; then
      wineboot -i >/dev/null 2>&1
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

exec wine "$@"
