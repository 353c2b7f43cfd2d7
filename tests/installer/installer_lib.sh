# What the installer tests (nsis_test.sh, inno_test.sh) share; sourced by them with
# source_dir, wine_run and bin86 set: a work folder removed at exit, the failure count,
# the prefixes with the project's doubles in them, and the checks of the tools' effects.
work=$(mktemp -d -t tools-installer-test.XXXXXX)
bin64=$source_dir/build/mingw-x64/bin
# Only the prefixes made here are ever ended.
unset WINEPREFIX
trap '[ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
# Every Wine program runs through the suite's runner: the prefix is made on first use and
# its session is kept apart from CTest's pipes.
wine() { sh "$wine_run" "$WINEPREFIX" "$@"; }
. "$source_dir/tests/doubles/prefix_doubles.sh"

# Each pattern (a fixed text) on a line of the file after the line of the one before;
# prints the first one not found so.
in_order() { # file pattern...
  file=$1
  shift
  awk -v count=$# 'BEGIN { for (i = 1; i <= count; i++) wanted[i] = ARGV[i + 1]; ARGC = 2; at = 1 }
    at <= count && index($0, wanted[at]) { at++ }
    END { if (at <= count) { print wanted[at]; exit 1 } }' "$file" "$@"
}

# The x86-64 build's driver tool (dist/x64) and stand-in for the driver-install library.
build_x64_pieces() {
  (cd "$source_dir" && cmake --preset mingw-x64 >/dev/null && cmake --build --preset mingw-x64 --target Tallow_deliverable difx_standin) \
    >"$work/build-x64.log" 2>&1 || { cat "$work/build-x64.log"; fail "the x86-64 build failed"; exit 1; }
}

# A fresh prefix of that kind under the work folder, with the sample driver packages, a
# fake USB device and the test services in it. Sets what the checks expect there: the
# program files folder, the driver tool's build that must run and the one that must not,
# its INF files' suffix and model section.
installer_prefix() { # win64 | win32
  export WINEPREFIX="$work/$1" WINEARCH=$1
  if [ "$1" = win64 ]; then
    programs="Program Files (x86)" tallow='x64\Tallow.exe' other='x86\Tallow.exe' suffix=64 section=Apple.NTamd64
  else
    programs="Program Files" tallow='x86\Tallow.exe' other='x64\Tallow.exe' suffix="" section=Apple
  fi
  wine cmd /c exit
  doubles_driver_packages
  doubles_usb_device
  doubles_services "$bin86/test_service.exe"
  store="$WINEPREFIX/drive_c/difxstore/store"
}

# The store of the stand-in holds both packages of the prefix's driver-tool build.
check_store_filled() { # label
  [ "$(ls "$store" | tr '\n' ' ')" = "netaapl$suffix.inf usbaapl$suffix.inf " ] ||
    fail "$1: the stand-in's store holds: $(ls "$store" | tr '\n' ' ')"
}

# The services as "/startsvc" leaves them: Apple's registered to start automatically as
# LocalSystem after Tcpip, all three running.
key='HKLM\System\CurrentControlSet\Services\Apple Mobile Device'
check_services_started() { # label
  wine reg query "$key" >"$work/service.txt" 2>&1
  grep -q 'Start.*REG_DWORD.*0x2' "$work/service.txt" || fail "$1: Apple Mobile Device does not start automatically"
  grep -q 'ObjectName.*LocalSystem' "$work/service.txt" || fail "$1: Apple Mobile Device does not run as LocalSystem"
  grep -q 'DependOnService.*Tcpip' "$work/service.txt" || fail "$1: Apple Mobile Device does not depend on Tcpip"
  grep -qF "$programs\\Common Files\\Apple\\Mobile Device Support\\AppleMobileDeviceService.exe" "$work/service.txt" ||
    { cat "$work/service.txt"; fail "$1: Apple Mobile Device runs another program"; }
  for service in "Apple Mobile Device" VIVavuzaRovuda "iPod Service"; do
    wine sc query "$service" 2>&1 | grep -q RUNNING || fail "$1: $service is not running"
  done
}

# After an uninstallation: the packages out of the stand-in's store, nothing left in the
# installation folder but the tools' debug logs, Apple's service deleted, the others stopped.
check_uninstalled() { # label installation-folder
  [ -z "$(ls "$store")" ] || fail "$1: the stand-in's store still holds: $(ls "$store" | tr '\n' ' ')"
  left=$(cd "$2" 2>/dev/null && find . -type f ! -path './x86/log/*' ! -path './x64/log/*')
  [ -z "$left" ] || fail "$1: the uninstaller left: $left"
  wine reg query "$key" >/dev/null 2>&1 && fail "$1: Apple Mobile Device is still registered"
  for service in VIVavuzaRovuda "iPod Service"; do
    wine sc query "$service" 2>&1 | grep -q STOPPED || fail "$1: $service is not stopped"
  done
}

# Waits up to 120 s until the command succeeds. An uninstaller returns at once: it goes on
# from a copy of itself in the temporary folder.
wait_until() { # label command...
  label=$1
  shift
  waited=0
  until "$@"; do
    [ $waited -lt 120 ] || { fail "$label: the uninstaller did not finish in 120 s"; return 1; }
    sleep 1
    waited=$((waited + 1))
  done
}
