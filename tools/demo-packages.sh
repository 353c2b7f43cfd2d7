# Sourced by demo.sh: "/i" then "/u" of the driver tool, both builds, with the project's
# stand-in for the driver-install library beside the tool (the real library is not
# available here). The stand-in keeps its driver store in C:\difxstore.
drive_c="$WINEPREFIX/drive_c"
packages="$drive_c/Program Files/Common Files/Apple/Mobile Device Support"
for arch in x86 x64; do
  suffix=""; library="DIFxAPI_x86.dll"
  [ "$arch" = x64 ] && { suffix="64"; library="difxapi_x64.dll"; }
  for inf in "Drivers/usbaapl$suffix.inf" "NetDrivers/netaapl$suffix.inf"; do
    if [ ! -f "$packages/$inf" ]; then
      mkdir -p "$(dirname "$packages/$inf")"
      printf '[Version]\r\nSignature="$Windows NT$"\r\n' > "$packages/$inf"
    fi
  done
  folder="$drive_c/demo-$arch"
  mkdir -p "$folder"
  cp "dist/$arch/Tallow.exe" "$folder/"
  cp "build/mingw-$arch/bin/difx_standin.dll" "$folder/$library"
  for switch in /i /u; do
    echo
    echo "== dist/$arch/Tallow.exe $switch (with the stand-in driver-install library)"
    set +e
    wine "$folder/Tallow.exe" $switch
    echo "(exit code $?)"
    set -e
  done
done
