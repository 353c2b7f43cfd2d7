#!/bin/sh
# The decisions of tools/i386-emulation.sh, on stand-in hosts: a temporary folder stands
# for /, and apt-get, apt-cache and mount are stand-ins that log their calls. The Debian
# suites offer qemu 7.2 (main) and 10.0.2 (backports, once configured). The stand-in for
# Wine's 32-bit loader starts when the host runs 32-bit code itself, or when the handler
# line was written to binfmt_misc's register file (the kernel's part).
#   sh i386_emulation_test.sh SOURCE_DIR
set -u
script=$1/tools/i386-emulation.sh
work=$(mktemp -d -t tools-emulation-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
cases=0 failed=0 failed_case=
fail() {
  echo "FAILED: $case: $*"
  [ "$failed_case" = "$case" ] || failed=$((failed + 1))
  failed_case=$case
}
handler=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'
binfmt=proc/sys/fs/binfmt_misc

mkdir "$work/bin"
stand_in() { # name body
  printf '#!/bin/sh\necho "%s $*" >>"$WORK/calls"\n%s\n' "$1" "$2" >"$work/bin/$1"
  chmod +x "$work/bin/$1"
}
stand_in apt-get '[ "$1" = install ] || exit 0
version=7.2; grep -rqs bookworm-backports "$ROOT/etc/apt" && version=10.0.2
printf "#!/bin/sh\necho \"qemu-i386 version $version (Debian)\"\n" >"$ROOT/usr/bin/qemu-i386"
chmod +x "$ROOT/usr/bin/qemu-i386"'
stand_in apt-cache 'echo "  Candidate: 1:7.2+dfsg-7"'
stand_in mount '[ ! -e "$WORK/mount-fails" ] && : >"$ROOT/'$binfmt'/register"'
loader='#!/bin/sh
[ -e "$WORK/native" ] || grep -qF ":qemu-i386:" "$ROOT/'$binfmt'/register" 2>/dev/null'

# A fresh stand-in host: its kernel runs no 32-bit code, binfmt_misc is not mounted, no
# emulator is installed, the backports suite is not configured.
new_host() { # case name
  case=$1 root=$work/root-$1 cases=$((cases + 1))
  mkdir -p "$root/usr/lib/wine" "$root/usr/bin" "$root/$binfmt" "$root/etc/apt/sources.list.d" \
    "$root/etc/apt/preferences.d"
  echo VERSION_CODENAME=bookworm >"$root/etc/os-release"
  echo "$loader" >"$root/usr/lib/wine/wine"
  chmod +x "$root/usr/lib/wine/wine"
  rm -f "$work/native" "$work/mount-fails"
  : >"$work/calls"
}
installed_qemu() { printf '#!/bin/sh\necho "qemu-i386 version %s (Debian)"\n' "$1" >"$root/usr/bin/qemu-i386"; chmod +x "$root/usr/bin/qemu-i386"; }
mounted() { : >"$root/$binfmt/register"; }
registered() { mounted; printf 'enabled\ninterpreter /usr/bin/qemu-i386\nflags: F\n' >"$root/$binfmt/qemu-i386"; echo "$handler" >"$root/$binfmt/register"; }
run() { # [VAR=value...]: runs the set-up step on the stand-in host
  env -u TOOLS_EMULATE_I386 WORK="$work" ROOT="$root" TOOLS_HOST_ROOT="$root" PATH="$work/bin:$PATH" "$@" \
    sh "$script" >"$work/out" 2>"$work/err"
  status=$?
}
expect() { # exit-code calls(;-separated) stdout-pattern
  [ "$status" = "$1" ] || fail "exit code $status, expected $1 (stderr: $(cat "$work/err"))"
  calls=$(tr '\n' ';' <"$work/calls")
  [ "$calls" = "$2" ] || fail "calls: $calls; expected: $2"
  case $(cat "$work/out") in $3) ;; *) fail "stdout: $(cat "$work/out"); expected: $3" ;; esac
}
register_holds() { [ "$(cat "$root/$binfmt/register" 2>/dev/null)" = "$1" ] || fail "register holds: $(cat "$root/$binfmt/register")"; }
apt_configuration() { # the backports source (or none) and the preferences, in one line
  echo "$(sed -n 's/^Suites: //p' "$root/etc/apt/sources.list.d/tools-backports.sources" 2>/dev/null)" \
    "$({ tr '\n' '|' <"$root/etc/apt/preferences.d/tools-backports"; } 2>/dev/null)"
}
failure_names() { # cause: stderr names the cause and the kernel setting
  grep -q "^FAILED: $1" "$work/err" && grep -q 'ia32_emulation=on' "$work/err" ||
    fail "stderr names not '$1' and the kernel setting: $(cat "$work/err")"
}
done_line() { echo "== registered qemu-i386 version $1 ($2) as the kernel's handler for i386 programs: $3; remove it with: echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386"; }
no_32bit_code='this host starts no 32-bit programs, which Wine'"'"'s i386 half is'
mount_call() { echo "mount -t binfmt_misc binfmt_misc $root/$binfmt;"; }
from_backports='apt-get update -qq;apt-cache policy qemu-user-static;apt-get update -qq;apt-get install -y -qq --no-install-recommends qemu-user-static;'
only_qemu='Package: qemu-user-static qemu-user qemu-user-binfmt|Pin: release n=bookworm-backports|Pin-Priority: 990|'
only_qemu_of_added="Package: *|Pin: release n=bookworm-backports|Pin-Priority: 1||$only_qemu"

new_host native
touch "$work/native"
run
expect 0 '' ''
register_holds ''
[ "$(apt_configuration)" = ' ' ] || fail "apt's configuration changed: $(apt_configuration)"

# Nothing installed: the emulator from the backports suite, which nothing else comes from.
new_host no-32-bit-code
run
expect 0 "$from_backports$(mount_call)" \
  "$(done_line 10.0.2 "Debian's bookworm-backports suite" "$no_32bit_code")"
register_holds "$handler"
[ "$(apt_configuration)" = "bookworm-backports $only_qemu_of_added" ] || fail "apt: $(apt_configuration)"
# The second run: the kernel made the handler's entry.
registered
: >"$work/calls"
run
expect 0 '' ''

# A backports suite that the host already has: only the emulator is pinned.
new_host own-backports
echo 'deb http://deb.debian.org/debian bookworm-backports main' >"$root/etc/apt/sources.list"
installed_qemu 7.2
mounted
run
expect 0 "$from_backports" \
  "$(done_line 10.0.2 "Debian's bookworm-backports suite" "$no_32bit_code")"
[ "$(apt_configuration)" = " $only_qemu" ] || fail "apt: $(apt_configuration)"

# Forced where the kernel runs 32-bit code, the emulator already there.
new_host forced
touch "$work/native"
installed_qemu 10.0.2
mounted
run TOOLS_EMULATE_I386=1
expect 0 '' "$(done_line 10.0.2 installed 'TOOLS_EMULATE_I386=1 asks for it')"
register_holds "$handler"

# A handler of an emulator too old: upgraded, and the handler replaced.
new_host old-handler
installed_qemu 7.2
registered
run
expect 0 "$from_backports" "$(done_line 10.0.2 "Debian's bookworm-backports suite" "$no_32bit_code")"
[ "$(cat "$root/$binfmt/qemu-i386")" = -1 ] || fail "the old handler was not removed"
register_holds "$handler"

# Failures: binfmt_misc cannot be mounted; the kernel refuses the handler; the loader still
# does not start.
new_host no-mount
installed_qemu 10.0.2
touch "$work/mount-fails"
run
expect 1 "$(mount_call)" ''
failure_names 'binfmt_misc cannot be mounted'
new_host refused
installed_qemu 10.0.2
mkdir "$root/$binfmt/register"
run
expect 1 '' ''
failure_names 'the kernel refused the qemu-i386 handler'
new_host still-no-loader
installed_qemu 10.0.2
mounted
echo '#!/bin/sh
exit 126' >"$root/usr/lib/wine/wine"
run
expect 1 '' ''
failure_names "Wine's 32-bit loader $root/usr/lib/wine/wine still cannot start"

echo "$((cases - failed)) passed, $failed failed"
[ "$failed" = 0 ]
