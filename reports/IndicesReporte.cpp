#include "IndicesReporte.h"

#include <QSqlQuery>
#include <QStringList>

namespace IndicesReporte {

void asegura(const QSqlDatabase& db, const QString& tabla)
{
    // The browser orders by the field and then the ticket. SQLite keeps the
    // ticket (the row id) in every index; PostgreSQL needs it as a column,
    // or a sort over many equal values reads the whole table.
    const bool sqlite = db.driverName() == QStringLiteral("QSQLITE");
    QStringList indices = {QStringLiteral("TOTAL"), QStringLiteral("PESO"), QStringLiteral("BACH"),
                           QStringLiteral("PRESET"), QStringLiteral("FECHA, HORA")};
    if (!sqlite)
        indices += {QStringLiteral("AUX1"), QStringLiteral("AUX2"), QStringLiteral("AUX3"), QStringLiteral("AUX4"),
                    QStringLiteral("AUX5"), QStringLiteral("AUX6"), QStringLiteral("OPERADOR"),
                    QStringLiteral("OPCION1")};
    for (const QString& campos : indices) {
        QString nombre = campos;
        nombre.remove(u' ').replace(u',', u'_');
        const QString columnas = sqlite ? campos : campos + QStringLiteral(", TICKET");
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS IXB_%1_%2 ON %1 (%3)").arg(tabla, nombre, columnas));
    }
}

} // namespace IndicesReporte
