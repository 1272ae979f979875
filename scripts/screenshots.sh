#!/usr/bin/env bash
# Pictures of the window for docs/, in English and in Chinese: the whole window at 1920x1080
# with a channel on the program, captions and a drawing over it and the output running, one
# channel panel, the output panel with its status lines, the source dialog's five pages, the text
# panel beside the effect dialog, the drawing toolbar over the preview, and one composed program
# frame, and the schedule window with a plan.
# Usage: scripts/screenshots.sh [build folder] [arrangement]
#   (default build folder: build/dev, where quorvi_shots is built; "arrangement": that picture only)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
only=${2:-}
cmake --build "$build" --target quorvi_shots
mkdir -p docs
for lang in en zh; do
  home=$(mktemp -d)
  mkdir -p "$home/config" "$home/run"
  chmod 700 "$home/run"
  # A private settings folder and runtime folder: the operator's own settings stay untouched.
  XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
    xvfb-run -a -s "-screen 0 1920x1080x24" "$build/tools/quorvi_shots" docs "$lang" $only
  rm -rf "$home"
done
