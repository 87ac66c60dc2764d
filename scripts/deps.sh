#!/bin/sh
# Installs the Debian 12 packages Tolvex needs to build, run and test.
# Only what is missing is installed; needs root (or sudo).
set -e
PKGS="build-essential cmake pkg-config libgl-dev
qt6-base-dev qt6-qpa-plugins libqt6opengl6-dev qt6-serialport-dev
libqt6sql6-sqlite libqt6sql6-psql fonts-dejavu-core fonts-liberation
qt6-translations-l10n python3-markdown
libzip-dev libsodium-dev mdbtools-dev mdbtools libfaketime
postgresql sqlite3 socat python3 python3-pymodbus python3-serial python3-serial-asyncio python3-openpyxl poppler-utils
xvfb xauth openbox xdotool x11-utils imagemagick libxlsxwriter-dev libsqlite3-dev libpq-dev dpkg-dev
qt6-httpserver-dev qt6-websockets-dev chromium chromium-driver python3-selenium
clang libclang-rt-14-dev libfuzzer-14-dev
mosquitto mosquitto-clients libmosquitto-dev libprotobuf-c-dev protobuf-c-compiler protobuf-compiler
python3-paho-mqtt python3-protobuf"
missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -z "$missing" ]; then
    exit 0
fi
echo "Instalando paquetes:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
