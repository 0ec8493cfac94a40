#!/usr/bin/env bash
# Builds a Release tree and runs the soak against ngircd (installed here when
# missing) for SECONDS (default 600).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" ngircd
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOX_TESTS=OFF >/dev/null
cmake --build build/release
build/release/bench/bench_soak "${1:-600}"
