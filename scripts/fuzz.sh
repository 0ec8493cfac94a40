#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for SECONDS
# (default 30), two at a time, starting from its seed corpus in fuzz/corpus.
# What a run adds to a corpus stays in build/fuzz-corpus. A finding fails the
# run and leaves its input in build/fuzz-findings.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_client_lines fuzz_server_lines fuzz_conn_ip fuzz_mask fuzz_config fuzz_password fuzz_cap_sasl)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOX_FUZZ=ON -DKELVOX_WERROR=ON >/dev/null
cmake --build build/fuzz
mkdir -p build/fuzz-findings

run() {
  local target=$1
  mkdir -p "build/fuzz-corpus/$target"
  if ! build/fuzz/fuzz/"$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="build/fuzz-findings/$target-" "build/fuzz-corpus/$target" "fuzz/corpus/$target" \
      > "build/fuzz-findings/$target.log" 2>&1; then
    echo "== $target: FINDING"; tail -40 "build/fuzz-findings/$target.log"; return 1
  fi
  echo "== $target: $(grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec' "build/fuzz-findings/$target.log" \
    | sed 's/stat:://' | tr '\n' ' ')corpus $(ls "build/fuzz-corpus/$target" | wc -l) files"
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run "${targets[i]}" & first=$!
  second=""
  if ((i + 1 < ${#targets[@]})); then run "${targets[i + 1]}" & second=$!; fi
  wait "$first" || failed=1
  [ -n "$second" ] && { wait "$second" || failed=1; }
done
exit $failed
