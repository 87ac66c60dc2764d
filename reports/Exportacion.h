#pragma once

#include <QString>
#include <functional>

#include "Filtro.h"
#include "Lineas.h"

// Writes a selection of the reports table into a copy of the template
// "REPORTE.xlsx": worksheet "REPORTE" (or, without one, the template's first
// visible worksheet), ten columns from row 8 on, and the sum row when only
// total records are selected. Given the plant's lines, an eleventh column
// holds each row's line, headed "Línea" in row 7 unless the template has
// something of its own there. The template may come from any spreadsheet
// program: only the cells written change, each keeping the style its cell,
// row or column has in the template (rows below the template's take those
// of the first data row); dates and times get a date or time format added to
// the copy's style table when that style has none. Template rows from 8 on
// with a value (not only a format) in the ten columns move below the data
// (one blank row between) when the data reaches them. The copy is
// written under a temporary name beside the destination, checked, synced and
// renamed when complete, so a failed or cancelled export leaves no file
// behind and an existing file of that name as it was.
namespace Exportacion {

struct Resultado
{
    bool ok = false;
    bool cancelado = false;
    qint64 filas = 0;
    double suma = 0;
    QString error;
};

// progreso(done, total) is called once with (0, total) and after every
// record; returning false cancels the export.
using Progreso = std::function<bool(qint64 hecho, qint64 total)>;

// lineas: the plant's lines when it has several (see ModeloReporte::muestraLineas).
Resultado exportar(const QString& conexion, const QString& tabla, const Filtros::Seleccion& seleccion,
                   const QString& plantilla, const QString& destino, const Progreso& progreso = {},
                   const QVector<Linea>& lineas = {});

// Cell reference "A8" of 1-based row and column.
QString celda(int fila, int columna);

} // namespace Exportacion
