#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QUrlQuery>
#include <functional>
#include <optional>

#include "CDatos.h"
#include "Contexto.h"
#include "Sesiones.h"

class QTcpSocket;
class QWebSocket;

// One request as the gate let it through: where it came from, what it asks,
// and who sent it.
struct Llamada
{
    const QHttpServerRequest* req = nullptr;
    QTcpSocket* socket = nullptr;
    QString ruta;
    QUrlQuery consulta;   // the query's parameters, "+" read as a blank
    QUrlQuery formulario; // a form's fields, likewise
    QHostAddress desde;
    QByteArray sesion;     // the session's id; empty with the read-only key
    QString quien;         // the operator, "Maestro" or "ClaveApi"; empty: nobody signed in
    QString nivel;         // the operator's level as the operators table says now
    bool reportes = false; // may read batches and reports
};

// The one way into the monitor. Every request, and every live page's
// WebSocket, passes these checks in this order before the route table
// hands it to the handler of its route: method and route; origin (forms
// and WebSockets); the wait after failed password checks, by address and
// by the name typed; the session, whose operator and level are read again
// from the operators table at every request, or the read-only key; the
// level the route needs. A route exists only as a row of the table, so
// none can be reached around the checks.
class Puerta
{
public:
    enum class Requiere
    {
        Nadie,
        Sesion,
        Reportes
    };
    // How the gate answers the route's refusals: a page (a sign-in needed
    // leads to the sign-in page) or a JSON error.
    enum class Forma
    {
        Pagina,
        Json
    };
    using Metodo = QHttpServerRequest::Method;
    struct Ruta
    {
        Metodo metodo;
        QString camino;
        Requiere requiere;
        Forma forma = Forma::Pagina;
        bool claveApi = false;  // the read-only key opens it too
        bool conClave = false;  // it checks a typed password (the form's "nombre" and "clave")
        bool webSocket = false; // a live page's WebSocket opens here
        std::function<void(const Llamada&)> atiende;
        // Answers the gate's refusals its own way; empty: the gate's answer.
        std::function<void(const Llamada&, int estado, const QString& mensaje)> rechaza = {};
    };

    Puerta(const Contexto& contexto, Sesiones& sesiones, Frenos& frenos);

    void agrega(Ruta r);
    const QList<Ruta>& rutas() const { return m_rutas; }
    // The read-only key: as stored (hashed), and its text when known.
    void setClaveApi(const QString& guardada, const QString& tal = {});
    // The object whose thread runs the gate, for its timers.
    void setDueno(QObject* dueno) { m_temporizador = dueno; }
    // The page that tells a level it may not see a page (403).
    void setProhibido(std::function<void(const Llamada&)> f) { m_prohibido = std::move(f); }
    // A session ended because its operator left the table: its live pages close.
    void setAlRevocar(std::function<void(const QByteArray&)> f) { m_alRevocar = std::move(f); }
    // Failures of the operators table, which the client never sees.
    void setAviso(std::function<void(const QString&)> f) { m_aviso = std::move(f); }

    // Takes one request through the checks to its handler, or refuses it.
    void atiende(const QHttpServerRequest& req, QTcpSocket* s);
    // A WebSocket after its handshake: the checks of a GET on its path; the
    // session it belongs to when it may stay open.
    std::optional<QByteArray> admite(const QWebSocket& ws);
    // A live page of the session is open and showing: its operator is read
    // again and its session renewed (within Sesiones::kPantallaMs). False
    // when the session has ended.
    bool enPantalla(const QByteArray& sesion);

    // The outcome of a password check of a route that counts them: a failure
    // delays the address and the name typed (returns the wait); a success
    // clears the name's count only.
    qint64 falla(const Llamada& ll);
    void acierta(const Llamada& ll);
    // The name a sign-in form carries, as checked.
    static QString nombreDe(const Llamada& ll);

    static QHostAddress direccionDe(const QHostAddress& a);
    static QByteArray cabecera(const QHttpServerRequest& req, const QByteArray& nombre);
    // {"error": mensaje} with the status given.
    static void respondeError(QTcpSocket* s, int estado, const QString& mensaje,
                              const QList<QPair<QByteArray, QByteArray>>& extra = {});
    static inline const QByteArray kJson = "application/json; charset=utf-8";
    // Query or form text as a browser sends it: "+" is a blank.
    static QUrlQuery consultaDe(QByteArray codificada);
    // The session id in a Cookie header.
    static QByteArray sesionDe(const QByteArray& cookie);
    static const QByteArray kCookie;

private:
    enum class Vigencia
    {
        Vigente,
        Revocada,
        SinBase
    };
    static constexpr int kConClave = -1; // identifica(): the read-only key decides
    struct Rechazo
    {
        int estado = 0; // 0: not refused
        QString mensaje;
        bool porNivel = false;
        int reintento = 0; // seconds, for Retry-After
    };
    // Reads the session's operator again: level, or gone.
    Vigencia relee(Sesiones::Sesion& s);
    // Who sent the request: its session or the read-only key, and whether
    // its level may have the route.
    Rechazo identifica(const Ruta& r, Llamada& ll);
    void rechaza(const Ruta* r, const Llamada& ll, const Rechazo& no);
    QStringList frenosDe(const Ruta& r, const Llamada& ll) const;
    bool origenValido(const QByteArray& origen, const QByteArray& host) const;
    bool claveValida(const QByteArray& dada) const;
    static QByteArray claveDe(const QHttpServerRequest& req);
    // A request with the key from an address whose wait has not ended (or
    // that has one waiting already) waits for it, and is then checked.
    void retiene(const Ruta& r, const Llamada& ll);
    void programa(const QString& direccion);
    void suelta(const QString& direccion);
    // Serves a request that carries the right key, or refuses a wrong one.
    void conClave(const Ruta& r, Llamada& ll, const QByteArray& dada);
    struct Retenida
    {
        Llamada ll;
        qsizetype ruta = 0;
        QPointer<QTcpSocket> socket;
        QByteArray clave;
    };
    // Requests with the key waiting, at most this many for one address.
    static constexpr int kRetenidas = 8;

    const Contexto m_contexto;
    Sesiones& m_sesiones;
    Frenos& m_frenos;
    QList<Ruta> m_rutas;
    QString m_claveGuardada;
    mutable QByteArray m_huellaApi; // Secreto::huella of the key, once known
    QHash<QString, QQueue<Retenida>> m_retenidas; // by Frenos::porDireccion
    QObject* m_temporizador = nullptr;            // the waits' timers run on its thread
    CDatos m_operarios; // kept open: read at every request of a session
    std::function<void(const Llamada&)> m_prohibido;
    std::function<void(const QByteArray&)> m_alRevocar;
    std::function<void(const QString&)> m_aviso;
};
