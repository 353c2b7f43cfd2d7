#!/bin/sh
# tools/release.sh end to end.
#   sh release_test.sh SOURCE_DIR WINE_RUN PREFIX
# - two unsigned releases give the same bytes, say so on one line, and their SHA256SUMS
#   match the archives, the bill of materials and the executables inside;
# - the third-party notices list, for each executable, every archive whose members its link
#   map shows and every object file it loaded, and nothing else; the bill of materials is
#   valid CycloneDX 1.5 (the CycloneDX library's validator, tools/bom-validator.sh) and
#   names the executables as shipped, each with the components the notices list for it;
# - the notices follow the link: a test program linked with zlib's archive lists zlib with
#   its licence, and a link with an archive that no package owns makes no notices;
# - a release signed with a throwaway certificate and CA: each executable verifies against
#   the CA, is named by its signed bytes' SHA-256 in the bill of materials, still runs
#   under Wine (no argument: exit 0), keeps the debug link, and after
#   remove-signature has the unsigned bytes, but for the image checksum, the security
#   directory and the padding at the end; the password shows nowhere in the output;
# - a named time-stamp server is asked: one that cannot be reached fails the release,
#   which then writes nothing; a certificate without a password can be used.
set -u
source_dir=$1 wine_run=$2 prefix=$3
work=$(mktemp -d -t tools-release-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
exes="x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe"

release() { # folder [VAR=value...]: runs the release script, its output in folder.log
  folder=$1
  shift
  env -u RELEASE_PKCS12 -u RELEASE_PKCS12_PASSWORD -u RELEASE_TIMESTAMP_URL "$@" \
    sh "$source_dir/tools/release.sh" "$folder" >"$folder.log" 2>&1
}

# Unpacks a release's archive beside its SHA256SUMS and checks both.
check_release() { # folder
  version=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
  name=mobile-device-tools-$version
  listing=$(unzip -Z1 "$1/$name.zip" | tr '\n' ' ')
  [ "$listing" = "x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe README.txt THIRD-PARTY-NOTICES.txt " ] ||
    fail "$1/$name.zip holds: $listing"
  listing=$(unzip -Z1 "$1/$name-symbols.zip" | tr '\n' ' ')
  [ "$listing" = "x86/Tallow.exe.debug x64/Tallow.exe.debug x86/Bracken.exe.debug " ] ||
    fail "$1/$name-symbols.zip holds: $listing"
  mkdir -p "$1/unpacked"
  (cd "$1/unpacked" && unzip -q "../$name.zip" && unzip -q "../$name-symbols.zip" &&
   cp "../$name.zip" "../$name-symbols.zip" "../$name.cdx.json" . && sha256sum -c ../SHA256SUMS >../sums.log 2>&1) ||
    { cat "$1/sums.log"; fail "SHA256SUMS of $1 does not match"; }
  [ "$(grep -c ': OK$' "$1/sums.log")" = 6 ] || fail "SHA256SUMS of $1 does not name 6 files"
  grep -q '^## Tallow, the driver tool' "$1/unpacked/README.txt" || fail "README.txt lacks the driver tool"
}

for run in unsigned-1 unsigned-2; do
  release "$work/$run" || { cat "$work/$run.log"; fail "the $run release failed"; }
  [ "$(grep -c '^unsigned release' "$work/$run.log")" = 1 ] || fail "the $run release does not say it is unsigned"
  # Past zip's two-second clock, so that a file's own time would show.
  sleep 2
done
check_release "$work/unsigned-1"
for file in $(cd "$work/unsigned-1" && ls ./*.zip ./*.cdx.json SHA256SUMS); do
  cmp "$work/unsigned-1/$file" "$work/unsigned-2/$file" || fail "two unsigned releases differ in $file"
done

# The file names of every third-party input of a link map: the archives whose members it
# took in and the object files it loaded (absolute paths; the build's own are relative).
linked() { # map
  awk '/^Archive member included/ { on = 1; next } /^Discarded input sections/ { on = 0 }
       on && /^\// { sub(/\(.*/, "", $1); print $1 }
       $1 == "LOAD" && $2 ~ /^\// && $2 !~ /\.a$/ { print $2 }' "$1" | sed 's|.*/||' | sort -u
}
# What the notices list for one executable: its lines "  component (package version): files".
listed() { # notices executable [field]
  tr -d '\r' <"$1" | awk -v e="$2" '$0 == e { on = 1; next } on && /^  / { print; next } on { exit }' |
    if [ "${3:-files}" = files ]; then sed 's/^.*): //' | tr ' ' '\n' | sort -u; else sed 's/^  \([^ ]*\) (\([^ ]*\) .*/\2\/\1/' | sort; fi
}
notices=$work/unsigned-1/unpacked/THIRD-PARTY-NOTICES.txt
bom=$work/unsigned-1/$name.cdx.json
for exe in $exes; do
  map=$source_dir/build/release-${exe%%/*}/linked/$(basename "$exe" .exe).map
  [ -n "$(linked "$map")" ] || fail "no third-party input in $map"
  [ "$(listed "$notices" "$exe" | tr '\n' ' ')" = "$(linked "$map" | tr '\n' ' ')" ] ||
    fail "the notices for $exe list $(listed "$notices" "$exe" | tr '\n' ' '), its map $(linked "$map" | tr '\n' ' ')"
  listed "$notices" "$exe" components | grep -q '^mingw-w64-.*-dev/winpthreads$' || fail "the notices give no winpthreads for $exe"
  # The bill of materials: the executable as shipped, and the components of the notices.
  grep -q "\"content\": \"$(sha256sum <"$work/unsigned-1/unpacked/$exe" | cut -d ' ' -f 1)\"" "$bom" ||
    fail "the bill of materials lacks the SHA-256 of $exe"
  [ "$(sed -n "s|^ *{ \"ref\": \"$exe\", \"dependsOn\": \[ \(.*\) \] },*\$|\1|p" "$bom" | tr -d '"' | sed 's/, /\n/g' | sort)" = "$(listed "$notices" "$exe" components)" ] ||
    fail "the bill of materials and the notices name different components in $exe"
done
# The winpthreads notice for both builds: its MIT and BSD texts, with their copyright lines.
tr -d '\r' <"$notices" | sed -n '/^winpthreads$/,/^mingw-w64$/p' >"$work/winpthreads"
for text in 'mingw-w64-i686-dev mingw-w64-x86-64-dev' 'Copyright: 2011-2016 mingw-w64 project' \
    'The above copyright notice and this permission notice shall be' 'Copyright: 2010 Lockless Inc.' \
    'Redistributions in binary form must reproduce the above copyright'; do
  grep -q "$text" "$work/winpthreads" || fail "the winpthreads notice lacks \"$text\""
done
if [ ! -d "$source_dir/build/bom-validator/node_modules" ]; then
  fail "no validator for the bill of materials in build/bom-validator: sh tools/bom-validator.sh installs it"
elif ! NODE_PATH=$source_dir/build/bom-validator/node_modules node "$source_dir/tests/release/validate-bom.js" "$bom"; then
  fail "the bill of materials does not validate"
fi

# A test link that also takes zlib's archive in, and one with an archive that no package owns.
link=$work/test-link
mkdir "$link"
(
  cd "$link" &&
  printf '#include <zlib.h>\nint main(void) { return zlibVersion()[0] == 0; }\n' >zlib.c &&
  printf 'int own(void);\nint main(void) { return own(); }\n' >main.c &&
  printf 'int own(void) { return 1; }\n' >own.c &&
  i686-w64-mingw32-gcc -c zlib.c main.c own.c && ar rc libown.a own.o &&
  i686-w64-mingw32-gcc -static -o zlib.exe zlib.o -lz -Wl,-Map=zlib.map &&
  i686-w64-mingw32-gcc -static -o own.exe main.o "$link/libown.a" -Wl,-Map=own.map
) >"$link.log" 2>&1 || { cat "$link.log"; fail "the test links failed"; }
sh "$source_dir/tools/third-party.sh" scan zlib.exe="$link/zlib.map" >"$link/table" &&
  sh "$source_dir/tools/third-party.sh" notices "$link/table" Test 1 >"$link/notices" ||
  fail "no notices for the test link with zlib"
listed "$link/notices" zlib.exe components | grep -q '^libz-mingw-w64-dev/zlib$' || fail "the notices of the zlib link list no zlib"
sed -n '/^zlib$/,$p' "$link/notices" >"$link/zlib"
for text in 'Linked from: libz.a' 'Licence: Zlib' 'Copyright: .*Jean-loup Gailly and Mark Adler' \
    'Permission is granted to anyone to use this software for any purpose'; do
  grep -q "$text" "$link/zlib" || fail "the zlib notice lacks \"$text\""
done
if sh "$source_dir/tools/third-party.sh" scan own.exe="$link/own.map" >"$link/table" 2>"$link/own.log"; then
  fail "a link with an archive that no package owns made notices"
fi
grep -q "^$link/libown.a is linked in, but no Debian package owns it" "$link/own.log" ||
  { cat "$link/own.log"; fail "the scan does not name the archive that no package owns"; }

# A CA and a code-signing certificate it issued, in a PKCS#12 file with a password.
ca=$work/ca
mkdir "$ca"
password=pw-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
(
  cd "$ca" &&
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Release test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Release test signer" &&
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext &&
  openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.crt &&
  printf '%s' "$password" >password &&
  openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout file:password -out signer.p12 &&
  openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout pass: -out no-password.p12
) >"$ca.log" 2>&1 || { cat "$ca.log"; fail "openssl could not make the test certificates"; exit 1; }

signed=$work/signed
release "$signed" RELEASE_PKCS12="$ca/signer.p12" RELEASE_PKCS12_PASSWORD="$password" ||
  { cat "$signed.log"; fail "the signed release failed"; }
grep -q "$password" "$signed.log" && fail "the signed release printed the password"
grep -q '^unsigned' "$signed.log" && fail "the signed release says it is unsigned"
check_release "$signed"

# The offset of a 32-bit little-endian field and the checksum and security directory's.
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
for exe in $exes; do
  file=$signed/unpacked/$exe
  unsigned=$work/unsigned-1/unpacked/$exe
  osslsigncode verify -CAfile "$ca/ca.crt" -in "$file" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "$exe does not verify against the test CA"; }
  grep -q "Text description: Mobile Device Tools" "$work/verify.log" || fail "$exe: the signature lacks the product name"
  grep -q "\"content\": \"$(sha256sum <"$file" | cut -d ' ' -f 1)\"" "$signed/$name.cdx.json" ||
    fail "the bill of materials of the signed release lacks the SHA-256 of the signed $exe"
  grep -q "^Message digest algorithm  : SHA256" "$work/verify.log" || fail "$exe: the signature is not SHA-256"
  sh "$wine_run" "$prefix" "$file" </dev/null >"$work/run.log" 2>&1 || fail "$exe signed exits with $? under Wine"
  # The debug link: the file name, then the CRC-32 of the debug file in the symbols
  # archive (which gzip's trailer holds too).
  x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$work/link" "$file" "$work/copy.exe"
  debug=${exe#*/}.debug
  [ "$(head -c "${#debug}" "$work/link")" = "$debug" ] || fail "$exe signed does not link to $debug"
  [ "$(tail -c 4 "$work/link" | od -An -tx1)" = "$(gzip -c "$signed/unpacked/$exe.debug" | tail -c 8 | head -c 4 | od -An -tx1)" ] ||
    fail "$exe signed: the debug link's checksum does not match $exe.debug of the symbols archive"

  # osslsigncode writes no file that exists already.
  rm -f "$work/removed.exe"
  osslsigncode remove-signature -in "$file" -out "$work/removed.exe" >"$work/remove.log" 2>&1 ||
    { cat "$work/remove.log"; fail "remove-signature failed on $exe"; continue; }
  size=$(wc -c <"$unsigned")
  pe=$(u32 "$unsigned" 60)
  checksum=$((pe + 24 + 64))
  directories=$((pe + 24 + 96))
  [ "$(od -An -tx2 -j$((pe + 24)) -N2 "$unsigned" | tr -d ' ')" = 020b ] && directories=$((pe + 24 + 112))
  security=$((directories + 4 * 8))
  # cmp -l: the 1-based offset of every differing byte; EOF past the unsigned size.
  head -c "$size" "$work/removed.exe" | cmp -l - "$unsigned" | awk -v c="$checksum" -v s="$security" '
    { o = $1 - 1; if (!((o >= c && o < c + 4) || (o >= s && o < s + 8)) && bad++ < 5) print "byte " o " differs" }
    END { exit bad > 0 }' || fail "$exe after remove-signature differs from the unsigned build"
  padding=$(($(wc -c <"$work/removed.exe") - size))
  { [ "$padding" -ge 0 ] && [ "$padding" -lt 8 ]; } || fail "$exe after remove-signature: $padding bytes more"
  [ -z "$(tail -c +$((size + 1)) "$work/removed.exe" | tr -d '\0')" ] || fail "$exe: the padding is not zeros"
done

# The time-stamp server is asked only when named: here it cannot be reached, which fails
# the release. (With a certificate without a password, which reaches osslsigncode as such.)
stamped=$work/stamped
if release "$stamped" RELEASE_PKCS12="$ca/no-password.p12" RELEASE_TIMESTAMP_URL=http://127.0.0.1:9/; then
  fail "a release whose time-stamp server cannot be reached succeeded"
fi
# osslsigncode 2.9 says "Connecting to URL", 2.5 "CURL failure: ... URL".
grep -q "http://127.0.0.1:9/" "$stamped.log" ||
  { cat "$stamped.log"; fail "the release did not ask the time-stamp server"; }
[ -z "$(ls -A "$stamped" 2>/dev/null)" ] || fail "a failed release left files in $stamped"

[ "$failures" = 0 ] && echo "release: all checks passed"
exit "$failures"
