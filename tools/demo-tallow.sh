# Sourced by demo.sh (with WINEPREFIX set): the driver tool's device operations,
# both builds, against sample driver packages and a fake USB device in the prefix.

drivers="$WINEPREFIX/drive_c/Program Files/Common Files/Apple/Mobile Device Support"
mkdir -p "$drivers/Drivers" "$drivers/NetDrivers"

# A sample INF: the model section names two devices; one line has no hardware ID.
sample_inf() { # section class
  printf '%s\r\n' '[Version]' 'Signature="$Windows NT$"' "Class=$2" \
    'ClassGuid={36FC9E60-C465-11CF-8056-444553540000}' 'Provider=%Maker%' '' \
    '[Manufacturer]' '%Maker%=Apple,NTamd64' '' "[$1]" \
    '%Device% = Install, USB\VID_05AC&PID_1290' '%Legacy% = Install' \
    '%Other% = Install, USB\VID_05AC&PID_12A8' '' '[Install]' '' \
    '[Strings]' 'Maker="Sample Maker"' 'Device="Sample mobile device"'
}
sample_inf Apple USB >"$drivers/Drivers/usbaapl.inf"
sample_inf Apple.NTamd64 USB >"$drivers/Drivers/usbaapl64.inf"
sample_inf Apple Net >"$drivers/NetDrivers/netaapl.inf"
sample_inf Apple.NTamd64 Net >"$drivers/NetDrivers/netaapl64.inf"

# A connected device bound to the right driver (SetupAPI reads these values back).
device='HKLM\System\CurrentControlSet\Enum\USB\VID_05AC&PID_1290\DEMO0001'
wine_run reg add "$device" /v ClassGUID /d '{36FC9E60-C465-11CF-8056-444553540000}' /f >/dev/null
wine_run reg add "$device" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_05AC&PID_1290&REV_0001\0USB\VID_05AC&PID_1290' /f >/dev/null
wine_run reg add "$device" /v Class /d USB /f >/dev/null
wine_run reg add "$device" /v Mfg /d 'Apple, Inc.' /f >/dev/null
wine_run reg add "$device" /v DeviceDesc /d 'Apple Mobile Device USB Driver' /f >/dev/null
wine_run reg add "$device" /v FriendlyName /d 'Apple Mobile Device USB Driver' /f >/dev/null
wine_run reg add "$device" /v Driver /d '{36FC9E60-C465-11CF-8056-444553540000}\0001' /f >/dev/null
wine_run reg add "$device" /v ConfigFlags /t REG_DWORD /d 0 /f >/dev/null

for arch in x86 x64; do
  for switch in /qu /re; do
    echo
    echo "== dist/$arch/Tallow.exe $switch"
    set +e
    wine_run "dist/$arch/Tallow.exe" "$switch"
    echo "(exit code $?)"
    set -e
  done
done
echo
echo "== staged copies in C:\\windows\\inf"
ls "$WINEPREFIX/drive_c/windows/inf" | grep -i usbaapl || true
