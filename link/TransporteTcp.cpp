#include "TransporteTcp.h"

#include "Trama.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {
// Longest single blocking wait, so that a stop request is seen promptly.
constexpr int kTramoMs = 100;
} // namespace

TransporteTcp::TransporteTcp(const QString& host, quint16 puerto) : m_host(host), m_puerto(puerto)
{
}

TransporteTcp::~TransporteTcp()
{
    cerrar();
}

bool TransporteTcp::abrir(QString* error)
{
    if (m_host.trimmed().isEmpty() || m_puerto == 0) {
        if (error)
            *error = QStringLiteral("El host o el puerto TCP no es válido.");
        return false;
    }
    if (!m_socket)
        m_socket = std::make_unique<QTcpSocket>();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        empiezaConexion();
    return true;
}

void TransporteTcp::empiezaConexion()
{
    if (m_desdeConexion.isValid() && m_desdeConexion.elapsed() < m_silencioMs &&
        !dormir(int(m_silencioMs - m_desdeConexion.elapsed())))
        return;
    m_socket->abort();
    m_socket->connectToHost(m_host, m_puerto);
    m_desdeConexion.start();
    ++m_conexiones;
}

void TransporteTcp::esperaConexion()
{
    const QDeadlineTimer limite(m_esperaMs);
    while (!detenido() && !limite.hasExpired()) {
        const auto estado = m_socket->state();
        if (estado == QAbstractSocket::ConnectedState ||
            estado == QAbstractSocket::UnconnectedState)
            return; // connected, or refused or failed: the exchanges report it
        m_socket->waitForConnected(int(std::min<qint64>(kTramoMs, limite.remainingTime())));
    }
}

void TransporteTcp::cerrar()
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
}

bool TransporteTcp::estaAbierto() const
{
    return m_socket != nullptr;
}

bool TransporteTcp::conectado() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QString TransporteTcp::sinConexion() const
{
    if (!m_socket || m_socket->state() == QAbstractSocket::ConnectedState)
        return {};
    QString causa;
    switch (m_socket->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        causa = QStringLiteral("conexión rechazada");
        break;
    case QAbstractSocket::HostNotFoundError:
        causa = QStringLiteral("no se encuentra el host");
        break;
    case QAbstractSocket::RemoteHostClosedError:
        causa = QStringLiteral("el otro extremo cerró la conexión");
        break;
    case QAbstractSocket::NetworkError:
        causa = QStringLiteral("la red no alcanza el host");
        break;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::UnknownSocketError:
        causa = QStringLiteral("no contesta");
        break;
    default:
        causa = QStringLiteral("error %1").arg(int(m_socket->error()));
        break;
    }
    return QStringLiteral("No hay conexión con %1:%2 (%3).").arg(m_host).arg(m_puerto).arg(causa);
}

Trama::Fallo TransporteTcp::conexion() const
{
    if (!m_socket || m_socket->state() == QAbstractSocket::ConnectedState)
        return Trama::Fallo::Ninguno;
    switch (m_socket->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        return Trama::Fallo::ConexionRechazada;
    case QAbstractSocket::RemoteHostClosedError:
        return Trama::Fallo::ConexionCerrada;
    default:
        return Trama::Fallo::SinConexion;
    }
}

void TransporteTcp::reconectar()
{
    if (!m_socket)
        return;
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        empiezaConexion();
    esperaConexion();
}

// RTU frames carry no transaction number: whatever the abandoned request
// still brings arrives on the old connection, never on the new one.
bool TransporteTcp::recobra()
{
    if (m_socket) {
        m_socket->abort();
        empiezaConexion();
        esperaConexion();
    }
    return !detenido();
}

void TransporteTcp::descartaEntrada()
{
    m_socket->readAll();
    while (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->waitForReadyRead(0))
        m_socket->readAll();
}

QByteArray TransporteTcp::intercambio(const QByteArray& pedido, int largo)
{
    const QDeadlineTimer limite(m_esperaMs);
    QByteArray respuesta;
    if (!m_socket || detenido())
        return respuesta;
    descartaEntrada();
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        // Nothing is sent while the connection is down; the wait runs out.
        while (!detenido() && !limite.hasExpired()) {
            const int tramo = int(std::min<qint64>(kTramoMs, limite.remainingTime()));
            if (m_socket->state() == QAbstractSocket::ConnectingState)
                m_socket->waitForConnected(tramo);
            else
                dormir(tramo);
        }
        qCDebug(Trama::lcWire) << "tx (sin conexión)" << Trama::hex(pedido);
        return respuesta;
    }
    qCDebug(Trama::lcWire).noquote() << "tx" << Trama::hex(pedido);
    m_socket->write(pedido);
    while (!Trama::completa(respuesta, largo) && !detenido() && !limite.hasExpired()) {
        const int tramo = int(std::min<qint64>(kTramoMs, limite.remainingTime()));
        if (m_socket->bytesAvailable() > 0 || m_socket->waitForReadyRead(tramo)) {
            respuesta += m_socket->readAll();
        } else if (m_socket->state() != QAbstractSocket::ConnectedState) {
            break; // closed by the peer or failed: nothing more will come
        }
    }
    qCDebug(Trama::lcWire).noquote() << "rx" << Trama::hex(respuesta);
    return respuesta;
}
