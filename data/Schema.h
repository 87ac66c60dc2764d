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

// Creates whichever of the four tables are missing, with their indexes,
// and the Ticket row of a new global table. Several workstations may prepare
// one PostgreSQL database at once: the creation runs in one transaction under
// an advisory lock (on SQLite under the file's write lock), so each table is
// created once. Returns the names of the tables it created; false and error
// on failure.
bool crear(CDatos& db, const QString& reporte, const QString& operarios, const QString& global,
           QStringList* creadas, QString* error);

// Columns of the reports table that say which workstation (PUESTO), which
// line (LINEA) and which queue entry (IDLOTE) wrote a row; rows written
// before they existed leave them empty. IDLOTE has a unique index, so the
// database refuses a second row for one entry.
inline const QString kPuesto = QStringLiteral("PUESTO");
inline const QString kLinea = QStringLiteral("LINEA");
inline const QString kIdLote = QStringLiteral("IDLOTE");

// Adds the identity columns and their index to a reports table that lacks
// them (a table of an earlier version), under the same lock as crear();
// true at once when they are there.
bool aseguraIdentidad(CDatos& db, const QString& reporte, QString* error);

bool existeTabla(CDatos& db, const QString& tabla);

// The plant table of a shared PostgreSQL database: the last state of every
// line of every workstation (PUESTO, LINEA, ESTADO as JSON text, VISTO as
// the server's time of it). Created when missing, under the lock of crear().
inline const QString kTablaPlanta = QStringLiteral("Planta");
bool creaPlanta(CDatos& db, QString* error);

// Indexes of the reports table on what the reports screen sorts and filters
// by, created when missing. On PostgreSQL each ends with TICKET, the last
// sort key, so a sort over many equal values needs no full read. Failures
// (a user without the right to create them) are not errors: the screens
// still work, only slower.
void aseguraIndicesReporte(const QSqlDatabase& db, const QString& tabla);

} // namespace Schema
