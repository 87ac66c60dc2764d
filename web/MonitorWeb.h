#pragma once

#include <QObject>
#include <QThread>

#include "ConfigWeb.h"
#include "Contexto.h"
#include "EstadoEstacion.h"
#include "ServidorHttp.h"

class EstacionPesaje;
class Puerta;
class ServicioWeb;

// The read-only web monitor: sign-in with the program's passwords, the live
// station pushed over a WebSocket, batches and reports, and a JSON API.
// It works on a thread of its own, so that nothing a browser sends takes
// the window's thread from the station; this object is its handle on the
// thread that creates it.
class MonitorWeb : public QObject
{
    Q_OBJECT
public:
    // The browsers' sessions read the tables, dates and directory of the
    // session given (copied); each browser signs in on its own.
    explicit MonitorWeb(const Contexto& contexto = Contexto::programa(), QObject* parent = nullptr);
    ~MonitorWeb() override;

    // The limits every connection is held to (before inicia).
    void setLimites(const LimitesHttp& limites) { m_limites = limites; }
    // Listens as configured; false with a message when it cannot (the
    // caller goes on without the monitor).
    bool inicia(const ConfigWeb& config, QString* error);
    quint16 puerto() const { return m_puerto; }

    // Largest request body and header accepted (bytes).
    static constexpr qint64 kMaxCuerpo = LimitesHttp{}.maxCuerpo;
    static constexpr qint64 kMaxCabecera = LimitesHttp{}.maxCabecera;

    // Sends one state of a line's station to the live pages (from any thread).
    void publica(const EstadoEstacion& e, int linea = 1);
    // The line's station closed: pages show it at once.
    void estacionCerrada(int linea = 1);
    // Follows a station on its own line: its every state and its close, for
    // as long as both live.
    void sigue(EstacionPesaje* estacion);

    // The gate and its route table (fixed when the monitor is made).
    const Puerta& puerta() const;
    // Connections open now; queries, downloads and audit records in hand
    // (asked of the monitor's thread).
    int conexiones() const;
    int trabajosPendientes() const;

private:
    QThread m_hilo;
    ServicioWeb* m_servicio; // lives in m_hilo
    LimitesHttp m_limites;
    quint16 m_puerto = 0;
};
