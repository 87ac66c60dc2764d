#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

#include "EstadoEstacion.h"

class QWebSocket;

// The station as the live pages see it: the last state with whether it is
// current, the weights of the last minutes, and the WebSockets of the open
// pages, each of which gets every state as the station publishes it.
class EnVivo : public QObject
{
public:
    explicit EnVivo(QObject* parent = nullptr);
    ~EnVivo() override;

    // Trend kept for new pages, in milliseconds.
    static constexpr qint64 kTendenciaMs = 5 * 60 * 1000;
    // A page that cannot keep up is dropped rather than buffered without end.
    static constexpr qint64 kMaxPendiente = 4 * 1024 * 1024;
    // How often a page's "still showing" is taken into account.
    static constexpr qint64 kPantallaCadaMs = 10000;

    void publica(const EstadoEstacion& e);
    void estacionCerrada();
    // Marks the state stale when no poll came back for three periods.
    void vigila();

    // The state now, as /api/estado gives it.
    QJsonObject estado() const { return json(m_ultimo, m_vigente, m_motivo); }
    static QJsonObject json(const EstadoEstacion& e, bool vigente, const QString& motivo);

    // A page of the session given: it gets the state and the trend now and
    // every state after. When the page says it is showing, enPantalla(session)
    // is asked; false closes the page.
    void agrega(QWebSocket* ws, const QByteArray& sesion);
    void setEnPantalla(std::function<bool(const QByteArray&)> f) { m_enPantalla = std::move(f); }
    // Closes the pages of these sessions (code 4001, the reason given).
    void cierra(const QList<QByteArray>& sesiones, const QString& motivo);

private:
    struct Cliente
    {
        QPointer<QWebSocket> ws;
        QByteArray sesion;
    };
    void difunde();
    QByteArray mensaje(bool conTendencia) const;

    QList<Cliente> m_clientes;
    std::function<bool(const QByteArray&)> m_enPantalla;
    EstadoEstacion m_ultimo;
    bool m_vigente = false;
    QString m_motivo = QStringLiteral("Estación cerrada");
    qint64 m_ultimaMs = -1; // Reloj::ms() of the last publication
    qint64 m_periodoMs = 0; // between the last two
    struct Punto
    {
        qint64 ms; // since the epoch
        double peso;
    };
    QList<Punto> m_tendencia;
};
