#!/bin/sh
# The check of the delay imports (tools/check-delay-imports.py) and the helper behind it, on
# the delivered Tallow.exe of this build: the executable passes as built; a copy whose
# .idata section is made read-only (what binutils 2.44 and later write) still passes, and
# its /qu still runs under Wine, since the project's helper makes the page writable for
# its write; paired with a map that names the toolchain's helper instead, the check fails.
#   delay_imports_test.sh SOURCE_DIR PREFIX EXE MAP
set -u
source_dir=$1 prefix=$2 exe=$3 map=$4
check=$source_dir/tools/check-delay-imports.py
work=$(mktemp -d -t tools-delay.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
expect() { # name expected-status expected-text actual-status actual-output
  if [ "$4" = "$2" ] && printf '%s\n' "$5" | grep -qF -- "$3"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s: exit %s, expected %s with "%s"; output:\n%s\n' "$1" "$4" "$2" "$3" "$5"
  fi
}

out=$(python3 "$check" "$exe" "$map"); expect "as built" 0 "bound by the project's helper" $? "$out"

python3 - "$exe" "$work/Tallow.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional = struct.unpack_from("<H12xH", data, pe + 6)
for n in range(count):
    header = pe + 24 + optional + 40 * n
    if data[header:header + 8].rstrip(b"\0") == b".idata":
        flags = struct.unpack_from("<I", data, header + 36)[0]
        struct.pack_into("<I", data, header + 36, flags & ~0x80000000)
open(sys.argv[2], "wb").write(data)
PY
out=$(python3 "$check" "$work/Tallow.exe" "$map")
expect "read-only .idata" 0 "read-only slots: newdev.dll in .idata, setupapi.dll in .idata" $? "$out"

out=$("$source_dir/tests/wine-run.sh" "$prefix" "$work/Tallow.exe" /qu 2>&1)
expect "read-only .idata, /qu under Wine" 4 " Query Device Opt: " $? "$out"

sed 's|[^ ]*delay_load\.cpp\.obj$|/usr/lib/libmingwex.a(delayimp.o)|' "$map" >"$work/toolchain.map"
out=$(python3 "$check" "$work/Tallow.exe" "$work/toolchain.map")
expect "read-only .idata, the toolchain's helper" 1 \
  "FAILED: Tallow.exe: its address table of newdev.dll lies in the read-only section .idata, and the delay-load helper linked in (/usr/lib/libmingwex.a(delayimp.o)) writes there" $? "$out"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
