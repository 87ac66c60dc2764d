#!/bin/sh
# ctest fixture: a throwaway PostgreSQL server for a run that has none, so a
# plain "ctest" tests the PostgreSQL cases too. Its connection string goes to
# BUILD/pg-fixture.conexion, which the tests read when TOLVEX_TEST_PG is unset.
#   pg-fixture.sh start|stop BUILD_DIR SOURCE_DIR
cmd="$1"; BUILD="$2"; ROOT="$3"
FILE="$BUILD/pg-fixture.conexion"
case "$cmd" in
start)
    rm -f "$FILE" "$FILE.dir"
    if [ -n "$TOLVEX_TEST_PG" ]; then
        echo "TOLVEX_TEST_PG está definida: se usa ese servidor"
        exit 0
    fi
    if ! ls -d /usr/lib/postgresql/*/bin >/dev/null 2>&1; then
        echo "PostgreSQL no está instalado: los casos de PostgreSQL se omiten"
        exit 0
    fi
    DIR="$(mktemp -d /tmp/tolvex-ctest-pg.XXXXXX)"
    if sh "$ROOT/scripts/pg.sh" start "$DIR" 0 >"$FILE.tmp"; then
        echo "$DIR" >"$FILE.dir"
        mv "$FILE.tmp" "$FILE"
        echo "PostgreSQL de prueba: $(cat "$FILE")"
    else
        rm -f "$FILE.tmp"
        sh "$ROOT/scripts/pg.sh" stop "$DIR"
        echo "No se pudo iniciar PostgreSQL: los casos de PostgreSQL se omiten"
    fi
    ;;
stop)
    if [ -f "$FILE.dir" ]; then
        sh "$ROOT/scripts/pg.sh" stop "$(cat "$FILE.dir")"
    fi
    rm -f "$FILE" "$FILE.dir"
    ;;
*)
    echo "uso: pg-fixture.sh start|stop BUILD_DIR SOURCE_DIR" >&2
    exit 2
    ;;
esac
