#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QVector>
#include <functional>

#include "EstadoEstacion.h"
#include "Lineas.h"

class QWebSocket;

// The lines as the live pages see them: for each line the last state with
// whether it is current and the weights of the last minutes; and the
// WebSockets of the open pages. A page follows one line, and gets every
// state of it as its station publishes it; with several lines it gets, too,
// a summary of every state of the others (its overview).
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

    // The lines of the settings now (their names, and which exist).
    void setLineas(const QVector<Linea>& lineas);
    bool existe(int linea) const;
    bool varias() const { return m_configuradas.size() > 1; }

    // A station of this line is followed: its name as it opened.
    void sigue(const Linea& linea);
    // True when the line's summary may have changed (not only the time of its reading).
    bool publica(int linea, const EstadoEstacion& e);
    void estacionCerrada(int linea);
    // Marks a line's state stale when no poll came back for three periods;
    // true when one turned stale.
    bool vigila();

    // The line's state now, as /api/estado gives it.
    QJsonObject estado(int linea) const;
    // Every line of the settings at a glance, as /api/lineas gives them.
    QJsonArray resumenes() const;
    static QJsonObject json(const EstadoEstacion& e, bool vigente, const QString& motivo);

    // A page of the session given, on line linea: it gets the lines (with
    // several), the line's state and trend now, and every state after. When
    // the page says it is showing, enPantalla(session) is asked; false
    // closes the page.
    void agrega(QWebSocket* ws, const QByteArray& sesion, int linea);
    void setEnPantalla(std::function<bool(const QByteArray&)> f) { m_enPantalla = std::move(f); }
    // A plant page of the session given: it gets inicial now, and every
    // aPlanta() after.
    void agregaPlanta(QWebSocket* ws, const QByteArray& sesion, const QByteArray& inicial);
    void aPlanta(const QByteArray& mensaje);
    int paginasPlanta() const;
    // Closes the pages of these sessions (code 4001, the reason given).
    void cierra(const QList<QByteArray>& sesiones, const QString& motivo);

private:
    struct Punto
    {
        qint64 ms; // since the epoch
        double peso;
    };
    struct Vivo
    {
        Linea linea;
        EstadoEstacion ultimo;
        bool vigente = false;
        QString motivo;
        qint64 ultimaMs = -1; // Reloj::ms() of the last publication
        qint64 periodoMs = 0; // between the last two
        QList<Punto> tendencia;
    };
    struct Cliente
    {
        QPointer<QWebSocket> ws;
        QByteArray sesion;
        int linea = 1;
        bool resumenes = false; // the page shows the overview
        bool planta = false;    // the plant page: only aPlanta()
    };
    // Takes a page in: its "still showing" messages are checked against its session.
    void atiende(QWebSocket* ws, const QByteArray& sesion);
    // Sends to a page, or drops it when it cannot keep up.
    static bool envia(QWebSocket* ws, const QString& mensaje);
    static Vivo nuevo(int linea);
    // The line's live state, made when first needed; a copy, for reading.
    Vivo& vivo(int linea);
    Vivo vivoDe(int linea) const;
    QJsonObject estadoDe(const Vivo& v) const;
    QJsonObject resumenDe(const Vivo& v) const;
    void difunde(int linea);
    QByteArray mensaje(const Vivo& v, bool conTendencia) const;

    QList<Cliente> m_clientes;
    std::function<bool(const QByteArray&)> m_enPantalla;
    QVector<Linea> m_configuradas;
    QMap<int, Vivo> m_vivos;
};
