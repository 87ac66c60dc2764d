#pragma once

#include <QString>
#include <functional>

#include "Filtro.h"

// Writes a selection of the reports table into a copy of the template
// "REPORTE.xlsx": worksheet "REPORTE", ten columns from row 8 on, and the
// sum row when only total records are selected. The copy is written under a
// temporary name beside the destination and renamed when complete, so a
// failed or cancelled export leaves no file behind.
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

Resultado exportar(const QString& conexion, const QString& tabla, const Filtros::Seleccion& seleccion,
                   const QString& plantilla, const QString& destino, const Progreso& progreso = {});

// Cell reference "A8" of 1-based row and column.
QString celda(int fila, int columna);

} // namespace Exportacion
