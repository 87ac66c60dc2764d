#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class CDatos;

// Tables of a Tolvex database, created by the installation tool and by tests.
namespace Schema {

inline const QString kTablaReporte = QStringLiteral("Reporte");
inline const QString kTablaOperarios = QStringLiteral("Operarios");
inline const QString kTablaGlobal = QStringLiteral("Global");
// Operator commands sent to the indicator, kept beside the reports table.
inline const QString kTablaComandos = QStringLiteral("Comandos");

// Creates whichever of the four tables are missing, with their indexes.
// Returns the names of the tables it created; false and error on failure.
bool crear(CDatos& db, const QString& reporte, const QString& operarios, const QString& global,
           QStringList* creadas, QString* error);

bool existeTabla(CDatos& db, const QString& tabla);

// Indexes of the reports table on what the reports screen sorts and filters
// by, created when missing. On PostgreSQL each ends with TICKET, the last
// sort key, so a sort over many equal values needs no full read. Failures
// (a user without the right to create them) are not errors: the screens
// still work, only slower.
void aseguraIndicesReporte(const QSqlDatabase& db, const QString& tabla);

} // namespace Schema
