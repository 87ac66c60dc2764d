#pragma once

#include <QString>
#include <memory>

class frmMain;
class MonitorWeb;
class PublicadorPlanta;
class CanalLocal;

// The program's entry sequence: settings, the start-up check of the settings
// file, first-run definition, sign-in, splash and main window.
namespace Arranque {

inline constexpr const char* kMensajeSinIni =
    "No se encuentra tolvex.ini o la ruta de trabajo no es correcta.\n\n";

enum class Resultado {
    Continuar,          // the main window is shown
    SinConfig,          // no settings file in the program directory
    PrimeraVezSalir,    // first-run definition not completed
    SinIngreso,         // nobody signed in
};

// True when the settings file is in the program directory (any letter case).
bool hayArchivoConfig();

// Notes in the error log when the settings file (master passwords,
// connection strings) can be read by users outside its owner and group.
// True when it made a note.
bool notaPermisos();

// Everything up to the shown main window. Modal dialogs run through
// Dialogos::ejecutar.
Resultado iniciar(frmMain& ventana);

// Started by the menu entry with "--preparar DIR": when DIR holds no
// settings file, offers to prepare it. True when DIR is ready; the program
// then runs there. False after telling where it goes and how to prepare it.
bool preparaDirectorio(const QString& directorio);

// Starts the web monitor when the settings file asks for it ([Web] Puerto)
// and feeds it the station. Bad settings go to the error log and stderr; the
// program then runs without it (nullptr).
std::unique_ptr<MonitorWeb> iniciaMonitor();
// The publisher of this workstation's lines to the plant, when the reports
// database is a shared PostgreSQL one (null otherwise); it follows every
// station opened from now on.
std::unique_ptr<PublicadorPlanta> iniciaPlanta();
// The local channel this process serves its lines on, when it records them
// (null when another process does, or the socket cannot be made).
std::unique_ptr<CanalLocal> iniciaCanal();

// iniciar, then the main window's event loop. Returns the exit code.
int ejecutar();

} // namespace Arranque
