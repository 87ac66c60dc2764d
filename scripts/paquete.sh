#!/bin/sh
# Builds the Debian package build-deb/tolvex_VERSION_ARCH.deb (installs the
# build dependencies first when they are missing).
#   scripts/paquete.sh [extra cmake options...]
# Install it with: sudo apt install ./build-deb/tolvex_*.deb
set -e
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-deb"
"$ROOT/scripts/deps.sh"
# Only what the package holds, built as the tests build it (and stripped);
# cpack then installs it without building everything else first.
TOLVEX_TARGETS="tolvex tolvex-setup tolvex-diag tolvex-report tolvex-sim tolvex-manual tolvex-changelog" \
    "$ROOT/scripts/build.sh" "$BUILD" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@"
rm -f "$BUILD"/tolvex_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
ls "$BUILD"/tolvex_*.deb
