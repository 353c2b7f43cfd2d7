#!/bin/sh
# Start-up benchmark (not a test): how much longer each delivered executable takes to
# start without an argument than a minimal program built with the same toolchain and
# flags, under Wine. Runs the two in interleaved pairs and prints, per executable, the
# ratio of the median times (exe / baseline) with the quartiles and extremes of the
# per-pair ratios, its size and the libraries it imports.
#
#   sh tools/bench.sh [pairs]     (default 30; needs dist/ built, e.g. by tools/test.sh)
set -eu
cd "$(dirname "$0")/.."
. tools/wine-loader.sh
pairs=${1:-30}
case $pairs in '' | *[!0-9]* | 0) echo "usage: sh tools/bench.sh [pairs]"; exit 2 ;; esac

for exe in dist/x86/Tallow.exe dist/x64/Tallow.exe dist/x86/Bracken.exe; do
  [ -f "$exe" ] || { echo "$exe is missing: build both presets first (sh tools/test.sh)"; exit 1; }
done

work=$(mktemp -d -t tools-bench.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
unset DISPLAY
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

# The baselines, with the flags of the delivered executables.
flags="-std=c++20 -Os -municode -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -static -static-libgcc
  -static-libstdc++ -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,--no-insert-timestamp -s"
i686-w64-mingw32-g++-posix $flags -o "$work/minimal-x86.exe" tools/bench/minimal.cpp
x86_64-w64-mingw32-g++-posix $flags -Wl,--high-entropy-va -o "$work/minimal-x64.exe" tools/bench/minimal.cpp
i686-w64-mingw32-g++-posix $flags -o "$work/registry-x86.exe" tools/bench/registry_cmdline.cpp -ladvapi32 -lshell32

echo "== making a throwaway Wine prefix in $WINEPREFIX"
wine_boot >/dev/null 2>&1
wineserver -w
# One server for the whole measurement, so that no run pays for starting it.
wineserver -p
# Each run starts the Wine loader of the exe's bitness directly: the `wine` script would
# add a shell and, for an x86-64 exe, a second loader to every start.
run() { "$loader" "$1" </dev/null >/dev/null 2>&1 || true; }
now() { date +%s%N; }

results="$work/times"
: >"$results"
for pair in "dist/x86/Tallow.exe $work/minimal-x86.exe" "dist/x64/Tallow.exe $work/minimal-x64.exe" \
            "dist/x86/Bracken.exe $work/registry-x86.exe"; do
  set -- $pair
  exe=$1 base=$2
  loader=$(wine_loader "$exe")
  run "$exe"; run "$base"  # warm-up: file cache and the server's state
  i=0
  while [ $i -lt "$pairs" ]; do
    # Alternate which of the two runs first, so that a drift counts against both.
    if [ $((i % 2)) -eq 0 ]; then
      t0=$(now); run "$exe"; t1=$(now); run "$base"; t2=$(now)
      echo "$exe $((t1 - t0)) $((t2 - t1))" >>"$results"
    else
      t0=$(now); run "$base"; t1=$(now); run "$exe"; t2=$(now)
      echo "$exe $((t2 - t1)) $((t1 - t0))" >>"$results"
    fi
    i=$((i + 1))
  done
done

echo "== start-up time against the baseline, $pairs pairs each"
for exe in dist/x86/Tallow.exe dist/x64/Tallow.exe dist/x86/Bracken.exe; do
  grep "^$exe " "$results" | awk -v exe="$exe" '
    function sorted(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    }
    function quantile(a, n, q,   p, k) { p = 1 + (n - 1) * q; k = int(p); return k >= n ? a[n] : a[k] + (p - k) * (a[k + 1] - a[k]) }
    { n++; e[n] = $2; b[n] = $3; r[n] = $2 / $3 }
    END {
      sorted(e, n); sorted(b, n); sorted(r, n)
      printf "%-22s ratio of medians %.2f (%.1f ms / %.1f ms); per-pair ratios: quartiles %.2f to %.2f, min %.2f, max %.2f\n",
        exe, quantile(e, n, 0.5) / quantile(b, n, 0.5), quantile(e, n, 0.5) / 1e6, quantile(b, n, 0.5) / 1e6,
        quantile(r, n, 0.25), quantile(r, n, 0.75), r[1], r[n]
    }'
done
for exe in dist/x86/Tallow.exe dist/x64/Tallow.exe dist/x86/Bracken.exe; do
  echo "$exe: $(wc -c <"$exe") bytes, imports:" \
    $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
