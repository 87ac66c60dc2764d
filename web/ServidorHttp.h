#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QList>
#include <QPair>
#include <functional>

class QTcpSocket;

// The HTTP server: every request goes to one handler, which answers on the
// socket itself (at once or later: a slowed-down sign-in answers from a timer).
// Each connection is watched before the request parser reads it, so a header
// or body above the limits is refused without being buffered.
class ServidorHttp : public QAbstractHttpServer
{
    Q_OBJECT
public:
    using Manejador = std::function<void(const QHttpServerRequest&, QTcpSocket*)>;
    ServidorHttp(Manejador manejador, qint64 maxCabecera, qint64 maxCuerpo, QObject* parent = nullptr);

    // Puts the size guard on a connection before the parser sees it.
    void vigila(QTcpSocket* s);

    using Cabeceras = QList<QPair<QByteArray, QByteArray>>;
    // Headers every answer carries.
    static void setCabecerasComunes(const Cabeceras& c);
    // Writes a whole answer on s (nothing when s is gone).
    static void responde(QTcpSocket* s, int estado, const QByteArray& tipo, const QByteArray& cuerpo,
                         const Cabeceras& extra = {}, bool cerrar = false);
    static QByteArray textoEstado(int estado);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Manejador m_manejador;
    qint64 m_maxCabecera;
    qint64 m_maxCuerpo;
};
