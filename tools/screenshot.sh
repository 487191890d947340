#!/usr/bin/env bash
# Saves the window collapsed, expanded and busy as docs/window-collapsed.png,
# docs/window-expanded.png and docs/window-busy.png. The window grabs itself
# (TIDEWELL_SCREENSHOT), so no screen capture tool is needed; it runs under Xvfb when that
# is installed, otherwise on Qt's offscreen platform.
#   bash tools/screenshot.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
app="$build/app/tidewell"
if [ ! -x "$app" ]; then
  echo "screenshot: $app not found; build first (make build)" >&2
  exit 1
fi
mkdir -p docs
prefix="$PWD/docs/window"
# A sample path in the box, as the crawler would hand it over.
args=(VL /home/crawler/Vardlink/Vardlink.mdb)
if command -v xvfb-run >/dev/null 2>&1; then
  TIDEWELL_SCREENSHOT="$prefix" xvfb-run -a -s "-screen 0 1024x768x24" "$app" "${args[@]}"
else
  TIDEWELL_SCREENSHOT="$prefix" QT_QPA_PLATFORM=offscreen "$app" "${args[@]}"
fi
ls -l "$prefix"-collapsed.png "$prefix"-expanded.png "$prefix"-busy.png
