#!/bin/sh
# Runs a command as root in a fresh Debian root, from the top folder of a fresh clone of
# this repository's current commit (uncommitted changes are left out), and exits with the
# command's status. For a developer and for CI alike:
#
#   sh tools/in-debian.sh 13 sh tools/test.sh      (12: bookworm, 13: trixie)
#
# The command gets a clean environment (HOME, PATH, LANG=C.UTF-8, TERM); give it more with
# env: `sh tools/in-debian.sh 13 env TOOLS_EMULATE_I386=1 sh tools/demo.sh`.
#
# Cache, in ${TOOLS_DEBIAN_CACHE:-/var/cache/tools-debian}/<codename>/:
#   base/  what debootstrap makes (minbase, with ca-certificates and git), with the host's
#          mirrors for the release, its -updates and -security suites; made again when
#          that recipe changes or when it is 7 days old, so that it follows the archive;
#   root/  a copy of base/ plus every package that tools/install.sh installs for all its
#          uses (build, run, test, release, check); made again with base/, or when the
#          list of packages that install.sh names changes.
# A run never writes to either: it works in an overlay of its own on top of root/ (a full
# copy where overlays cannot be mounted), thrown away at its end. The command's own set-up
# still runs and installs whatever root/ lacks, so a cached root saves time but changes no
# result. TOOLS_DEBIAN_KEEP=1 keeps the run's files (the clone and its build/ are in
# <codename>/runs/<pid>/upper/, or root/ for a copy) and says where.
set -eu
usage() { echo "usage: sh tools/in-debian.sh 12|13 COMMAND [ARGUMENT...]" >&2; exit 2; }
case ${1:-} in
  12) codename=bookworm ;;
  13) codename=trixie ;;
  *) usage ;;
esac
release=$1; shift
[ $# -gt 0 ] || usage
[ "$(id -u)" = 0 ] || { echo "in-debian.sh: run it as root (debootstrap, mount, chroot)" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$top" rev-parse HEAD)
dir=/work/$(basename "$top") # the clone's place in the root
cache=${TOOLS_DEBIAN_CACHE:-/var/cache/tools-debian}/$codename
mkdir -p "$cache/runs" && cache=$(cd "$cache" && pwd -P)
start=$(date +%s)
say() { echo "== in-debian $release ($(($(date +%s) - start)) s): $*"; }

# The host's mirrors (deb822 or one-line sources), with this release's suites.
uris=$({ cat /etc/apt/sources.list.d/*.sources | sed -n 's/^URIs: *//p'
         sed -n 's/^deb  *\(\[[^]]*\]  *\)\{0,1\}\([^ ]*\).*/\2/p' /etc/apt/sources.list; } 2>/dev/null) || true
mirror=$(echo "$uris" | grep -m1 '/debian/*$' || echo http://deb.debian.org/debian)
security=$(echo "$uris" | grep -m1 '/debian-security/*$' || echo http://deb.debian.org/debian-security)
sources="Types: deb
URIs: $mirror
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
needs="build run test release check"
base_key=$(printf '%s\n' "debootstrap --variant=minbase --include=ca-certificates,git $codename $mirror" \
             "$(dpkg --print-architecture)" "$sources" | sha256sum | cut -c1-16)
packages=$(sed -n 's/^ *want [^ ]* //p' "$top/tools/install.sh" | tr -d '"' | tr ' ' '\n' | sort -u | tr '\n' ' ')
root_key="$base_key $(echo "$needs: $packages" | sha256sum | cut -c1-16)"

# What a root takes from the host at each use: the certificates (without the host's
# bundle npm fails with SELF_SIGNED_CERT_IN_CHAIN), npm's settings, the name service.
host_files() {
  cp /etc/ssl/certs/ca-certificates.crt "$1/etc/ssl/certs/ca-certificates.crt"
  [ ! -f "$HOME/.npmrc" ] || cp "$HOME/.npmrc" "$1/root/.npmrc"
  cp -L /etc/resolv.conf "$1/etc/resolv.conf"
}
mount_all() {
  mount -t proc proc "$1/proc"
  mount -t sysfs sys "$1/sys"
  mount --rbind /dev "$1/dev"
  mount --make-rslave "$1/dev" # so that unmounting it never reaches the host's /dev
}
# Ends what still runs in the root (a lingering wineserver), then unmounts all of it.
unmount_all() {
  for _ in 1 2 3 4 5; do
    pids=$(for p in /proc/[0-9]*; do
             [ "$(readlink "$p/root" 2>/dev/null)" != "$1" ] || echo "${p#/proc/}"; done)
    [ -n "$pids" ] || break
    # shellcheck disable=SC2086
    kill -9 $pids 2>/dev/null; sleep 1
  done
  for m in dev sys proc; do
    if mountpoint -q "$1/$m"; then umount -R "$1/$m"; fi
  done
  if mountpoint -q "$1"; then umount "$1"; fi
}
clone_into() { # ROOT: the current commit, checked out in ROOT$dir
  git clone -q --no-hardlinks "$top" "$1$dir"
  git -C "$1$dir" checkout -q --detach "$commit"
}
in_root() { # ROOT COMMAND...: from the clone's top folder, in a clean environment
  r=$1; shift
  chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    sh -c 'cd "$0" && exec "$@"' "$dir" "$@" 9>&-
}

busy="" # the root that is mounted, if any
run=""
cleanup() {
  set +e
  [ -z "$busy" ] || unmount_all "$busy"
  if [ -n "$run" ] && [ "${TOOLS_DEBIAN_KEEP:-}" = 1 ]; then say "kept the run's files in $run"
  elif [ -n "$run" ]; then rm -rf "$run"; fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fresh_base() {
  [ "$(cat "$cache/base.key" 2>/dev/null)" = "$base_key" ] && [ -n "$(find "$cache/base.key" -mtime -7)" ]
}
fresh_root() { fresh_base && [ "$(cat "$cache/root.key" 2>/dev/null)" = "$root_key" ]; }
make_base() {
  say "making the $codename base (debootstrap) in $cache/base"
  if ! command -v debootstrap >/dev/null; then
    (cd "$top" && . tools/apt-lists.sh && update_lists && install_packages debootstrap)
  fi
  rm -rf "$cache/base" "$cache/base.key"
  if ! debootstrap --variant=minbase --include=ca-certificates,git "$codename" "$cache/base" "$mirror" \
         >"$cache/debootstrap.log" 2>&1; then
    tail -n 20 "$cache/debootstrap.log"; say "FAILED: debootstrap (its log: $cache/debootstrap.log)"; exit 1
  fi
  rm -f "$cache/base/etc/apt/sources.list"
  echo "$sources" >"$cache/base/etc/apt/sources.list.d/debian.sources"
  # Packages start no services in the root.
  printf '#!/bin/sh\nexit 101\n' >"$cache/base/usr/sbin/policy-rc.d"
  chmod +x "$cache/base/usr/sbin/policy-rc.d"
  echo "$base_key" >"$cache/base.key"
}
make_root() {
  fresh_base || make_base
  say "installing the project's packages into $cache/root (tools/install.sh: $needs)"
  rm -rf "$cache/root" "$cache/root.key"
  cp -a "$cache/base" "$cache/root"
  host_files "$cache/root"
  clone_into "$cache/root"
  busy=$cache/root; mount_all "$busy"
  in_root "$cache/root" env TOOLS_NEEDS="$needs" sh -c '. tools/install.sh'
  in_root "$cache/root" apt-get clean
  unmount_all "$busy"; busy=""
  rm -rf "$cache/root/work" "$cache/root/root/.npm"
  echo "$root_key" >"$cache/root.key"
}

# Runs share the cached root; making it again waits until none uses it.
exec 9>"$cache/lock"
flock -s 9
if ! fresh_root; then
  flock -u 9; flock -x 9
  fresh_root || make_root
  flock -s 9
fi
say "using the $codename root made $(date -r "$cache/root.key" '+%Y-%m-%d %H:%M') (base $(date -r "$cache/base.key" '+%Y-%m-%d %H:%M'))"

run=$cache/runs/$$
mkdir -p "$run/upper" "$run/work" "$run/root"
if ! mount -t overlay overlay -o "lowerdir=$cache/root,upperdir=$run/upper,workdir=$run/work" "$run/root" 2>/dev/null; then
  say "no overlay here: copying the root"
  cp -a "$cache/root/." "$run/root/"
fi
busy=$run/root
host_files "$busy"
say "cloning $commit into $dir"
clone_into "$busy"
mount_all "$busy"
say "running: $*"
status=0
in_root "$busy" "$@" || status=$?
say "the command exited with $status"
exit $status
