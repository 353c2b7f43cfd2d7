# Sourced: starts Windows programs under Wine with the loader of their own bitness.
# Debian's `wine` and `wineboot` commands start Wine's 32-bit loader first, even for a
# 64-bit program, and that loader hands over to the 64-bit one: on a host that runs
# 32-bit code through an emulator, every 64-bit start would pay for an emulated one.
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64

# The loader for a program: the 32-bit one for an i386 executable on this host's file
# system and for anything in a 32-bit prefix ($WINEARCH win32, or a prefix made so), the
# 64-bit one for anything else (an x86-64 executable, a program of a 64-bit prefix such
# as reg, sc, cmd.exe or wineboot.exe).
wine_loader() {
  if [ "${WINEARCH:-}" = win32 ] || grep -qs '^#arch=win32' "${WINEPREFIX:-$HOME/.wine}/system.reg" ||
     { [ -f "$1" ] && [ "$(od -An -tx1 -N2 -j$(($(od -An -tu4 -N4 -j60 "$1" 2>/dev/null) + 4)) "$1" 2>/dev/null)" = " 4c 01" ]; }; then
    echo "$wine32"
  else
    echo "$wine64"
  fi
}

# wine PROGRAM [ARGUMENTS...]: in the scripts that source this file, `wine` is this
# function and never Debian's script.
wine() { "$(wine_loader "$1")" "$@"; }

# Makes a fresh prefix in $WINEPREFIX, as `wineboot -i` does: a 64-bit one unless
# $WINEARCH says win32.
wine_boot() { wine wineboot.exe -i; }
