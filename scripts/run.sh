#!/usr/bin/env bash
# Installs what is missing, builds, and starts the application.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVU_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
if [[ -x "$build/bin/korvu-darivir" ]]; then
  exec "$build/bin/korvu-darivir" "$@"
fi
echo "run.sh: the application is not built yet; nothing to start" >&2
exit 1
