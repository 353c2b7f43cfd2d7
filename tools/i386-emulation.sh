#!/bin/sh
# Makes sure that this host starts Wine's 32-bit loader, a 32-bit Linux program. A host
# that starts it natively is left as it is. On a host whose kernel runs no 32-bit code
# (booted with ia32_emulation=off, some virtual machines), registers qemu's user-mode
# emulator, version 10 or later, as the kernel's binfmt_misc handler for i386 programs.
# TOOLS_EMULATE_I386=1 registers it even where the kernel runs 32-bit code itself: a
# registered handler is tried before the kernel's own loader, so the emulated path can
# be tried anywhere. Running it again changes nothing more. Exits non-zero, and says
# why, when the 32-bit loader still cannot start. Run as root by tools/install.sh.
#
# TOOLS_HOST_ROOT, empty on a real host, is the folder that stands for / in the tests.
set -eu
. "$(dirname "$0")/apt-lists.sh"
root=${TOOLS_HOST_ROOT:-}
binfmt=$root/proc/sys/fs/binfmt_misc
loader=$root/usr/lib/wine/wine
qemu=$root/usr/bin/qemu-i386
# Older emulators ignore the placement hints of Wine's address-space reservation, and
# each start of a Wine process then takes about a minute.
min_qemu=10
# i386 ELF executables and shared objects; F opens the emulator once, at registration.
handler=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'

starts_i386() { "$loader" --version >/dev/null 2>&1; }
registered() { [ -e "$binfmt/qemu-i386" ]; }
major() { sed -n 's/^[0-9]*://; s/^\([0-9]*\)\..*/\1/p'; } # of a Debian version
qemu_major() { "$qemu" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\)\..*/\1/p'; }
candidate_major() { apt-cache policy qemu-user-static | sed -n 's/^ *Candidate: //p' | major; }

if registered && [ "$(qemu_major)" -ge $min_qemu ] 2>/dev/null && starts_i386; then
  exit 0
fi
if ! registered && [ "${TOOLS_EMULATE_I386:-}" != 1 ] && starts_i386; then
  exit 0
fi

if [ "${TOOLS_EMULATE_I386:-}" = 1 ]; then
  why="TOOLS_EMULATE_I386=1 asks for it"
else
  why="this host starts no 32-bit programs, which Wine's i386 half is"
fi
help="The kernel runs 32-bit programs itself when booted with ia32_emulation=on (a kernel
option since Linux 6.7); otherwise run this set-up as root where
/proc/sys/fs/binfmt_misc can be mounted and written (on the host itself, not in an
unprivileged container), or register the handler there by hand:
  echo '$handler' >/proc/sys/fs/binfmt_misc/register"
fail() { printf '%s\n%s\n' "FAILED: $1" "$help" >&2; exit 1; }

# The emulator: from the configured suites when recent enough, else from the release's
# backports suite, pinned so that nothing but the emulator comes from there.
if [ "$(qemu_major)" -ge $min_qemu ] 2>/dev/null; then
  source=installed
else
  update_lists
  source="Debian's main suite"
  if ! [ "$(candidate_major)" -ge $min_qemu ] 2>/dev/null; then
    codename=$(sed -n 's/^VERSION_CODENAME=//p' "$root/etc/os-release")
    source="Debian's $codename-backports suite"
    prefs=$root/etc/apt/preferences.d/tools-backports
    : >"$prefs"
    if ! grep -lrs -e "$codename-backports" "$root/etc/apt/sources.list" "$root/etc/apt/sources.list.d" |
         grep -qv '/tools-backports.sources$'; then
      printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' "Suites: $codename-backports" \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
        >"$root/etc/apt/sources.list.d/tools-backports.sources"
      # Nothing else of the suite that this set-up added is ever chosen.
      printf '%s\n' 'Package: *' "Pin: release n=$codename-backports" 'Pin-Priority: 1' '' >>"$prefs"
    fi
    printf '%s\n' 'Package: qemu-user-static qemu-user qemu-user-binfmt' \
      "Pin: release n=$codename-backports" 'Pin-Priority: 990' >>"$prefs"
    update_lists
  fi
  install_packages qemu-user-static || true
  [ "$(qemu_major)" -ge $min_qemu ] 2>/dev/null ||
    fail "qemu-i386 $min_qemu or later could not be installed from $source (found: $("$qemu" --version 2>&1 | head -n 1))"
fi

[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
  fail "binfmt_misc cannot be mounted on $binfmt, so no emulator can be registered ($why)."
# A handler registered earlier may hold an older emulator open: replace it.
if registered; then echo -1 >"$binfmt/qemu-i386" 2>/dev/null || true; fi
printf '%s\n' "$handler" 2>/dev/null >"$binfmt/register" ||
  fail "the kernel refused the qemu-i386 handler in $binfmt/register ($why)."
starts_i386 || fail "Wine's 32-bit loader $loader still cannot start with the qemu-i386 handler registered ($why)."
echo "== registered $("$qemu" --version | sed -n '1s/ (.*//p') ($source) as the kernel's handler for i386 programs: $why; remove it with: echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386"
