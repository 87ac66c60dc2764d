#pragma once

#include <QDate>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The settings file of the older program: every value as its bytes (the
// trailing "." removed), sections and keys compared regardless of case.
// Lines end in CRLF only: a scrambled value may hold a bare LF.
class IniAnterior
{
public:
    bool carga(const QString& archivo, QString* error);
    bool hay(const QString& seccion, const QString& clave) const;
    QByteArray crudo(const QString& seccion, const QString& clave) const;
    // The value as text (Windows-1252); scrambled with byte when given.
    QString texto(const QString& seccion, const QString& clave, int byte = -1) const;

    // The bytes under which every BaseDeDatos value reads as a connection
    // string or a table name.
    QList<int> bytesPosibles() const;

    static QString descifra(const QByteArray& bytes, int byte);
    // A text kept scrambled in a table (the characters of its code page).
    static QString descifraTexto(const QString& texto, int byte);

private:
    QHash<QString, QByteArray> m_valores;
};

// Moves a program directory of the older program (its settings file, Access
// data file, journal, error log and template) into a Tolvex program
// directory, reading the older one only. Run again, it brings the rows added
// since; each row's identity comes from the row itself, so none is taken twice.
struct Migracion
{
    QString desde;      // the older program's directory
    QString directorio; // the Tolvex program directory to prepare
    QString postgres;   // a shared database; empty: SQLite data.db
    QString programa;   // the tolvex executable for the launcher

    struct Tabla
    {
        QString nombre;
        qint64 leidas = 0, escritas = 0, yaEstaban = 0, rechazadas = 0;
    };
    struct Dia
    {
        qint64 filas = 0;
        double peso = 0, total = 0;
    };
    struct Rechazo
    {
        QString tabla;
        qint64 fila = 0; // position in the older table, from 1
        QString ticket;
        QString motivo;
    };

    int byte = -1;
    QList<Tabla> tablas;
    QMap<QDate, Dia> diasAnterior, diasTolvex;
    QList<Rechazo> rechazos;
    QStringList creados, existentes, avisos;
    qint64 ticket = 0; // the counter left for the next row
    QString error;

    // false with error when the move could not be done; rows refused are
    // in rechazos and leave it true.
    bool ejecutar();

    // Rows per transaction: a kill leaves whole batches.
    static constexpr int kLote = 2000;
    // The identity an older row gets (IDLOTE): from the values that the
    // older program never changes once written.
    static QString identidad(const QVariant& ticket, const QVariant& fecha, const QVariant& hora,
                             const QVariant& peso, const QVariant& total, const QVariant& operador);
    // When dir's settings file is still the older program's (its BaseDeDatos
    // names the Access engine, under whatever scrambling byte), what to run
    // to move it; empty otherwise.
    static QString avisoAnterior(const QString& dir);

    // Prefix of those identities; Tolvex's own are hexadecimal digits only.
    static inline const QString kPrefijo = QStringLiteral("ant");
};
