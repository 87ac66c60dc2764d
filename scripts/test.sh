#!/bin/sh
# Installs what is missing, builds and runs every test, then the fuzzers
# (scripts/fuzz.sh, TOLVEX_FUZZ_SEGUNDOS seconds each, 30 by default).
#   scripts/test.sh [--sanitize]   (--sanitize: AddressSanitizer + UBSan build, no fuzzers)
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-test"
OPTS="-DTOLVEX_WERROR=ON"
if [ "$1" = "--sanitize" ]; then
    BUILD="$ROOT/build-asan"
    OPTS="$OPTS -DTOLVEX_SANITIZE=ON"
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
"$ROOT/scripts/deps.sh"
# shellcheck disable=SC2086
"$ROOT/scripts/build.sh" "$BUILD" $OPTS

PGDIR="$(mktemp -d /tmp/tolvex-pg.XXXXXX)"
cleanup() { "$ROOT/scripts/pg.sh" stop "$PGDIR"; }
trap cleanup EXIT INT TERM
TOLVEX_TEST_PG="$("$ROOT/scripts/pg.sh" start "$PGDIR" 0)"
export TOLVEX_TEST_PG
export QT_QPA_PLATFORM=offscreen
cd "$BUILD"
ctest --output-on-failure -j 2
# The fuzzers, sanitized already: their kept inputs and a short run each.
if [ "$1" != "--sanitize" ]; then
    "$ROOT/scripts/fuzz.sh" "${TOLVEX_FUZZ_SEGUNDOS:-30}"
fi
