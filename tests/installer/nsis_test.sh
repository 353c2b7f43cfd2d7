#!/bin/sh
# The installer recipe (examples/nsis/) end to end, under Wine in throwaway prefixes.
#   sh nsis_test.sh SOURCE_DIR WINE_RUN X86_BIN
# makensis builds the installer from the delivered executables (dist/) and the stand-in
# for the driver-install library of both builds (the x86-64 pieces are built here when
# missing). One scenario, in a 64-bit and in a 32-bit prefix: with the sample driver
# packages, a fake USB device and the test services in it (tests/doubles/prefix_doubles.sh),
# the installer runs silently; its files are in place, its log holds each tool's lines and
# exit code in the recipe's order, with the driver tool's build that suits the prefix, and
# the services stand as "/startsvc" leaves them. The uninstaller, run silently, stops the
# services, takes the packages out of the stand-in's store (the USB package's removal
# reporting that it needs a restart, which the uninstaller's log then names, without a
# restart) and removes the files. Installed again with a driver-install library that fails,
# the installer reports it and finishes.
set -u
source_dir=$1 wine_run=$2 bin86=$3
. "$source_dir/tests/installer/installer_lib.sh"

# The installer, from the executables as delivered.
cd "$source_dir" || exit 1
build_x64_pieces
installer=$work/mobile-device-tools-setup.exe
makensis -V2 -DDIST="$source_dir/dist" -DDIFX_X86="$bin86/difx_standin.dll" -DDIFX_X64="$bin64/difx_standin.dll" \
  -DOUTFILE="$installer" examples/nsis/mobile-device-tools.nsi >"$work/makensis.log" 2>&1 ||
  { cat "$work/makensis.log"; fail "makensis failed"; exit 1; }

# NSIS's stub has no relocations: the installer loads at its image base or not at all. Wine's
# 32-bit loader is itself an i386 program, and when it is position-independent (Debian 13's)
# it lies at the base of such programs, 0x400000, plus a random offset on a kernel that runs
# 32-bit code, at exactly 0x400000 at every start under qemu-i386. Prints the image's range
# and the loader's program headers when they overlap at two starts in a row.
loader_in_the_way() {
  pe=$(od -An -tu4 -N4 -j60 "$installer" | tr -d ' ')
  flags=$(od -An -tu2 -N2 -j$((pe + 22)) "$installer" | tr -d ' ')
  base=$(od -An -tu4 -N4 -j$((pe + 52)) "$installer" | tr -d ' ')
  size=$(od -An -tu4 -N4 -j$((pe + 80)) "$installer" | tr -d ' ')
  phdr() { LD_SHOW_AUXV=1 /usr/lib/wine/wine --version 2>/dev/null | sed -n 's/^AT_PHDR: *0x//p'; }
  first=$(phdr) second=$(phdr)
  [ $((flags & 1)) = 1 ] && [ -n "$first" ] && [ "$first" = "$second" ] &&
    [ $((0x$first)) -ge "$base" ] && [ $((0x$first)) -lt $((base + size)) ] &&
    printf '0x%x-0x%x 0x%s\n' "$base" $((base + size)) "$first"
}

scenario() { # win64 | win32
  echo "== the installer in a $1 prefix"
  installer_prefix "$1"

  # A silent installation, the debug log asked for. STATUS_CONFLICTING_ADDRESSES with the
  # loader in the image's place is this host's limit, not the recipe's fault: said, then
  # the test ends as skipped.
  status=0
  wine "$installer" /S /DEBUGLOG 2>"$work/start.txt" || status=$?
  cat "$work/start.txt" >&2
  if [ $status -ne 0 ] && grep -q 'status c0000018' "$work/start.txt" && overlap=$(loader_in_the_way); then
    echo "NOT RUN: the installer cannot start on this host, and nothing of it was tested beyond" \
      "its build: it has no relocations and loads only at ${overlap% *}, where Wine's 32-bit" \
      "loader lies at every start (its program headers at ${overlap#* }: a position-independent" \
      "loader, placed without a random offset, as qemu-i386 places i386 programs); Wine answers" \
      "status c0000018. See docs/platform.md, 'Hosts that run no 32-bit Linux programs'."
    exit 77
  fi
  [ $status -eq 0 ] || fail "$1: the installer ended with $status"
  instdir="$WINEPREFIX/drive_c/$programs/Mobile Device Tools"
  for file in x86/Tallow.exe x86/Bracken.exe x64/Tallow.exe; do
    cmp -s "$source_dir/dist/$file" "$instdir/$file" || fail "$1: $file is not installed as delivered"
  done
  cmp -s "$bin86/difx_standin.dll" "$instdir/x86/DIFxAPI_x86.dll" || fail "$1: x86/DIFxAPI_x86.dll is not installed"
  cmp -s "$bin64/difx_standin.dll" "$instdir/x64/difxapi_x64.dll" || fail "$1: x64/difxapi_x64.dll is not installed"
  for file in x86/debuglog.cfg x64/debuglog.cfg Uninstall.exe install.log; do
    [ -f "$instdir/$file" ] || fail "$1: $file is missing"
  done
  # The tools read the marker: Bracken and the driver tool that ran kept their logs.
  folder=$(echo "$tallow" | cut -c1-3)
  ls "$instdir"/x86/log/*.log >/dev/null 2>&1 || fail "$1: Bracken wrote no debug log"
  ls "$instdir/$folder"/log/*.log >/dev/null 2>&1 || fail "$1: $tallow wrote no debug log"

  # The log: each tool's lines, then its exit code in words, in the recipe's order.
  echo "-- the installer's log"
  cat "$instdir/install.log"
  missing=$(in_order "$instdir/install.log" \
    'x86\Bracken.exe /stopsvc' 'GetDrvRegVal error' 'x86\Bracken.exe /stopsvc exit code 0: done' \
    "$tallow /i" "drv inf path : C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl$suffix.inf" \
    'DriverPackagePreinstall netaapl successed' 'DriverPackagePreinstall usbaapl successed' \
    "$tallow /i exit code 1: driver packages installed" \
    'x86\Bracken.exe /startsvc' 'Service installed successfully' 'Service started successfully' \
    'x86\Bracken.exe /startsvc exit code 0: done' \
    "$tallow /qu" "inf sec : $section" \
    "$tallow /qu exit code 1: every connected device uses the right driver") ||
    fail "$1: the installer's log lacks, in its place: $missing"
  grep -qF "$other" "$instdir/install.log" && fail "$1: $other ran"
  grep -qF "reboot flag" "$instdir/install.log" && fail "$1: the installer set its reboot flag"
  check_store_filled "$1"
  check_services_started "$1"

  # A silent uninstallation whose USB package removal needs a restart. The uninstaller runs
  # on from a copy in the temporary folder, and its log lies there: wait for it to remove
  # itself.
  printf 'uninstall usbaapl%s reboot\r\n' "$suffix" >"$WINEPREFIX/drive_c/difxstore/script.txt"
  wine "$instdir/Uninstall.exe" /S || fail "$1: the uninstaller ended with $?"
  wait_until "$1" uninstalled
  echo "-- the uninstaller's log"
  cat "$log"
  missing=$(in_order "$log" 'x86\Bracken.exe /stopsvc' 'Apple Mobile Device 	 Service deleted successfully' \
    'x86\Bracken.exe /stopsvc exit code 0: done' \
    "$tallow /u" 'DriverPackageUninstall netaapl successed' 'DriverPackageUninstall usbaapl successed' \
    ' A restart is required to finish the driver update.' "$tallow /u exit code 1: driver packages removed" \
    "$tallow /u: a restart is required to finish the driver update; the reboot flag is set") ||
    fail "$1: the uninstaller's log lacks, in its place: $missing"
  check_uninstalled "$1" "$instdir"

  # Installed again, with a driver-install library that fails: the failure is reported in
  # the exit code's line (nsExec reads a code above 0x7FFFFFFF as a negative number) and
  # the installation goes on to its end.
  printf 'preinstall usbaapl%s 0xE0000235 0xE0000235\r\n' "$suffix" >"$WINEPREFIX/drive_c/difxstore/script.txt"
  wine "$installer" /S || fail "$1: the installer with a failing /i ended with $?"
  missing=$(in_order "$instdir/install.log" 'DriverPackagePreinstall usbaapl err: -536870347' \
    "$tallow /i exit code -536870347: FAILED: the driver-install library's error code" \
    'x86\Bracken.exe /startsvc exit code 0: done' "$tallow /qu exit code 1") ||
    fail "$1: the log of the installation with a failing /i lacks, in its place: $missing"
  [ -e "$instdir/x86/debuglog.cfg" ] && fail "$1: the debug log's marker was installed without /DEBUGLOG"
  wineserver -k 2>/dev/null
}

# The uninstaller's log holds its last line and the uninstaller has removed itself.
uninstalled() {
  log=$(find "$WINEPREFIX/drive_c/users" -name 'Mobile Device Tools uninstall.log' | head -n1) &&
    [ -n "$log" ] && grep -qF "$tallow /u exit code" "$log" && [ ! -e "$instdir/Uninstall.exe" ]
}

scenario win64
scenario win32

[ $failures -eq 0 ] && echo "the installer recipe passed in both prefixes"
exit $((failures > 0))
