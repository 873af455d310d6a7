#!/usr/bin/env bash
# systemd-analyze verify of the installed unit.  verify wants the unit's
# program where the unit says, and the standard targets it is ordered
# against: it checks a copy whose ExecStart points into DESTDIR, against
# this machine's own units.  Any complaint fails the test, not only the
# ones verify counts as errors (an unknown key is only a warning to it).
#
#   unit_test.sh SYSTEMD_ANALYZE DESTDIR UNITDIR SBINDIR
set -euo pipefail
analyze=$1 root=$2 unitdir=$3 sbindir=$4
[ -x "$analyze" ] || { echo "FAIL: no systemd-analyze (scripts/install-deps.sh installs systemd)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|^ExecStart=$sbindir/|ExecStart=$root$sbindir/|" "$root$unitdir/bootguard.service" > "$work/bootguard.service"
if ! complaints=$("$analyze" verify "$work/bootguard.service" 2>&1) || [ -n "$complaints" ]; then
  echo "FAIL: systemd-analyze verify:"
  echo "$complaints"
  exit 1
fi
echo "PASS systemd-analyze verify bootguard.service"
