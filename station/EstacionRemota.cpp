#include "EstacionRemota.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QLocalSocket>
#include <QTimer>

#include "Canal.h"
#include "EstadoJson.h"

namespace {

QStringList textos(const QJsonValue& v)
{
    QStringList r;
    for (const QJsonValue& x : v.toArray())
        r << x.toString();
    return r;
}

} // namespace

EstacionRemota::EstacionRemota(const Linea& linea, CanalCliente* canal) : EstacionBase(linea, canal), m_canal(canal) {}

int EstacionRemota::envia(QJsonObject pedido, const QString& operador, bool operacion)
{
    const int id = operacion ? m_siguiente++ : 0;
    pedido.insert(QStringLiteral("linea"), m_linea.numero);
    pedido.insert(QStringLiteral("id"), id);
    pedido.insert(QStringLiteral("operador"), operador);
    // Not sent is not done: the view hears so as it would of a failed write.
    if (!m_canal->envia(pedido) && operacion)
        QTimer::singleShot(0, this, [this, id] { Q_EMIT operacionTerminada(id, false); });
    return id;
}

void EstacionRemota::abreVista(const QStringList& aux, const QString& operador)
{
    envia({{QStringLiteral("op"), Canal::Op::kAbreVista}, {QStringLiteral("aux"), QJsonArray::fromStringList(aux)}},
          operador, false);
}

void EstacionRemota::cierraVista(const QString& operador)
{
    envia({{QStringLiteral("op"), Canal::Op::kCierraVista}}, operador, false);
}

int EstacionRemota::comando(char letra, const QString& nombre, const QString& operador)
{
    return envia({{QStringLiteral("op"), Canal::Op::kComando},
                  {QStringLiteral("letra"), QString(QLatin1Char(letra))},
                  {QStringLiteral("nombre"), nombre}},
                 operador);
}

int EstacionRemota::programa(const Programacion& p, const QString& operador)
{
    return envia({{QStringLiteral("op"), Canal::Op::kPrograma},
                  {QStringLiteral("despacho"), double(p.despacho)},
                  {QStringLiteral("grueso"), double(p.grueso)},
                  {QStringLiteral("fino"), double(p.fino)},
                  {QStringLiteral("fin"), double(p.fin)}},
                 operador);
}

int EstacionRemota::reset(const QString& operador)
{
    return envia({{QStringLiteral("op"), Canal::Op::kReset}}, operador);
}

void EstacionRemota::recibe(const QString& op, const QJsonObject& m)
{
    using namespace Canal::Op;
    if (op == kEstado) {
        const auto e = EstadoJson::estado(m.value(QStringLiteral("estado")).toObject());
        if (!e)
            return;
        m_estado = *e;
        m_decimales = e->decimales;
        m_iniciada = m.value(QStringLiteral("iniciada")).toBool(m_iniciada);
        Q_EMIT estadoCambiado(m_estado);
    } else if (op == kLectura) {
        if (const auto l = EstadoJson::lectura(m.value(QStringLiteral("lectura")).toObject()))
            Q_EMIT lecturaProcesada(*l);
    } else if (op == kRegistros) {
        m_avisos = textos(m.value(QStringLiteral("avisos")));
        Q_EMIT registrosCambiados();
    } else if (op == kLote) {
        Q_EMIT loteRegistrado(m.value(QStringLiteral("total")).toDouble(), m.value(QStringLiteral("peso")).toDouble());
    } else if (op == kTerminada) {
        Q_EMIT operacionTerminada(m.value(QStringLiteral("id")).toInt(), m.value(QStringLiteral("ok")).toBool());
    } else if (op == kRechazo) {
        const int id = m.value(QStringLiteral("id")).toInt();
        Q_EMIT rechazada(id, m.value(QStringLiteral("mensaje")).toString());
        if (id > 0)
            Q_EMIT operacionTerminada(id, false);
    } else if (op == kEscrituraFallida) {
        Q_EMIT escrituraFallida();
    } else if (op == kSinRespuesta) {
        Q_EMIT sinRespuesta();
    } else if (op == kAbierta) {
        m_iniciada = true;
        m_fallo.clear();
        m_periodo = m.value(QStringLiteral("periodo")).toInt(m_periodo);
        Q_EMIT abierta();
    } else if (op == kCerrada) {
        m_iniciada = false;
        m_periodo = 0;
        Q_EMIT cerrada();
    } else if (op == kFallo) {
        m_iniciada = false;
        m_fallo = m.value(QStringLiteral("texto")).toString();
        Q_EMIT fallo(m_fallo);
    } else if (op == kPeriodo) {
        Q_EMIT periodoEfectivoCambiado(m.value(QStringLiteral("ms")).toInt());
    }
}

void EstacionRemota::perdida()
{
    const bool estaba = m_iniciada;
    m_iniciada = false;
    m_periodo = 0;
    m_estado.conectado = false;
    m_estado.abierta = false;
    if (estaba)
        Q_EMIT cerrada();
}

CanalCliente::CanalCliente(QLocalSocket* socket) : m_socket(socket)
{
    m_socket->setParent(this);
}

CanalCliente::~CanalCliente()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

std::unique_ptr<CanalCliente> CanalCliente::conecta(const QString& directorio, QString* error, int esperaMs)
{
    QString e;
    auto* s = new QLocalSocket;
    std::unique_ptr<CanalCliente> c(new CanalCliente(s));
    QElapsedTimer t;
    t.start();
    s->connectToServer(Canal::ruta(directorio));
    if (!s->waitForConnected(esperaMs)) {
        if (error)
            *error = s->errorString();
        return nullptr;
    }
    // The greeting comes first, whole, on one line.
    bool saludo = false;
    QString malo;
    while (!saludo && malo.isEmpty()) {
        const auto resta = esperaMs - t.elapsed();
        if (resta <= 0 || (!s->bytesAvailable() && !s->waitForReadyRead(int(resta)))) {
            malo = QStringLiteral("el registrador no saludó");
            break;
        }
        if (!Canal::lee(
                s, &c->m_resto,
                [&](const QJsonObject& m) {
                    saludo = c->saluda(m, &malo);
                    return false;
                },
                &malo) &&
            malo.isEmpty())
            malo = QStringLiteral("saludo no válido");
    }
    if (!saludo) {
        if (error)
            *error = malo;
        return nullptr;
    }
    connect(s, &QLocalSocket::readyRead, c.get(), &CanalCliente::lee);
    connect(s, &QLocalSocket::disconnected, c.get(), [p = c.get()] { p->pierde(QStringLiteral("el registrador cerró el canal")); });
    // What came behind the greeting is read as soon as the loop runs.
    if (!c->m_resto.isEmpty() || s->bytesAvailable())
        QTimer::singleShot(0, c.get(), &CanalCliente::lee);
    return c;
}

bool CanalCliente::saluda(const QJsonObject& hola, QString* error)
{
    if (hola.value(QStringLiteral("op")).toString() != Canal::Op::kHola) {
        *error = QStringLiteral("saludo no válido");
        return false;
    }
    m_servicio = hola.value(QStringLiteral("servicio")).toBool();
    m_quien = hola.value(QStringLiteral("quien")).toString();
    for (const QJsonValue& v : hola.value(QStringLiteral("lineas")).toArray()) {
        const QJsonObject o = v.toObject();
        Linea l;
        l.numero = o.value(QStringLiteral("linea")).toInt();
        l.nombre = o.value(QStringLiteral("nombre")).toString();
        if (l.numero < 1 || l.numero > Lineas::kMaximo || m_estaciones.count(l.numero))
            continue;
        auto* e = new EstacionRemota(l, this);
        if (const auto estado = EstadoJson::estado(o.value(QStringLiteral("estado")).toObject())) {
            e->m_estado = *estado;
            e->m_decimales = estado->decimales;
        }
        e->m_iniciada = o.value(QStringLiteral("iniciada")).toBool();
        e->m_periodo = o.value(QStringLiteral("periodo")).toInt();
        e->m_fallo = o.value(QStringLiteral("fallo")).toString();
        e->m_avisos = textos(o.value(QStringLiteral("avisos")));
        m_estaciones[l.numero] = e;
    }
    return true;
}

void CanalCliente::lee()
{
    if (m_perdido)
        return;
    QString error;
    const bool ok = Canal::lee(
        m_socket, &m_resto,
        [this](const QJsonObject& m) {
            const auto i = m_estaciones.find(m.value(QStringLiteral("linea")).toInt());
            if (i != m_estaciones.end())
                i->second->recibe(m.value(QStringLiteral("op")).toString(), m);
            return !m_perdido;
        },
        &error);
    if (!ok)
        pierde(error);
}

void CanalCliente::pierde(const QString& motivo)
{
    if (m_perdido)
        return;
    m_perdido = true;
    m_socket->abort();
    for (auto& [n, e] : m_estaciones)
        e->perdida();
    Q_EMIT perdida(motivo);
}

bool CanalCliente::envia(const QJsonObject& m)
{
    if (m_perdido || m_socket->state() != QLocalSocket::ConnectedState)
        return false;
    return m_socket->write(Canal::linea(m)) > 0;
}

QVector<int> CanalCliente::lineas() const
{
    QVector<int> r;
    for (const auto& [n, e] : m_estaciones)
        r << n;
    return r;
}

EstacionRemota* CanalCliente::estacion(int linea) const
{
    const auto i = m_estaciones.find(linea);
    return i == m_estaciones.end() ? nullptr : i->second;
}
