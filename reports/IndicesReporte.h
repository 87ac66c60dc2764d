#pragma once

#include <QSqlDatabase>
#include <QString>

// Indexes the browser's sort keys need on a large reports table (the
// weights and date with time); created once when missing. Failures (a user
// without the right to create them) are not errors: the browser still
// works, only slower.
namespace IndicesReporte {
void asegura(const QSqlDatabase& db, const QString& tabla);
} // namespace IndicesReporte
