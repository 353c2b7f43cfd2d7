#!/bin/sh
# tools/release.sh end to end.
#   sh release_test.sh SOURCE_DIR WINE_RUN PREFIX
# - two unsigned releases give the same bytes, say so on one line, and their SHA256SUMS
#   match the archives and the executables inside;
# - a release signed with a throwaway certificate and CA: each executable verifies against
#   the CA, still runs under Wine (no argument: exit 0), keeps the debug link, and after
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
  [ "$listing" = "x86/Tallow.exe x64/Tallow.exe x86/Bracken.exe README.txt " ] ||
    fail "$1/$name.zip holds: $listing"
  listing=$(unzip -Z1 "$1/$name-symbols.zip" | tr '\n' ' ')
  [ "$listing" = "x86/Tallow.exe.debug x64/Tallow.exe.debug x86/Bracken.exe.debug " ] ||
    fail "$1/$name-symbols.zip holds: $listing"
  mkdir -p "$1/unpacked"
  (cd "$1/unpacked" && unzip -q "../$name.zip" && unzip -q "../$name-symbols.zip" &&
   cp "../$name.zip" "../$name-symbols.zip" . && sha256sum -c ../SHA256SUMS >../sums.log 2>&1) ||
    { cat "$1/sums.log"; fail "SHA256SUMS of $1 does not match"; }
  [ "$(grep -c ': OK$' "$1/sums.log")" = 5 ] || fail "SHA256SUMS of $1 does not name 5 files"
  grep -q '^## Tallow, the driver tool' "$1/unpacked/README.txt" || fail "README.txt lacks the driver tool"
}

for run in unsigned-1 unsigned-2; do
  release "$work/$run" || { cat "$work/$run.log"; fail "the $run release failed"; }
  [ "$(grep -c '^unsigned release' "$work/$run.log")" = 1 ] || fail "the $run release does not say it is unsigned"
  # Past zip's two-second clock, so that a file's own time would show.
  sleep 2
done
check_release "$work/unsigned-1"
for file in $(cd "$work/unsigned-1" && ls ./*.zip SHA256SUMS); do
  cmp "$work/unsigned-1/$file" "$work/unsigned-2/$file" || fail "two unsigned releases differ in $file"
done

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
