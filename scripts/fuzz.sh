#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# the given number of seconds, then prints for every target its executions,
# coverage (cov/ft of libFuzzer's final stats) and findings (crash, leak,
# timeout and out-of-memory inputs).
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#
# Targets: node_id body frame json inbound (all by default). Each keeps its
# growing corpus in build/fuzz/corpus/<target>, seeded from
# tests/fuzz_corpus/<target>; findings land in build/fuzz/findings/<target>/
# and logs in build/fuzz/logs/<target>.log. FUZZ_JOBS (default 1) targets run
# at once. A finding is reproduced with
#   build/fuzz/fuzz/<target>_fuzz build/fuzz/findings/<target>/crash-...
# and, once fixed, kept as a regression case: copy it to
# tests/fuzz_corpus/<target>/regress-<what>.
# Exits 1 when any target has a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(node_id body frame json inbound)
jobs=${FUZZ_JOBS:-1}
build=build/fuzz

source scripts/python-env.sh
bash scripts/install-deps.sh --fuzz
use_python_scripts  # cmake and ninja
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVARDIMONT_FUZZ=ON -DVARDIMONT_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzz}"

run_target() {  # target
  local t=$1
  local corpus=$build/corpus/$t findings=$build/findings/$t log=$build/logs/$t.log
  mkdir -p "$corpus" "$findings" "$build/logs"
  local seed
  for seed in tests/fuzz_corpus/"$t"/*; do
    [ -e "$corpus/${seed##*/}" ] || cp "$seed" "$corpus/"
  done
  local args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1
              -artifact_prefix="$findings/")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
  # The live transport's worker threads allocate while an input runs, which
  # libFuzzer's per-input leak check would take for leaks of that input.
  [ "$t" = inbound ] && args+=(-detect_leaks=0)
  echo "fuzzing $t for ${seconds}s"
  "$build/fuzz/${t}_fuzz" "${args[@]}" "$corpus" >"$log" 2>&1 || true
}

running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

status=0
printf '\n%-8s %12s %8s %8s %8s %s\n' target executions cov ft corpus findings
for t in "${targets[@]}"; do
  log=$build/logs/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  line=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$line")
  found=$(find "$build/findings/$t" -maxdepth 1 -type f \
            \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  count=$(grep -c . <<<"$found" || true)
  printf '%-8s %12s %8s %8s %8s %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$count"
  if [ "$count" -gt 0 ]; then
    status=1
    sed 's/^/           /' <<<"$found"
  fi
done
exit $status
