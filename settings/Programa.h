#pragma once

#include <QDate>
#include <QString>

class QWidget;

// Values every part of the program reads: where the three tables live, how
// dates are written into statements, and who signed in.
namespace Programa {

inline QString DataCSOperarios;
inline QString DataTbOperarios;
inline QString DataCSReporte;
inline QString DataTbReporte;
inline QString DataCSGlobal;
inline QString DataTbGlobal;
inline QString Fecha_Frm = QStringLiteral("DD/MM/YYYY");
inline QString Fecha_Chr = QStringLiteral("#");
inline QString Fecha_Msk = QStringLiteral("##/##/####");
inline QDate Fec_Defecto;

inline QString OperadorActual;
inline QString NivelActual;
inline int TipoAcceso = 0;

inline QWidget* VentanaPrincipal = nullptr;

// The program directory: $TOLVEX_HOME when set (the launcher sets it), else
// the directory of the executable.
QString directorio();

// Reads the database keys and date settings from the settings file of the
// working directory into the variables above (start-up steps 2 and 3).
void leeVariables();

// "Version 2.0.2"-style numbers of this build.
QString version();

} // namespace Programa
