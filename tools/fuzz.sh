#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (installing it when
# missing) and runs each for a short while from its seed corpus.
#   tools/fuzz.sh [SECONDS_PER_TARGET]   (default 30)
# A finding stops the run with a non-zero status; the crashing input is left
# in build/fuzz/findings/ (turn it into a regression test named after the
# fault). New corpus entries go to build/fuzz/corpus/, never into fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}

if ! command -v clang++ >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  # The package lists are usually there already (tools/setup.sh); refresh
  # them only when the install cannot find clang.
  apt-get install -y -qq clang >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq clang >/dev/null; }
fi

dir=build/fuzz
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "${JOBS:-2}"

mkdir -p "$dir/findings"
for target in fuzz_layout fuzz_maps; do
  seeds=fuzz/corpus/${target#fuzz_}
  work=$dir/corpus/${target#fuzz_}
  mkdir -p "$work"
  echo "== fuzzing $target for ${secs} s =="
  log=$dir/$target.log
  set +e
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$dir/$target" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/$target-" "$work" "$seeds" >"$log" 2>&1
  status=$?
  set -e
  grep -E "^Done|stat::number_of_executed_units|stat::peak_rss_mb|ERROR|SUMMARY|check failed|Test unit written|runtime error" "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "$target found a fault (exit $status); input in $dir/findings/" >&2
    exit "$status"
  fi
done
echo "fuzz: no findings"
