#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of their own, then runs each one on a copy
# of its committed seeds. Fails on any finding; the input that caused it is kept in
# "$build/fuzz-findings".
#
#   scripts/fuzz.sh                      every target for 10 s (what the test command runs)
#   scripts/fuzz.sh --time 600           every target for 10 minutes
#   scripts/fuzz.sh --runs 1000000 fuzz_model fuzz_tokenizer
#
# KORVU_FUZZ_JOBS sets how many targets run at once (default: the number of cores, at
# most 6); KORVU_FUZZ_BUILD_DIR the build folder (default: build-fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVU_FUZZ_BUILD_DIR:-$root/build-fuzz}"
limit=(-max_total_time=10)
targets=()
while (($#)); do
  case "$1" in
    --time) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  targets=(fuzz_config fuzz_tokenizer fuzz_hub fuzz_model fuzz_history fuzz_settings)
fi
jobs="${KORVU_FUZZ_JOBS:-$(nproc)}"
((jobs > 6)) && jobs=6

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVU_SANITIZE=ON -DBUILD_TESTING=OFF -DKORVU_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/fuzz-findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
export OMP_NUM_THREADS=1
# The targets write their inputs to files: into memory when there is a memory file system.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm

run() {
  local target=$1 seeds="$root/fuzz/corpus/${1#fuzz_}"
  mkdir -p "$work/$target"
  if "$build/bin/$target" "${limit[@]}" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$work/$target-" "$work/$target" "$seeds" >"$work/$target.log" 2>&1; then
    echo "fuzz: $target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$') runs, nothing found"
  else
    mkdir -p "$findings"
    cp "$work/$target"-* "$findings/" 2>/dev/null || true
    echo "fuzz: $target FOUND A FAULT (inputs kept in $findings):"
    tail -n 60 "$work/$target.log"
    return 1
  fi
}

status=0
pids=()
for target in "${targets[@]}"; do
  run "$target" &
  pids+=($!)
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
