#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrlQuery>
#include <memory>

#include "CDatos.h"
#include "Contexto.h"
#include "Filtro.h"
#include "Lineas.h"

class ModeloReporte;

// The reports screen's selection taken from a request's query, and what the
// monitor reads with it: pages of rows, totals, the printed listing.
// Every value goes through the filter dialog's own criteria, so a quote or a
// piece of SQL in a value is only ever a value.
class ConsultaReportes
{
public:
    // Query parameters (all optional):
    //   aux1..aux6     text pattern of that datum, "*" as wildcard
    //   ticketDesde, ticketHasta
    //   fechaDesde, fechaHasta   YYYY-MM-DD
    //   linea          a weighing line, 1 to Lineas::kMaximo (rows without
    //                  one are line 1's)
    //   totales=1      total records only, with their sum
    //   orden          TICKET, TOTAL, PESO, BACH, PRESET, FECHA, AUX1..AUX6, OPERADOR,
    //                  and LINEA when the plant has several lines
    //   pagina (from 0), filas (1 to 500, 50 by default)
    struct Peticion
    {
        Filtros::Seleccion sel;
        bool filtrado = false; // a filter besides the totals switch
        int pagina = 0;
        int filas = 50;
        QStringList captions;  // of the six data, as the settings say
        QVector<Linea> lineas; // the plant's lines when it has several: rows show theirs
        QString error; // empty when the query is valid
    };
    // Read on the thread that reads the settings file; the rest may run on any.
    static Peticion lee(const QUrlQuery& q, const Contexto& contexto);
    // Today's rows, in ticket order.
    static Peticion hoy(const Contexto& contexto);

    // Works on the tables and date settings of the session given (copied).
    // One thread uses it: it keeps a connection and the last selection read.
    explicit ConsultaReportes(const Contexto& contexto);
    ~ConsultaReportes();

    // {"cantidad", "pagina", "filas": [{...}], "descripcion", "titulo"}; each
    // row has LINEA (a number) when the plant has several lines.
    bool filas(const Peticion& p, QJsonObject* out, QString* error);
    // {"cantidad", "pesoTotal", "despachos", "sumaTotales" (totals only), "ultimoTicket", "ultimoTotal"}
    bool totales(const Peticion& p, QJsonObject* out, QString* error);
    // The printed listing of the selection as a PDF, on a connection of its own.
    static bool listadoPdf(const Contexto& contexto, const Peticion& p, const QString& destino, qint64* lineas,
                           QString* error);

    static QJsonObject filaJson(const QVariantList& fila);

private:
    bool abre(QString* error);
    ModeloReporte* modelo(const Peticion& p, QString* error);

    const Contexto m_contexto;
    CDatos m_datos;
    std::unique_ptr<ModeloReporte> m_modelo;
    QString m_clave;
    qint64 m_desde = 0; // Reloj::ms() when m_modelo was built
};
