#pragma once

#include <QDate>
#include <QString>

#include "Contexto.h"

class QWidget;

// The program-wide values of the window's session, and the start-up steps
// that fill them.
namespace Programa {

// The window's session (Contexto::programa()) under its usual names.
inline QString& DataCSOperarios = Contexto::programa().DataCSOperarios;
inline QString& DataTbOperarios = Contexto::programa().DataTbOperarios;
inline QString& DataCSReporte = Contexto::programa().DataCSReporte;
inline QString& DataTbReporte = Contexto::programa().DataTbReporte;
inline QString& DataCSGlobal = Contexto::programa().DataCSGlobal;
inline QString& DataTbGlobal = Contexto::programa().DataTbGlobal;
inline QString& Fecha_Frm = Contexto::programa().Fecha_Frm;
inline QString& Fecha_Chr = Contexto::programa().Fecha_Chr;
inline QString& Fecha_Msk = Contexto::programa().Fecha_Msk;
inline QDate& Fec_Defecto = Contexto::programa().Fec_Defecto;

inline QString& OperadorActual = Contexto::programa().OperadorActual;
inline QString& NivelActual = Contexto::programa().NivelActual;
inline int& TipoAcceso = Contexto::programa().TipoAcceso;

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
