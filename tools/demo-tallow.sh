# Sourced by demo.sh (with WINEPREFIX set): the driver tool's device operations,
# both builds, against sample driver packages and a fake USB device in the prefix.
. tests/doubles/prefix_doubles.sh
doubles_driver_packages
doubles_usb_device

for arch in x86 x64; do
  for switch in /qu /re; do
    echo
    echo "== dist/$arch/Tallow.exe $switch"
    set +e
    wine "dist/$arch/Tallow.exe" "$switch"
    echo "(exit code $?)"
    set -e
  done
done
echo
echo "== staged copies in C:\\windows\\inf"
ls "$WINEPREFIX/drive_c/windows/inf" | grep -i usbaapl || true
