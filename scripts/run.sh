#!/usr/bin/env bash
# Installs what is missing, builds kelvox (release) and runs it listening at once
# (--start); further arguments go to kelvox. With --desktop first, the same for
# the desktop window kelvox-desktop (Qt 6), which listens as its settings say.
# The build goes to KELVOX_BUILD_DIR (default build/release, relative to the
# repository), so that a user who cannot write the repository can name a folder
# of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
desktop=false
if [ "${1:-}" = "--desktop" ]; then
  desktop=true
  shift
fi
build_dir=${KELVOX_BUILD_DIR:-build/release}
if $desktop; then
  ensure_packages "${BUILD_PACKAGES[@]}" "${DESKTOP_PACKAGES[@]}"
else
  ensure_packages "${BUILD_PACKAGES[@]}"
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOX_TESTS=OFF -DKELVOX_BENCH=OFF >/dev/null
if $desktop; then
  cmake --build "$build_dir" --target kelvox-desktop
  exec "$build_dir/desktop/kelvox-desktop" "$@"
fi
cmake --build "$build_dir" --target kelvox
exec "$build_dir/app/kelvox" --start "$@"
