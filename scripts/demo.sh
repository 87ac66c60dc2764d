#!/bin/sh
# Installs what is missing, builds, installs Tolvex under demo/install,
# prepares the program directory demo/planta against the indicator simulator
# on 127.0.0.1 and starts Tolvex. Closing Tolvex stops the simulator.
set -e
# TOLVEX_DEMO_PORT: the simulator's TCP port (default 15020).
# TOLVEX_DEMO_PREFIX, TOLVEX_DEMO_DIR: where the programs are and where the
# program directory goes; with TOLVEX_DEMO_SKIP_BUILD=1 nothing is built.
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PORT="${TOLVEX_DEMO_PORT:-15020}"
PREFIX="${TOLVEX_DEMO_PREFIX:-$ROOT/demo/install}"
DIR="${TOLVEX_DEMO_DIR:-$ROOT/demo/planta}"
LOGS="$(dirname "$DIR")"

if [ "$TOLVEX_DEMO_SKIP_BUILD" != 1 ]; then
    "$ROOT/scripts/deps.sh"
    # The programs only: the tests are built by scripts/test.sh.
    TOLVEX_TARGETS="tolvex tolvex-setup tolvex-sim tolvex-diag tolvex-report" "$ROOT/scripts/build.sh" "$ROOT/build"
    cmake --install "$ROOT/build" --prefix "$PREFIX" >/dev/null
fi

if [ -z "$DISPLAY" ] && [ -z "$WAYLAND_DISPLAY" ]; then
    echo "Tolvex está instalado en $PREFIX, pero no hay pantalla gráfica (DISPLAY vacío)."
    echo "Ejecute este comando desde una sesión de escritorio, o con un servidor X virtual:"
    echo "    xvfb-run -a sh scripts/demo.sh"
    exit 1
fi

# An existing program directory keeps its settings: it must name this port.
# The settings file has CRLF line ends, which grep's patterns cannot name.
if [ -f "$DIR/Tolvex.ini" ] && ! tr -d '\r' <"$DIR/Tolvex.ini" | grep -qi "^Port_1=$PORT\.\?$"; then
    ANTES="$(tr -d '\r' <"$DIR/Tolvex.ini" | grep -i '^Port_1=' | head -n 1 | sed 's/^[^=]*=//; s/\.\?$//')"
    echo "$DIR ya está preparado para el puerto ${ANTES:-de otro enlace}, no para $PORT." >&2
    echo "Use TOLVEX_DEMO_PORT=${ANTES:-PUERTO} o borre $DIR para prepararlo de nuevo." >&2
    exit 1
fi
if [ ! -x "$PREFIX/bin/tolvex-sim" ]; then
    echo "No se encuentra el simulador $PREFIX/bin/tolvex-sim." >&2
    exit 1
fi
# The simulator first: Tolvex must never talk to whatever else holds the port.
mkdir -p "$LOGS"
"$PREFIX/bin/tolvex-sim" --tcp "$PORT" --id 1 --speed 2 >"$LOGS/sim.out" 2>"$LOGS/sim.log" &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
# It either says its port or stops; a loaded machine may take a while.
i=0
while ! grep -q '^port ' "$LOGS/sim.out" 2>/dev/null && kill -0 "$SIM_PID" 2>/dev/null && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
done
if ! grep -q '^port ' "$LOGS/sim.out" 2>/dev/null; then
    echo "El simulador no pudo escuchar en 127.0.0.1:$PORT:" >&2
    sed 's/^/    /' "$LOGS/sim.log" >&2
    echo "Si otro programa ocupa ese puerto, elija otro libre, por ejemplo:" >&2
    echo "    TOLVEX_DEMO_PORT=15021 sh scripts/demo.sh" >&2
    exit 1
fi
echo "Simulador del indicador escuchando en 127.0.0.1:$PORT"

"$PREFIX/bin/tolvex-setup" "$DIR" --tcp "127.0.0.1:$PORT" --id 1

if [ -f "$DIR/Tolvex.inf" ]; then
    echo "Primer inicio: Tolvex pedirá definir las contraseñas maestras de Operario y Supervisor."
    echo "Luego ingrese sin elegir operario con la contraseña de Supervisor; el Reset general"
    echo "de la estación pide un operario de nivel Superior o Instalador (menú Operarios)."
fi
"$DIR/tolvex"
