#include "ConsultaReportes.h"

#include <QDate>
#include <QJsonArray>
#include <QRegularExpression>

#include "Listado.h"
#include "ModeloReporte.h"
#include "Reloj.h"
#include "Schema.h"

namespace {

// A cached selection is read again after this long, so new rows show.
constexpr qint64 kVigenciaMs = 5000;

QString titulo(bool filtrado)
{
    return filtrado ? QStringLiteral("Reporte Parcial de Pesadas realizadas")
                    : QStringLiteral("Reporte General de Pesadas realizadas");
}

} // namespace

ConsultaReportes::ConsultaReportes(const Contexto& contexto) : m_contexto(contexto) {}
ConsultaReportes::~ConsultaReportes() = default;

ConsultaReportes::Peticion ConsultaReportes::lee(const QUrlQuery& q, const Contexto& contexto)
{
    Peticion p;
    const auto valor = [&q](const char* clave) {
        return q.queryItemValue(QLatin1String(clave), QUrl::FullyDecoded).trimmed();
    };
    const auto aplica = [&p](const QString& campo, const Filtros::Criterio& c, const QString& caption) {
        p.sel.sumaFiltro(campo, c, caption);
        p.filtrado = true;
    };
    const QString totales = valor("totales");
    if (totales == u"1" || totales == u"true")
        p.sel.aplicaTotales(true);

    const QString tDesde = valor("ticketDesde"), tHasta = valor("ticketHasta");
    if (!tDesde.isEmpty() || !tHasta.isEmpty()) {
        static const QRegularExpression entero(QStringLiteral("^\\d{1,15}$"));
        if ((!tDesde.isEmpty() && !entero.match(tDesde).hasMatch()) ||
            (!tHasta.isEmpty() && !entero.match(tHasta).hasMatch())) {
            p.error = QStringLiteral("El rango de tickets debe ser de números enteros.");
            return p;
        }
        QString desde = tDesde.isEmpty() ? QStringLiteral("0") : tDesde, hasta = tHasta;
        aplica(QStringLiteral("TICKET"), Filtros::numero(desde, hasta), QStringLiteral("Ticket:"));
    }

    const QString fDesde = valor("fechaDesde"), fHasta = valor("fechaHasta");
    if (!fDesde.isEmpty() || !fHasta.isEmpty()) {
        // Qt's ISO reading ignores what follows the date: the whole text must be one.
        static const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        const auto fecha = [](const QString& t) {
            return iso.match(t).hasMatch() ? QDate::fromString(t, Qt::ISODate) : QDate();
        };
        const QDate d1 = fecha(fDesde.isEmpty() ? fHasta : fDesde);
        const QDate d2 = fecha(fHasta.isEmpty() ? fDesde : fHasta);
        if (!d1.isValid() || !d2.isValid()) {
            p.error = QStringLiteral("Fecha no válida: use AAAA-MM-DD.");
            return p;
        }
        const auto c = Filtros::fecha(d1, d2, contexto.Fecha_Frm, contexto.Fecha_Chr);
        if (!c) {
            p.error = QStringLiteral("Error en el rango de fechas");
            return p;
        }
        aplica(QStringLiteral("FECHA"), *c, QStringLiteral("Fecha y Hora:"));
    }

    if (Lineas::varias())
        p.lineas = Lineas::lista();
    const QString linea = valor("linea");
    if (!linea.isEmpty()) {
        const int n = Filtros::numeroLinea(linea);
        if (n == 0) {
            p.error = Filtros::errorLinea();
            return p;
        }
        aplica(Schema::kLinea, Filtros::linea(n, Lineas::linea(n).nombre), QStringLiteral("Línea:"));
    }

    p.captions = Listado::captionsAuxiliares();
    for (int n = 1; n <= 6; ++n) {
        const QString clave = QStringLiteral("aux%1").arg(n);
        if (!q.hasQueryItem(clave))
            continue;
        const QString patron = q.queryItemValue(clave, QUrl::FullyDecoded);
        if (patron.isEmpty())
            continue;
        if (patron.size() > 255) {
            p.error = QStringLiteral("El texto a buscar es demasiado largo.");
            return p;
        }
        // No statement literal holds a NUL: both engines would refuse the query.
        if (patron.contains(QChar(0))) {
            p.error = QStringLiteral("El texto a buscar tiene un carácter nulo.");
            return p;
        }
        aplica(QStringLiteral("AUX") + QString::number(n), Filtros::texto(patron), p.captions.value(n - 1));
    }

    const QString orden = valor("orden").toUpper();
    if (!orden.isEmpty()) {
        bool hallado = false;
        for (const Filtros::CampoBrowser& c : Filtros::camposBrowser()) {
            // The line is a column only where there are several.
            if (c.campo == Schema::kLinea && p.lineas.isEmpty())
                continue;
            if (!c.orden.isEmpty() && c.campo == orden) {
                p.sel.campoOrden = c.orden;
                hallado = true;
            }
        }
        if (!hallado) {
            p.error = QStringLiteral("No se puede ordenar por \"%1\".").arg(orden);
            return p;
        }
    }

    bool ok = true;
    if (!valor("pagina").isEmpty()) {
        p.pagina = valor("pagina").toInt(&ok);
        if (!ok || p.pagina < 0) {
            p.error = QStringLiteral("Página no válida.");
            return p;
        }
    }
    if (!valor("filas").isEmpty()) {
        p.filas = valor("filas").toInt(&ok);
        if (!ok || p.filas < 1 || p.filas > 500) {
            p.error = QStringLiteral("Filas por página: de 1 a 500.");
            return p;
        }
    }
    return p;
}

ConsultaReportes::Peticion ConsultaReportes::hoy(const Contexto& contexto)
{
    QUrlQuery q;
    const QString d = QDate::currentDate().toString(Qt::ISODate);
    q.addQueryItem(QStringLiteral("fechaDesde"), d);
    q.addQueryItem(QStringLiteral("fechaHasta"), d);
    return lee(q, contexto);
}

bool ConsultaReportes::abre(QString* error)
{
    if (m_datos.abierta())
        return true;
    if (!m_datos.AbrirBase(m_contexto.DataCSReporte)) {
        *error = m_datos.ultimoError();
        return false;
    }
    return true;
}

ModeloReporte* ConsultaReportes::modelo(const Peticion& p, QString* error)
{
    if (!abre(error))
        return nullptr;
    QString clave = p.sel.filtro + u'|' + p.sel.ordenCompleto();
    for (const Linea& l : p.lineas)
        clave += u'|' + l.nombre;
    if (m_modelo && clave == m_clave && Reloj::ms() - m_desde < kVigenciaMs)
        return m_modelo.get();
    auto m = std::make_unique<ModeloReporte>();
    m->muestraLineas(p.lineas);
    if (!m->selecciona(m_datos.base(), m_datos.motor(), m_contexto.DataTbReporte, p.sel.filtro,
                       p.sel.ordenCompleto(), p.sel.ordenCompleto(true), error)) {
        // The connection may have gone: the next request opens it again.
        m_modelo.reset();
        m_datos.CerrarBase();
        return nullptr;
    }
    m_modelo = std::move(m);
    m_clave = clave;
    m_desde = Reloj::ms();
    return m_modelo.get();
}

QJsonObject ConsultaReportes::filaJson(const QVariantList& fila)
{
    QJsonObject o;
    const QStringList& nombres = ModeloReporte::nombresColumnas();
    for (int c = 0; c < nombres.size() && c < fila.size(); ++c) {
        const QVariant& v = fila.at(c);
        QJsonValue j;
        switch (c) {
        case ModeloReporte::FECHA: {
            const QDate d = CDatos::aFecha(v);
            j = d.isValid() ? QJsonValue(d.toString(Qt::ISODate)) : QJsonValue();
            break;
        }
        case ModeloReporte::HORA: {
            const QTime t = CDatos::aHora(v);
            j = t.isValid() ? QJsonValue(t.toString(QStringLiteral("HH:mm:ss"))) : QJsonValue();
            break;
        }
        case ModeloReporte::TICKET:
        case ModeloReporte::TOTAL:
        case ModeloReporte::PESO:
        case ModeloReporte::BACH:
        case ModeloReporte::PRESET:
        case ModeloReporte::OPCION1:
            j = v.isNull() ? QJsonValue() : QJsonValue(v.toDouble());
            break;
        case ModeloReporte::LINEA:
            j = v.toInt();
            break;
        default:
            j = v.isNull() ? QJsonValue() : QJsonValue(v.toString());
        }
        o.insert(nombres.at(c), j);
    }
    return o;
}

bool ConsultaReportes::filas(const Peticion& p, QJsonObject* out, QString* error)
{
    ModeloReporte* m = modelo(p, error);
    if (!m)
        return false;
    QJsonArray filas;
    const qint64 desde = qint64(p.pagina) * p.filas;
    for (qint64 f = desde; f < m->rowCount() && f < desde + p.filas; ++f) {
        QVariantList fila;
        for (int c = 0; c < m->columnCount(); ++c)
            fila << m->valor(int(f), c);
        if (!fila.constFirst().isValid()) {
            *error = m->ultimoError();
            m_modelo.reset();
            return false;
        }
        filas.append(filaJson(fila));
    }
    out->insert(QStringLiteral("cantidad"), m->rowCount());
    out->insert(QStringLiteral("pagina"), p.pagina);
    out->insert(QStringLiteral("filasPorPagina"), p.filas);
    out->insert(QStringLiteral("filas"), filas);
    out->insert(QStringLiteral("descripcion"), p.sel.descFiltro.trimmed());
    out->insert(QStringLiteral("titulo"), titulo(p.filtrado));
    return true;
}

bool ConsultaReportes::totales(const Peticion& p, QJsonObject* out, QString* error)
{
    CDatos db;
    if (!db.AbrirBase(m_contexto.DataCSReporte) ||
        !db.AbreRegistro(QStringLiteral("SELECT COUNT(*) AS N, SUM(PESO) AS P, SUM(TOTAL) AS T, "
                                        "SUM(CASE WHEN OPCION1 <> 0 THEN 1 ELSE 0 END) AS D, "
                                        "MAX(TICKET) AS U FROM ") +
                         m_contexto.DataTbReporte + p.sel.filtro)) {
        *error = db.ultimoError();
        return false;
    }
    const bool hay = db.PrimerRegistro();
    const qint64 n = hay ? db.Campo(QStringLiteral("N")).toLongLong() : 0;
    out->insert(QStringLiteral("cantidad"), n);
    out->insert(QStringLiteral("pesoTotal"), hay ? db.Campo(QStringLiteral("P")).toDouble() : 0.0);
    out->insert(QStringLiteral("despachos"), hay ? db.Campo(QStringLiteral("D")).toLongLong() : 0);
    if (p.sel.totales)
        out->insert(QStringLiteral("sumaTotales"), hay ? db.Campo(QStringLiteral("T")).toDouble() : 0.0);
    const QVariant u = hay ? db.Campo(QStringLiteral("U")) : QVariant();
    out->insert(QStringLiteral("ultimoTicket"), u.isNull() ? QJsonValue() : QJsonValue(u.toDouble()));
    db.CierraRegistro();
    if (!u.isNull()) {
        if (!db.AbreRegistro(QStringLiteral("SELECT TOTAL FROM ") + m_contexto.DataTbReporte +
                             QStringLiteral(" WHERE TICKET = ") + QString::number(u.toLongLong()))) {
            *error = db.ultimoError();
            return false;
        }
        if (db.PrimerRegistro())
            out->insert(QStringLiteral("ultimoTotal"), db.Campo(QStringLiteral("TOTAL")).toDouble());
    }
    out->insert(QStringLiteral("descripcion"), p.sel.descFiltro.trimmed());
    return true;
}

bool ConsultaReportes::listadoPdf(const Contexto& contexto, const Peticion& p, const QString& destino,
                                  qint64* lineas, QString* error)
{
    CDatos datos;
    if (!datos.AbrirBase(contexto.DataCSReporte)) {
        *error = datos.ultimoError();
        return false;
    }
    ModeloReporte modelo;
    modelo.muestraLineas(p.lineas);
    if (!modelo.selecciona(datos.base(), datos.motor(), contexto.DataTbReporte, p.sel.filtro,
                           p.sel.ordenCompleto(), p.sel.ordenCompleto(true), error))
        return false;
    Listado l;
    l.titulo = titulo(p.filtrado);
    l.descFiltro = p.sel.descFiltro;
    l.captions = p.captions;
    l.totales = p.sel.totales;
    const QVector<Listado::Linea> ls = l.lineas(modelo);
    if (!modelo.ultimoError().isEmpty()) {
        *error = modelo.ultimoError();
        return false;
    }
    *lineas = modelo.rowCount();
    return Listado::escribePdf(destino, ls, error);
}
