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
    : QObject(parent), m_indicador(indicador), m_id(id)
{
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
        ++m_pedidos;
        const QByteArray respuesta = responde(trama);
        if (m_verboso)
            QTextStream(stderr) << "rx " << Trama::hex(trama) << "  tx " << Trama::hex(respuesta) << '\n';
        if (!respuesta.isEmpty())
            enviaConFallos(respuesta, envia, tcp);
        Q_EMIT pedidoAtendido();
    }
}

void ServidorRtu::enviaConFallos(const QByteArray& respuesta,
                                 const std::function<void(const QByteArray&)>& envia, bool tcp)
{
    if (m_fallos.mudo || sorteo(m_fallos.descarte))
        return;
    QByteArray r = respuesta;
    if (sorteo(m_fallos.corrupcion))
        r[r.size() - 1] = char(r[r.size() - 1] ^ 0x5A);
    if (m_fallos.sobrante)
        r.append('\0');
    if (sorteo(m_fallos.tardia)) {
        QTimer::singleShot(m_fallos.tardiaMs, this, [envia, r] { envia(r); });
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
    if (id != m_id && id != 0)
        return {};
    const auto funcion = quint8(pedido[1]);
    const auto direccion = quint16(quint8(pedido[2]) << 8 | quint8(pedido[3]));
    const auto valor = quint16(quint8(pedido[4]) << 8 | quint8(pedido[5]));
    // Requests for id 0 too are answered with the indicator's own id.
    QByteArray r(1, char(m_id));
    if (funcion == 0x03 && valor >= 1 && valor <= 125) {
        r += pedido.mid(1, 1) + char(2 * valor) + m_indicador.leeRegistros(direccion, valor);
    } else if (funcion == 0x06) {
        ++m_escrituras;
        {
            std::lock_guard lock(m_mutexOrden);
            m_ordenEscrituras.append(m_pedidos);
        }
        m_indicador.escribeRegistro(direccion, valor);
        r += pedido.mid(1, 5);
    } else {
        r += char(funcion | 0x80);
        r += char(funcion == 0x03 ? 0x03 : 0x01);
    }
    return r + Trama::crc16(r);
}
