#include "Puerta.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include "Reloj.h"
#include "Secreto.h"
#include "ServidorHttp.h"

const QByteArray Puerta::kCookie = "tolvex_sesion";

namespace {

const QByteArray kTextoPlano = "text/plain; charset=utf-8";
const QString kSinNivel = QStringLiteral("Su nivel no permite ver los reportes.");

const QString kClaveIncorrecta = QStringLiteral("Clave de la API incorrecta.");

} // namespace

Puerta::Puerta(const Contexto& contexto, Sesiones& sesiones, Frenos& frenos)
    : m_contexto(contexto), m_sesiones(sesiones), m_frenos(frenos)
{}

void Puerta::agrega(Ruta r)
{
    m_rutas.append(std::move(r));
}

QByteArray Puerta::cabecera(const QHttpServerRequest& req, const QByteArray& nombre)
{
    for (const auto& [k, v] : req.headers()) {
        if (k.compare(nombre, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

void Puerta::respondeError(QTcpSocket* s, int estado, const QString& mensaje,
                           const ServidorHttp::Cabeceras& extra)
{
    ServidorHttp::responde(s, estado, kJson,
                           QJsonDocument(QJsonObject{{QStringLiteral("error"), mensaje}})
                               .toJson(QJsonDocument::Compact),
                           extra);
}

QHostAddress Puerta::direccionDe(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

QUrlQuery Puerta::consultaDe(QByteArray codificada)
{
    codificada.replace('+', "%20");
    return QUrlQuery(QString::fromUtf8(codificada));
}

QByteArray Puerta::sesionDe(const QByteArray& cookie)
{
    for (const QByteArray& parte : cookie.split(';')) {
        const QByteArray p = parte.trimmed();
        if (p.startsWith(kCookie + '='))
            return p.mid(kCookie.size() + 1);
    }
    return {};
}

QString Puerta::nombreDe(const Llamada& ll)
{
    return ll.formulario.queryItemValue(QStringLiteral("nombre"), QUrl::FullyDecoded).trimmed();
}

QByteArray Puerta::claveDe(const QHttpServerRequest& req)
{
    const QByteArray dada = cabecera(req, "X-Clave-Api");
    if (!dada.isEmpty())
        return dada;
    // The scheme of an Authorization header is case-insensitive.
    const QByteArray auth = cabecera(req, "Authorization").trimmed();
    const qsizetype blanco = auth.indexOf(' ');
    if (blanco > 0 && auth.left(blanco).compare("bearer", Qt::CaseInsensitive) == 0)
        return auth.mid(blanco + 1).trimmed();
    return {};
}

void Puerta::setClaveApi(const QString& guardada, const QString& tal)
{
    // A stored text that is no hash is never read the scrambled way: it is
    // the key itself.
    const bool cifrada = Secreto::esCifrada(guardada);
    const QString texto = cifrada ? tal : (tal.isEmpty() ? guardada : tal);
    m_claveGuardada = cifrada ? guardada : QString();
    m_huellaApi = texto.isEmpty() ? QByteArray() : Secreto::huella(texto.toUtf8());
}

bool Puerta::claveValida(const QByteArray& dada) const
{
    // Digests of the same length, compared whole in constant time.
    if (!m_huellaApi.isEmpty())
        return Secreto::iguales(Secreto::huella(dada), m_huellaApi);
    // Until the right key has come once, it is checked against its hash:
    // once per wait of an address at most.
    if (m_claveGuardada.isEmpty() || !Secreto::coincide(m_claveGuardada, QString::fromUtf8(dada), true))
        return false;
    m_huellaApi = Secreto::huella(dada);
    return true;
}

void Puerta::conClave(const Ruta& r, Llamada& ll, const QByteArray& dada)
{
    if (!claveValida(dada)) {
        m_frenos.falla({Frenos::porDireccion(ll.desde.toString())});
        rechaza(&r, ll, {401, kClaveIncorrecta});
        return;
    }
    ll.quien = QStringLiteral("ClaveApi");
    ll.reportes = true;
    r.atiende(ll);
}

void Puerta::retiene(const Ruta& r, const Llamada& ll)
{
    const QString d = Frenos::porDireccion(ll.desde.toString());
    QQueue<Retenida>& cola = m_retenidas[d];
    if (cola.size() >= kRetenidas) {
        const int segundos = int((std::max<qint64>(m_frenos.espera({d}), 0) + 999) / 1000);
        rechaza(&r, ll,
                {429,
                 QStringLiteral("Demasiados intentos fallidos. Espere %1 s y vuelva a intentarlo.")
                     .arg(std::max(1, segundos)),
                 false, std::max(1, segundos)});
        return;
    }
    Retenida x{ll, &r - m_rutas.constData(), ll.socket, claveDe(*ll.req)};
    x.ll.req = nullptr;
    cola.enqueue(x);
    if (cola.size() == 1)
        programa(d);
}

void Puerta::programa(const QString& direccion)
{
    QTimer::singleShot(std::max<qint64>(m_frenos.espera({direccion}), 0), Qt::PreciseTimer, m_temporizador,
                       [this, direccion] { suelta(direccion); });
}

void Puerta::suelta(const QString& direccion)
{
    if (!m_retenidas.contains(direccion))
        return;
    // A timer is never taken for the end of the wait: the clock is.
    if (m_frenos.espera({direccion}) > 0) {
        programa(direccion);
        return;
    }
    Retenida x = m_retenidas[direccion].dequeue();
    if (m_retenidas[direccion].isEmpty())
        m_retenidas.remove(direccion);
    else
        programa(direccion);
    // A client that has gone learns nothing: its key is not checked.
    if (!x.socket)
        return;
    x.ll.socket = x.socket;
    conClave(m_rutas.at(x.ruta), x.ll, x.clave);
}

bool Puerta::origenValido(const QByteArray& origen, const QByteArray& host) const
{
    // A form posted, or a WebSocket opened, from another site names it in
    // Origin; browsers always send it then.
    return origen.isEmpty() ||
           QUrl(QString::fromUtf8(origen)).authority() == QString::fromUtf8(host);
}

QStringList Puerta::frenosDe(const Ruta& r, const Llamada& ll) const
{
    QStringList claves;
    // The key's own wait is the address's, kept by retiene().
    if (r.conClave)
        claves << Frenos::porDireccion(ll.desde.toString()) << Frenos::porNombre(nombreDe(ll));
    return claves;
}

Puerta::Vigencia Puerta::relee(Sesiones::Sesion& s)
{
    if (!s.conFila)
        return Vigencia::Vigente; // a master password with no operator's row behind it
    if ((!m_operarios.abierta() && !m_operarios.AbrirBase(m_contexto.DataCSOperarios)) ||
        !m_operarios.AbreRegistro(QStringLiteral("SELECT JERARQUIA FROM ") +
                                      m_contexto.DataTbOperarios +
                                      QStringLiteral(" WHERE OPERADOR = ?"),
                                  {s.operador})) {
        if (m_aviso)
            m_aviso(QStringLiteral("Monitor web: no se pudo leer el operario %1: %2")
                        .arg(s.operador, m_operarios.ultimoError()));
        // The connection may have gone: the next request opens it again.
        m_operarios.CerrarBase();
        return Vigencia::SinBase;
    }
    const bool hay = m_operarios.Existe_Registro();
    if (hay)
        s.nivel = m_operarios.Campo(QStringLiteral("JERARQUIA")).toString();
    m_operarios.CierraRegistro();
    return hay ? Vigencia::Vigente : Vigencia::Revocada;
}

Puerta::Rechazo Puerta::identifica(const Ruta& r, Llamada& ll)
{
    if (r.requiere == Requiere::Nadie)
        return {};
    const QByteArray sid = sesionDe(cabecera(*ll.req, "Cookie"));
    if (Sesiones::Sesion* ses = m_sesiones.busca(sid)) {
        switch (relee(*ses)) {
        case Vigencia::SinBase:
            return {503, QStringLiteral("No hay conexión con la base de datos.")};
        case Vigencia::Revocada:
            m_sesiones.cierra(sid);
            if (m_alRevocar)
                m_alRevocar(sid);
            break;
        case Vigencia::Vigente:
            ll.sesion = sid;
            ll.quien = ses->operador;
            ll.nivel = ses->nivel;
            ll.reportes = Sesiones::veReportes(ses->nivel);
            break;
        }
    }
    if (ll.quien.isEmpty() && r.claveApi && (!m_claveGuardada.isEmpty() || !m_huellaApi.isEmpty()) &&
        !claveDe(*ll.req).isEmpty())
        return {kConClave, {}};
    if (ll.quien.isEmpty())
        return {401, QStringLiteral("Inicie sesión.")};
    if (r.requiere == Requiere::Reportes && !ll.reportes)
        return {403, kSinNivel, true};
    return {};
}

void Puerta::rechaza(const Ruta* r, const Llamada& ll, const Rechazo& no)
{
    if (r && r->rechaza) {
        r->rechaza(ll, no.estado, no.mensaje);
        return;
    }
    ServidorHttp::Cabeceras extra;
    if (no.estado == 429 || no.estado == 503)
        extra.append({"Retry-After", QByteArray::number(std::max(1, no.reintento))});
    if (!r || r->forma == Forma::Json) {
        respondeError(ll.socket, no.estado, no.mensaje, extra);
    } else if (no.estado == 401) {
        ServidorHttp::responde(ll.socket, 303, kTextoPlano, {}, {{"Location", "/ingreso"}});
    } else if (no.porNivel && m_prohibido) {
        m_prohibido(ll);
    } else {
        ServidorHttp::responde(ll.socket, no.estado, kTextoPlano, no.mensaje.toUtf8() + '\n',
                               extra);
    }
}

void Puerta::atiende(const QHttpServerRequest& req, QTcpSocket* s)
{
    // Qt hands a WebSocket's request to the WebSocket server when this
    // returns, and admite() checks it once its handshake is done.
    if (ServidorHttp::pideWebSocket(cabecera(req, "Upgrade"), cabecera(req, "Connection")))
        return;
    Llamada ll;
    ll.req = &req;
    ll.socket = s;
    ll.ruta = req.url().path();
    ll.desde = direccionDe(req.remoteAddress());
    ll.consulta = consultaDe(req.url().query(QUrl::FullyEncoded).toUtf8());

    const Ruta* r = nullptr;
    QByteArrayList otros;
    for (const Ruta& x : std::as_const(m_rutas)) {
        if (x.camino != ll.ruta)
            continue;
        if (x.metodo == req.method()) {
            r = &x;
            break;
        }
        otros << (x.metodo == Metodo::Post ? "POST" : "GET");
    }
    if (!r) {
        if (otros.isEmpty())
            rechaza(nullptr, ll, {404, QStringLiteral("No encontrado.")});
        else
            ServidorHttp::responde(s, 405, kTextoPlano, "Método no permitido.\n",
                                   {{"Allow", otros.join(", ")}});
        return;
    }
    if (req.method() == Metodo::Post) {
        ll.formulario = consultaDe(req.body());
        if (!origenValido(cabecera(req, "Origin"), cabecera(req, "Host"))) {
            rechaza(r, ll, {403, QStringLiteral("Origen no permitido.")});
            return;
        }
    }
    if (const qint64 espera = m_frenos.espera(frenosDe(*r, ll)); espera > 0) {
        const int segundos = int((espera + 999) / 1000);
        rechaza(r, ll,
                {429,
                 QStringLiteral("Demasiados intentos fallidos. Espere %1 s y vuelva a intentarlo.")
                     .arg(segundos),
                 false, segundos});
        return;
    }
    if (const Rechazo no = identifica(*r, ll); no.estado == kConClave) {
        // The right key is served whatever wrong ones the address sent
        // before; but it is checked only when the address's wait has ended,
        // so keys are tried from one address at the pace of its waits.
        const QString d = Frenos::porDireccion(ll.desde.toString());
        if (m_frenos.espera({d}) > 0 || m_retenidas.contains(d))
            retiene(*r, ll);
        else
            conClave(*r, ll, claveDe(req));
        return;
    } else if (no.estado) {
        rechaza(r, ll, no);
        return;
    }
    r->atiende(ll);
}

std::optional<QByteArray> Puerta::admite(const QWebSocket& ws)
{
    const QNetworkRequest req = ws.request();
    const QString camino = req.url().path();
    const auto r = std::find_if(m_rutas.cbegin(), m_rutas.cend(), [&camino](const Ruta& x) {
        return x.webSocket && x.camino == camino;
    });
    if (r == m_rutas.cend() || !origenValido(ws.origin().toUtf8(), req.rawHeader("Host")))
        return std::nullopt;
    const QByteArray sid = sesionDe(req.rawHeader("Cookie"));
    Sesiones::Sesion* ses = m_sesiones.busca(sid, false);
    if (!ses)
        return std::nullopt;
    switch (relee(*ses)) {
    case Vigencia::SinBase:
        return std::nullopt;
    case Vigencia::Revocada:
        m_sesiones.cierra(sid);
        if (m_alRevocar)
            m_alRevocar(sid);
        return std::nullopt;
    case Vigencia::Vigente:
        break;
    }
    if (r->requiere == Requiere::Reportes && !Sesiones::veReportes(ses->nivel))
        return std::nullopt;
    return sid;
}

bool Puerta::enPantalla(const QByteArray& sesion)
{
    Sesiones::Sesion* s = m_sesiones.busca(sesion, false);
    if (!s)
        return false;
    switch (relee(*s)) {
    case Vigencia::Revocada:
        m_sesiones.cierra(sesion);
        if (m_alRevocar)
            m_alRevocar(sesion);
        return false;
    case Vigencia::SinBase:
        return true; // not renewed, not ended: the table may be back at the next one
    case Vigencia::Vigente:
        break;
    }
    return m_sesiones.pantalla(sesion);
}

qint64 Puerta::falla(const Llamada& ll)
{
    return m_frenos.falla(
        {Frenos::porDireccion(ll.desde.toString()), Frenos::porNombre(nombreDe(ll))});
}

void Puerta::acierta(const Llamada& ll)
{
    m_frenos.acierta(Frenos::porNombre(nombreDe(ll)));
}
