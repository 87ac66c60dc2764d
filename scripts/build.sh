#!/bin/sh
# Configures and builds Tolvex into BUILD_DIR (default: build).
#   scripts/build.sh [BUILD_DIR] [extra cmake options...]
# TOLVEX_TARGETS="a b" builds only those targets (default: everything).
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
[ $# -gt 0 ] && shift
JOBS="$(nproc 2>/dev/null || echo 2)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
if [ -n "$TOLVEX_TARGETS" ]; then
    # shellcheck disable=SC2086
    cmake --build "$BUILD" -j "$JOBS" --target $TOLVEX_TARGETS
else
    cmake --build "$BUILD" -j "$JOBS"
fi
