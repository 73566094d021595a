#!/usr/bin/env bash
# The project's test command: installs what is missing, builds with every core and runs
# the whole suite with CTest inside a private desktop session (Xvfb, D-Bus, keyring,
# accessibility bus, PulseAudio).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVU_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
bash "$root/scripts/with-test-session.sh" \
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j"$(nproc)" "$@"
# The parsers of untrusted files, fuzzed briefly from their seeds under the sanitizers
# (a separate clang build of only what the fuzz targets need).
bash "$root/scripts/fuzz.sh" --time 10
