#include "EnVivo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QWebSocket>
#include <algorithm>
#include <memory>

#include "EstadoJson.h"
#include "Reloj.h"

namespace {
// Pages without the station's answer for this long are shown as stale.
constexpr qint64 kSinLecturasMs = 3000;
using EstadoJson::kCerrada;
using EstadoJson::kSinRespuesta;
} // namespace

EnVivo::EnVivo(QObject* parent) : QObject(parent)
{
    // Line 1 is always there; the settings say the rest (setLineas).
    setLineas({Linea{1, QStringLiteral("Línea 1")}});
}

EnVivo::~EnVivo()
{
    for (const Cliente& c : std::as_const(m_clientes)) {
        if (c.ws) {
            c.ws->abort();
            delete c.ws;
        }
    }
}

QJsonObject EnVivo::json(const EstadoEstacion& e, bool vigente, const QString& motivo)
{
    return EstadoJson::completo(e, vigente, motivo);
}

void EnVivo::setLineas(const QVector<Linea>& lineas)
{
    m_configuradas = lineas;
    for (const Linea& l : lineas)
        vivo(l.numero).linea = l;
}

bool EnVivo::existe(int linea) const
{
    return std::any_of(m_configuradas.cbegin(), m_configuradas.cend(),
                       [linea](const Linea& l) { return l.numero == linea; });
}

void EnVivo::sigue(const Linea& linea)
{
    vivo(linea.numero).linea = linea;
}

EnVivo::Vivo EnVivo::nuevo(int linea)
{
    // Closed, with no reading yet.
    Vivo v;
    v.linea = Linea{linea, QStringLiteral("Línea %1").arg(linea)};
    v.motivo = kCerrada;
    return v;
}

EnVivo::Vivo& EnVivo::vivo(int linea)
{
    auto it = m_vivos.find(linea);
    if (it == m_vivos.end())
        it = m_vivos.insert(linea, nuevo(linea));
    return *it;
}

EnVivo::Vivo EnVivo::vivoDe(int linea) const
{
    return m_vivos.value(linea, nuevo(linea));
}

QJsonObject EnVivo::estadoDe(const Vivo& v) const
{
    QJsonObject o = json(v.ultimo, v.vigente, v.motivo);
    o.insert(QStringLiteral("linea"), v.linea.numero);
    o.insert(QStringLiteral("nombre"), v.linea.nombre);
    o.insert(QStringLiteral("marcha"), EstadoJson::marcha(v.ultimo, v.vigente));
    return o;
}

QJsonObject EnVivo::resumenDe(const Vivo& v) const
{
    return EstadoJson::resumen(v.linea, v.ultimo, v.vigente, v.motivo);
}

QJsonObject EnVivo::estado(int linea) const
{
    return estadoDe(vivoDe(linea));
}

QJsonArray EnVivo::resumenes() const
{
    QJsonArray a;
    for (const Linea& l : m_configuradas)
        a.append(resumenDe(vivoDe(l.numero)));
    return a;
}

QByteArray EnVivo::mensaje(const Vivo& v, bool conTendencia) const
{
    QJsonObject o{{QStringLiteral("tipo"), QStringLiteral("estado")},
                  {QStringLiteral("linea"), v.linea.numero},
                  {QStringLiteral("estado"), estadoDe(v)}};
    if (conTendencia) {
        QJsonArray t;
        for (const Punto& p : v.tendencia)
            t.append(QJsonArray{double(p.ms), p.peso});
        o.insert(QStringLiteral("tendencia"), t);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool EnVivo::publica(int linea, const EstadoEstacion& e)
{
    Vivo& v = vivo(linea);
    const bool cambia = v.vigente != EstadoJson::vigente(e) || v.motivo != EstadoJson::motivo(e) ||
                        !EstadoJson::igualSalvoInstante(v.ultimo, e);
    const qint64 ahora = Reloj::ms();
    if (v.ultimaMs >= 0 && e.abierta)
        v.periodoMs = ahora - v.ultimaMs;
    v.ultimo = e;
    v.ultimaMs = ahora;
    v.vigente = EstadoJson::vigente(e);
    v.motivo = EstadoJson::motivo(e);
    if (e.conectado) {
        const qint64 ms = e.instante.toMSecsSinceEpoch();
        v.tendencia.append({ms, e.Peso});
        while (!v.tendencia.isEmpty() && v.tendencia.constFirst().ms < ms - kTendenciaMs)
            v.tendencia.removeFirst();
    }
    difunde(linea);
    return cambia;
}

void EnVivo::estacionCerrada(int linea)
{
    Vivo& v = vivo(linea);
    v.ultimo.abierta = false;
    v.vigente = false;
    v.motivo = kCerrada;
    v.ultimaMs = -1;
    difunde(linea);
}

bool EnVivo::vigila()
{
    bool alguna = false;
    // A station open but whose polls have not come back: its values are old.
    for (auto it = m_vivos.begin(); it != m_vivos.end(); ++it) {
        Vivo& v = *it;
        const qint64 limite = std::max<qint64>(kSinLecturasMs, 3 * v.periodoMs);
        if (v.vigente && v.ultimaMs >= 0 && Reloj::ms() - v.ultimaMs > limite) {
            v.vigente = false;
            v.motivo = kSinRespuesta;
            difunde(it.key());
            alguna = true;
        }
    }
    return alguna;
}

void EnVivo::difunde(int linea)
{
    // Nothing to build on the station's poll while no page is open.
    if (m_clientes.isEmpty())
        return;
    const Vivo& v = vivo(linea);
    QString completo, resumen;
    for (qsizetype i = m_clientes.size() - 1; i >= 0; --i) {
        const Cliente& c = m_clientes.at(i);
        QWebSocket* ws = c.ws;
        if (!ws) {
            m_clientes.removeAt(i);
            continue;
        }
        if (c.planta || (c.linea != linea && !c.resumenes))
            continue;
        if (c.linea == linea) {
            if (completo.isEmpty())
                completo = QString::fromUtf8(mensaje(v, false));
            envia(ws, completo);
        } else {
            if (resumen.isEmpty())
                resumen = QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("tipo"), QStringLiteral("resumen")},
                                                                      {QStringLiteral("linea"), linea},
                                                                      {QStringLiteral("resumen"), resumenDe(v)}})
                                                .toJson(QJsonDocument::Compact));
            envia(ws, resumen);
        }
    }
}

bool EnVivo::envia(QWebSocket* ws, const QString& mensaje)
{
    if (ws->bytesToWrite() > kMaxPendiente) {
        ws->abort();
        return false;
    }
    ws->sendTextMessage(mensaje);
    return true;
}

void EnVivo::agrega(QWebSocket* ws, const QByteArray& sesion, int linea)
{
    const bool conResumenes = varias();
    m_clientes.append({ws, sesion, linea, conResumenes});
    atiende(ws, sesion);
    if (conResumenes)
        ws->sendTextMessage(QString::fromUtf8(
            QJsonDocument(QJsonObject{{QStringLiteral("tipo"), QStringLiteral("lineas")},
                                      {QStringLiteral("lineas"), resumenes()}})
                .toJson(QJsonDocument::Compact)));
    ws->sendTextMessage(QString::fromUtf8(mensaje(vivo(linea), true)));
}

void EnVivo::agregaPlanta(QWebSocket* ws, const QByteArray& sesion, const QByteArray& inicial)
{
    m_clientes.append({ws, sesion, 0, false, true});
    atiende(ws, sesion);
    ws->sendTextMessage(QString::fromUtf8(inicial));
}

void EnVivo::aPlanta(const QByteArray& mensaje)
{
    QString texto;
    for (qsizetype i = m_clientes.size() - 1; i >= 0; --i) {
        const Cliente& c = m_clientes.at(i);
        if (!c.ws) {
            m_clientes.removeAt(i);
            continue;
        }
        if (!c.planta)
            continue;
        if (texto.isEmpty())
            texto = QString::fromUtf8(mensaje);
        envia(c.ws, texto);
    }
}

int EnVivo::paginasPlanta() const
{
    return int(std::count_if(m_clientes.cbegin(), m_clientes.cend(), [](const Cliente& c) { return c.ws && c.planta; }));
}

void EnVivo::atiende(QWebSocket* ws, const QByteArray& sesion)
{
    ws->setParent(this);
    // A page that is open and showing says so now and then; more often than
    // kPantallaCadaMs it is not even read.
    auto ultimo = std::make_shared<qint64>(-kPantallaCadaMs);
    connect(
        ws, &QWebSocket::textMessageReceived, this, [this, ws, sesion, ultimo](const QString& m) {
            if (Reloj::ms() - *ultimo < kPantallaCadaMs)
                return;
            *ultimo = Reloj::ms();
            if (QJsonDocument::fromJson(m.toUtf8())
                    .object()
                    .value(QStringLiteral("tipo"))
                    .toString() != u"visible")
                return;
            if (m_enPantalla && !m_enPantalla(sesion))
                ws->close(QWebSocketProtocol::CloseCode(4001), QStringLiteral("Sesión cerrada"));
        });
}

void EnVivo::cierra(const QList<QByteArray>& sesiones, const QString& motivo)
{
    for (const Cliente& c : std::as_const(m_clientes)) {
        if (c.ws && sesiones.contains(c.sesion))
            c.ws->close(QWebSocketProtocol::CloseCode(4001), motivo);
    }
}
