#pragma once

#include <QString>

#include "ConnectionString.h"

// Statements are written in one form throughout the program; this adapts
// them to the engine behind the connection.
namespace SqlDialect {

// A text value as a quoted literal with its single quotes doubled.
QString texto(const QString& value);

// "DD/MM/YYYY" style date pattern (as kept in the settings) to a Qt pattern.
QString formatoQt(const QString& patron);

// Rewrites, outside quoted strings:
//  - #date# literals (in the pattern fechaFrm) to the engine's ISO literal;
//  - a quoted date after BETWEEN or its AND (any delimiter) likewise;
//  - LIKE to ILIKE on PostgreSQL, whose LIKE is case-sensitive.
QString adaptar(const QString& sql, ConnectionString::Engine engine, const QString& fechaFrm);

// Table named after the first FROM of a SELECT, or empty.
QString tablaDe(const QString& sql);

} // namespace SqlDialect
