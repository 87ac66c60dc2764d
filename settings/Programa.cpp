#include "Programa.h"

#include <QDir>

#include "CDatos.h"
#include "Config.h"

namespace Programa {

QString directorio()
{
    return Contexto::programa().directorio();
}

void leeVariables()
{
    const QString s = QStringLiteral("BaseDeDatos");
    DataCSOperarios = Config::LeeConfig(s, QStringLiteral("DataCSOperarios"), QString(), true);
    DataTbOperarios = Config::LeeConfig(s, QStringLiteral("DataTbOperarios"), QString(), true);
    DataCSReporte = Config::LeeConfig(s, QStringLiteral("DataCSReporte"), QString(), true);
    DataTbReporte = Config::LeeConfig(s, QStringLiteral("DataTbReporte"), QString(), true);
    DataCSGlobal = Config::LeeConfig(s, QStringLiteral("DataCSGlobal"), QString(), true);
    DataTbGlobal = Config::LeeConfig(s, QStringLiteral("DataTbGlobal"), QString(), true);

    const QString g = QStringLiteral("global");
    Fecha_Frm = Config::LeeConfig(g, QStringLiteral("Fecha_Frm"), QStringLiteral("DD/MM/YYYY"));
    Fecha_Chr = Config::LeeConfig(g, QStringLiteral("Fecha_Chr"), QStringLiteral("#"));
    Fecha_Msk = Config::LeeConfig(g, QStringLiteral("Fecha_Msk"), QStringLiteral("##/##/####"));
    const QString fec =
        Config::LeeConfig(g, QStringLiteral("Fec_Defecto"), QStringLiteral("25/05/1810"));
    Fec_Defecto = QDate::fromString(fec, QStringLiteral("dd/MM/yyyy"));
    if (!Fec_Defecto.isValid())
        Fec_Defecto = QDate(1810, 5, 25);

    CDatos::setFormatoFecha(Fecha_Frm);
    CDatos::setDirectorioBase(QDir::currentPath());
}

QString version()
{
    return QStringLiteral("%1.%2.%3")
        .arg(TOLVEX_VERSION_MAJOR)
        .arg(TOLVEX_VERSION_MINOR)
        .arg(TOLVEX_VERSION_PATCH);
}

} // namespace Programa
