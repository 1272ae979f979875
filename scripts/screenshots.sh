#!/usr/bin/env bash
# Screenshots of the whole window at 1920x1080, in English and in Chinese, into docs/.
# Usage: scripts/screenshots.sh [path/to/quorvi]   (default: build/dev/src/quorvi)
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$(realpath "${1:-build/dev/src/quorvi}")
mkdir -p docs
for lang in en zh; do
  home=$(mktemp -d)
  mkdir -p "$home/config/Brisol" "$home/run"
  chmod 700 "$home/run"
  printf '[General]\nui_language=%s\n' "$lang" >"$home/config/Brisol/Quorvi Pro.conf"
  out="$PWD/docs/window-$lang.png"
  # A private settings folder and runtime folder: the operator's own settings stay untouched.
  XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
    xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
      "$1" & pid=$!
      sleep 6
      import -window root "$2"
      kill "$pid"; wait "$pid" || true' _ "$exe" "$out"
  rm -rf "$home"
  echo "wrote $out"
done
