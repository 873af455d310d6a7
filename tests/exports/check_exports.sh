#!/usr/bin/env bash
# The executable's dynamic symbol table must hold exactly the exported
# functions, as global functions under their plain C names, and nothing of
# the project's internals.
#
#   check_exports.sh READELF BOOTGUARD EXPORTS_LIST
set -euo pipefail
readelf=$1 bootguard=$2 list=$3

expected=$(grep -oE '^\s*[A-Za-z_][A-Za-z0-9_]*;' "$list" | tr -d ' ;' | sort)
# Defined global functions: Ndx is a section number, not UND.
actual=$("$readelf" --dyn-syms -W "$bootguard" |
  awk '$4 == "FUNC" && $5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" { sub(/@.*/, "", $8); print $8 }' | sort)

if [ "$expected" != "$actual" ]; then
  echo "exported functions differ from $list:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# Internal functions must not be visible under any binding or type.
for internal in HandleBootResult UtilsReadFile UtilsReadInt DeviceOpen DeviceCheck \
                DeviceReadImage DeviceWriteImage DeviceEraseAll BufferIsErased \
                BlockAlreadyWritten BlockNeedsErase; do
  if "$readelf" --dyn-syms -W "$bootguard" | awk '{print $8}' | grep -qx "$internal"; then
    echo "internal function $internal is exported"
    exit 1
  fi
done
echo "exported: $(echo $actual)"
