#pragma once

#include <QString>

// A consistent copy of a SQLite database made by the engine itself, safe
// while other connections use it: written to a temporary file beside the
// destination and renamed over it once complete.
namespace CopiaBase {

// Path of the program's database file named by a connection string, or
// empty (with error) when it names none, e.g. a PostgreSQL server.
QString archivoDe(const QString& conexion, QString* error);

bool copiar(const QString& origen, const QString& destino, QString* error);

} // namespace CopiaBase
