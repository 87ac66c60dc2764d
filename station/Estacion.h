#pragma once

#include <functional>

#include "Contexto.h"

class EstacionPesaje;
class QWidget;

// Entry point of the weighing station, as the main window opens it.
namespace Estacion {

// Opens the station window (modeless); the main window hides meanwhile and
// is shown again when the station closes. Opening it again while it is open
// brings it to the front.
// The station works for the session given (rows and audits are signed by
// its operator; the session must outlive the station).
void abrir(QWidget* ventanaPrincipal, const Contexto& contexto = Contexto::programa());

// Starts the record writer at program start when rows were left pending by
// an earlier run (stopped or failed before writing them), so that they are
// written at once and not only when the station is next opened.
void iniciaRegistro();

// Rows and markings not yet written (0 when the writer has not started).
int pendientes();
// Asks before the program ends while rows are held only in memory; true
// when it may end.
bool confirmaCierre(QWidget* parent);

// The open station (its state and signals), or null.
EstacionPesaje* actual();

// Closes the station and its link (the main window is closing).
void cerrar();

// A viewer of the station (the web monitor): alAbrir gets every station
// opened from now on; an empty function stops it.
void observa(std::function<void(EstacionPesaje*)> alAbrir);

} // namespace Estacion
