#!/usr/bin/env bash
# Builds the libFuzzer targets of tools/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a fixed time.
#
#   tools/fuzz/run.sh [SECONDS] [TARGET ...]
#
# SECONDS per target (default 60); targets default to all of them
# (listread_fuzz input_fuzz records_fuzz).  Environment: VELMORA_FUZZ_BUILD
# (build folder, default build-fuzz), CXX (default clang++).  Each target
# grows its corpus in <build>/fuzz-corpus/<target> (seeded from
# tools/fuzz/seeds/<name>); a crash leaves its input in
# <build>/fuzz-artifacts/ and makes the script exit with status 1.  The
# summary gives, per target, the seconds run and the inputs tried.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(listread_fuzz input_fuzz records_fuzz)
build="${VELMORA_FUZZ_BUILD:-$root/build-fuzz}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=ON \
  -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$build/fuzz-artifacts"
summary=()
status=0
for t in "${targets[@]}"; do
  name="${t%_fuzz}"
  corpus="$build/fuzz-corpus/$t"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$build/fuzz-artifacts/$t-")
  [[ -f "$root/tools/fuzz/$name.dict" ]] && args+=(-dict="$root/tools/fuzz/$name.dict")
  seeds=()
  [[ -d "$root/tools/fuzz/seeds/$name" ]] && seeds=("$root/tools/fuzz/seeds/$name")
  log="$build/fuzz-artifacts/$t.log"
  echo "== $t: $seconds s"
  result=clean
  if ! "$build/fuzz/$t" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    result="FAILED (see $log)"
    status=1
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  secs="$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)"
  units="$(find "$corpus" -type f | wc -l)"
  summary+=("$(printf '%-15s %8s s %12s inputs  corpus %6s  %s' "$t" "${secs:-?}" "${runs:-?}" "$units" "$result")")
done
echo
echo "target            time        inputs tried"
printf '%s\n' "${summary[@]}"
exit "$status"
