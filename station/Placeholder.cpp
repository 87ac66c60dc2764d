#include "Estacion.h"

// Replaced by the station window.
namespace Estacion {
void abrir(QWidget*) {}
void cerrar() {}
} // namespace Estacion
