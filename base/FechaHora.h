#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>

// Dates and times as the plant reads them, the same on every screen and in
// every file the program writes (journal, total notes, error log, listing,
// export, web): day, month and year in the order and with the separator of
// the desktop's short date, always with a two-digit day and month and a
// four-digit year; the time always as HH:mm:ss. Never a time zone, an AM/PM
// marker or brackets. Without a locale (C/POSIX): dd/MM/yyyy.
//
// The locale is Qt's default one, which is the system's unless a program (or
// a test) sets another.
namespace FechaHora {

inline const QString kPatronHora = QStringLiteral("HH:mm:ss");

// The date pattern (Qt's letters) for the locale.
QString patronFecha(const QLocale& locale = QLocale());
// The same pattern as an operator reads it in a hint: "DD/MM/AAAA".
QString patronLegible();

// Empty for an invalid date or time.
QString fecha(const QDate& d);
QString hora(const QTime& t);
// The date, a blank and the time, as given (no zone is converted); empty for
// an invalid moment.
QString fechaHora(const QDateTime& t);

// A date typed as the screens show it, or as AAAA-MM-DD; invalid otherwise.
QDate leeFecha(const QString& texto);

} // namespace FechaHora
