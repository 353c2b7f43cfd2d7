# update_lists: apt-get update, tried three times. What still cannot be fetched (a mirror
# that serves one index with the wrong size for hours, a suite out of reach) is named in
# one line, and the caller goes on with the lists there are: only the install that follows
# can tell whether they were enough. Sourced by install.sh and i386-emulation.sh.
update_lists() {
  lists_incomplete=
  update_log=$(mktemp -t tools-apt.XXXXXX)
  for try in 1 2 3; do
    if apt-get update -qq >"$update_log" 2>&1; then rm -f "$update_log"; return 0; fi
    [ $try = 3 ] || sleep 5
  done
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$update_log" | sort -u | tr '\n' ' ')
  if [ -n "$failed" ]; then
    echo "note: apt-get update could not fetch $failed- installing from the lists there are"
  else
    cat "$update_log"
    echo "note: apt-get update failed (above); installing from the lists there are"
  fi
  rm -f "$update_log"
  lists_incomplete=1
}

# install_packages PACKAGE...: apt-get install. Where a list was missing, an architecture
# may lack the newer versions of the other's (an i386 index of the security suite not
# fetched, while amd64 has its updates), and the two halves of a multi-arch package must
# agree: the install is then tried once more preferring the release's own suite.
install_packages() {
  install_log=$(mktemp -t tools-apt.XXXXXX)
  set -- -y -qq --no-install-recommends "$@"
  if ! DEBIAN_FRONTEND=noninteractive apt-get install "$@" >"$install_log" 2>&1; then
    codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
    if [ -z "$lists_incomplete" ] || [ -z "$codename" ]; then
      tail -n 20 "$install_log"; rm -f "$install_log"; return 1
    fi
    echo "note: the install failed with the lists there are; trying again preferring $codename's own suite"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -t "$codename" "$@" >"$install_log" 2>&1; then
      tail -n 20 "$install_log"; rm -f "$install_log"; return 1
    fi
  fi
  rm -f "$install_log"
}
