#include "IndicesReporte.h"

#include <QSqlQuery>
#include <QStringList>

namespace IndicesReporte {

void asegura(const QSqlDatabase& db, const QString& tabla)
{
    const QStringList indices = {QStringLiteral("TOTAL"), QStringLiteral("PESO"), QStringLiteral("BACH"),
                                 QStringLiteral("PRESET"), QStringLiteral("FECHA, HORA")};
    for (const QString& campos : indices) {
        QString nombre = campos;
        nombre.remove(u' ').replace(u',', u'_');
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS IXB_%1_%2 ON %1 (%3)").arg(tabla, nombre, campos));
    }
}

} // namespace IndicesReporte
