#!/usr/bin/env bash
# Installs what is missing, builds kelvox (release) and runs it; arguments go to kelvox.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOX_TESTS=OFF -DKELVOX_BENCH=OFF >/dev/null
cmake --build build/release --target kelvox
exec build/release/app/kelvox "$@"
