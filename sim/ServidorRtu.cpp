#include "ServidorRtu.h"

#include "IndicadorSimulado.h"
#include "Trama.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTextStream>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

ServidorRtu::ServidorRtu(IndicadorSimulado& indicador, quint8 id, QObject* parent)
    : QObject(parent)
{
    m_indicadores.append({id, &indicador});
    m_reloj.start();
}

void ServidorRtu::agrega(IndicadorSimulado& indicador, quint8 id)
{
    m_indicadores.append({id, &indicador});
}

QList<quint8> ServidorRtu::ids() const
{
    QList<quint8> r;
    for (const auto& [id, ind] : m_indicadores)
        r.append(id);
    return r;
}

void ServidorRtu::setFallosDe(quint8 id, const FallosSimulados& f)
{
    m_fallosDe[id] = f;
}

const FallosSimulados& ServidorRtu::fallosDe(quint8 id) const
{
    const auto it = m_fallosDe.constFind(id);
    return it != m_fallosDe.cend() ? *it : m_fallos;
}

void ServidorRtu::setBaudios(int baudios, double giroMs)
{
    m_baudios = std::max(baudios, 0);
    m_giroMs = std::max(giroMs, 0.0);
}

double ServidorRtu::tramaUs(qsizetype n) const
{
    return m_baudios > 0 ? double(n) * 10e6 / m_baudios : 0;
}

// 3.5 characters; above 19200 baud a fixed 1750 us, as serial Modbus has it.
double ServidorRtu::silencioUs() const
{
    if (m_baudios <= 0)
        return 0;
    return m_baudios > 19200 ? 1750 : 3.5 * 10e6 / m_baudios;
}

ServidorRtu::~ServidorRtu()
{
    delete m_notificador;
    if (m_ptyMaestro >= 0)
        ::close(m_ptyMaestro);
    if (m_ptyEsclavo >= 0)
        ::close(m_ptyEsclavo);
}

bool ServidorRtu::escuchaTcp(quint16 puerto, QString* error)
{
    m_servidor = new QTcpServer(this);
    if (!m_servidor->listen(QHostAddress::LocalHost, puerto)) {
        if (error)
            *error = m_servidor->errorString();
        return false;
    }
    connect(m_servidor, &QTcpServer::newConnection, this, &ServidorRtu::nuevaConexion);
    setFallos(m_fallos);
    return true;
}

quint16 ServidorRtu::puerto() const
{
    return m_servidor ? m_servidor->serverPort() : 0;
}

bool ServidorRtu::abrePty(QString* error)
{
    char nombre[256] = {};
    if (::openpty(&m_ptyMaestro, &m_ptyEsclavo, nombre, nullptr, nullptr) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    termios t{};
    if (::tcgetattr(m_ptyEsclavo, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(m_ptyEsclavo, TCSANOW, &t);
    }
    ::fcntl(m_ptyMaestro, F_SETFL, ::fcntl(m_ptyMaestro, F_GETFL) | O_NONBLOCK);
    m_dispositivo = QString::fromLocal8Bit(nombre);
    m_notificador = new QSocketNotifier(m_ptyMaestro, QSocketNotifier::Read, this);
    connect(m_notificador, &QSocketNotifier::activated, this, &ServidorRtu::leePty);
    return true;
}

void ServidorRtu::setFallos(const FallosSimulados& f)
{
    m_fallos = f;
    delete m_desconexion;
    m_desconexion = nullptr;
    if (m_fallos.desconectaCada > 0) {
        m_desconexion = new QTimer(this);
        connect(m_desconexion, &QTimer::timeout, this, &ServidorRtu::desconectaClientes);
        m_desconexion->start(int(m_fallos.desconectaCada * 1000));
    }
}

void ServidorRtu::desconectaClientes()
{
    for (const auto& c : std::as_const(m_clientes)) {
        if (c)
            c->disconnectFromHost();
    }
    if (m_verboso)
        QTextStream(stderr) << "conexiones cerradas\n";
}

bool ServidorRtu::sorteo(double p)
{
    return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < p;
}

void ServidorRtu::nuevaConexion()
{
    while (QTcpSocket* s = m_servidor->nextPendingConnection()) {
        m_clientes.removeAll(nullptr);
        m_clientes.append(s);
        auto buffer = std::make_shared<QByteArray>();
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QTcpSocket::readyRead, this, [this, s, buffer] {
            *buffer += s->readAll();
            QPointer<QTcpSocket> p(s);
            recibe(*buffer, [this, p](const QByteArray& b) {
                if (p && p->state() == QAbstractSocket::ConnectedState) {
                    p->write(b);
                    p->flush();
                    ++m_respuestas;
                }
            }, true);
        });
        if (m_verboso)
            QTextStream(stderr) << "conexión de " << s->peerAddress().toString() << '\n';
    }
}

void ServidorRtu::leePty()
{
    char tmp[512];
    for (;;) {
        const ssize_t n = ::read(m_ptyMaestro, tmp, sizeof tmp);
        if (n <= 0)
            break;
        m_bufferPty.append(tmp, n);
    }
    recibe(m_bufferPty, [this](const QByteArray& b) {
        if (::write(m_ptyMaestro, b.constData(), size_t(b.size())) == b.size())
            ++m_respuestas;
    }, false);
}

// Requests are 8 bytes with a good CRC; anything else is skipped a byte at a
// time until a frame lines up again.
void ServidorRtu::recibe(QByteArray& buffer, const std::function<void(const QByteArray&)>& envia,
                         bool tcp)
{
    while (buffer.size() >= 8) {
        const QByteArray trama = buffer.left(8);
        if (Trama::crc16(trama.left(6)) != trama.right(2)) {
            buffer.remove(0, 1);
            continue;
        }
        buffer.remove(0, 8);
        if (m_baudios > 0) {
            m_cola.append({trama, envia, tcp});
            atiendeCola();
        } else {
            atiende(trama, envia, tcp);
        }
    }
}

void ServidorRtu::atiende(const QByteArray& trama, const std::function<void(const QByteArray&)>& envia,
                          bool tcp)
{
    ++m_pedidos;
    {
        std::lock_guard lock(m_mutexOrden);
        if (m_idsPedidos.size() < (1 << 20))
            m_idsPedidos.append(quint8(trama[0]));
    }
    const QByteArray respuesta = responde(trama);
    if (m_verboso)
        QTextStream(stderr) << "rx " << Trama::hex(trama) << "  tx " << Trama::hex(respuesta) << '\n';
    if (!respuesta.isEmpty())
        enviaConFallos(respuesta, envia, tcp);
    Q_EMIT pedidoAtendido();
}

// One request at a time: it is on the line from when it came (or the line
// was free) for its wire time, then the gap; the indicator turns round; the
// reply's bytes go out at the wire rate, a gap follows it.
void ServidorRtu::atiendeCola()
{
    if (m_cola.isEmpty() || !m_saliendo.isEmpty() || m_esperandoGiro)
        return;
    const qint64 ahora = m_reloj.nsecsElapsed();
    const Pendiente p = m_cola.takeFirst();
    const qint64 tomado =
        std::max(ahora, m_libreNs) + qint64((tramaUs(p.pedido.size()) + silencioUs()) * 1000);
    m_ocupadoUs += qint64(tramaUs(p.pedido.size()) + silencioUs());
    m_libreNs = tomado;
    const qint64 listo = tomado + qint64(m_giroMs * 1e6);
    m_giroUs += qint64(m_giroMs * 1000);
    m_esperandoGiro = true;
    const int demoraMs = int(std::max<qint64>(0, (listo - ahora + 999999) / 1000000));
    const auto envia = p.envia;
    QTimer::singleShot(demoraMs, Qt::PreciseTimer, this, [this, p, envia] {
        m_esperandoGiro = false;
        atiende(p.pedido, [this, envia](const QByteArray& b) { sale(b, envia); }, p.tcp);
        atiendeCola();
    });
}

// The reply's bytes at the wire rate, each written once its time has passed.
void ServidorRtu::sale(const QByteArray& bytes, const std::function<void(const QByteArray&)>& envia)
{
    if (m_saliendo.isEmpty()) {
        m_inicioSalidaNs = std::max(m_reloj.nsecsElapsed(), m_libreNs);
        m_enviados = 0;
        m_enviaSaliendo = envia;
    }
    m_saliendo += bytes;
    m_ocupadoUs += qint64(tramaUs(bytes.size()));
    if (!m_ritmo) {
        m_ritmo = new QTimer(this);
        m_ritmo->setTimerType(Qt::PreciseTimer);
        m_ritmo->setInterval(1);
        connect(m_ritmo, &QTimer::timeout, this, [this] {
            const double porByteNs = tramaUs(1) * 1000;
            const auto debidos = std::min<qsizetype>(
                m_saliendo.size(), qsizetype(double(m_reloj.nsecsElapsed() - m_inicioSalidaNs) / porByteNs));
            if (debidos > m_enviados) {
                m_enviaSaliendo(m_saliendo.mid(m_enviados, debidos - m_enviados));
                m_enviados = debidos;
            }
            if (m_enviados == m_saliendo.size()) {
                m_ritmo->stop();
                m_libreNs = m_inicioSalidaNs + qint64(double(m_saliendo.size()) * porByteNs +
                                                      silencioUs() * 1000);
                m_ocupadoUs += qint64(silencioUs());
                m_saliendo.clear();
                atiendeCola();
            }
        });
    }
    if (!m_ritmo->isActive())
        m_ritmo->start();
}

void ServidorRtu::enviaConFallos(const QByteArray& respuesta,
                                 const std::function<void(const QByteArray&)>& envia, bool tcp)
{
    const FallosSimulados& f = fallosDe(quint8(respuesta.at(0)));
    if (f.mudo || sorteo(f.descarte))
        return;
    QByteArray r = respuesta;
    if (f.excepcion != 0 || f.otroId != 0) {
        QByteArray m = f.excepcion != 0 ? r.left(1) + char(quint8(r.at(1)) | 0x80) + char(f.excepcion)
                                        : r.left(r.size() - 2);
        if (f.otroId != 0)
            m[0] = char(f.otroId);
        r = m + Trama::crc16(m);
    }
    if (sorteo(f.corrupcion))
        r[r.size() - 1] = char(r[r.size() - 1] ^ 0x5A);
    if (f.sobrante)
        r.append('\0');
    if (sorteo(f.tardia)) {
        QTimer::singleShot(f.tardiaMs, this, [envia, r] { envia(r); });
        return;
    }
    if (m_fallos.partida && tcp) {
        const int mitad = int(r.size() / 2);
        envia(r.left(mitad));
        QTimer::singleShot(m_fallos.partidaMs, this, [envia, r, mitad] { envia(r.mid(mitad)); });
        return;
    }
    envia(r);
}

QByteArray ServidorRtu::responde(const QByteArray& pedido)
{
    if (pedido.size() != 8)
        return {};
    const auto id = quint8(pedido[0]);
    IndicadorSimulado* indicador = nullptr;
    quint8 propio = id;
    if (id == 0 && m_indicadores.size() == 1) {
        propio = m_indicadores[0].first;
        indicador = m_indicadores[0].second;
    }
    for (const auto& [n, ind] : m_indicadores)
        if (id != 0 && n == id)
            indicador = ind;
    if (!indicador)
        return {};
    const auto funcion = quint8(pedido[1]);
    const auto direccion = quint16(quint8(pedido[2]) << 8 | quint8(pedido[3]));
    const auto valor = quint16(quint8(pedido[4]) << 8 | quint8(pedido[5]));
    // Requests for id 0 too are answered with the indicator's own id.
    QByteArray r(1, char(propio));
    if (funcion == 0x03 && valor >= 1 && valor <= 125) {
        r += pedido.mid(1, 1) + char(2 * valor) + indicador->leeRegistros(direccion, valor);
    } else if (funcion == 0x06) {
        ++m_escrituras;
        {
            std::lock_guard lock(m_mutexOrden);
            m_ordenEscrituras.append(m_pedidos);
        }
        indicador->escribeRegistro(direccion, valor);
        r += pedido.mid(1, 5);
    } else {
        r += char(funcion | 0x80);
        r += char(funcion == 0x03 ? 0x03 : 0x01);
    }
    return r + Trama::crc16(r);
}
