#!/usr/bin/env bash
# Installs what is missing, builds kelvox (release) and runs it listening at once
# (--start); further arguments go to kelvox. The build goes to KELVOX_BUILD_DIR
# (default build/release, relative to the repository), so that a user who cannot
# write the repository can name a folder of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"
build_dir=${KELVOX_BUILD_DIR:-build/release}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOX_TESTS=OFF -DKELVOX_BENCH=OFF >/dev/null
cmake --build "$build_dir" --target kelvox
exec "$build_dir/app/kelvox" --start "$@"
