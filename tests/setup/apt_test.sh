#!/usr/bin/env bash
# scripts/apt.sh against a registry with a broken index: the machine's own
# sources plus one suite that does not exist, in a throw-away copy of apt's
# configuration (APT_CONFIG), so that the machine's own sources, lists and
# caches are only read.  Needs root and the package mirror.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # description command...
  local what=$1; shift
  if "$@"; then echo "PASS $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/sources.list.d" "$work/debs"
# The machine's indexes to start from, so that the update fetches little.
find /var/lib/apt/lists -maxdepth 1 -type f ! -name lock -exec cp {} "$work/lists/" \;
cp /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list "$work/sources.list.d/" 2>/dev/null || true
[ ! -e /etc/apt/sources.list ] || cp /etc/apt/sources.list "$work/sources.list"
mirror=$(apt-get indextargets --format '$(REPO_URI)' | grep -m1 '/debian/$' || true)
[ -n "$mirror" ] || { echo "FAIL: no Debian mirror among this machine's sources"; exit 1; }
missing_suite=bookworm-no-such-suite
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $missing_suite main" >> "$work/sources.list"
cat > "$work/apt.conf" <<EOF
Dir::Etc::sourcelist "$work/sources.list";
Dir::Etc::sourceparts "$work/sources.list.d";
Dir::State::lists "$work/lists";
Dir::Cache "$work/cache";
APT::Architectures { "$(dpkg --print-architecture)"; "armhf"; };
EOF
export APT_CONFIG=$work/apt.conf

# Every apt-get call is counted, and with FAIL_DOWNLOADS set a download
# fails as a mirror's would.
apt-get() {
  echo "$1" >> "$work/calls"
  if [ "$1" = download ] && [ -n "${FAIL_DOWNLOADS:-}" ]; then
    echo "E: Failed to fetch $mirror/pool/main/... 503 Service Unavailable" >&2
    return 100
  fi
  command apt-get "$@"
}
source "$repo/scripts/apt.sh"

: > "$work/calls"
status=0
apt_update 2> "$work/update.err" || status=$?
sed 's/^/     /' "$work/update.err"
check "apt_update goes on when an index fails" [ "$status" = 0 ]
check "apt_update tries the update a second time" [ "$(grep -c '^update$' "$work/calls")" = 2 ]
check "one warning line names the failed index" \
  [ "$(grep -c "^apt: warning: .*$missing_suite" "$work/update.err")" = 1 ]
check "nothing but warning lines" [ -z "$(grep -v '^apt: warning: ' "$work/update.err" || true)" ]

check "a package the other indexes offer is found" apt_require busybox busybox:armhf
status=0
apt_require busybox no-such-package-anywhere 2> "$work/require.err" || status=$?
check "a package no index offers is an error" [ "$status" = 1 ]
check "the error names that package, and only it" \
  [ "$(grep -c '^apt: error: package no-such-package-anywhere cannot be had' "$work/require.err")" = 1 ]
check "the error names the failed index" grep -q "$missing_suite" "$work/require.err"
check "and there is one line" [ "$(wc -l < "$work/require.err")" = 1 ]

cd "$work/debs"
check "an armhf package downloads despite the failed index" apt_download busybox:armhf
check "its .deb is there" compgen -G 'busybox_*_armhf.deb' >/dev/null
rm -f ./*.deb
: > "$work/calls"
status=0
FAIL_DOWNLOADS=1 apt_download busybox:armhf 2> "$work/download.err" || status=$?
check "a download that keeps failing is an error" [ "$status" = 1 ]
check "it was tried twice" [ "$(grep -c '^download$' "$work/calls")" = 2 ]
check "the error names the package" grep -q '^apt: error: download of busybox:armhf failed twice$' "$work/download.err"

[ "$failures" = 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
