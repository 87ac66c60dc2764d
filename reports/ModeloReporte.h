#pragma once

#include <QAbstractTableModel>
#include <QDate>
#include <QTime>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include "ConnectionString.h"
#include "Lineas.h"

// The reports table as a model that fetches rows in pages on demand: the
// row count comes from COUNT(*). A page is read from the nearest known place
// of the ordering: right after (or before) a page already read, found by the
// sort key and ticket of that page's edge, or else from whichever end of the
// ordering is nearer, so walking a million-row set costs one ordered scan and
// the first and the last rows cost the same.
class ModeloReporte : public QAbstractTableModel
{
    Q_OBJECT
public:
    // Columns, in the table's order. LINEA is there only while the plant's
    // lines are shown (muestraLineas), read with an empty one as line 1.
    enum Columna {
        TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, PESO, BACH, PRESET,
        FECHA, HORA, INFO, OPERADOR, OPCION1, LINEA, NumColumnas
    };
    static const QStringList& nombresColumnas();
    static int columna(const QString& nombre);

    explicit ModeloReporte(QObject* parent = nullptr);

    // The line column, its values named after lineas (the plant's lines);
    // empty: no line column, the statements as with a single line.
    void muestraLineas(const QVector<Linea>& lineas);
    bool conLinea() const { return !m_lineas.isEmpty(); }

    // Selects the rows of tabla matching filtro (a WHERE clause with its
    // leading blank, or empty) in the order orden (an ORDER BY list that
    // determines a total order). On failure the previous selection stays and
    // error says why.
    bool selecciona(const QSqlDatabase& db, ConnectionString::Engine motor, const QString& tabla,
                    const QString& filtro, const QString& orden, const QString& ordenInverso,
                    QString* error);
    // Reads the selection again (after a change of the rows).
    bool refresca(QString* error);
    // Drops cached rows so the next read sees the database.
    void olvida();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Raw value as the database delivers it; an invalid QVariant when the
    // row cannot be read.
    QVariant valor(int fila, int columna) const;
    // Value as shown: dates and times in the short formats, numbers bare.
    QString texto(int fila, int columna) const;
    QString ultimoError() const { return m_error; }

    static constexpr int kPagina = 200;

private:
    // One key of the ordering: a column and its direction.
    struct Clave
    {
        int columna;
        bool descendente;
    };

    const QVector<QVariantList>* pagina(int numero) const;
    QString sql(const QString& orden, int limite, int desplazamiento,
                const QString& condicion = {}) const;
    static QVector<Clave> claves(const QString& orden);
    bool sinNulos() const;
    // An order by a column not read (the line, without it) is walked from
    // the ends of the ordering.
    void descartaClavesSinColumna();
    int columnas() const { return conLinea() ? NumColumnas : LINEA; }

    QSqlDatabase m_db;
    ConnectionString::Engine m_motor = ConnectionString::SQLite;
    QString m_tabla, m_filtro, m_orden, m_ordenInverso;
    QVector<Linea> m_lineas;
    int m_filas = 0;
    // Keys of m_orden when it can be walked from a row's key (same direction
    // throughout, ticket last); empty otherwise.
    QVector<Clave> m_claves;
    // Whether the key columns hold no NULL (asked once per selection):
    // engines place NULLs differently and a key comparison skips them.
    mutable int m_sinNulos = -1;
    mutable QHash<QString, QSqlQuery> m_preparadas;
    mutable QHash<int, QVector<QVariantList>> m_paginas;
    mutable QList<int> m_usadas; // most recent last
    mutable QString m_error;
};

// Values of the reports table as shown and printed (dates and times as
// FechaHora writes them).
namespace FormatoCorto {
QString numero(const QVariant& v);
// A value of the reports table as shown and printed.
QString valor(const QVariant& v, int columna);
// A line as the reports show it: its name when the plant gave it one, else
// its number; an empty value is line 1.
QString linea(const QVariant& v, const QVector<Linea>& lineas);
} // namespace FormatoCorto
