#pragma once

#include <QDate>
#include <QString>

// The values one session of the program works with: where the three tables
// live, how dates are written into statements, who signed in, and the
// program directory. The window's session is Contexto::programa(); another
// session in the same process (a browser's) keeps one of its own and passes
// it to what it opens.
struct Contexto
{
    QString DataCSOperarios;
    QString DataTbOperarios;
    QString DataCSReporte;
    QString DataTbReporte;
    QString DataCSGlobal;
    QString DataTbGlobal;
    QString Fecha_Frm = QStringLiteral("DD/MM/YYYY");
    QString Fecha_Chr = QStringLiteral("#");
    QString Fecha_Msk = QStringLiteral("##/##/####");
    QDate Fec_Defecto;

    QString OperadorActual;
    QString NivelActual;
    int TipoAcceso = 0;

    // Empty: the program directory of the process ($TOLVEX_HOME, else the
    // executable's directory), read when asked.
    QString Directorio;
    QString directorio() const;

    // The window's session.
    static Contexto& programa();
};
