#!/usr/bin/env bash
# Static analysis of the product's sources (supervisor, util, flash,
# bootguard-flash, bootguard-check) through the host build's compile
# database: clang-tidy with the checks of .clang-tidy, and cppcheck.  Any finding fails; a
# finding accepted is suppressed where it is, with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in clang-tidy-14 cppcheck jq; do
  command -v "$tool" > /dev/null || { echo "analyse: no $tool (scripts/install-deps.sh installs it)"; exit 1; }
done

cmake --preset host > /dev/null  # writes build/host/compile_commands.json
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The product's entries only: the tests, the fuzz targets and GoogleTest
# are not held to these checks.
jq --arg root "$PWD" \
  '[.[] | select(.file | test("^" + $root + "/(supervisor|util|flash|bootguard-flash|bootguard-check)/[^/]+$"))] | unique_by(.file)' \
  build/host/compile_commands.json > "$work/compile_commands.json"
mapfile -t files < <(jq -r '.[].file' "$work/compile_commands.json")
[ "${#files[@]}" -gt 0 ] || { echo "analyse: no product sources in build/host/compile_commands.json"; exit 1; }

# One process per file: clang-tidy 14 carries the analyser's state from one
# file to the next in a single run, and then reports paths that cannot be.
printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc)" -I{} sh -c 'clang-tidy-14 -p "$1" --quiet "$2" > "$1/tidy.$(basename "$2").log" 2>&1 || true' \
    sh "$work" {}
cat "$work"/tidy.*.log > "$work/clang-tidy.log"
tidy_findings=$(grep -cE ': (warning|error): ' "$work/clang-tidy.log" || true)

cppcheck --project="$work/compile_commands.json" --enable=warning,portability,performance --library=posix \
  --inline-suppr --quiet --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  2> "$work/cppcheck.log" || true
cppcheck_findings=$(grep -cE ': [a-z]+: ' "$work/cppcheck.log" || true)

if [ "$tidy_findings" -ne 0 ]; then
  grep -vE '^[0-9]+ warnings? (generated|treated as errors)\.?$' "$work/clang-tidy.log"
fi
if [ "$cppcheck_findings" -ne 0 ]; then
  cat "$work/cppcheck.log"
fi
echo "clang-tidy: ${#files[@]} files, $tidy_findings findings; cppcheck: ${#files[@]} files, $cppcheck_findings findings"
[ "$tidy_findings" -eq 0 ] && [ "$cppcheck_findings" -eq 0 ]
