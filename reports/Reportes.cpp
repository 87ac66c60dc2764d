#include "Reportes.h"

// Replaced by the record browser.
namespace Reportes {
void abrir(QWidget*) {}
} // namespace Reportes
