#!/bin/sh
# A throwaway PostgreSQL server on loopback for the tests.
#   scripts/pg.sh start DIR PORT   prints the connection string of database tolvex_test
#   scripts/pg.sh stop DIR
set -e
BIN="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
cmd="$1"; DIR="$2"; PORT="${3:-55432}"
run() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}
case "$cmd" in
start)
    rm -rf "$DIR"
    mkdir -p "$DIR"
    [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$DIR"
    run "$BIN/initdb" -D "$DIR/data" -A trust -U postgres >"$DIR/initdb.log" 2>&1
    run "$BIN/pg_ctl" -D "$DIR/data" -l "$DIR/server.log" \
        -o "-c listen_addresses=127.0.0.1 -p $PORT -k $DIR -c fsync=off" -w start >/dev/null
    run "$BIN/createdb" -h 127.0.0.1 -p "$PORT" -U postgres tolvex_test
    echo "Driver=PostgreSQL;Host=127.0.0.1;Port=$PORT;Database=tolvex_test;User=postgres;Password="
    ;;
stop)
    [ -d "$DIR/data" ] && run "$BIN/pg_ctl" -D "$DIR/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$DIR"
    ;;
*)
    echo "uso: pg.sh start DIR PORT | stop DIR" >&2
    exit 2
    ;;
esac
