#!/usr/bin/env bash
# An executable's dynamic symbol table must hold exactly its exported
# functions, as global functions under their plain C names, and nothing of
# the project's internals.
#
#   check_exports.sh READELF BINARY EXPORTS_LIST
#
# An empty EXPORTS_LIST (/dev/null) means a plain program that exports no
# function at all.
set -euo pipefail
readelf=$1 binary=$2 list=$3

expected=$({ grep -oE '^\s*[A-Za-z_][A-Za-z0-9_]*;' "$list" || true; } | tr -d ' ;' | sort)
# Defined global functions: Ndx is a section number, not UND.
actual=$("$readelf" --dyn-syms -W "$binary" |
  awk '$4 == "FUNC" && $5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" { sub(/@.*/, "", $8); print $8 }' | sort)

if [ "$expected" != "$actual" ]; then
  echo "exported functions differ from $list:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# Internal functions must not be visible under any binding or type.
for internal in HandleBootResult UtilsReadFile UtilsReadInt DeviceOpen DeviceCheck \
                DeviceReadImage PartitionWrite DeviceEraseAll BufferIsErased \
                BlockAlreadyWritten BlockNeedsErase; do
  if "$readelf" --dyn-syms -W "$binary" | awk '{print $8}' | grep -qx "$internal"; then
    echo "internal function $internal is exported"
    exit 1
  fi
done
echo "$(basename "$binary") exports: $(echo ${actual:-no function})"
