#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>

// Criteria of the filter dialog and the browser's selection state. Pure
// text work, shared by the screens and the report tool.
namespace Filtros {

enum Tipo { Texto = 0, Numero = 1, Fecha = 3, NroLinea = 4 };

struct Criterio
{
    QString criterio;    // predicate without the field name; empty: cancelled
    QString descripcion; // readable text with a leading blank
};

// "*" is the wildcard; an empty text matches every non-empty value. Quotes
// are doubled, so a quote in the text matches a quote.
Criterio texto(const QString& t);

// Leading number of a text the lenient way ("12abc" -> "12"), "0" when
// there is none.
QString valorNumerico(const QString& t);

// Number range: an empty "hasta" takes "desde"; a text that is not a clean
// number is replaced by its leading number. The boxes are updated in place.
Criterio numero(QString& desde, QString& hasta);

// Date range with the statement date pattern and delimiter; nothing when the
// range is reversed.
std::optional<Criterio> fecha(const QDate& desde, const QDate& hasta, const QString& fechaFrm,
                              const QString& fechaChr);

// A weighing line's number as typed: a whole number from 1 to
// Lineas::kMaximo, blanks around it allowed; 0 for anything else.
int numeroLinea(const QString& t);
// Why a line's number was refused.
QString errorLinea();
// Line n as the reports show it: by the name the plant gave it, else by
// its number.
QString textoLinea(int n, const QString& nombre);
// Rows of line n on the LINEA column; rows written before lines existed
// (LINEA empty) count as line 1, so its criterion names the column again.
// The description names the line as textoLinea does.
Criterio linea(int n, const QString& nombre = {});

// "(field criterion)", or empty when cancelled.
QString condicion(const QString& campo, const Criterio& c);

// One field of the browser: its column and the kind of filter its value
// offers (-1: none).
struct CampoBrowser
{
    int indice;
    QString campo;
    QString orden;   // ORDER BY list when sorting by it
    int tipoFiltro;
};
const QList<CampoBrowser>& camposBrowser();
std::optional<CampoBrowser> campoBrowser(int indice);

// Selection of the record browser: ORDER BY list, WHERE clause and its
// readable account.
class Seleccion
{
public:
    QString campoOrden = QStringLiteral("TICKET");
    QString filtro;
    QString descFiltro;
    bool totales = false;

    // A condition c with description d from the dialog, for the field
    // captioned nombre; agregar when Shift was held.
    void aplicaFiltro(const QString& c, const QString& d, const QString& nombre, bool agregar);
    // One more filter of several given at once (a query, a command line):
    // the first is taken as chosen without Shift, the next ones as with it.
    void sumaFiltro(const QString& campo, const Criterio& c, const QString& caption);
    void aplicaTotales(bool marcado);

    // The browser statement, as the screen shows it.
    QString sentencia(const QString& tabla) const;
    // ORDER BY list with the ticket as the last key, so the order is total;
    // descendente reverses every key.
    QString ordenCompleto(bool descendente = false) const;
    QString tituloVentana() const;
};

// "Dato 0:" -> "Dato 0": blanks trimmed and the colon at the end dropped.
QString nombreDeCaption(const QString& caption);

} // namespace Filtros
