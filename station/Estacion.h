#pragma once

class QWidget;

// Entry point of the weighing station, as the main window opens it.
namespace Estacion {

// Opens the station window (modeless); the main window hides meanwhile and
// is shown again when the station closes. Opening it again while it is open
// brings it to the front.
void abrir(QWidget* ventanaPrincipal);

// Closes the station and its link (the main window is closing).
void cerrar();

} // namespace Estacion
