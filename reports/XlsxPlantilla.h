#pragma once

#include <QString>

// The export template "REPORTE.xlsx": one worksheet "REPORTE" whose rows 1
// to 7 hold the headings; data goes from row 8 on. A plant's own template
// may name its sheet otherwise (see Exportacion).
namespace XlsxPlantilla {

inline const QString kArchivo = QStringLiteral("REPORTE.xlsx");
inline const QString kHoja = QStringLiteral("REPORTE");
// Path of the worksheet's XML inside the package.
inline const char* kHojaXml = "xl/worksheets/sheet1.xml";
constexpr int kPrimeraFila = 8;
// Style indexes of styles.xml: 0 plain, 1 bold heading, 2 date, 3 time, 4 number.
constexpr int kEstiloTitulo = 1;
constexpr int kEstiloFecha = 2;
constexpr int kEstiloHora = 3;
constexpr int kEstiloNumero = 4;

// Writes a new template (written whole to a temporary name, then renamed).
bool crear(const QString& path, QString* error);

// The style table of a new template.
QString estilosBasicos();

// Escapes text for an XML element or attribute.
QString xmlEscape(const QString& text);

} // namespace XlsxPlantilla
