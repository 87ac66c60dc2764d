#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

// Reads the tables of an Access file (Jet 3, Jet 4, ACE) through mdbtools'
// library, one row at a time, never writing to the file. Values come typed:
// texts and memos as QString (an empty text apart from NULL), numbers as
// qint64 or double, a single-precision number as the shortest decimal that
// reads back as it (268.2, not 268.20001), currency as a double of its four
// decimals, Yes/No as bool, a date-time as QDateTime (Access keeps a time of
// day as a date-time on 30/12/1899), an OLE object as its bytes.
class LectorAccess
{
public:
    LectorAccess();
    ~LectorAccess();
    LectorAccess(const LectorAccess&) = delete;
    LectorAccess& operator=(const LectorAccess&) = delete;

    bool abre(const QString& archivo, QString* error);
    QStringList tablas() const;
    // Opens table (name compared regardless of case) for reading from its first row.
    bool abreTabla(const QString& tabla, QString* error);
    QStringList columnas() const;
    // Rows the table says it holds (deleted rows excluded).
    qint64 filasDeclaradas() const;
    // The next row, its values in the order of columnas(); false at the end.
    bool siguiente(QVariantList* valores);

    // A date-time as Access keeps it: days since 30/12/1899, the fraction
    // of a day as the time (negative days count back, the fraction forward).
    static QDateTime desdeAccess(double dias);
    // The shortest decimal text a single-precision value reads back from.
    static double decimalDeSimple(float f);

private:
    struct Datos;
    std::unique_ptr<Datos> d;
};
