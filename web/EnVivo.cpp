#include "EnVivo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QWebSocket>
#include <memory>

#include "FechaHora.h"
#include "Reloj.h"

namespace {
// Pages without the station's answer for this long are shown as stale.
constexpr qint64 kSinLecturasMs = 3000;
const QString kSinRespuesta = QStringLiteral("Sin respuesta del indicador");
const QString kCerrada = QStringLiteral("Estación cerrada");
} // namespace

EnVivo::EnVivo(QObject* parent) : QObject(parent) {}

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
    // Before the first reading there are no values: nothing is shown as zero.
    const bool leido = e.instante.isValid();
    const auto valor = [leido](double v) { return leido ? QJsonValue(v) : QJsonValue(); };
    const auto texto = [leido, &e](double v) { return leido ? e.muestra(v) : QString(); };
    const QDateTime local = e.instante.toLocalTime();
    QJsonArray salidas, entradas;
    for (int k = 0; k < 8; ++k) {
        salidas.append(bool((e.Salidas >> k) & 1));
        entradas.append(bool((e.Entradas >> k) & 1));
    }
    return {
        {QStringLiteral("abierta"), e.abierta},
        {QStringLiteral("conectado"), e.conectado},
        {QStringLiteral("vigente"), vigente},
        {QStringLiteral("motivo"), motivo},
        {QStringLiteral("instante"), leido ? local.toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("decimales"), e.decimales},
        {QStringLiteral("peso"), valor(e.Peso)},
        {QStringLiteral("acumulado"), valor(e.Acumulado)},
        {QStringLiteral("despacho"), valor(e.Despacho)},
        {QStringLiteral("resto"), valor(e.Resto)},
        {QStringLiteral("caudal"), valor(e.Caudal)},
        {QStringLiteral("corteGrueso"), valor(e.CGrueso)},
        {QStringLiteral("corteFino"), valor(e.CFino)},
        {QStringLiteral("ciclos"), valor(double(e.CCiclos))},
        {QStringLiteral("modo"), leido ? QJsonValue(e.Modo) : QJsonValue()},
        {QStringLiteral("textoModo"), e.textoModo},
        {QStringLiteral("salidas"), salidas},
        {QStringLiteral("entradas"), entradas},
        {QStringLiteral("codigoError"), leido ? QJsonValue(e.CError) : QJsonValue()},
        {QStringLiteral("textoError"), e.textoError},
        {QStringLiteral("standBy"), e.standBy},
        {QStringLiteral("textos"),
         QJsonObject{{QStringLiteral("peso"), texto(e.Peso)},
                     {QStringLiteral("acumulado"), texto(e.Acumulado)},
                     {QStringLiteral("despacho"), texto(e.Despacho)},
                     {QStringLiteral("resto"), texto(e.Resto)},
                     {QStringLiteral("caudal"), texto(e.Caudal)},
                     {QStringLiteral("grueso"), texto(e.CGrueso)},
                     {QStringLiteral("fino"), texto(e.CFino)},
                     {QStringLiteral("lectura"),
                      leido ? FechaHora::fecha(local.date()) + u' ' + FechaHora::hora(local.time())
                            : QString()}}},
    };
}

QByteArray EnVivo::mensaje(bool conTendencia) const
{
    QJsonObject o{{QStringLiteral("tipo"), QStringLiteral("estado")},
                  {QStringLiteral("estado"), estado()}};
    if (conTendencia) {
        QJsonArray t;
        for (const Punto& p : m_tendencia)
            t.append(QJsonArray{double(p.ms), p.peso});
        o.insert(QStringLiteral("tendencia"), t);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void EnVivo::publica(const EstadoEstacion& e)
{
    const qint64 ahora = Reloj::ms();
    if (m_ultimaMs >= 0 && e.abierta)
        m_periodoMs = ahora - m_ultimaMs;
    m_ultimo = e;
    m_ultimaMs = ahora;
    m_vigente = e.abierta && e.conectado;
    m_motivo = !e.abierta ? kCerrada : (!e.conectado ? kSinRespuesta : QString());
    if (e.conectado) {
        const qint64 ms = e.instante.toMSecsSinceEpoch();
        m_tendencia.append({ms, e.Peso});
        while (!m_tendencia.isEmpty() && m_tendencia.constFirst().ms < ms - kTendenciaMs)
            m_tendencia.removeFirst();
    }
    difunde();
}

void EnVivo::estacionCerrada()
{
    m_ultimo.abierta = false;
    m_vigente = false;
    m_motivo = kCerrada;
    m_ultimaMs = -1;
    difunde();
}

void EnVivo::vigila()
{
    // The station is open but no poll has come back: the values are old.
    const qint64 limite = std::max<qint64>(kSinLecturasMs, 3 * m_periodoMs);
    if (m_vigente && m_ultimaMs >= 0 && Reloj::ms() - m_ultimaMs > limite) {
        m_vigente = false;
        m_motivo = kSinRespuesta;
        difunde();
    }
}

void EnVivo::difunde()
{
    // Nothing to build on the station's poll while no page is open.
    if (m_clientes.isEmpty())
        return;
    const QString texto = QString::fromUtf8(mensaje(false));
    for (qsizetype i = m_clientes.size() - 1; i >= 0; --i) {
        QWebSocket* ws = m_clientes.at(i).ws;
        if (!ws) {
            m_clientes.removeAt(i);
            continue;
        }
        if (ws->bytesToWrite() > kMaxPendiente) {
            ws->abort();
            continue;
        }
        ws->sendTextMessage(texto);
    }
}

void EnVivo::agrega(QWebSocket* ws, const QByteArray& sesion)
{
    ws->setParent(this);
    m_clientes.append({ws, sesion});
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
    ws->sendTextMessage(QString::fromUtf8(mensaje(true)));
}

void EnVivo::cierra(const QList<QByteArray>& sesiones, const QString& motivo)
{
    for (const Cliente& c : std::as_const(m_clientes)) {
        if (c.ws && sesiones.contains(c.sesion))
            c.ws->close(QWebSocketProtocol::CloseCode(4001), motivo);
    }
}
