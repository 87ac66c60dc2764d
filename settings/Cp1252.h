#pragma once

#include <QByteArray>
#include <QString>

// Windows-1252 as a bijection over all 256 byte values: the five codes the
// code page leaves undefined map to the C1 controls of the same number, as
// Windows itself does, so any byte written comes back unchanged.
namespace Cp1252 {
QString decode(const QByteArray& bytes);
// Characters outside the code page become '?'.
QByteArray encode(const QString& text);
// Code of one character, or -1 when it has none.
int code(QChar c);
QChar character(quint8 code);
} // namespace Cp1252
