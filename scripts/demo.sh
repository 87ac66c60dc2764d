#!/bin/sh
# Installs what is missing, builds, installs Tolvex under demo/install,
# prepares the program directory demo/planta against the indicator simulator
# on 127.0.0.1 and starts Tolvex. Closing Tolvex stops the simulator.
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PORT="${TOLVEX_DEMO_PORT:-15020}"
PREFIX="$ROOT/demo/install"
DIR="$ROOT/demo/planta"

"$ROOT/scripts/deps.sh"
# The programs only: the tests are built by scripts/test.sh.
TOLVEX_TARGETS="tolvex tolvex-setup tolvex-sim tolvex-diag tolvex-report" "$ROOT/scripts/build.sh" "$ROOT/build"
cmake --install "$ROOT/build" --prefix "$PREFIX" >/dev/null

if [ -z "$DISPLAY" ] && [ -z "$WAYLAND_DISPLAY" ]; then
    echo "Tolvex está instalado en $PREFIX, pero no hay pantalla gráfica (DISPLAY vacío)."
    echo "Ejecute este comando desde una sesión de escritorio, o con un servidor X virtual:"
    echo "    xvfb-run -a sh scripts/demo.sh"
    exit 1
fi

"$PREFIX/bin/tolvex-setup" "$DIR" --tcp "127.0.0.1:$PORT" --id 1

SIM_PID=""
if [ -x "$PREFIX/bin/tolvex-sim" ]; then
    "$PREFIX/bin/tolvex-sim" --tcp "$PORT" --id 1 --speed 2 >"$ROOT/demo/sim.log" 2>&1 &
    SIM_PID=$!
    trap 'kill $SIM_PID 2>/dev/null || true' EXIT INT TERM
    echo "Simulador del indicador escuchando en 127.0.0.1:$PORT"
fi

if [ -f "$DIR/Tolvex.inf" ]; then
    echo "Primer inicio: Tolvex pedirá definir las contraseñas maestras de Operario y Supervisor."
    echo "Luego ingrese sin elegir operario con la contraseña de Supervisor; el Reset general"
    echo "de la estación pide un operario de nivel Superior o Instalador (menú Operarios)."
fi
"$DIR/tolvex"
