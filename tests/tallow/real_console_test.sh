#!/bin/sh
# The driver tool on a pseudo-terminal, where it has a real console: its wide lines go out
# through WriteConsoleW and reach the terminal as UTF-8, its narrow lines as bytes, all in
# the order written. Checks what the terminal shows for "/re" without the USB driver's INF:
# the three path lines, the narrow header, one Chinese line and the summary, and the exit
# code 4. Arguments: the suite's Wine prefix, the tool, the build (x86 or x64).
set -eu
prefix=$1 tool=$2 arch=$3
runner="$(dirname "$0")/../wine-run.sh"
suffix="" section=Apple
if [ "$arch" = x64 ]; then suffix=64 section=Apple.NTamd64; fi
packages='C:\Program Files\Common Files\Apple\Mobile Device Support\'
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# A wide terminal: Wine's console breaks its lines at the terminal's width.
status=0
script -qec "stty cols 400; sh '$runner' '$prefix' '$tool' /re 2>/dev/null" /dev/null </dev/null >"$out" || status=$?

# The terminal's picture: cursor escapes dropped, a step of the cursor to the right is a
# blank, line ends are LF. The console erases trailing blanks instead of writing them, so
# none are compared.
shown=$(sed -e 's/\x1b\[?25[lh]//g' -e 's/\x1b\[1C/ /g' -e 's/\x1b\[K//g' -e 's/\r//g' -e 's/ *$//' "$out")
# "打开文件失败：" (failed to open file), in UTF-8.
open_failed=$(printf '\346\211\223\345\274\200\346\226\207\344\273\266\345\244\261\350\264\245\357\274\232')
expected=$(printf '%s\n' \
  "net inf path : ${packages}NetDrivers\\netaapl$suffix.inf" \
  "drv inf path : ${packages}Drivers\\usbaapl$suffix.inf" \
  "inf sec : $section" \
  "" \
  " UpdateDevice Opt:" \
  "$open_failed${packages}Drivers\\usbaapl$suffix.inf" \
  " driver's inf file not found !")

if [ "$shown" != "$expected" ] || [ "$status" != 4 ]; then
  echo "exit code $status (expected 4); the terminal showed:"
  printf '%s\n' "$shown"
  echo "expected:"
  printf '%s\n' "$expected"
  exit 1
fi
echo "the terminal showed the expected lines"
