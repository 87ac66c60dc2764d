#include "ServidorHttp.h"

#include <QHttpServerRequest>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

ServidorHttp::Cabeceras g_comunes;

// Follows the bytes of one connection as HTTP/1.1 frames them: a header
// block up to the blank line, then Content-Length bytes of body. Runs on
// every readyRead before the parser (bytes it has already seen and the
// parser left are skipped), and refuses what exceeds the limits.
class Guardia : public QObject
{
public:
    Guardia(QTcpSocket* s, qint64 maxCabecera, qint64 maxCuerpo)
        : QObject(s), m_s(s), m_maxCabecera(maxCabecera), m_maxCuerpo(maxCuerpo)
    {
        connect(s, &QTcpSocket::readyRead, this, &Guardia::antes);
        // A connection that sends nothing for long is closed: idle keep-alive
        // connections would otherwise pile up.
        m_quieto.setSingleShot(true);
        m_quieto.setInterval(kQuietoMs);
        connect(&m_quieto, &QTimer::timeout, this, [this] {
            if (!m_libre)
                m_s->disconnectFromHost();
        });
        m_quieto.start();
        // After the parser's own slot, which is connected once this returns.
        QTimer::singleShot(0, this, [this] {
            connect(m_s, &QTcpSocket::readyRead, this, &Guardia::despues);
            m_despues = true;
        });
    }

private:
    void antes()
    {
        m_quieto.start();
        if (m_rechazado) {
            m_s->readAll();
            return;
        }
        if (m_libre || !m_s->isOpen())
            return;
        // Until the slot after the parser's is in place, what was seen is
        // taken as read: the parser reads all there is on every call.
        if (!m_despues)
            m_yaVistos = 0;
        const qint64 hay = m_s->bytesAvailable();
        if (hay <= m_yaVistos)
            return;
        const QByteArray nuevos = m_s->peek(hay).mid(m_yaVistos);
        m_yaVistos = hay;
        sigue(nuevos);
    }

    void despues() { m_yaVistos = m_rechazado ? 0 : m_s->bytesAvailable(); }

    void sigue(QByteArray datos)
    {
        while (!datos.isEmpty() && !m_rechazado && !m_libre) {
            if (m_cuerpo > 0) {
                const qint64 n = std::min<qint64>(m_cuerpo, datos.size());
                m_cuerpo -= n;
                datos.remove(0, n);
                continue;
            }
            m_cabecera += datos;
            datos.clear();
            // Blank lines between requests are allowed.
            while (m_cabecera.startsWith("\r\n"))
                m_cabecera.remove(0, 2);
            const qsizetype fin = m_cabecera.indexOf("\r\n\r\n");
            if (fin < 0) {
                if (m_cabecera.size() > m_maxCabecera)
                    rechaza(431);
                return;
            }
            if (fin > m_maxCabecera) {
                rechaza(431);
                return;
            }
            const QByteArray bloque = m_cabecera.left(fin);
            datos = m_cabecera.mid(fin + 4);
            m_cabecera.clear();
            analiza(bloque);
        }
    }

    void analiza(const QByteArray& bloque)
    {
        const QList<QByteArray> lineas = bloque.split('\n');
        qint64 largo = 0;
        bool largoVisto = false;
        for (qsizetype k = 1; k < lineas.size(); ++k) {
            const QByteArray l = lineas.at(k).trimmed();
            const qsizetype dos = l.indexOf(':');
            if (dos <= 0)
                continue;
            const QByteArray nombre = l.left(dos).trimmed().toLower();
            const QByteArray valor = l.mid(dos + 1).trimmed();
            if (nombre == "content-length") {
                bool ok = false;
                const qint64 v = valor.toLongLong(&ok);
                if (!ok || v < 0 || (largoVisto && v != largo)) {
                    rechaza(400);
                    return;
                }
                largo = v;
                largoVisto = true;
            } else if (nombre == "transfer-encoding") {
                // Bodies come with their length; a chunked one could grow without bound.
                rechaza(411);
                return;
            } else if (nombre == "upgrade") {
                // The WebSocket server takes the connection over.
                m_libre = true;
            }
        }
        if (largo > m_maxCuerpo) {
            rechaza(413);
            return;
        }
        m_cuerpo = largo;
    }

    void rechaza(int estado)
    {
        m_rechazado = true;
        m_s->readAll();
        ServidorHttp::responde(m_s, estado, "text/plain; charset=utf-8",
                               ServidorHttp::textoEstado(estado) + '\n', {}, true);
    }

    QTcpSocket* m_s;
    qint64 m_maxCabecera;
    qint64 m_maxCuerpo;
    qint64 m_yaVistos = 0;
    qint64 m_cuerpo = 0;
    QByteArray m_cabecera;
    bool m_rechazado = false;
    bool m_libre = false;
    bool m_despues = false;
    QTimer m_quieto;
    static constexpr int kQuietoMs = 120000;
};

} // namespace

ServidorHttp::ServidorHttp(Manejador manejador, qint64 maxCabecera, qint64 maxCuerpo, QObject* parent)
    : QAbstractHttpServer(parent), m_manejador(std::move(manejador)), m_maxCabecera(maxCabecera),
      m_maxCuerpo(maxCuerpo)
{
}

void ServidorHttp::vigila(QTcpSocket* s)
{
    new Guardia(s, m_maxCabecera, m_maxCuerpo);
}

void ServidorHttp::setCabecerasComunes(const Cabeceras& c)
{
    g_comunes = c;
}

QByteArray ServidorHttp::textoEstado(int estado)
{
    switch (estado) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

void ServidorHttp::responde(QTcpSocket* s, int estado, const QByteArray& tipo, const QByteArray& cuerpo,
                            const Cabeceras& extra, bool cerrar)
{
    if (!s || s->state() != QAbstractSocket::ConnectedState)
        return;
    QByteArray r = "HTTP/1.1 " + QByteArray::number(estado) + ' ' + textoEstado(estado) + "\r\n";
    r += "Content-Type: " + tipo + "\r\n";
    r += "Content-Length: " + QByteArray::number(cuerpo.size()) + "\r\n";
    for (const auto& [k, v] : g_comunes)
        r += k + ": " + v + "\r\n";
    for (const auto& [k, v] : extra)
        r += k + ": " + v + "\r\n";
    if (cerrar)
        r += "Connection: close\r\n";
    r += "\r\n";
    r += cuerpo;
    s->write(r);
    if (cerrar)
        s->disconnectFromHost();
}

bool ServidorHttp::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    m_manejador(request, socket);
    return true;
}

void ServidorHttp::missingHandler(const QHttpServerRequest&, QTcpSocket* socket)
{
    responde(socket, 404, "text/plain; charset=utf-8", "No encontrado\n");
}
