#include "TransporteSerie.h"

#include "Trama.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>

namespace {
constexpr int kTramoMs = 100;
} // namespace

TransporteSerie::TransporteSerie(const QString& dispositivo, int baudios)
    : m_dispositivo(dispositivo), m_baudios(baudios)
{
}

TransporteSerie::~TransporteSerie()
{
    cerrar();
}

QString TransporteSerie::textoAjustes() const
{
    return QString::number(m_baudios) + QStringLiteral(",n,8,1");
}

QString TransporteSerie::causa(const QString& dispositivo, QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("%1: el puerto no existe.").arg(dispositivo);
    case QSerialPort::PermissionError:
        return QStringLiteral("%1: permiso denegado (el usuario debe pertenecer al grupo dialout).")
            .arg(dispositivo);
    case QSerialPort::OpenError:
        return QStringLiteral("%1: el puerto ya está abierto.").arg(dispositivo);
    default:
        return QStringLiteral("%1: el puerto no acepta la configuración (error %2).")
            .arg(dispositivo)
            .arg(int(error));
    }
}

bool TransporteSerie::abrir(QString* error)
{
    if (m_puerto && m_puerto->isOpen())
        return true;
    m_puerto = std::make_unique<QSerialPort>();
    m_puerto->setPortName(m_dispositivo);
    bool ok = m_puerto->open(QIODevice::ReadWrite);
    ok = ok && m_puerto->setBaudRate(m_baudios) && m_puerto->setDataBits(QSerialPort::Data8) &&
         m_puerto->setParity(QSerialPort::NoParity) &&
         m_puerto->setStopBits(QSerialPort::OneStop) &&
         m_puerto->setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        if (error)
            *error = causa(m_dispositivo, m_puerto->error());
        m_puerto.reset();
        return false;
    }
    // Pseudo-terminals have no modem lines; a failure here is not fatal.
    m_puerto->setRequestToSend(true);
    m_puerto->clearError();
    return true;
}

void TransporteSerie::cerrar()
{
    if (m_puerto) {
        m_puerto->close();
        m_puerto.reset();
    }
}

bool TransporteSerie::estaAbierto() const
{
    return m_puerto && m_puerto->isOpen();
}

QByteArray TransporteSerie::intercambio(const QByteArray& pedido, int largo)
{
    const QDeadlineTimer limite(m_esperaMs);
    QByteArray respuesta;
    if (!estaAbierto() || detenido())
        return respuesta;
    m_puerto->clear(QSerialPort::Input);
    m_puerto->readAll();
    qCDebug(Trama::lcWire).noquote() << "tx" << Trama::hex(pedido);
    m_puerto->write(pedido);
    m_puerto->waitForBytesWritten(int(std::min<qint64>(kTramoMs, limite.remainingTime())));
    while (!Trama::completa(m_puerto->peek(m_puerto->bytesAvailable()), largo) && !detenido() &&
           !limite.hasExpired()) {
        const int tramo = int(std::min<qint64>(kTramoMs, limite.remainingTime()));
        if (m_puerto->bytesToWrite() > 0)
            m_puerto->waitForBytesWritten(tramo);
        else if (!m_puerto->waitForReadyRead(tramo) && m_puerto->error() != QSerialPort::NoError &&
                 m_puerto->error() != QSerialPort::TimeoutError)
            break;
    }
    respuesta = m_puerto->readAll();
    m_puerto->clearError();
    qCDebug(Trama::lcWire).noquote() << "rx" << Trama::hex(respuesta);
    return respuesta;
}

// RTU frames carry no transaction number: a reply to the abandoned request
// that comes within a whole reply wait after it failed is thrown away here,
// and the line must then have been quiet for the quiet period (at most one
// more reply wait). Gives way to waiting commands: a stop goes out at once.
bool TransporteSerie::recobra()
{
    if (!estaAbierto())
        return !detenido();
    const QDeadlineTimer minimo(m_esperaMs);
    const QDeadlineTimer maximo(m_esperaMs + std::max(m_esperaMs, m_silencioMs));
    QElapsedTimer quieto;
    quieto.start();
    for (;;) {
        if (detenido() || cede())
            return false;
        if (minimo.hasExpired() && (quieto.elapsed() >= m_silencioMs || maximo.hasExpired()))
            return true;
        const int tramo =
            int(std::min<qint64>(kTramoMs, minimo.hasExpired() ? m_silencioMs - quieto.elapsed()
                                                               : minimo.remainingTime()));
        if (m_puerto->bytesAvailable() > 0 || m_puerto->waitForReadyRead(std::max(tramo, 1))) {
            qCDebug(Trama::lcWire).noquote() << "rx descartado" << Trama::hex(m_puerto->readAll());
            quieto.restart();
        } else if (m_puerto->error() != QSerialPort::NoError &&
                   m_puerto->error() != QSerialPort::TimeoutError) {
            m_puerto->clearError();
            dormir(tramo);
        }
    }
}
