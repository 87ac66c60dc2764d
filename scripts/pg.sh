#!/bin/sh
# A throwaway PostgreSQL server on loopback for the tests.
#   scripts/pg.sh start DIR [PORT]   prints the connection string of database tolvex_test
#   scripts/pg.sh stop DIR
# PORT 0 (the default) takes a free port, and another one if a program that
# runs at the same time takes it first.
set -e
BIN="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
cmd="$1"; DIR="$2"; PORT="${3:-0}"
run() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}
libre() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
case "$cmd" in
start)
    rm -rf "$DIR"
    mkdir -p "$DIR"
    [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$DIR"
    run "$BIN/initdb" -D "$DIR/data" -A trust -U postgres >"$DIR/initdb.log" 2>&1
    intentos=5
    [ "$PORT" -eq 0 ] || intentos=1
    while :; do
        P="$PORT"
        [ "$P" -eq 0 ] && P="$(libre)"
        if run "$BIN/pg_ctl" -D "$DIR/data" -l "$DIR/server.log" \
            -o "-c listen_addresses=127.0.0.1 -p $P -k $DIR -c fsync=off" -w start >/dev/null; then
            break
        fi
        intentos=$((intentos - 1))
        if [ "$intentos" -eq 0 ]; then
            echo "pg.sh: PostgreSQL no arrancó en el puerto $P:" >&2
            tail -n 5 "$DIR/server.log" >&2
            exit 1
        fi
    done
    run "$BIN/createdb" -h 127.0.0.1 -p "$P" -U postgres tolvex_test
    echo "Driver=PostgreSQL;Host=127.0.0.1;Port=$P;Database=tolvex_test;User=postgres;Password="
    ;;
stop)
    [ -d "$DIR/data" ] && run "$BIN/pg_ctl" -D "$DIR/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$DIR"
    ;;
*)
    echo "uso: pg.sh start DIR [PUERTO] | stop DIR" >&2
    exit 2
    ;;
esac
