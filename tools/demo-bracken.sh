# Sourced by demo.sh: the service tool. The test service of the suite stands in for Apple's
# service (at the path the tool registers) and for the two services the tool only starts
# and stops.
# The service manager of a prefix still settling after its first boot loses services it
# has just created: let that session end, then keep one session for the whole part.
wineserver -w
wineserver -p20 </dev/null >/dev/null 2>&1 || true
wine_run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
service_exe=build/mingw-x86/bin/test_service.exe
support="$WINEPREFIX/drive_c/Program Files (x86)/Common Files/Apple/Mobile Device Support"
mkdir -p "$support" "$WINEPREFIX/drive_c/bracken-demo"
cp "$service_exe" "$support/AppleMobileDeviceService.exe"
cp "$service_exe" "$WINEPREFIX/drive_c/bracken-demo/test_service.exe"
# The product's service starts slowly, to show the start-pending wait.
printf 'VIVavuzaRovuda=slowstart\r\n' >"$WINEPREFIX/drive_c/bracken-demo/test_service.ini"
wine_run sc create VIVavuzaRovuda binPath= 'C:\bracken-demo\test_service.exe' >/dev/null 2>&1 || true
wine_run sc create "iPod Service" binPath= 'C:\bracken-demo\test_service.exe' >/dev/null 2>&1 || true

for switch in /startsvc /stopsvc; do
  echo
  echo "== dist/x86/Bracken.exe $switch"
  set +e
  wine_run dist/x86/Bracken.exe "$switch"
  echo "(exit code $?)"
  set -e
done
