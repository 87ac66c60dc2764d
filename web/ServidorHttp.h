#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <functional>
#include <memory>

class QSslConfiguration;
class QTcpSocket;
class QWebSocket;

// What every connection is held to, whatever it asks for.
struct LimitesHttp
{
    qint64 maxCabecera = 16 * 1024; // a request's header block, bytes
    qint64 maxCuerpo = 16 * 1024;   // a request's body, bytes
    // Open connections in all: one more closes the idle connection that gives
    // up least, and is refused only when every connection is busy.
    int maxConexiones = 200;
    int maxPorDireccion = 24;       // open connections from one address
    int graciaMs = 1000;            // a connection silent for less is not closed for another
    // The last descriptors the process may open are the station's: a
    // connection that would take one of them is refused at once.
    int reservaDescriptores = 64;
    int quietoMs = 30000;   // a connection silent for this long between requests is closed
    int peticionMs = 20000; // a request must arrive whole within this from its first byte
    int atencionMs = 120000; // an answer not written by then closes the connection
};

// The HTTP server: every request goes to one handler, which answers on the
// socket itself (at once or later: a slowed-down sign-in answers from a
// timer, a download from its thread). The listener caps connections and
// keeps the process's last descriptors free, and every connection is
// watched before the request parser reads it: a header or body above the
// limits, a request that arrives too slowly or a silent connection is
// refused or closed without being buffered. A request for a WebSocket is
// the connection's last HTTP request: what follows it is the WebSocket
// server's; and only a WebSocket the monitor has accepted leaves the time
// limits.
class ServidorHttp : public QAbstractHttpServer
{
    Q_OBJECT
public:
    using Manejador = std::function<void(const QHttpServerRequest&, QTcpSocket*)>;
    // aviso(texto) records a refusal worth a trace (the error log).
    ServidorHttp(Manejador manejador, const LimitesHttp& limites, std::function<void(const QString&)> aviso,
                 QObject* parent = nullptr);
    ~ServidorHttp() override;

    // Listens on direccion:puerto, with TLS when tls is given; false and
    // error when it cannot.
    bool escucha(const QHostAddress& direccion, quint16 puerto, const QSslConfiguration* tls, QString* error);
    quint16 puerto() const { return m_puerto; }
    const LimitesHttp& limites() const { return m_limites; }
    // Connections open now.
    int conexiones() const;

    // The monitor accepted this WebSocket: its connection leaves the HTTP limits.
    void liberaWebSocket(const QWebSocket* ws);

    using Cabeceras = QList<QPair<QByteArray, QByteArray>>;
    // Headers every answer carries.
    static void setCabecerasComunes(const Cabeceras& c);
    // Writes a whole answer on s (nothing when s is gone).
    static void responde(QTcpSocket* s, int estado, const QByteArray& tipo, const QByteArray& cuerpo,
                         const Cabeceras& extra = {}, bool cerrar = false);
    static QByteArray textoEstado(int estado);
    // Whether a request with these Upgrade and Connection headers goes to
    // the WebSocket server once its handler returns (as Qt decides it).
    static bool pideWebSocket(const QByteArray& upgrade, const QByteArray& connection);

    struct Registro; // connections by address, and their guards

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Manejador m_manejador;
    LimitesHttp m_limites;
    std::shared_ptr<Registro> m_registro;
    quint16 m_puerto = 0;
};
