#pragma once

// Attacks on a station's web monitor from loopback addresses, shared by
// tolvex-asedio (one monitor for a whole run) and tolvex-caos (bursts at
// random moments). Each call of a step sends one round; the caller's timers
// say how often. Everything opened belongs to the Ataques object and dies
// with it.
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QVector>
#include <algorithm>
#include <functional>
#include <memory>

namespace Asedio {

inline QHostAddress direccion(int n)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(n));
}

// Status of the first answer in bytes (0: none yet).
inline int estadoDe(const QByteArray& datos)
{
    return datos.startsWith("HTTP/1.1 ") ? datos.mid(9, 3).toInt() : 0;
}

// One connection that sends requests one after the other, each once the
// answer to the previous one has come whole; listo(status of each answer)
// when the last has come or the monitor closed the connection.
class Charla : public QObject
{
public:
    // cuerpo: bytes of body the last request declares; plazoMs: the
    // connection is given up after this long (0: never).
    Charla(QObject* padre, const QHostAddress& desde, quint16 puerto, QList<QByteArray> peticiones,
           std::function<void(const QList<int>&)> listo, qint64 cuerpo = 0, int plazoMs = 0)
        : QObject(padre), m_peticiones(std::move(peticiones)), m_listo(std::move(listo)),
          m_cuerpo(cuerpo)
    {
        if (plazoMs > 0)
            QTimer::singleShot(plazoMs, this, &Charla::fin);
        m_s.bind(desde);
        connect(&m_s, &QTcpSocket::connected, this, &Charla::siguiente);
        connect(&m_s, &QTcpSocket::readyRead, this, &Charla::lee);
        connect(&m_s, &QTcpSocket::bytesWritten, this, &Charla::empuja);
        connect(&m_s, &QTcpSocket::disconnected, this, &Charla::fin);
        connect(&m_s, &QTcpSocket::errorOccurred, this, [this] {
            if (m_s.state() == QAbstractSocket::UnconnectedState)
                fin();
        });
        m_s.connectToHost(QHostAddress::LocalHost, puerto);
    }
    // Deleted with its owner before the end: no word of it any more (the
    // socket closing as a member would call fin on a half-destroyed object).
    ~Charla() override
    {
        m_s.disconnect(this);
        m_s.abort();
    }

private:
    void siguiente()
    {
        if (m_peticiones.isEmpty()) {
            fin();
            return;
        }
        m_s.write(m_peticiones.takeFirst());
        m_ultima = m_peticiones.isEmpty();
        empuja();
    }
    // The last request's declared body, sent while the monitor takes it
    // (64 MiB at most, 1 MiB waiting here at most).
    void empuja()
    {
        if (!m_ultima || m_enviado >= std::min<qint64>(m_cuerpo, 64LL << 20) ||
            m_s.bytesToWrite() > (1 << 20))
            return;
        static const QByteArray trozo(256 * 1024, 'x');
        m_enviado += m_s.write(trozo);
    }
    void lee()
    {
        m_datos += m_s.readAll();
        const qsizetype fin = m_datos.indexOf("\r\n\r\n");
        if (fin < 0)
            return;
        static const QRegularExpression largo(QStringLiteral("(?i)\\r\\ncontent-length: *(\\d+)"));
        const auto m = largo.match(QString::fromLatin1(m_datos.left(fin)));
        const qint64 total = fin + 4 + (m.hasMatch() ? m.captured(1).toLongLong() : 0);
        if (m_datos.size() < total)
            return;
        m_estados << estadoDe(m_datos);
        m_datos.remove(0, total);
        siguiente();
    }
    void fin()
    {
        if (!m_listo)
            return;
        if (m_s.isOpen())
            m_datos += m_s.readAll(); // what came with the close
        if (!m_datos.isEmpty() && estadoDe(m_datos))
            m_estados << estadoDe(m_datos);
        const auto listo = std::move(m_listo);
        m_listo = nullptr;
        m_s.abort();
        listo(m_estados);
        deleteLater();
    }

    QTcpSocket m_s;
    QList<QByteArray> m_peticiones;
    std::function<void(const QList<int>&)> m_listo;
    qint64 m_cuerpo;
    qint64 m_enviado = 0;
    bool m_ultima = false;
    QByteArray m_datos;
    QList<int> m_estados;
};

// What the attacks met.
struct Cifras
{
    // flood
    qint64 intentos = 0, rechazadas503 = 0, cerradas = 0, abiertasMax = 0;
    // oversized
    qint64 cabecera431 = 0, cuerpo413 = 0, grandesAceptadas = 0, grandesOtras = 0;
    // half-open
    qint64 lentasCerradas = 0, lentas408 = 0;
    // WebSocket tricks
    qint64 trucosRechazados = 0, trucosFiltraron = 0;
    // downloads
    qint64 descargas200 = 0, descargas503 = 0, descargasOtras = 0;
};

class Ataques
{
public:
    // cookie: a session's ("tolvex_sesion=..."), for the tricks that carry one.
    Ataques(quint16 puerto, QByteArray cookie, Cifras& c, int conexiones = 1100, int lentas = 20)
        : m_puerto(puerto), m_cookie(std::move(cookie)), m_c(c), m_avalancha(conexiones),
          m_lentas(lentas), m_host("Host: 127.0.0.1:" + QByteArray::number(puerto) + "\r\n")
    {}
    // What is still open closes without counting.
    ~Ataques()
    {
        for (QTcpSocket* s : m_contexto.findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly))
            s->disconnect();
    }
    Ataques(const Ataques&) = delete;
    Ataques& operator=(const Ataques&) = delete;

    QObject* contexto() { return &m_contexto; }
    QByteArray get(const QByteArray& ruta, const QByteArray& extra = {}) const
    {
        return "GET " + ruta + " HTTP/1.1\r\n" + m_host + extra + "\r\n";
    }

    // The flood: idle connections from 50 addresses, opened again when closed.
    void avalancha()
    {
        qint64 abiertas = 0;
        for (qsizetype i = 0; i < m_avalancha.size(); ++i) {
            if (m_avalancha[i]) {
                abiertas += m_avalancha[i]->state() == QAbstractSocket::ConnectedState &&
                            m_avalancha[i]->bytesAvailable() == 0;
                continue;
            }
            auto* s = new QTcpSocket(&m_contexto);
            s->bind(direccion(10 + int(i % 50)));
            ++m_c.intentos;
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                if (s->isOpen() && estadoDe(s->peek(16)) == 503)
                    ++m_c.rechazadas503;
                s->disconnect();
                s->abort();
                s->deleteLater();
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                ++m_c.cerradas;
                s->deleteLater();
            });
            QObject::connect(s, &QTcpSocket::errorOccurred, s, [s] {
                if (s->state() == QAbstractSocket::UnconnectedState)
                    s->deleteLater();
            });
            s->connectToHost(QHostAddress::LocalHost, m_puerto);
            m_avalancha[i] = s;
        }
        m_c.abiertasMax = std::max(m_c.abiertasMax, abiertas);
    }

    // Oversized requests after an Upgrade header that is no WebSocket.
    void grandes()
    {
        const auto cuenta = [this](const QList<int>& e, int esperado, qint64* bien) {
            if (e.value(1) == esperado)
                ++*bien;
            else if (e.value(1) == 200)
                ++m_c.grandesAceptadas;
            else
                ++m_c.grandesOtras;
        };
        new Charla(&m_contexto, direccion(2), m_puerto,
                   {get("/ingreso", "Upgrade: foo\r\n"),
                    get("/ingreso", "X-Relleno: " + QByteArray(100 * 1024, 'b') + "\r\n")},
                   [this, cuenta](const QList<int>& e) { cuenta(e, 431, &m_c.cabecera431); });
        new Charla(
            &m_contexto, direccion(2), m_puerto,
            {get("/ingreso", "Upgrade: foo\r\n"),
             "POST /ingreso HTTP/1.1\r\n" + m_host +
                 "Content-Length: " + QByteArray::number(400LL << 20) + "\r\n\r\n"},
            [this, cuenta](const QList<int>& e) { cuenta(e, 413, &m_c.cuerpo413); }, 400LL << 20);
    }

    // Requests that arrive a byte a second (call every second).
    void goteo()
    {
        for (QPointer<QTcpSocket>& l : m_lentas) {
            if (l) {
                if (l->state() == QAbstractSocket::ConnectedState)
                    l->write("a");
                continue;
            }
            auto* s = new QTcpSocket(&m_contexto);
            s->bind(direccion(3));
            const QByteArray inicio = get("/ingreso").chopped(2) + "X-A: ";
            QObject::connect(s, &QTcpSocket::connected, s, [s, inicio] { s->write(inicio); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                ++m_c.lentasCerradas;
                m_c.lentas408 += s->isOpen() && estadoDe(s->readAll()) == 408;
                s->deleteLater();
            });
            s->connectToHost(QHostAddress::LocalHost, m_puerto);
            l = s;
        }
    }

    // WebSocket handshakes without a session, or from another origin.
    void trucos()
    {
        const QByteArray ws =
            "Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        for (const QByteArray& peticion :
             {get("/ws/estado", ws),
              get("/api/pesadas", ws + "Cookie: tolvex_sesion=" + QByteArray(64, 'f') + "\r\n"),
              get("/ws/estado",
                  ws + "Origin: http://otro.example\r\n" + "Cookie: " + m_cookie + "\r\n")}) {
            auto* s = new QTcpSocket(&m_contexto);
            s->bind(direccion(5));
            auto datos = std::make_shared<QByteArray>();
            QObject::connect(s, &QTcpSocket::connected, s, [s, peticion] { s->write(peticion); });
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, datos] { *datos += s->readAll(); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [this, s, datos] {
                if (s->isOpen())
                    *datos += s->readAll();
                ++(datos->contains("\"estado\"") ? m_c.trucosFiltraron : m_c.trucosRechazados);
                s->deleteLater();
            });
            s->connectToHost(QHostAddress::LocalHost, m_puerto);
        }
    }

    // Four PDF listings and two workbooks at once, with the session; none
    // while a round is still coming.
    void descargas(QObject* dueno, const QHostAddress& desde)
    {
        if (*m_enCurso > 0)
            return;
        for (const char* ruta :
             {"/descargas/listado.pdf", "/descargas/listado.pdf", "/descargas/listado.pdf",
              "/descargas/listado.pdf", "/descargas/reporte.xlsx", "/descargas/reporte.xlsx"}) {
            ++*m_enCurso;
            Cifras* c = &m_c;
            new Charla(dueno, desde, m_puerto, {get(ruta, "Cookie: " + m_cookie + "\r\n")},
                       [c, enCurso = m_enCurso](const QList<int>& e) {
                           --*enCurso;
                           const int estado = e.value(0);
                           ++(estado == 200   ? c->descargas200
                              : estado == 503 ? c->descargas503
                                              : c->descargasOtras);
                       });
        }
    }

private:
    quint16 m_puerto;
    QByteArray m_cookie;
    Cifras& m_c;
    QObject m_contexto;
    QList<QPointer<QTcpSocket>> m_avalancha;
    QList<QPointer<QTcpSocket>> m_lentas;
    QByteArray m_host;
    std::shared_ptr<int> m_enCurso = std::make_shared<int>(0);
};

} // namespace Asedio
