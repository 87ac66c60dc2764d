#pragma once

#include <QVector>
#include <functional>

#include "Contexto.h"
#include "Lineas.h"

class EstacionPesaje;
class QWidget;

// Entry point of the weighing stations, one per line, as the main window
// opens them. Each line travels as one context: its settings, its writer
// (queue and last ticket), its station and its window.
namespace Estacion {

// Opens the station window of line `linea` (modeless); the main window
// hides while any station is open and is shown again when the last one
// closes. Opening a line that is open brings its window to the front.
// The station works for the session given (rows and audits are signed by
// its operator; the session must outlive the station).
void abrir(QWidget* ventanaPrincipal, const Contexto& contexto = Contexto::programa(), int linea = 1);
// Opens line `linea` from wherever the operator is (the overview, a
// shortcut), with the main window and session of the stations open.
void cambiaA(int linea);

// Starts the record writers at program start for the lines whose rows were
// left pending by an earlier run (stopped or failed before writing them),
// so that they are written at once and not only when the station is next
// opened. Each line's queue temporaries a kill left are removed first, and
// lines the settings file names beyond the limit are told to the error log.
void iniciaRegistro();

// Rows and markings not yet written, of every line (0 when no writer has
// started).
int pendientes();
// Asks before the program ends while rows are held only in memory; true
// when it may end.
bool confirmaCierre(QWidget* parent);

// The open station of line 1 (its state and signals), or null.
EstacionPesaje* actual();
// The open station of a line, or null.
EstacionPesaje* estacion(int linea);
// Stations open now.
int abiertas();

// Closes every station and its link (the main window is closing).
void cerrar();

// A viewer of the stations (the web monitor, the plant's publisher), known
// by quien: alAbrir gets every station opened from now on; an empty
// function stops it.
void observa(const void* quien, std::function<void(EstacionPesaje*)> alAbrir);

} // namespace Estacion
