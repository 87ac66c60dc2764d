#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <memory>

#include "ConfigWeb.h"
#include "Contexto.h"
#include "EstadoEstacion.h"

class EstacionPesaje;
#include "Sesiones.h"

class QHttpServerRequest;
class QTcpSocket;

class QWebSocket;
class ServidorHttp;
class ConsultaReportes;

// The read-only web monitor: sign-in with the program's passwords, the live
// station pushed over a WebSocket, batches and reports, and a JSON API.
// Lives in the thread that calls publica() (the window thread).
class MonitorWeb : public QObject
{
    Q_OBJECT
public:
    // The browsers' sessions read the tables, dates and directory of the
    // session given (copied); each browser signs in on its own.
    explicit MonitorWeb(const Contexto& contexto = Contexto::programa(), QObject* parent = nullptr);
    ~MonitorWeb() override;

    // Listens as configured; false with a message when it cannot (the
    // caller goes on without the monitor).
    bool inicia(const ConfigWeb& config, QString* error);
    quint16 puerto() const { return m_puerto; }

    // Largest request body and header accepted (bytes).
    static constexpr qint64 kMaxCuerpo = 16 * 1024;
    static constexpr qint64 kMaxCabecera = 16 * 1024;
    // Trend kept for new pages, in milliseconds.
    static constexpr qint64 kTendenciaMs = 5 * 60 * 1000;

    // Sends one state of the station to every live page.
    void publica(const EstadoEstacion& e);
    // The station window closed: pages show it at once.
    void estacionCerrada();
    // Follows a station: its every state and its close, for as long as both live.
    void sigue(EstacionPesaje* estacion);

    // The state as the pages and the API receive it.
    static QJsonObject json(const EstadoEstacion& e, bool vigente, const QString& motivo);

    // Answers one request (called by the HTTP server).
    void atiende(const QHttpServerRequest& req, QTcpSocket* socket);

private:
    const Contexto m_contexto;
    struct ClienteWs
    {
        QPointer<QWebSocket> ws;
        QByteArray sesion; // empty: read-only key
    };

    void nuevoWebSocket();
    void difundeEstado();
    void vigila();
    QByteArray estadoActual(bool conTendencia) const;

    void ingreso(const QHttpServerRequest& req, QTcpSocket* s);
    void salida(const QHttpServerRequest& req, QTcpSocket* s);
    void pagina(QTcpSocket* s, const QString& recurso, const QByteArray& tipo,
                const QList<QPair<QByteArray, QByteArray>>& reemplazos = {}, int estado = 200,
                const QList<QPair<QByteArray, QByteArray>>& cabeceras = {});
    void api(const QHttpServerRequest& req, QTcpSocket* s, const QString& ruta, const Sesiones::Sesion* ses,
             const QString& quien);
    void descarga(const QHttpServerRequest& req, QTcpSocket* s, const QString& ruta, const QString& quien);
    void audita(const QString& operador, const QString& comando, const QString& valores, const QString& resultado);

    QByteArray sesionDe(const QByteArray& cookie) const;
    bool claveApiValida(const QHttpServerRequest& req) const;
    bool origenValido(const QHttpServerRequest& req) const;
    static QHostAddress direccionDe(const QHostAddress& a);

    std::unique_ptr<ServidorHttp> m_http;
    std::unique_ptr<ConsultaReportes> m_consulta;
    ConfigWeb m_config;
    quint16 m_puerto = 0;
    Sesiones m_sesiones{30 * 60 * 1000};
    Frenos m_frenos;
    QList<ClienteWs> m_clientes;
    QTimer m_vigia;
    QList<QPointer<QThread>> m_exportaciones;

    EstadoEstacion m_ultimo;
    bool m_vigente = false;
    QString m_motivo = QStringLiteral("Estación cerrada");
    qint64 m_ultimaMs = -1; // monotonic time of the last publication
    qint64 m_periodoMs = 0; // between the last two
    struct Punto
    {
        qint64 ms; // since the epoch
        double peso;
    };
    QList<Punto> m_tendencia;
};
