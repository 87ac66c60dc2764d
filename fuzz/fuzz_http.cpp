// The monitor's door: the connection guard of the HTTP server (header and
// body limits, framing, Upgrade and Connection headers), Qt's request
// parser behind it, and the gate with its routes (query and form decoding,
// cookies, the read-only key, origins, WebSockets), over real TCP on
// loopback. Each input is what a client sends on one connection; then, on
// the same connection, a request whose header, or whose body, is beyond
// the limits.
//
// Properties: no request beyond the limits ever reaches the gate, whatever
// came before it on the connection (an Upgrade header that is no WebSocket
// among it); every connection ends once the client has sent all and shut
// its side.

#include "FuzzApoyo.h"

#include "ConsultaReportes.h"
#include "Contexto.h"
#include "Puerta.h"
#include "ServidorHttp.h"
#include "Sesiones.h"

#include <QEventLoop>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <sys/socket.h>

namespace {

LimitesHttp limites()
{
    LimitesHttp l;
    l.maxCabecera = 1024;
    l.maxCuerpo = 1024;
    return l;
}

const QByteArray kClave = "clave-de-la-api";

struct Monitor
{
    Contexto contexto;
    Sesiones sesiones{60000};
    Frenos frenos;
    Puerta puerta{contexto, sesiones, frenos};
    std::unique_ptr<ServidorHttp> http;
    int atendidas = 0;

    Monitor()
    {
        using R = Puerta::Requiere;
        using F = Puerta::Forma;
        const auto get = Puerta::Metodo::Get;
        const auto post = Puerta::Metodo::Post;
        const auto eco = [](const Llamada& ll) {
            QJsonObject o;
            for (const auto& [k, v] : ll.consulta.queryItems(QUrl::FullyDecoded))
                o.insert(k, v);
            for (const auto& [k, v] : ll.formulario.queryItems(QUrl::FullyDecoded))
                o.insert(k, v);
            ServidorHttp::responde(ll.socket, 200, Puerta::kJson, QJsonDocument(o).toJson(QJsonDocument::Compact));
        };
        puerta.agrega({get, QStringLiteral("/"), R::Nadie, F::Pagina, false, false, false, eco});
        puerta.agrega({post, QStringLiteral("/ingreso"), R::Nadie, F::Pagina, false, true, false,
                       [this](const Llamada& ll) {
                           puerta.falla(ll);
                           ServidorHttp::responde(ll.socket, 303, "text/plain", {}, {{"Location", "/ingreso"}});
                       }});
        puerta.agrega({get, QStringLiteral("/api/estado"), R::Sesion, F::Json, true, false, false, eco});
        puerta.agrega({get, QStringLiteral("/api/reportes"), R::Reportes, F::Json, true, false, false,
                       [](const Llamada& ll) {
                           const auto p = ConsultaReportes::lee(ll.consulta, Contexto());
                           if (!p.error.isEmpty())
                               Puerta::respondeError(ll.socket, 400, p.error);
                           else
                               ServidorHttp::responde(ll.socket, 200, Puerta::kJson, p.sel.filtro.toUtf8());
                       }});
        puerta.agrega({get, QStringLiteral("/vivo"), R::Sesion, F::Json, false, false, true, [](const Llamada& ll) {
                           Puerta::respondeError(ll.socket, 400, QStringLiteral("WebSocket"));
                       }});
        puerta.setClaveApi(QString::fromLatin1(kClave));
        const LimitesHttp l = limites();
        http = std::make_unique<ServidorHttp>(
            [this, l](const QHttpServerRequest& req, QTcpSocket* s) {
                // The request as the guard let it through: its header
                // fields alone are no longer than the block they came in.
                qint64 cabecera = 0;
                for (const auto& [k, v] : req.headers())
                    cabecera += k.size() + v.size();
                FUZZ_EXIGE(cabecera <= l.maxCabecera, QStringLiteral("cabecera de %1 bytes").arg(cabecera));
                FUZZ_EXIGE(req.body().size() <= l.maxCuerpo, QStringLiteral("cuerpo de %1 bytes").arg(req.body().size()));
                ++atendidas;
                puerta.atiende(req, s);
            },
            l, std::function<void(const QString&)>());
        QObject::connect(http.get(), &QAbstractHttpServer::newWebSocketConnection, [this] {
            while (http->hasPendingWebSocketConnections()) {
                std::unique_ptr<QWebSocket> ws = http->nextPendingWebSocketConnection();
                if (!ws)
                    break;
                QWebSocket* w = ws.release();
                QObject::connect(w, &QWebSocket::disconnected, w, &QObject::deleteLater);
                if (puerta.admite(*w)) {
                    http->liberaWebSocket(w);
                    w->close();
                } else {
                    w->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Sesión no iniciada"));
                }
            }
        });
        QString error;
        if (!http->escucha(QHostAddress::LocalHost, 0, nullptr, &error))
            FuzzApoyo::falla("no se pudo escuchar", error);
    }
};

Monitor* g_monitor = nullptr;

QByteArray sondaCabecera()
{
    return "GET /?sonda=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Relleno: " + QByteArray(3 * limites().maxCabecera, 'a') +
           "\r\n\r\n";
}

QByteArray sondaCuerpo()
{
    const QByteArray cuerpo = "nombre=x&clave=" + QByteArray(3 * limites().maxCuerpo, 'b');
    return "POST /ingreso HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           QByteArray::number(cuerpo.size()) + "\r\n\r\n" + cuerpo;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    QDir::setCurrent(FuzzApoyo::carpeta());
    g_monitor = new Monitor;
    return 0;
}

// The input's first byte chooses the request beyond the limits that
// follows it (header, body, or none) and whether it goes with the rest or
// after the server has dealt with the rest; the rest goes on the connection.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray envio(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    QByteArray sonda;
    switch (data[0] % 3) {
    case 0:
        sonda = sondaCabecera();
        break;
    case 1:
        sonda = sondaCuerpo();
        break;
    default:
        break;
    }
    const bool aparte = (data[0] / 3) % 2;
    QTcpSocket c;
    QEventLoop bucle;
    bool vencido = false;
    QTimer reloj;
    reloj.setSingleShot(true);
    QObject::connect(&reloj, &QTimer::timeout, &bucle, [&] {
        vencido = true;
        bucle.quit();
    });
    QObject::connect(&c, &QTcpSocket::connected, &bucle, &QEventLoop::quit);
    QObject::connect(&c, &QTcpSocket::disconnected, &bucle, &QEventLoop::quit);
    QObject::connect(&c, &QTcpSocket::errorOccurred, &bucle, &QEventLoop::quit);
    QObject::connect(&c, &QTcpSocket::bytesWritten, &bucle, &QEventLoop::quit);
    QObject::connect(&c, &QTcpSocket::readyRead, &c, [&c] { c.readAll(); });
    reloj.start(10000);
    c.connectToHost(QHostAddress::LocalHost, g_monitor->http->puerto());
    if (c.state() != QAbstractSocket::ConnectedState)
        bucle.exec();
    FUZZ_EXIGE(c.state() == QAbstractSocket::ConnectedState, c.errorString());
    const auto escribe = [&](const QByteArray& b) {
        if (c.state() != QAbstractSocket::ConnectedState)
            return;
        c.write(b);
        while (c.bytesToWrite() > 0 && c.state() == QAbstractSocket::ConnectedState && !vencido)
            bucle.exec();
    };
    if (aparte) {
        escribe(envio);
        // On loopback the bytes are with the server once written: a few
        // rounds of events let it read them and answer what is whole.
        for (int i = 0; i < 4; ++i) {
            QTimer::singleShot(0, &bucle, &QEventLoop::quit);
            bucle.exec();
        }
        escribe(sonda);
    } else {
        escribe(envio + sonda);
    }
    // All of it out, then this side shut: the server sees the end of the input.
    if (c.state() == QAbstractSocket::ConnectedState)
        ::shutdown(int(c.socketDescriptor()), SHUT_WR);
    while (c.state() != QAbstractSocket::UnconnectedState && !vencido)
        bucle.exec();
    FUZZ_EXIGE(!vencido, QStringLiteral("la conexión sigue abierta 10 s después de enviarlo todo"));
    // The server's side goes with the connection.
    reloj.start(10000);
    while (g_monitor->http->conexiones() > 0 && !vencido) {
        QTimer::singleShot(1, &bucle, &QEventLoop::quit);
        bucle.exec();
    }
    FUZZ_EXIGE(!vencido, QStringLiteral("%1 conexiones siguen abiertas en el servidor").arg(g_monitor->http->conexiones()));
    return 0;
}
