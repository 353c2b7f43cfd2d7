# Shell functions that put the project's test doubles into a Wine prefix: sourced by the
# demonstration (tools/demo-*.sh) and by the installer test (tests/installer/). They use
# WINEPREFIX and whatever "wine" is where they are called (a command or a shell function).

# The folder of the driver packages, as both driver-tool builds look for it.
doubles_driver_folder() {
  echo "$WINEPREFIX/drive_c/Program Files/Common Files/Apple/Mobile Device Support"
}

# Sample driver packages where the tools look for them: the INF of each package for both
# builds. The model section names two devices; one line has no hardware ID.
doubles_driver_packages() {
  doubles_folder=$(doubles_driver_folder)
  mkdir -p "$doubles_folder/Drivers" "$doubles_folder/NetDrivers"
  doubles_sample_inf Apple USB >"$doubles_folder/Drivers/usbaapl.inf"
  doubles_sample_inf Apple.NTamd64 USB >"$doubles_folder/Drivers/usbaapl64.inf"
  doubles_sample_inf Apple Net >"$doubles_folder/NetDrivers/netaapl.inf"
  doubles_sample_inf Apple.NTamd64 Net >"$doubles_folder/NetDrivers/netaapl64.inf"
}

doubles_sample_inf() { # section class
  printf '%s\r\n' '[Version]' 'Signature="$Windows NT$"' "Class=$2" \
    'ClassGuid={36FC9E60-C465-11CF-8056-444553540000}' 'Provider=%Maker%' '' \
    '[Manufacturer]' '%Maker%=Apple,NTamd64' '' "[$1]" \
    '%Device% = Install, USB\VID_05AC&PID_1290' '%Legacy% = Install' \
    '%Other% = Install, USB\VID_05AC&PID_12A8' '' '[Install]' '' \
    '[Strings]' 'Maker="Sample Maker"' 'Device="Sample mobile device"'
}

# A fake connected USB device of the sample INF, bound to the right driver (SetupAPI reads
# these values back).
doubles_usb_device() {
  doubles_device='HKLM\System\CurrentControlSet\Enum\USB\VID_05AC&PID_1290\DEMO0001'
  wine reg add "$doubles_device" /v ClassGUID /d '{36FC9E60-C465-11CF-8056-444553540000}' /f >/dev/null
  wine reg add "$doubles_device" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_05AC&PID_1290&REV_0001\0USB\VID_05AC&PID_1290' /f >/dev/null
  wine reg add "$doubles_device" /v Class /d USB /f >/dev/null
  wine reg add "$doubles_device" /v Mfg /d 'Apple, Inc.' /f >/dev/null
  wine reg add "$doubles_device" /v DeviceDesc /d 'Apple Mobile Device USB Driver' /f >/dev/null
  wine reg add "$doubles_device" /v FriendlyName /d 'Apple Mobile Device USB Driver' /f >/dev/null
  wine reg add "$doubles_device" /v Driver /d '{36FC9E60-C465-11CF-8056-444553540000}\0001' /f >/dev/null
  wine reg add "$doubles_device" /v ConfigFlags /t REG_DWORD /d 0 /f >/dev/null
}

# The test service (its executable the first argument) in the place of the services the
# service tool works on: Apple's service program where "/startsvc" registers it (under
# "Program Files (x86)" on 64-bit Windows), and "VIVavuzaRovuda" and "iPod Service",
# created here, from C:\test-services. A test_service.ini put there chooses their
# behaviour. Create services only once the prefix's first session has ended
# (docs/platform.md).
doubles_services() { # test_service.exe
  doubles_c="$WINEPREFIX/drive_c"
  doubles_programs="$doubles_c/Program Files (x86)"
  [ -d "$doubles_programs" ] || doubles_programs="$doubles_c/Program Files"
  mkdir -p "$doubles_programs/Common Files/Apple/Mobile Device Support" "$doubles_c/test-services"
  cp "$1" "$doubles_programs/Common Files/Apple/Mobile Device Support/AppleMobileDeviceService.exe"
  cp "$1" "$doubles_c/test-services/test_service.exe"
  wine sc create VIVavuzaRovuda binPath= 'C:\test-services\test_service.exe' >/dev/null 2>&1 || true
  wine sc create "iPod Service" binPath= 'C:\test-services\test_service.exe' >/dev/null 2>&1 || true
}

# The stand-in for the driver-install library (its i386 and x86-64 builds the arguments)
# also in place of the system's device-update library, newdev.dll, for the driver tool:
# in the prefix's system folders (system32 holds the prefix's own bitness, syswow64 the
# i386 libraries of a 64-bit prefix), and taken instead of Wine's own through the tool's
# library overrides. The prefix's own files are kept beside them, as newdev.dll.wine,
# until doubles_device_update_restore puts them back.
doubles_device_update() { # difx_standin.dll-i386 difx_standin.dll-x86-64
  doubles_windows="$WINEPREFIX/drive_c/windows"
  if [ -d "$doubles_windows/syswow64" ]; then
    doubles_swap "$doubles_windows/system32/newdev.dll" "$2"
    doubles_swap "$doubles_windows/syswow64/newdev.dll" "$1"
  else
    doubles_swap "$doubles_windows/system32/newdev.dll" "$1"
  fi
  wine reg add 'HKCU\Software\Wine\AppDefaults\Tallow.exe\DllOverrides' /v newdev /d native /f >/dev/null
}
doubles_swap() { mv "$1" "$1.wine" && cp "$2" "$1"; }
doubles_device_update_restore() {
  wine reg delete 'HKCU\Software\Wine\AppDefaults\Tallow.exe\DllOverrides' /v newdev /f >/dev/null
  for doubles_kept in "$WINEPREFIX"/drive_c/windows/sys*/newdev.dll.wine; do
    mv "$doubles_kept" "${doubles_kept%.wine}"
  done
}
