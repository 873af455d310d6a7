#!/usr/bin/env bash
# systemd-analyze verify of the installed unit, or with MAX_EXPOSURE its
# sandbox: `systemd-analyze security --offline=true`, whose table is
# printed, must rate the unit's exposure at most MAX_EXPOSURE (0.0 to 10.0).
# verify wants the unit's program where the unit says, and the standard
# targets it is ordered against: it checks a copy whose ExecStart points
# into DESTDIR, against this machine's own units.  Any complaint fails the
# test, not only the ones verify counts as errors (an unknown key is only a
# warning to it).
#
#   unit_test.sh SYSTEMD_ANALYZE DESTDIR UNITDIR SBINDIR [MAX_EXPOSURE]
set -euo pipefail
analyze=$1 root=$2 unitdir=$3 sbindir=$4 max_exposure=${5:-}
[ -x "$analyze" ] || { echo "FAIL: no systemd-analyze (scripts/install-deps.sh installs systemd)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|^ExecStart=$sbindir/|ExecStart=$root$sbindir/|" "$root$unitdir/bootguard.service" > "$work/bootguard.service"

if [ -n "$max_exposure" ]; then
  if ! table=$("$analyze" security --offline=true --no-pager "$work/bootguard.service" 2>&1); then
    echo "FAIL: systemd-analyze security:"
    echo "$table"
    exit 1
  fi
  echo "$table"
  exposure=$(sed -n 's/.*Overall exposure level for bootguard.service: \([0-9.]*\).*/\1/p' <<<"$table")
  [ -n "$exposure" ] || { echo "FAIL: no overall exposure level in the table"; exit 1; }
  if awk -v exposure="$exposure" -v limit="$max_exposure" 'BEGIN { exit !(exposure > limit) }'; then
    echo "FAIL bootguard.service exposure $exposure, above $max_exposure"
    exit 1
  fi
  echo "PASS bootguard.service exposure $exposure (at most $max_exposure)"
  exit 0
fi

if ! complaints=$("$analyze" verify "$work/bootguard.service" 2>&1) || [ -n "$complaints" ]; then
  echo "FAIL: systemd-analyze verify:"
  echo "$complaints"
  exit 1
fi
echo "PASS systemd-analyze verify bootguard.service"
