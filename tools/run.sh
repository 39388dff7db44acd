#!/usr/bin/env bash
# The main job: installs what is missing, builds the optimised tree and starts the
# resident control program TolvarCtrl (tray icon, splash, synchronisation), which in
# turn starts the screen saver Tolvar as the system's screen saver when asked. Arguments
# go to TolvarCtrl (for example --sync, --quit, --install KEY). Without a display it runs
# on a virtual X server (xvfb-run), so it starts on a machine without a desktop too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAR_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

program=build/release/src/TolvarCtrl
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec xvfb-run -a "$program" "$@"
fi
exec "$program" "$@"
