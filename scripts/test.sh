#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal build
# with warnings as errors, and one with the address and undefined-behaviour
# sanitizers; then runs each fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
ensure_node_modules build/e2e-node
export KELVOX_E2E_NODE_PATH="$PWD/build/e2e-node/node_modules"

run_build() {
  local dir=$1; shift
  echo "== build $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  echo "== test $dir"
  (cd "$dir" && ctest --output-on-failure -j 2)
}

run_build build/debug -DCMAKE_BUILD_TYPE=Debug -DKELVOX_WERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOX_WERROR=ON -DKELVOX_SANITIZE=ON -DKELVOX_BENCH=OFF
echo "== fuzz"
bash scripts/fuzz.sh 30
