# Debian's packages on a registry's bad day (sourced by scripts/install-deps.sh
# and board/setup.sh).
#
# A mirror in the middle of a sync serves an index of the wrong size, and
# apt-get update then fails as a whole although every other index arrived.
# What matters is whether the packages needed can still be found, so:
#   apt_update             updates, tries once more when an index fails, then
#                          goes on with what did download: one warning line
#                          per index that failed both times
#   apt_require PKG...     fails, naming each package, when no index offers it
#   apt_install PKG...     apt_require, then apt-get install (tried twice)
#   apt_download PKG...    apt_require, then apt-get download into the current
#                          directory (tried twice); fails naming each package
#                          whose .deb did not arrive
# Messages start with $apt_who ("apt" unless the caller sets it).  apt's own
# configuration is the caller's: APT_CONFIG points apt at another one.

apt_who=${apt_who:-apt}
apt_failed_indexes=()

# The indexes an update's output names as failed, one per line.
apt_failed_indexes_in() {  # update-output
  sed -n -e 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' \
         -e "s/^E: The repository '\\([^']*\\)' \\(.*\\)\$/\\1 (\\2)/p" <<<"$1" | sed 's/ ()$//'
}

apt_update() {
  local output status attempt index
  for attempt in 1 2; do
    status=0
    output=$(apt-get update -q 2>&1) || status=$?
    # apt-get update may exit 0 although an index failed: its E: lines tell.
    mapfile -t apt_failed_indexes < <(apt_failed_indexes_in "$output")
    if [ "${#apt_failed_indexes[@]}" -eq 0 ]; then
      [ "$status" -eq 0 ] && return 0
      # Nothing named: apt itself failed (a lock, a broken configuration).
      echo "$output" >&2
      echo "$apt_who: error: apt-get update failed (exit status $status)" >&2
      return 1
    fi
  done
  for index in "${apt_failed_indexes[@]}"; do
    echo "$apt_who: warning: apt-get update failed twice for $index; going on with the indexes that did download" >&2
  done
}

# True when some index offers a version of the package.
apt_available() {  # package[:arch]
  local candidate
  candidate=$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: *//p')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

apt_require() {  # packages...
  local package missing=()
  for package in "$@"; do
    apt_available "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  local failed="" index
  for index in "${apt_failed_indexes[@]}"; do failed+=" ${index%% (*}"; done
  for package in "${missing[@]}"; do
    echo "$apt_who: error: package $package cannot be had: no index offers it${failed:+ (indexes that failed to download:$failed)}" >&2
  done
  return 1
}

apt_install() {  # packages...
  apt_require "$@" || return 1
  local attempt
  for attempt in 1 2; do
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" && return 0
  done
  echo "$apt_who: error: apt-get install failed twice for: $*" >&2
  return 1
}

# The .deb of package[:arch] in the current directory.
apt_downloaded() { compgen -G "${1%%:*}_*.deb" >/dev/null; }

apt_download() {  # packages...
  apt_require "$@" || return 1
  local attempt package todo=("$@") left
  for attempt in 1 2; do
    # As root apt-get download warns that the _apt user cannot write the
    # current directory; the download itself works.
    apt-get download -q "${todo[@]}" 2>&1 | grep -v -e '^W: Download is performed unsandboxed' \
      -e '^Get:' -e '^Fetched ' >&2 || true
    left=()
    for package in "${todo[@]}"; do
      apt_downloaded "$package" || left+=("$package")
    done
    [ "${#left[@]}" -gt 0 ] || return 0
    todo=("${left[@]}")
  done
  for package in "${todo[@]}"; do
    echo "$apt_who: error: download of $package failed twice" >&2
  done
  return 1
}
