# Installing Debian packages for scripts/test and scripts/bench, sourced by
# both.  A mirror in the middle of a sync, or an index of one architecture
# that cannot be fetched, must not stop a run whose packages can still be
# had; a package that truly cannot be had stops it with one line that names
# the package and says why.

export DEBIAN_FRONTEND=noninteractive
packages_updated=0

# apt-get update exits 100 when any one index fails, though it has read
# all the others: say which failed and go on with what was read.
packages_update() {
  [ "$packages_updated" = 1 ] && return 0
  packages_updated=1
  local log
  log=$(mktemp)
  if ! apt-get update -qq >"$log" 2>&1; then
    echo "warning: apt-get update could not read every package index;" \
      "going on with those it read:" >&2
    grep -E '^(E|W|Err):' "$log" | sed 's/^/  /' >&2 || true
  fi
  rm -f "$log"
}

# Why apt-get cannot install one package, in one line: the first unmet
# dependency it names, else its last error.
packages_why_not() {
  local report line
  report=$(apt-get install -s -y -qq "$@" 2>&1 || true)
  line=$(grep -m1 -E ' (Depends|Conflicts|Breaks):' <<<"$report" |
    sed -E 's/^ +//; s/ +/ /g')
  [ -n "$line" ] || line=$(grep -E '^E:' <<<"$report" | tail -n1 | sed 's/^E: //')
  echo "${line:-apt-get cannot install it}"
}

# Installs the packages if it can; otherwise prints which one cannot be had
# and why, on one line, and returns 1.
packages_try() {
  [ $# -gt 0 ] || return 0
  echo "== installing $*"
  packages_update
  apt-get install -y -qq "$@" >/dev/null 2>&1 && return 0
  local package
  for package in "$@"; do
    if ! apt-get install -s -y -qq "$package" >/dev/null 2>&1; then
      echo "cannot install $package: $(packages_why_not "$package")" >&2
      return 1
    fi
  done
  # Each alone could be had, all together not.
  echo "cannot install $*: $(packages_why_not "$@")" >&2
  return 1
}

# Installs the packages, or stops the run.
packages_need() {
  packages_try "$@" || exit 1
}
