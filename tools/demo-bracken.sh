# Sourced by demo.sh: the service tool. The test service of the suite stands in for Apple's
# service (at the path the tool registers) and for the two services the tool only starts
# and stops.
# The service manager of a prefix still settling after its first boot loses services it
# has just created: let that session end, then keep one session for the whole part.
wineserver -w
wineserver -p20 </dev/null >/dev/null 2>&1 || true
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
. tests/doubles/prefix_doubles.sh
doubles_services build/mingw-x86/bin/test_service.exe
# The product's service starts slowly, to show the start-pending wait.
printf 'VIVavuzaRovuda=slowstart\r\n' >"$WINEPREFIX/drive_c/test-services/test_service.ini"

for switch in /startsvc /stopsvc; do
  echo
  echo "== dist/x86/Bracken.exe $switch"
  set +e
  wine dist/x86/Bracken.exe "$switch"
  echo "(exit code $?)"
  set -e
done
