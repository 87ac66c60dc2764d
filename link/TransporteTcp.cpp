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
        conecta();
    return true;
}

void TransporteTcp::conecta()
{
    m_socket->abort();
    m_socket->connectToHost(m_host, m_puerto);
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

void TransporteTcp::reconectar()
{
    if (!m_socket)
        return;
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        conecta();
    const QDeadlineTimer limite(m_esperaMs);
    while (!detenido() && !limite.hasExpired() &&
           m_socket->state() != QAbstractSocket::ConnectedState) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            break; // refused or failed: the exchanges report it
        const int tramo = std::min<qint64>(kTramoMs, limite.remainingTime());
        m_socket->waitForConnected(tramo);
    }
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

void TransporteTcp::aquietar()
{
    if (!conectado())
        return;
    const QDeadlineTimer limite(std::max(m_esperaMs, m_silencioMs));
    while (!detenido() && !limite.hasExpired() &&
           m_socket->state() == QAbstractSocket::ConnectedState) {
        QDeadlineTimer quieto(m_silencioMs);
        bool llego = false;
        while (!detenido() && !quieto.hasExpired()) {
            const int tramo = int(std::min<qint64>(kTramoMs, quieto.remainingTime()));
            if (m_socket->waitForReadyRead(tramo)) {
                llego = true;
                break;
            }
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return;
        }
        if (!llego)
            return;
        qCDebug(Trama::lcWire).noquote() << "rx descartado" << Trama::hex(m_socket->readAll());
    }
}
