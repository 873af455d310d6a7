#!/usr/bin/env bash
# Prints what image writes cost on simulated NAND and NOR.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset host > /dev/null
cmake --build --preset host --target write_bench > /dev/null
build/host/bench/write_bench
