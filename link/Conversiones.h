#pragma once

#include <QString>
#include <QVariant>
#include <optional>

// Conversions between the station's texts and numbers.

// A number stays that number. A text with a "." is read leniently (blanks
// ignored, "." taken as decimal point whatever the locale) and returned as a
// double; a text without "." comes back unchanged.
QVariant KVal(const QVariant& inValor);
// Keeps digits and "-", turns "." and "," into ".", drops everything else.
QString Ktxt(const QString& inValor);
// floor(KVal(inValor) * 10^decimales), the product first rounded to the
// nearest 1e-9. Nothing when the value does not read as a number.
std::optional<qint64> KInt(const QVariant& inValor, int decimales);

// KVal as a double; nothing when the value is not a number.
std::optional<double> KValNumero(const QVariant& inValor);
