#!/bin/sh
# The Inno Setup recipe (examples/inno/) end to end, under Wine in throwaway prefixes.
#   sh inno_test.sh SOURCE_DIR WINE_RUN X86_BIN ISCC
# Inno Setup's compiler (ISCC, which the set-up fetches) builds the installer from the
# delivered executables (dist/) and the stand-in for the driver-install library of both
# builds. In a 64-bit and in a 32-bit prefix, with the project's doubles in it
# (tests/doubles/prefix_doubles.sh):
# - a silent installation: its files, its log with each tool's lines and exit code in the
#   recipe's order, the stand-in's store, the services as "/startsvc" leaves them, and
#   Setup asking for the restart that the device update of "/i" reports;
# - Bracken without a switch names the product's folder through the uninstall key that
#   Inno Setup wrote;
# - the installer run again while processes hold libraries of the product's folder:
#   "/stopsvc" runs before the first file is installed and ends the 32-bit one; the library
#   that a 64-bit one holds is replaced at the restart that Setup asks for;
# - a silent uninstallation: the packages out of the store, the files removed, and the
#   uninstaller asking for the restart that the driver tool reports;
# - an installation whose "/i" fails: the log says so and the installation ends normally.
set -u
source_dir=$1 wine_run=$2 bin86=$3 iscc=$4
. "$source_dir/tests/installer/installer_lib.sh"
[ -f "$iscc" ] || { fail "no Inno Setup compiler at $iscc: sh tools/innosetup.sh fetches it"; exit 1; }

# A path of this host as Wine's programs take it, through drive Z:.
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

cd "$source_dir" || exit 1
build_x64_pieces
installer=$work/mobile-device-tools-setup.exe

# Setup makes its (hidden) wizard window even in a silent run, and stops at once without a
# display driver: the prefix gets Wine's null driver, taken by the next session.
installer_session() {
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  wineserver -k
  wineserver -w
}

# Runs an installer or uninstaller with the given switches, silent and without a restart;
# its log is C:\<name>.log.
setup() { # log-name program switch...
  name=$1
  shift
  wine "$@" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART "/LOG=C:\\$name.log" || fail "$label: $name ended with $?"
}

# Fails unless the log holds the patterns in that order, and then shows the log.
log_holds() { # log-name pattern...
  name=$1
  shift
  missing=$(in_order "$WINEPREFIX/drive_c/$name.log" "$@") || {
    cat "$WINEPREFIX/drive_c/$name.log"
    fail "$label: the log of $name lacks, in its place: $missing"
  }
}

# Whether a process of this host has mapped the file: Wine maps a loaded library's file.
# (grep fails on the processes it may not read, or that end meanwhile.)
held() { [ -n "$(grep -l -F "$1" /proc/[0-9]*/maps 2>/dev/null)" ]; }

scenario() { # win64 | win32
  label=$1
  echo "== the installer in a $1 prefix"
  installer_prefix "$1"
  installer_session
  if [ ! -f "$installer" ]; then
    wine "$iscc" /Q "/O$(windows_path "$work")" "/DDIST=$(windows_path "$source_dir/dist")" \
      "/DDIFX_X86=$(windows_path "$bin86/difx_standin.dll")" "/DDIFX_X64=$(windows_path "$bin64/difx_standin.dll")" \
      "$(windows_path "$source_dir/examples/inno/mobile-device-tools.iss")" || { fail "ISCC failed"; exit 1; }
  fi
  app="C:\\$programs\\marvento\\"
  instdir="$WINEPREFIX/drive_c/$programs/marvento"

  # A silent installation, the debug log asked for, in which the device update of "/i"
  # reports that a restart is needed: the stand-in answers it in place of the system's
  # device-update library, whose Wine version never reports one.
  mkdir -p "$WINEPREFIX/drive_c/difxstore"
  printf 'update usbaapl%s reboot\r\n' "$suffix" >"$WINEPREFIX/drive_c/difxstore/script.txt"
  doubles_device_update "$bin86/difx_standin.dll" "$bin64/difx_standin.dll"
  setup install "$installer" /DEBUGLOG
  doubles_device_update_restore
  for file in x86/Tallow.exe x86/Bracken.exe x64/Tallow.exe; do
    cmp -s "$source_dir/dist/$file" "$instdir/$file" || fail "$1: $file is not installed as delivered"
  done
  cmp -s "$bin86/difx_standin.dll" "$instdir/x86/DIFxAPI_x86.dll" || fail "$1: x86/DIFxAPI_x86.dll is not installed"
  cmp -s "$bin64/difx_standin.dll" "$instdir/x64/difxapi_x64.dll" || fail "$1: x64/difxapi_x64.dll is not installed"
  folder=$(echo "$tallow" | cut -c1-3)
  ls "$instdir"/x86/log/*.log "$instdir/$folder"/log/*.log >/dev/null 2>&1 || fail "$1: a tool that ran wrote no debug log"
  # Bracken's first run, before the files are there, is the copy in Setup's temporary
  # folder; the other calls follow the last file, before Setup writes its uninstall key.
  log_holds install 'Bracken.exe /stopsvc (C:\users\' 'GetDrvRegVal error' 'Bracken.exe /stopsvc exit code 0: done' \
    'Starting the installation process.' "Dest filename: ${app}x64\\difxapi_x64.dll" \
    "$tallow /i ($app$tallow)" "drv inf path : C:\\Program Files\\Common Files\\Apple\\Mobile Device Support\\Drivers\\usbaapl$suffix.inf" \
    'DriverPackagePreinstall netaapl successed' 'DriverPackagePreinstall usbaapl successed' \
    '  A restart is required to finish the driver update.' "$tallow /i exit code 1: driver packages installed" \
    "$tallow /i asks for a restart" \
    'x86\Bracken.exe /startsvc' 'Service installed successfully' 'Service started successfully' \
    'x86\Bracken.exe /startsvc exit code 0: done' \
    "$tallow /qu" "inf sec : $section" "$tallow /qu exit code 1: every connected device uses the right driver" \
    'Will restart because NeedRestart returned True.' 'Saving uninstall information.' \
    'Installation process succeeded.' 'Need to restart Windows? Yes' 'Will not restart Windows automatically.'
  grep -qF "$other /" "$WINEPREFIX/drive_c/install.log" && fail "$1: $other ran"
  check_store_filled "$1"
  check_services_started "$1"

  # The discovery without a switch: the product's own key is missing, and the uninstall key
  # that Inno Setup wrote (in the 32-bit view, Wow6432Node on 64-bit Windows) names the folder.
  [ "$1" = win64 ] && node='Wow6432Node\' || node=''
  printf '%s\r\n' 'GetDrvRegVal error:' " App Reg Path : SOFTWARE\\${node}QNVX\\marvento " 'marvento UnInstall Dir Exist !' \
    " App Path: $app " 'GetDrvRegVal error:' ' App Reg Path : SOFTWARE\Apple Computer, Inc.\iPod\AppPaths ' \
    >"$work/discovery.expected"
  wine "$instdir/x86/Bracken.exe" >"$work/discovery.txt" 2>/dev/null
  cmp -s "$work/discovery.expected" "$work/discovery.txt" ||
    { cat "$work/discovery.txt"; fail "$1: Bracken without a switch did not find the product through the uninstall key"; }

  # The installer again, over the installed one, while processes hold the driver-install
  # libraries of the product's folder: a 32-bit one, which "/stopsvc" ends before the first
  # file is installed, and in the 64-bit prefix a 64-bit one, out of the reach of the
  # 32-bit Bracken, whose library is then replaced at the restart that Setup asks for.
  # There the USB INF also names a missing catalog file: the x86-64 build's staging fails,
  # and with it the device update, which the log calls a failure although the packages
  # are in the store (exit code 2).
  hold "$bin86/dummy_process.exe" x86/DIFxAPI_x86.dll
  holder=$!
  usb_inf="$(doubles_driver_folder)/Drivers/usbaapl$suffix.inf"
  if [ "$1" = win64 ]; then
    hold "$bin86/dummy_process64.exe" x64/difxapi_x64.dll
    sed -i 's/^\[Version\]\r$/[Version]\r\nCatalogFile=missing.cat\r/' "$usb_inf"
    update="$tallow /i exit code 2: FAILED: the driver update of a connected device failed (driver packages already in the driver store)"
    restart='Need to restart Windows? Yes'
  else
    update="$tallow /i exit code 2: driver packages already in the driver store"
    restart='Need to restart Windows? No'
  fi
  setup upgrade "$installer"
  log_holds upgrade 'Bracken.exe /stopsvc (C:\users\' 'marvento UnInstall Dir Exist !' " App Path: $app " \
    'Bracken.exe /stopsvc exit code 0: done' 'Starting the installation process.' 'Dest filename: ' "$update" "$restart"
  if held "$instdir/x86/DIFxAPI_x86.dll"; then
    fail "$1: the process that holds x86/DIFxAPI_x86.dll still runs"
  else
    wait $holder || fail "$1: the holder of x86/DIFxAPI_x86.dll ended with $? instead of being ended"
  fi
  if [ "$1" = win64 ]; then
    log_holds upgrade "Dest filename: ${app}x64\difxapi_x64.dll" 'Will replace on restart.'
    # The restart: every process ends, and the next start puts the file in place.
    wineserver -k
    wineserver -w
    wine cmd /c exit
    # (Setup left the new file beside the held one under a temporary name, is-*.tmp.)
    ls "$instdir/x64" | grep -q '^is-' && fail "$1: the restart left in x64: $(ls "$instdir/x64")"
  fi
  doubles_driver_packages

  # A silent uninstallation, in which the removal of the USB package asks for a restart.
  # The uninstaller goes on from a copy of itself in the temporary folder: wait for it to
  # finish and remove itself.
  printf 'uninstall usbaapl%s reboot\r\n' "$suffix" >"$WINEPREFIX/drive_c/difxstore/script.txt"
  setup uninstall "$instdir/unins000.exe"
  wait_until "$1" uninstalled
  log_holds uninstall 'x86\Bracken.exe /stopsvc' 'Apple Mobile Device 	 Service deleted successfully' \
    'x86\Bracken.exe /stopsvc exit code 0: done' \
    "$tallow /u" 'DriverPackageUninstall netaapl successed' 'DriverPackageUninstall usbaapl successed' \
    '  A restart is required to finish the driver update.' "$tallow /u exit code 1: driver packages removed" \
    "$tallow /u asks for a restart" 'Uninstallation process succeeded.' \
    'Will restart because UninstallNeedRestart returned True.' 'Need to restart Windows? Yes' \
    'Will not restart Windows automatically.'
  check_uninstalled "$1" "$instdir"

  # Installed again, with a driver-install library that fails: the exit code's line says
  # so (Inno Setup reads a code above 0x7FFFFFFF as a negative number), and the
  # installation goes on to its end.
  printf 'preinstall usbaapl%s 0xE0000235 0xE0000235\r\n' "$suffix" >"$WINEPREFIX/drive_c/difxstore/script.txt"
  setup failing "$installer"
  log_holds failing 'DriverPackagePreinstall usbaapl err: -536870347' \
    "$tallow /i exit code -536870347: FAILED: the driver-install library's error code" \
    'x86\Bracken.exe /startsvc exit code 0: done' "$tallow /qu exit code 1" 'Need to restart Windows? No'
  [ -e "$instdir/x86/debuglog.cfg" ] && fail "$1: the debug log's marker was installed without /DEBUGLOG"
  wineserver -k 2>/dev/null
}

# Starts the program with a library of the product's folder and waits until it holds it.
hold() { # program library-in-the-folder
  wine "$1" "$app$(echo "$2" | tr / '\\')" &
  waited=0
  until held "$instdir/$2"; do
    [ $waited -lt 60 ] || { fail "$label: $1 did not load $2"; break; }
    sleep 1
    waited=$((waited + 1))
  done
}

# The uninstaller's log is closed and the uninstaller has removed itself.
uninstalled() {
  grep -qF 'Log closed.' "$WINEPREFIX/drive_c/uninstall.log" 2>/dev/null && [ ! -e "$instdir/unins000.exe" ]
}

scenario win64
scenario win32

[ $failures -eq 0 ] && echo "the Inno Setup recipe passed in both prefixes"
exit $((failures > 0))
