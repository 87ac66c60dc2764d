#include "ServidorHttp.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHttpServerRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <fcntl.h>
#include <cctype>
#include <limits>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>

namespace {

ServidorHttp::Cabeceras g_comunes;
const char kNombreGuardia[] = "tolvex-guardia";
const QByteArray kTextoPlano = "text/plain; charset=utf-8";

QString clave(const QHostAddress& a, quint16 puerto)
{
    return a.toString() + u' ' + QString::number(puerto);
}

QString direccion(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return (v4 ? QHostAddress(ip) : a).toString();
}

qint64 ahora()
{
    static QElapsedTimer t;
    if (!t.isValid())
        t.start();
    return t.elapsed();
}

} // namespace

struct ServidorHttp::Registro
{
    LimitesHttp limites;
    std::function<void(const QString&)> aviso;
    QHash<QString, int> porDireccion;
    int total = 0;
    QHash<QString, QPointer<QObject>> guardias; // by peer address and port

    // Closes the connection that gives up least: one between requests,
    // preferably one that never completed a request, silent the longest.
    // False when every connection has a request in hand.
    bool desaloja();

    // Refusals since the last trace in the error log.
    int porLimiteDireccion = 0, porLimiteTotal = 0, porDescriptores = 0;
    qint64 ultimoAviso = -1;

    void rechazada(int* cuenta)
    {
        ++*cuenta;
        // One trace a minute at most: a flood must not write a line per connection.
        if (ultimoAviso >= 0 && ahora() - ultimoAviso < 60000)
            return;
        ultimoAviso = ahora();
        if (aviso)
            aviso(QStringLiteral("Monitor web: conexiones rechazadas: %1 por el límite de %2 por dirección, %3 por "
                                 "el límite de %4 en total (todas ocupadas), %5 para no tomar los últimos %6 "
                                 "descriptores del programa.")
                      .arg(porLimiteDireccion)
                      .arg(limites.maxPorDireccion)
                      .arg(porLimiteTotal)
                      .arg(limites.maxConexiones)
                      .arg(porDescriptores)
                      .arg(limites.reservaDescriptores));
        porLimiteDireccion = porLimiteTotal = porDescriptores = 0;
    }
};

namespace {

// The answer to a connection over the caps, whole, so that it can be sent
// on a bare descriptor.
const QByteArray kOcupado = [] {
    const QByteArray texto = "El monitor tiene demasiadas conexiones abiertas; vuelva a intentarlo en unos segundos.\n";
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nRetry-After: 5\r\n"
           "Connection: close\r\nContent-Length: " +
           QByteArray::number(texto.size()) + "\r\n\r\n" + texto;
}();

// RFC 9110's token: the characters of a header field's name.
bool esToken(QByteArrayView t)
{
    static constexpr std::string_view kSignos = "!#$%&'*+-.^_`|~";
    for (char c : t) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) &&
            kSignos.find(c) == std::string_view::npos)
            return false;
    }
    return !t.isEmpty();
}

// Ends a connection whose answer is written but whose client may still be
// sending: closing with its bytes unread would reset the connection and
// lose the answer on the client's side. So this side is shut once the
// answer is out, what still arrives is dropped (4 MiB at most), and the
// connection is closed when the client closes or after two seconds.
constexpr int kDespedidaMs = 2000;
constexpr qint64 kMaxDescarte = 4 << 20;

void despide(QTcpSocket* s, bool leer)
{
    s->flush();
    const auto cierraEscritura = [s] {
        if (s->bytesToWrite() == 0)
            ::shutdown(int(s->socketDescriptor()), SHUT_WR);
    };
    cierraEscritura();
    QObject::connect(s, &QTcpSocket::bytesWritten, s, cierraEscritura);
    if (leer) {
        auto descartados = std::make_shared<qint64>(0);
        QObject::connect(s, &QTcpSocket::readyRead, s, [s, descartados] {
            if ((*descartados += s->readAll().size()) > kMaxDescarte)
                s->abort();
        });
    }
    QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    QTimer::singleShot(kDespedidaMs, s, &QTcpSocket::abort);
}

// Follows the bytes of one connection as HTTP/1.1 frames them: a header
// block up to the blank line, then Content-Length bytes of body. Runs on
// every readyRead before the parser (bytes it has already seen and the
// parser left are skipped), refuses what exceeds the limits, and closes a
// connection whose request comes too slowly, whose answer never comes, or
// that stays silent between requests. It lets go only when the monitor
// accepts the connection's WebSocket.
class Guardia : public QObject
{
public:
    Guardia(QTcpSocket* s, std::shared_ptr<ServidorHttp::Registro> registro)
        : QObject(s), m_s(s), m_r(std::move(registro)), m_direccion(direccion(s->peerAddress())),
          m_clave(clave(s->peerAddress(), s->peerPort()))
    {
        setObjectName(QLatin1String(kNombreGuardia));
        ++m_r->porDireccion[m_direccion];
        ++m_r->total;
        m_r->guardias.insert(m_clave, this);
        connect(s, &QTcpSocket::readyRead, this, &Guardia::antes);
        m_reloj.setSingleShot(true);
        connect(&m_reloj, &QTimer::timeout, this, &Guardia::vence);
        m_ultimo = ahora();
        rearma();
        // After the parser's own slot, which is connected once this returns.
        QTimer::singleShot(0, this, [this] {
            connect(m_s, &QTcpSocket::readyRead, this, &Guardia::despues);
            m_despues = true;
        });
    }
    ~Guardia() override { suelta(); }

    // The connection no longer counts (once).
    void suelta()
    {
        if (m_suelta)
            return;
        m_suelta = true;
        if (--m_r->porDireccion[m_direccion] <= 0)
            m_r->porDireccion.remove(m_direccion);
        --m_r->total;
        m_r->guardias.remove(m_clave);
    }

    // Between requests for a while: nothing in hand, nothing being read or
    // waiting to be read, not a WebSocket, silent since graciaMs at least
    // (a new connection's first request may be on its way).
    bool desocupada() const
    {
        if (m_suelta || m_libre || m_entregado || m_rechazado || m_pendientes > 0 || leyendo() ||
            m_s->bytesAvailable() > 0 || ahora() - m_ultimo < m_r->limites.graciaMs)
            return false;
        int enEspera = 0;
        return ::ioctl(int(m_s->socketDescriptor()), FIONREAD, &enEspera) == 0 && enEspera == 0;
    }
    bool atendida() const { return m_atendidas > 0; }
    qint64 silencioDesde() const { return m_ultimo; }

    void desaloja()
    {
        suelta();
        m_s->abort();
    }

    // The answer to the oldest request in hand was written.
    void respondido()
    {
        ++m_atendidas;
        m_pendientes = std::max(0, m_pendientes - 1);
        m_ultimo = ahora();
        if (m_pendientes > 0)
            m_desdeAtencion = m_ultimo;
        rearma();
    }

    void libera()
    {
        m_libre = true;
        m_reloj.stop();
    }

private:
    bool leyendo() const { return !m_cabecera.isEmpty() || m_cuerpo > 0; }

    void rearma()
    {
        if (m_libre || m_rechazado)
            return;
        const LimitesHttp& l = m_r->limites;
        const qint64 limite = m_pendientes > 0 ? m_desdeAtencion + l.atencionMs
                              : leyendo()      ? m_desdePeticion + l.peticionMs
                                               : m_ultimo + l.quietoMs;
        m_reloj.start(int(std::max<qint64>(0, limite - ahora())));
    }

    void vence()
    {
        if (m_libre || m_rechazado)
            return;
        if (m_pendientes == 0 && leyendo()) {
            rechaza(408);
            return;
        }
        // Silent between requests, or an answer that never came.
        m_s->disconnectFromHost();
    }

    void antes()
    {
        if (m_rechazado) {
            if ((m_descartados += m_s->readAll().size()) > kMaxDescarte)
                m_s->abort();
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
        m_ultimo = ahora();
        if (m_entregado) {
            // Handed to the WebSocket server, not yet accepted by the
            // monitor: a browser sends nothing before the handshake's
            // answer. Should Qt have kept the connection as HTTP after all,
            // what comes is no longer checked here: more than a header's
            // worth closes it.
            if ((m_trasEntrega += nuevos.size()) > m_r->limites.maxCabecera) {
                m_rechazado = true;
                m_reloj.stop();
                m_s->abort();
            }
            return;
        }
        sigue(nuevos);
        rearma();
    }

    void despues() { m_yaVistos = m_rechazado ? 0 : m_s->bytesAvailable(); }

    void sigue(QByteArray datos)
    {
        while (!datos.isEmpty() && !m_rechazado) {
            if (m_cuerpo > 0) {
                const qint64 n = std::min<qint64>(m_cuerpo, datos.size());
                m_cuerpo -= n;
                datos.remove(0, n);
                if (m_cuerpo == 0)
                    completa();
                continue;
            }
            if (m_cabecera.isEmpty()) {
                // Blank lines between requests are allowed.
                while (datos.startsWith("\r\n"))
                    datos.remove(0, 2);
                if (datos.isEmpty())
                    return;
                m_desdePeticion = ahora();
            }
            m_cabecera += datos;
            datos.clear();
            const qsizetype fin = m_cabecera.indexOf("\r\n\r\n");
            if (fin < 0) {
                if (m_cabecera.size() > m_r->limites.maxCabecera)
                    rechaza(431);
                return;
            }
            if (fin > m_r->limites.maxCabecera) {
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
        static const QRegularExpression peticion(QStringLiteral("^[A-Z]{1,16} \\S{1,8000} HTTP/1\\.[01]\\r?$"));
        if (!peticion.match(QString::fromLatin1(lineas.first())).hasMatch()) {
            rechaza(400);
            return;
        }
        qint64 largo = 0;
        bool largoVisto = false;
        QByteArray upgrade, connection;
        bool otraUpgrade = false;
        for (qsizetype k = 1; k < lineas.size(); ++k) {
            const QByteArray l = lineas.at(k).endsWith('\r') ? lineas.at(k).chopped(1) : lineas.at(k);
            // A field's name is a token right before its colon, and a line
            // starting with a blank (the obsolete folding) is refused: what
            // the parser behind reads as a header is what is read here. Else
            // a request it takes for no WebSocket ("Upgrade" folded into the
            // line before, a name with a "<" in it) would be taken here for
            // one, and the bytes after it let through unchecked.
            const qsizetype dos = l.indexOf(':');
            if (dos <= 0 || !esToken(l.left(dos))) {
                rechaza(400);
                return;
            }
            const QByteArray nombre = l.left(dos).toLower();
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
            } else if (nombre == "upgrade") {
                // Qt reads two as one value that names no WebSocket.
                if (otraUpgrade) {
                    rechaza(400);
                    return;
                }
                otraUpgrade = true;
                upgrade = valor;
            } else if (nombre == "connection") {
                connection = valor;
            } else if (nombre == "transfer-encoding") {
                // Bodies come with their length; a chunked one could grow without bound.
                rechaza(411);
                return;
            }
        }
        if (largo > m_r->limites.maxCuerpo) {
            rechaza(413);
            return;
        }
        m_cuerpo = largo;
        // Bytes after a WebSocket's request are the WebSocket server's; the
        // connection keeps its time limit until the monitor accepts it.
        m_entregado = largo == 0 && ServidorHttp::pideWebSocket(upgrade, connection);
        if (m_cuerpo == 0)
            completa();
    }

    // A whole request went to the parser: its answer is now awaited.
    void completa()
    {
        if (m_pendientes++ == 0)
            m_desdeAtencion = ahora();
    }

    // Answers and ends the connection; what the client still sends is
    // dropped here, before the parser sees it.
    void rechaza(int estado)
    {
        m_rechazado = true;
        m_reloj.stop();
        m_s->readAll();
        ServidorHttp::responde(m_s, estado, kTextoPlano, ServidorHttp::textoEstado(estado) + '\n',
                               {{"Connection", "close"}});
        despide(m_s, false);
    }

    QTcpSocket* m_s;
    std::shared_ptr<ServidorHttp::Registro> m_r;
    QString m_direccion;
    QString m_clave;
    qint64 m_yaVistos = 0;
    qint64 m_cuerpo = 0;
    QByteArray m_cabecera;
    qint64 m_descartados = 0;
    int m_pendientes = 0;
    int m_atendidas = 0;
    bool m_suelta = false;
    qint64 m_ultimo = 0;        // last byte or answer
    qint64 m_desdePeticion = 0; // first byte of the request being read
    qint64 m_desdeAtencion = 0; // when the oldest request in hand was complete
    bool m_rechazado = false;
    bool m_libre = false;
    bool m_entregado = false; // to the WebSocket server
    qint64 m_trasEntrega = 0; // bytes since, until the monitor accepts it
    bool m_despues = false;
    QTimer m_reloj;
};

} // namespace

bool ServidorHttp::Registro::desaloja()
{
    Guardia* victima = nullptr;
    for (const QPointer<QObject>& o : std::as_const(guardias)) {
        auto* g = static_cast<Guardia*>(o.data());
        if (!g || !g->desocupada())
            continue;
        if (!victima || std::pair(g->atendida(), g->silencioDesde()) <
                            std::pair(victima->atendida(), victima->silencioDesde()))
            victima = g;
    }
    if (!victima)
        return false;
    victima->desaloja();
    return true;
}

namespace {

// Listens like Base. A connection whose descriptor falls among the
// process's last ones is closed before anything is built for it (and an
// idle one is closed to make room for the next); with all the connections
// taken, an idle one makes room for the new one; one over the caps is
// answered 503 and closed; every other gets its guard before the HTTP
// server takes it.
template <class Base>
class Escucha : public Base
{
public:
    explicit Escucha(std::shared_ptr<ServidorHttp::Registro> r) : m_r(std::move(r)) {}

    QTcpSocket* nextPendingConnection() override
    {
        while (QTcpSocket* s = Base::nextPendingConnection()) {
            const QString d = direccion(s->peerAddress());
            int* motivo = m_r->porDireccion.value(d) >= m_r->limites.maxPorDireccion ? &m_r->porLimiteDireccion
                          : m_r->total >= m_r->limites.maxConexiones && !m_r->desaloja() ? &m_r->porLimiteTotal
                                                                                        : nullptr;
            if (!motivo) {
                new Guardia(s, m_r);
                return s;
            }
            m_r->rechazada(motivo);
            s->write(kOcupado);
            despide(s, true);
        }
        return nullptr;
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        rlimit rl{};
        const qint64 tope = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                                ? qint64(rl.rlim_cur) - m_r->limites.reservaDescriptores
                                : std::numeric_limits<qint64>::max();
        if (qint64(descriptor) >= tope && m_r->desaloja()) {
            // The idle connection closed freed a lower descriptor: the new one takes it.
            const int otro = ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
            if (otro >= 0) {
                ::close(int(descriptor));
                descriptor = otro;
            }
        }
        if (qint64(descriptor) >= tope) {
            m_r->rechazada(&m_r->porDescriptores);
            if constexpr (std::is_same_v<Base, QTcpServer>) {
                // Whatever fits without waiting; what the client sent already
                // is read first, so that the close does not reset the answer away.
                const ssize_t n = ::send(int(descriptor), kOcupado.constData(), size_t(kOcupado.size()),
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
                Q_UNUSED(n);
                ::shutdown(int(descriptor), SHUT_WR);
                char basura[4096];
                for (int i = 0; i < 16 && ::recv(int(descriptor), basura, sizeof basura, MSG_DONTWAIT) > 0; ++i) {
                }
            }
            ::close(int(descriptor));
            return;
        }
        Base::incomingConnection(descriptor);
    }

private:
    std::shared_ptr<ServidorHttp::Registro> m_r;
};

} // namespace

ServidorHttp::ServidorHttp(Manejador manejador, const LimitesHttp& limites, std::function<void(const QString&)> aviso,
                           QObject* parent)
    : QAbstractHttpServer(parent), m_manejador(std::move(manejador)), m_limites(limites),
      m_registro(std::make_shared<Registro>())
{
    m_registro->limites = limites;
    m_registro->aviso = std::move(aviso);
}

ServidorHttp::~ServidorHttp() = default;

bool ServidorHttp::escucha(const QHostAddress& direccion, quint16 puerto, const QSslConfiguration* tls, QString* error)
{
    QTcpServer* servidor = nullptr;
    if (tls) {
        auto* ssl = new Escucha<QSslServer>(m_registro);
        ssl->setSslConfiguration(*tls);
        servidor = ssl;
    } else {
        servidor = new Escucha<QTcpServer>(m_registro);
    }
    // Room in the kernel for a burst of connections while this thread is busy.
    servidor->setListenBacklogSize(256);
    if (!servidor->listen(direccion, puerto)) {
        *error = servidor->errorString();
        delete servidor;
        return false;
    }
    // Out of descriptors, the listener stops accepting; it tries again a
    // moment later rather than stay deaf.
    connect(servidor, &QTcpServer::acceptError, this, [this, servidor](QAbstractSocket::SocketError) {
        if (m_registro->aviso)
            m_registro->aviso(QStringLiteral("Monitor web: no se pudo aceptar una conexión: ") + servidor->errorString());
        QTimer::singleShot(1000, servidor, [servidor] { servidor->resumeAccepting(); });
    });
    bind(servidor);
    m_puerto = servidor->serverPort();
    return true;
}

int ServidorHttp::conexiones() const
{
    return m_registro->total;
}

void ServidorHttp::liberaWebSocket(const QWebSocket* ws)
{
    if (QObject* g = m_registro->guardias.value(clave(ws->peerAddress(), ws->peerPort())))
        static_cast<Guardia*>(g)->libera();
}

bool ServidorHttp::pideWebSocket(const QByteArray& upgrade, const QByteArray& connection)
{
    if (upgrade.trimmed().compare("websocket", Qt::CaseInsensitive) != 0)
        return false;
    for (const QByteArray& t : connection.split(',')) {
        if (t.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
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
    case 408: return "Request Timeout";
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
    else if (auto* g = s->findChild<QObject*>(QLatin1String(kNombreGuardia), Qt::FindDirectChildrenOnly))
        static_cast<Guardia*>(g)->respondido();
}

bool ServidorHttp::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    m_manejador(request, socket);
    return true;
}

void ServidorHttp::missingHandler(const QHttpServerRequest&, QTcpSocket* socket)
{
    responde(socket, 404, kTextoPlano, "No encontrado\n");
}
