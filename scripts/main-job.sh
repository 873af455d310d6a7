#!/usr/bin/env bash
# The main job: a camera with a broken application update, from its first
# failed boot through U-Boot's recovery path to a healthy boot, on the
# emulated camera board.
exec "$(dirname "$0")/../board/story.sh" "$@"
