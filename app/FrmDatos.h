#pragma once

#include <QStringList>

class QWidget;

// Asks for the six auxiliary data values of a station opening.
namespace FrmDatos {
// True and the six values (index 0..5) when accepted; false when cancelled.
bool PideDatos(QWidget* parent, QStringList* valores);
} // namespace FrmDatos
