#!/bin/sh
# Fuzzes every parser that takes outside input (see fuzz/ and
# docs/testing.md "Fuzzers"): installs what is missing, builds build-fuzz
# with clang and the sanitizers, replays the kept inputs (fuzz/regresiones
# and fuzz/corpus) and then runs each fuzzer for SECONDS (default 30).
#   scripts/fuzz.sh [SECONDS]
# TOLVEX_FUZZERS="rtu ini" runs only those. New inputs go to
# build-fuzz/trabajo, never into the repository. Exits non-zero at the
# first crash, sanitizer report, time-out or broken property, and prints
# the path of the input that caused it.
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SEGUNDOS="${1:-30}"
BUILD="$ROOT/build-fuzz"
FUZZERS="${TOLVEX_FUZZERS:-rtu ini cola filtro xlsx http}"
JOBS="$(nproc 2>/dev/null || echo 2)"

"$ROOT/scripts/deps.sh"
LANZADOR=""
if command -v ccache >/dev/null 2>&1; then
    LANZADOR="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DTOLVEX_FUZZ=ON -DTOLVEX_WERROR=ON $LANZADOR >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j "$JOBS" --target $(for f in $FUZZERS; do printf 'fuzz_%s ' "$f"; done)

# Qt keeps some memory to the end of the process: leaks are not looked for.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
TRABAJO="$BUILD/trabajo"
rm -rf "$TRABAJO"
mkdir -p "$TRABAJO"
export TOLVEX_FUZZ_TMP="$TRABAJO"

# Longest input and longest time per input, by fuzzer.
max_len() {
    case "$1" in
    xlsx) echo 65536 ;;
    http) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

falla() {
    echo "*** fuzz_$1: $2" >&2
    for a in "$TRABAJO/$1"/crash-* "$TRABAJO/$1"/timeout-* "$TRABAJO/$1"/oom-* "$TRABAJO/$1"/leak-*; do
        [ -e "$a" ] && echo "*** entrada que lo provoca: $a" >&2
    done
    exit 1
}

for f in $FUZZERS; do
    BIN="$BUILD/bin/fuzz_$f"
    mkdir -p "$TRABAJO/$f/corpus"
    DICT=""
    [ -f "$ROOT/fuzz/$f.dict" ] && DICT="-dict=$ROOT/fuzz/$f.dict"
    # Every kept input once, by name: the failing one is named in the output.
    ENTRADAS="$(find "$ROOT/fuzz/regresiones/$f" "$ROOT/fuzz/corpus/$f" -type f ! -name '.*' 2>/dev/null | sort)"
    if [ -n "$ENTRADAS" ]; then
        echo "== fuzz_$f: $(echo "$ENTRADAS" | wc -l) entradas guardadas"
        # shellcheck disable=SC2086
        (cd "$TRABAJO/$f" && "$BIN" -timeout=20 -rss_limit_mb=2048 $ENTRADAS) >"$TRABAJO/$f/replay.log" 2>&1 || {
            tail -40 "$TRABAJO/$f/replay.log" >&2
            grep -a "^Running: " "$TRABAJO/$f/replay.log" | tail -1 | sed 's/^Running: /*** entrada que lo provoca: /' >&2
            falla "$f" "una entrada guardada falla"
        }
    fi
    echo "== fuzz_$f: $SEGUNDOS s"
    # New inputs go to the first folder; the repository's are only read.
    SEMILLAS="$ROOT/fuzz/corpus/$f"
    [ -d "$ROOT/fuzz/regresiones/$f" ] && SEMILLAS="$SEMILLAS $ROOT/fuzz/regresiones/$f"
    # shellcheck disable=SC2086
    (cd "$TRABAJO/$f" && "$BIN" -max_total_time="$SEGUNDOS" -max_len="$(max_len "$f")" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$TRABAJO/$f/" $DICT \
        "$TRABAJO/$f/corpus" $SEMILLAS) >"$TRABAJO/$f/fuzz.log" 2>&1 || {
        tail -60 "$TRABAJO/$f/fuzz.log" >&2
        falla "$f" "fallo al fuzzear"
    }
    grep -a -E "stat::number_of_executed_units|stat::peak_rss_mb" "$TRABAJO/$f/fuzz.log" | tr '\n' ' ' | sed 's/$/\n/'
done
echo "Fuzzers: sin fallos ($FUZZERS)"
