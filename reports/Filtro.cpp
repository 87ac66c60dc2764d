#include "Filtro.h"

#include <QRegularExpression>

#include "FechaHora.h"
#include "Lineas.h"
#include "Schema.h"
#include "SqlDialect.h"

namespace Filtros {

Criterio texto(const QString& t)
{
    QString p = t;
    p.replace(u'*', u'%');
    if (p.isEmpty())
        p = QStringLiteral("%");
    return {QStringLiteral("Like ") + SqlDialect::texto(p), QStringLiteral(" = ") + t};
}

QString valorNumerico(const QString& t)
{
    static const QRegularExpression re(QStringLiteral("^\\s*([-+]?)(\\d*)(?:\\.(\\d*))?"));
    const auto m = re.match(t);
    QString entero = m.captured(2);
    QString decimales = m.captured(3);
    while (decimales.endsWith(u'0'))
        decimales.chop(1);
    while (entero.size() > 1 && entero.startsWith(u'0'))
        entero.remove(0, 1);
    if (entero.isEmpty())
        entero = QStringLiteral("0");
    if (entero == u"0" && decimales.isEmpty())
        return QStringLiteral("0");
    QString out = entero;
    if (!decimales.isEmpty())
        out += u'.' + decimales;
    if (m.captured(1) == u"-")
        out.prepend(u'-');
    return out;
}

namespace {
bool esNumeroLimpio(const QString& t)
{
    static const QRegularExpression re(QStringLiteral("^[-+]?\\d+(\\.\\d+)?$"));
    return re.match(t).hasMatch();
}

QString normaliza(const QString& t)
{
    const QString v = valorNumerico(t);
    if (v == u"0")
        return v;
    return esNumeroLimpio(t) ? t : v;
}
} // namespace

Criterio numero(QString& desde, QString& hasta)
{
    if (hasta.isEmpty())
        hasta = desde;
    desde = normaliza(desde);
    hasta = normaliza(hasta);
    return {QStringLiteral("Between ") + desde + QStringLiteral(" And ") + hasta,
            QStringLiteral(" entre ") + desde + QStringLiteral(" y ") + hasta};
}

std::optional<Criterio> fecha(const QDate& desde, const QDate& hasta, const QString& fechaFrm,
                              const QString& fechaChr)
{
    if (desde > hasta)
        return std::nullopt;
    const QString patron = SqlDialect::formatoQt(fechaFrm.isEmpty() ? QStringLiteral("DD/MM/YYYY") : fechaFrm);
    const QString f1 = desde.toString(patron);
    const QString f2 = hasta.toString(patron);
    const QString& c = fechaChr;
    Criterio r;
    r.criterio = QStringLiteral("BETWEEN ") + c + f1 + c + QStringLiteral(" AND ") + c + f2 + c;
    // Described as the screens show dates, whatever the statement's pattern.
    const QString d1 = FechaHora::fecha(desde), d2 = FechaHora::fecha(hasta);
    r.descripcion = desde == hasta ? QStringLiteral(" = ") + d1
                                   : QStringLiteral(" entre ") + d1 + QStringLiteral(" y ") + d2;
    return r;
}

int numeroLinea(const QString& t)
{
    static const QRegularExpression re(QStringLiteral("^\\s*([0-9]{1,2})\\s*$"));
    const auto m = re.match(t);
    const int n = m.hasMatch() ? m.captured(1).toInt() : 0;
    return n >= 1 && n <= Lineas::kMaximo ? n : 0;
}

QString errorLinea()
{
    return QStringLiteral("La línea debe ser un número entero de 1 a %1.").arg(Lineas::kMaximo);
}

QString textoLinea(int n, const QString& nombre)
{
    const QString numero = QString::number(n);
    return nombre.isEmpty() || nombre == QStringLiteral("Línea ") + numero ? numero : nombre;
}

Criterio linea(int n, const QString& nombre)
{
    Criterio c;
    c.criterio = n == 1 ? QStringLiteral("IS NULL OR ") + Schema::kLinea + QStringLiteral(" = 1")
                        : QStringLiteral("= ") + QString::number(n);
    c.descripcion = QStringLiteral(" = ") + textoLinea(n, nombre);
    return c;
}

QString condicion(const QString& campo, const Criterio& c)
{
    if (c.criterio.isEmpty())
        return {};
    return u'(' + campo + u' ' + c.criterio + u')';
}

const QList<CampoBrowser>& camposBrowser()
{
    static const QString fechaHora = QStringLiteral("FECHA, HORA");
    static const QList<CampoBrowser> campos = {
        {0, QStringLiteral("TICKET"), QStringLiteral("TICKET"), Numero},
        {1, QStringLiteral("TOTAL"), QStringLiteral("TOTAL"), -1},
        {2, QStringLiteral("PESO"), QStringLiteral("PESO"), -1},
        {3, QStringLiteral("BACH"), QStringLiteral("BACH"), -1},
        {4, QStringLiteral("PRESET"), QStringLiteral("PRESET"), -1},
        {5, QStringLiteral("FECHA"), fechaHora, Fecha},
        {6, QStringLiteral("HORA"), QString(), -1},
        {7, QStringLiteral("AUX1"), QStringLiteral("AUX1"), Texto},
        {8, QStringLiteral("AUX2"), QStringLiteral("AUX2"), Texto},
        {9, QStringLiteral("AUX3"), QStringLiteral("AUX3"), Texto},
        {10, QStringLiteral("AUX4"), QStringLiteral("AUX4"), Texto},
        {11, QStringLiteral("AUX5"), QStringLiteral("AUX5"), Texto},
        {12, QStringLiteral("AUX6"), QStringLiteral("AUX6"), Texto},
        {20, QStringLiteral("OPERADOR"), QStringLiteral("OPERADOR"), -1},
        {21, Schema::kLinea, Schema::kLinea, NroLinea},
    };
    return campos;
}

std::optional<CampoBrowser> campoBrowser(int indice)
{
    for (const CampoBrowser& c : camposBrowser()) {
        if (c.indice == indice)
            return c;
    }
    return std::nullopt;
}

void Seleccion::aplicaFiltro(const QString& c, const QString& d, const QString& nombre, bool agregar)
{
    if (c.isEmpty()) {
        filtro = totales ? QStringLiteral(" WHERE (OPCION1 <> 0) ") : QString();
        descFiltro.clear();
        return;
    }
    if (filtro.isEmpty() || !agregar) {
        filtro = (totales ? QStringLiteral(" WHERE (OPCION1 <> 0) AND ") : QStringLiteral(" WHERE ")) + c;
        descFiltro = QStringLiteral(" (") + nombre + d + u')';
    } else {
        // After the totals switch alone the description is still empty.
        filtro += QStringLiteral(" AND ") + c;
        descFiltro += (descFiltro.isEmpty() ? QStringLiteral(" (") : QStringLiteral(" y (")) + nombre + d + u')';
    }
}

void Seleccion::sumaFiltro(const QString& campo, const Criterio& c, const QString& caption)
{
    aplicaFiltro(condicion(campo, c), c.descripcion, nombreDeCaption(caption), !descFiltro.isEmpty());
}

void Seleccion::aplicaTotales(bool marcado)
{
    totales = marcado;
    campoOrden = QStringLiteral("TICKET");
    filtro = marcado ? QStringLiteral(" WHERE (OPCION1 <> 0)") : QString();
    descFiltro.clear();
}

QString Seleccion::sentencia(const QString& tabla) const
{
    return QStringLiteral("SELECT * FROM ") + tabla + filtro + QStringLiteral(" ORDER BY ") + campoOrden +
           QStringLiteral(" ASC");
}

QString Seleccion::ordenCompleto(bool descendente) const
{
    const QString dir = descendente ? QStringLiteral(" DESC") : QStringLiteral(" ASC");
    QStringList partes;
    bool conTicket = false;
    for (const QString& c : campoOrden.split(u',', Qt::SkipEmptyParts)) {
        const QString campo = c.trimmed();
        conTicket = conTicket || campo.compare(u"TICKET", Qt::CaseInsensitive) == 0;
        partes << campo + dir;
    }
    if (!conTicket)
        partes << QStringLiteral("TICKET") + dir;
    return partes.join(QStringLiteral(", "));
}

QString Seleccion::tituloVentana() const
{
    return filtro.isEmpty() ? QStringLiteral("Reporte General de Pesadas realizadas")
                            : QStringLiteral("Reporte Parcial de Pesadas realizadas");
}

QString nombreDeCaption(const QString& caption)
{
    QString n = caption.trimmed();
    // Only the colon goes: a caption typed without one keeps its last letter.
    if (n.endsWith(u':'))
        n.chop(1);
    return n;
}

} // namespace Filtros
