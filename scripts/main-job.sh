#!/usr/bin/env bash
# The main job: bootguard judging a run of boots of the camera.
set -euo pipefail
exec "$(dirname "$0")/sandbox-story.sh"
