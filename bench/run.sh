#!/usr/bin/env bash
# Builds a Release tree and runs the benchmarks: Kelvox against socat, plain and
# over TLS (socat installed here when missing, with strace to count system
# calls), then lingering sessions (memory held and the replay to a returning
# client), then the socket layer alone. Arguments go to bench_kelvox_relay:
# [lines] [round-trips].
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" socat strace
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOX_TESTS=OFF >/dev/null
cmake --build build/release
build/release/bench/bench_kelvox_relay "$@"
echo
build/release/bench/bench_linger
echo
build/release/bench/bench_line_relay
