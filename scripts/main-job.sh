#!/usr/bin/env bash
# The main job: bootguard judging four boots of the emulated camera board.
set -euo pipefail
exec "$(dirname "$0")/../board/story.sh"
