#pragma once

// The program's entry sequence: settings, the start-up check of the settings
// file, first-run definition, sign-in, splash and main window. Returns the
// process exit code; the main window's event loop runs inside.
namespace Arranque {

inline constexpr const char* kMensajeSinIni =
    "No se encuentra tolvex.ini o la ruta de trabajo no es correcta.\n\n";

// True when the settings file is in the program directory (any letter case).
bool hayArchivoConfig();

int ejecutar();

} // namespace Arranque
