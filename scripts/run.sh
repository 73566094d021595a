#!/usr/bin/env bash
# Installs what is missing, builds, puts the application into the desktop's menus (icon
# and desktop entry under $XDG_DATA_HOME) and starts it. Arguments go to the program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVU_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
bash "$root/scripts/install-desktop.sh" "$build"
exec "$build/bin/korvu-darivir" "$@"
