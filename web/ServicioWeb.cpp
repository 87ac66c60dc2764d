#include "ServicioWeb.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QWebSocket>

#include "Acceso.h"
#include "CDatos.h"
#include "ConsultaReportes.h"
#include "Diario.h"
#include "EnVivo.h"
#include "Exportacion.h"
#include "FechaHora.h"
#include "LectorPlanta.h"
#include "Lineas.h"
#include "Listado.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"
#include "Reloj.h"
#include "Schema.h"
#include "Trabajos.h"
#include "VistaPlanta.h"
#include "XlsxPlantilla.h"

namespace {

const QByteArray kHtml = "text/html; charset=utf-8";
const QByteArray kTextoPlano = "text/plain; charset=utf-8";
const QString kIncorrecta = QStringLiteral("Contraseña incorrecta. Vuelva a intentarlo");
const QString kIngresoWeb = QStringLiteral("Ingreso web");
const ServidorHttp::Cabeceras kReintenta = {{"Retry-After", "5"}};

QByteArray recurso(const QString& nombre)
{
    QFile f(QStringLiteral(":/web/") + nombre);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Marks {{NAME}} of plantilla replaced by their values in one pass over the
// template: what a value brings (an operator named "{{MENU}}") stays text.
QByteArray rellena(const QByteArray& plantilla, const QHash<QByteArray, QByteArray>& valores)
{
    QByteArray out;
    out.reserve(plantilla.size());
    qsizetype desde = 0;
    for (;;) {
        const qsizetype a = plantilla.indexOf("{{", desde);
        const qsizetype b = a < 0 ? -1 : plantilla.indexOf("}}", a + 2);
        if (b < 0)
            break;
        out += plantilla.mid(desde, a - desde);
        out += valores.value(plantilla.mid(a + 2, b - a - 2));
        desde = b + 2;
    }
    out += plantilla.mid(desde);
    return out;
}

QByteArray json(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

static void iniciaRecursos()
{
    // The pages live in this static library's resources.
    Q_INIT_RESOURCE(web);
}

ServicioWeb::ServicioWeb(const Contexto& contexto, QObject* parent)
    : QObject(parent), m_contexto(contexto), m_puerta(std::make_unique<Puerta>(m_contexto, m_sesiones, m_frenos)),
      m_vivo(new EnVivo(this)), m_vigia(new QTimer(this))
{
    iniciaRecursos();
    // Reports are read on one thread, which keeps the last selection; two
    // downloads are built at a time; the audit writes on a thread of its own.
    m_consultas = new Trabajos(1, 16, [this] { m_consulta.reset(); }, this);
    m_descargas = new Trabajos(kDescargas, 0, {}, this);
    m_auditoria = new Trabajos(1, 64, {}, this);
    m_ingresos = new Trabajos(1, 8, {}, this);
    m_vigia->setInterval(500);
    connect(m_vigia, &QTimer::timeout, this, &ServicioWeb::vigila);
    m_puerta->setProhibido([this](const Llamada& ll) {
        pagina(ll.socket, QStringLiteral("prohibido.html"), kHtml, cabeceraDePagina(ll), 403);
    });
    m_puerta->setAlRevocar([this](const QByteArray& sesion) { m_vivo->cierra({sesion}, QStringLiteral("Sesión cerrada")); });
    m_puerta->setAviso([this](const QString& texto) { avisa(QStringLiteral("operarios"), texto); });
    m_puerta->setDueno(this);
    m_vivo->setEnPantalla([this](const QByteArray& sesion) { return m_puerta->enPantalla(sesion); });
    rutas();
}

ServicioWeb::~ServicioWeb()
{
    if (m_lector) {
        QMetaObject::invokeMethod(m_lector, [l = m_lector] { delete l; }, Qt::BlockingQueuedConnection);
        m_hiloPlanta.quit();
        m_hiloPlanta.wait();
    }
    // The work in progress ends before what it reads and answers goes away.
    delete m_descargas;
    delete m_consultas;
    delete m_auditoria;
    delete m_ingresos;
    delete m_vivo;
}

void ServicioWeb::rutas()
{
    using R = Puerta::Requiere;
    using F = Puerta::Forma;
    const auto get = Puerta::Metodo::Get;
    const auto post = Puerta::Metodo::Post;
    Puerta& p = *m_puerta;
    const auto redirige = [](const QByteArray& a) {
        return [a](const Llamada& ll) { ServidorHttp::responde(ll.socket, 303, kTextoPlano, {}, {{"Location", a}}); };
    };
    const auto recursoTal = [this](const QString& nombre, const QByteArray& tipo) {
        return [this, nombre, tipo](const Llamada& ll) { pagina(ll.socket, nombre, tipo); };
    };

    // Without a session: the sign-in and its style sheet.
    p.agrega({.metodo = get, .camino = QStringLiteral("/ingreso"), .requiere = R::Nadie,
              .atiende = [this](const Llamada& ll) { paginaIngreso(ll.socket, 200, {}); }});
    p.agrega({.metodo = post, .camino = QStringLiteral("/ingreso"), .requiere = R::Nadie, .conClave = true,
              .atiende = [this](const Llamada& ll) { ingreso(ll); },
              .rechaza =
                  [this](const Llamada& ll, int estado, const QString& mensaje) {
                      const QString nombre = Puerta::nombreDe(ll);
                      audita(nombre.isEmpty() ? QStringLiteral("Maestro") : nombre, kIngresoWeb,
                             QStringLiteral("desde ") + ll.desde.toString(),
                             estado == 429   ? QStringLiteral("Rechazado: en espera")
                             : estado == 403 ? QStringLiteral("Rechazado: otro origen")
                                             : QStringLiteral("Rechazado"));
                      paginaIngreso(ll.socket, estado, mensaje);
                  }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/recursos/estilo.css"), .requiere = R::Nadie,
              .atiende = recursoTal(QStringLiteral("estilo.css"), "text/css; charset=utf-8")});

    // Every level: the live station.
    p.agrega({.metodo = post, .camino = QStringLiteral("/salir"), .requiere = R::Sesion,
              .atiende = [this](const Llamada& ll) { salida(ll); }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/"), .requiere = R::Sesion, .atiende = redirige("/estacion")});
    p.agrega({.metodo = get, .camino = QStringLiteral("/estacion"), .requiere = R::Sesion,
              .atiende = [this](const Llamada& ll) {
                  const LineaPedida l = lineaPedida(ll.consulta);
                  if (!l.numero) {
                      ServidorHttp::responde(ll.socket, l.estado, kTextoPlano, l.error.toUtf8() + '\n');
                      return;
                  }
                  QHash<QByteArray, QByteArray> v = cabeceraDePagina(ll);
                  v.insert("LINEA", QByteArray::number(l.numero));
                  pagina(ll.socket, QStringLiteral("estacion.html"), kHtml, v);
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/recursos/envivo.js"), .requiere = R::Sesion,
              .atiende = recursoTal(QStringLiteral("envivo.js"), "text/javascript; charset=utf-8")});
    p.agrega({.metodo = get, .camino = QStringLiteral("/recursos/estacion.js"), .requiere = R::Sesion,
              .atiende = recursoTal(QStringLiteral("estacion.js"), "text/javascript; charset=utf-8")});
    p.agrega({.metodo = get, .camino = QStringLiteral("/ws/estado"), .requiere = R::Sesion, .forma = F::Json,
              .webSocket = true, .atiende = [](const Llamada& ll) {
                  Puerta::respondeError(ll.socket, 400, QStringLiteral("Esta dirección se abre como WebSocket."));
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/api/estado"), .requiere = R::Sesion, .forma = F::Json,
              .claveApi = true, .atiende = [this](const Llamada& ll) {
                  const LineaPedida l = lineaPedida(ll.consulta);
                  if (!l.numero) {
                      Puerta::respondeError(ll.socket, l.estado, l.error);
                      return;
                  }
                  ServidorHttp::responde(ll.socket, 200, Puerta::kJson, json(m_vivo->estado(l.numero)));
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/api/lineas"), .requiere = R::Sesion, .forma = F::Json,
              .claveApi = true, .atiende = [this](const Llamada& ll) {
                  releeLineas();
                  ServidorHttp::responde(ll.socket, 200, Puerta::kJson,
                                         json({{QStringLiteral("lineas"), m_vivo->resumenes()}}));
              }});
    // Every level: the whole plant, read-only.
    p.agrega({.metodo = get, .camino = QStringLiteral("/planta"), .requiere = R::Sesion,
              .atiende = [this](const Llamada& ll) { pagina(ll.socket, QStringLiteral("planta.html"), kHtml, cabeceraDePagina(ll)); }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/recursos/planta.js"), .requiere = R::Sesion,
              .atiende = recursoTal(QStringLiteral("planta.js"), "text/javascript; charset=utf-8")});
    p.agrega({.metodo = get, .camino = QStringLiteral("/ws/planta"), .requiere = R::Sesion, .forma = F::Json,
              .webSocket = true, .atiende = [](const Llamada& ll) {
                  Puerta::respondeError(ll.socket, 400, QStringLiteral("Esta dirección se abre como WebSocket."));
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/api/planta"), .requiere = R::Sesion, .forma = F::Json,
              .claveApi = true, .atiende = [this](const Llamada& ll) {
                  ServidorHttp::responde(ll.socket, 200, Puerta::kJson, json(planta()));
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/api/sesion"), .requiere = R::Sesion, .forma = F::Json,
              .claveApi = true, .atiende = [](const Llamada& ll) {
                  ServidorHttp::responde(ll.socket, 200, Puerta::kJson,
                                         json({{QStringLiteral("operador"), ll.quien},
                                               {QStringLiteral("nivel"), ll.nivel},
                                               {QStringLiteral("reportes"), ll.reportes}}));
              }});

    // Gerencia, Instalador and the master passwords: batches and reports.
    p.agrega({.metodo = get, .camino = QStringLiteral("/reportes"), .requiere = R::Reportes,
              .atiende = [this](const Llamada& ll) {
                  QHash<QByteArray, QByteArray> v = cabeceraDePagina(ll);
                  const QByteArray captions = QJsonDocument(QJsonArray::fromStringList(Listado::captionsAuxiliares()))
                                                  .toJson(QJsonDocument::Compact);
                  v.insert("CAPTIONS", QString::fromUtf8(captions).toHtmlEscaped().toUtf8());
                  v.insert("FECHA", FechaHora::patronFecha().toHtmlEscaped().toUtf8());
                  // The plant's lines when it has several: the page shows and filters by them.
                  QJsonArray lineas;
                  if (Lineas::varias())
                      for (const Linea& l : Lineas::lista())
                          lineas.append(QJsonObject{{QStringLiteral("numero"), l.numero},
                                                    {QStringLiteral("nombre"), l.nombre}});
                  v.insert("LINEAS", QString::fromUtf8(QJsonDocument(lineas).toJson(QJsonDocument::Compact))
                                         .toHtmlEscaped()
                                         .toUtf8());
                  pagina(ll.socket, QStringLiteral("reportes.html"), kHtml, v);
              }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/recursos/reportes.js"), .requiere = R::Sesion,
              .atiende = recursoTal(QStringLiteral("reportes.js"), "text/javascript; charset=utf-8")});
    for (const char* c : {"/api/pesadas", "/api/totales", "/api/hoy"})
        p.agrega({.metodo = get, .camino = QString::fromLatin1(c), .requiere = R::Reportes, .forma = F::Json,
                  .claveApi = true, .atiende = [this](const Llamada& ll) { consulta(ll); }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/descargas/reporte.xlsx"), .requiere = R::Reportes,
              .forma = F::Json, .claveApi = true, .atiende = [this](const Llamada& ll) { descarga(ll, true); }});
    p.agrega({.metodo = get, .camino = QStringLiteral("/descargas/listado.pdf"), .requiere = R::Reportes,
              .forma = F::Json, .claveApi = true, .atiende = [this](const Llamada& ll) { descarga(ll, false); }});
}

bool ServicioWeb::inicia(const ConfigWeb& config, QString* error)
{
    if (!config.error.isEmpty()) {
        *error = config.error;
        return false;
    }
    m_config = config;
    m_sesiones = Sesiones(qint64(config.inactividadMin) * 60 * 1000);
    m_puerta->setClaveApi(config.claveApi, config.claveApiTal);
    m_config.claveApiTal.clear();
    if (!config.aviso.isEmpty())
        avisa(QStringLiteral("clave"), config.aviso);
    auto http = std::make_unique<ServidorHttp>(
        [this](const QHttpServerRequest& r, QTcpSocket* s) { m_puerta->atiende(r, s); }, m_limites,
        [this](const QString& texto) { avisa(QStringLiteral("conexiones"), texto); });
    std::optional<QSslConfiguration> tls;
    if (config.tls()) {
        QFile fc(config.certificado), fk(config.clave);
        const QList<QSslCertificate> cadena =
            fc.open(QIODevice::ReadOnly) ? QSslCertificate::fromData(fc.readAll(), QSsl::Pem) : QList<QSslCertificate>();
        if (cadena.isEmpty()) {
            *error = QStringLiteral("Monitor web: %1 no es un certificado PEM.").arg(config.certificado);
            return false;
        }
        const QByteArray pem = fk.open(QIODevice::ReadOnly) ? fk.readAll() : QByteArray();
        QSslKey clave(pem, QSsl::Rsa, QSsl::Pem);
        if (clave.isNull())
            clave = QSslKey(pem, QSsl::Ec, QSsl::Pem);
        if (clave.isNull()) {
            *error = QStringLiteral("Monitor web: %1 no es una clave privada PEM (RSA o EC) sin contraseña.")
                         .arg(config.clave);
            return false;
        }
        tls = QSslConfiguration::defaultConfiguration();
        tls->setLocalCertificateChain(cadena);
        tls->setPrivateKey(clave);
        tls->setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    QString motivo;
    if (!http->escucha(config.direccion, config.puerto, tls ? &*tls : nullptr, &motivo)) {
        *error = QStringLiteral("Monitor web: no se pudo abrir %1 puerto %2: %3")
                     .arg(config.direccion.toString())
                     .arg(config.puerto)
                     .arg(motivo);
        return false;
    }
    m_puerto = http->puerto();
    m_http = std::move(http);
    connect(m_http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &ServicioWeb::nuevoWebSocket);

    ServidorHttp::Cabeceras comunes = {
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        // Not no-referrer: browsers then send "Origin: null" on our own forms.
        {"Referrer-Policy", "same-origin"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
         "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
    };
    if (config.tls())
        comunes.append(qMakePair(QByteArray("Strict-Transport-Security"), QByteArray("max-age=31536000")));
    ServidorHttp::setCabecerasComunes(comunes);
    releeLineas();
    m_vigia->start();
    iniciaPlanta();
    return true;
}

void ServicioWeb::iniciaPlanta()
{
    const QString puesto = Puesto::de(m_contexto.directorio());
    m_planta = std::make_unique<VistaPlanta>(puesto, PublicadorPlanta::compartida(m_contexto),
                                             Puesto::nombre(m_contexto.directorio()));
    m_lector = new LectorPlanta(m_contexto, puesto);
    m_lector->moveToThread(&m_hiloPlanta);
    m_hiloPlanta.setObjectName(QStringLiteral("monitor planta"));
    connect(m_lector, &LectorPlanta::estados, this,
            [this](const QString& p, const QString& nombre, qint64 edad, const QJsonArray& lineas) {
                m_planta->recibe(p, nombre, edad, lineas, Reloj::ms(), QDateTime::currentMSecsSinceEpoch());
                planificaPlanta();
            });
    connect(m_lector, &LectorPlanta::totales, this, [this](const QJsonArray& f) {
        m_planta->setTotales(f);
        planificaPlanta();
    });
    connect(m_lector, &LectorPlanta::base, this, [this](bool b) {
        m_planta->setBase(b);
        planificaPlanta();
    });
    m_hiloPlanta.start();
    QMetaObject::invokeMethod(m_lector, [l = m_lector] { l->inicia(); }, Qt::QueuedConnection);
    m_relojPlanta = new QTimer(this);
    m_relojPlanta->setSingleShot(true);
    m_relojPlanta->setTimerType(Qt::PreciseTimer);
    connect(m_relojPlanta, &QTimer::timeout, this, &ServicioWeb::empujaPlanta);
}

QJsonObject ServicioWeb::planta()
{
    if (!m_planta)
        return {};
    releeLineas();
    return m_planta->planta(m_vivo->resumenes(), Reloj::ms());
}

void ServicioWeb::planificaPlanta()
{
    if (!m_planta || !m_planta->hayCambios())
        return;
    if (m_vivo->paginasPlanta() == 0) {
        m_planta->olvidaCambios();
        return;
    }
    // What arrives in the same pass of the event loop goes in one message.
    const qint64 espera = m_planta->proximo(Reloj::ms());
    if (espera >= 0 && (!m_relojPlanta->isActive() || m_relojPlanta->remainingTime() > espera))
        m_relojPlanta->start(int(espera));
}

void ServicioWeb::empujaPlanta()
{
    if (m_vivo->paginasPlanta() == 0) {
        m_planta->olvidaCambios();
        return;
    }
    const QJsonArray puestos = m_planta->tomaCambios([this] { return m_vivo->resumenes(); }, Reloj::ms());
    m_vivo->aPlanta(json({{QStringLiteral("tipo"), QStringLiteral("puestos")},
                          {QStringLiteral("base"), m_planta->base()},
                          {QStringLiteral("puestos"), puestos}}));
    // Those that may not be told yet.
    planificaPlanta();
}

int ServicioWeb::conexiones() const
{
    return m_http ? m_http->conexiones() : 0;
}

int ServicioWeb::trabajosPendientes() const
{
    return m_consultas->ocupados() + m_descargas->ocupados() + m_auditoria->ocupados() + m_ingresos->ocupados();
}

void ServicioWeb::sigue(const Linea& linea)
{
    releeLineas();
    m_vivo->sigue(linea);
}

void ServicioWeb::publica(int linea, const EstadoEstacion& e)
{
    // A poll that only renews the time of the reading changes no tile.
    if (m_vivo->publica(linea, e))
        cambiaPropio();
}

void ServicioWeb::estacionCerrada(int linea)
{
    m_vivo->estacionCerrada(linea);
    cambiaPropio();
}

void ServicioWeb::cambiaPropio()
{
    if (!m_planta)
        return;
    m_planta->cambiaPropio();
    planificaPlanta();
}

void ServicioWeb::releeLineas()
{
    m_vivo->setLineas(Lineas::lista());
}

ServicioWeb::LineaPedida ServicioWeb::lineaPedida(const QUrlQuery& consulta)
{
    releeLineas();
    const QStringList valores = consulta.allQueryItemValues(QStringLiteral("linea"), QUrl::FullyDecoded);
    if (valores.isEmpty())
        return {1, 200, {}};
    if (valores.size() > 1)
        return {0, 400, QStringLiteral("El parámetro «linea» va una sola vez.")};
    // Digits only: no sign, no blanks, no decimals; short, so that it fits.
    const QString& v = valores.constFirst();
    const bool digitos = !v.isEmpty() && v.size() <= 6 &&
                         std::all_of(v.cbegin(), v.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int n = digitos ? v.toInt() : 0;
    if (n < 1 || n > Lineas::kMaximo)
        return {0, 400, QStringLiteral("El parámetro «linea» debe ser un número de línea, de 1 a %1.").arg(Lineas::kMaximo)};
    if (!m_vivo->existe(n))
        return {0, 404, QStringLiteral("No existe la línea %1.").arg(n)};
    return {n, 200, {}};
}

void ServicioWeb::vigila()
{
    const QList<QByteArray> vencidas = m_sesiones.purga();
    if (!vencidas.isEmpty())
        m_vivo->cierra(vencidas, QStringLiteral("Sesión vencida"));
    if (m_vivo->vigila())
        cambiaPropio();
    if (m_planta) {
        m_planta->vigila(Reloj::ms());
        planificaPlanta();
    }
    // What was held back within the minute goes to the log once it is over.
    for (auto it = m_avisos.begin(); it != m_avisos.end(); ++it) {
        if (it->omitidos > 0 && Reloj::ms() - it->ultimo >= 60000) {
            const int n = it->omitidos;
            it->omitidos = 0;
            avisa(it.key(), QStringLiteral("Monitor web: %1 avisos más como el anterior en el último minuto.").arg(n));
        }
    }
}

void ServicioWeb::avisa(const QString& clase, const QString& texto)
{
    Aviso& a = m_avisos[clase];
    if (a.ultimo >= 0 && Reloj::ms() - a.ultimo < 60000) {
        ++a.omitidos;
        return;
    }
    a.ultimo = Reloj::ms();
    Diario::agrega(Diario::kLog,
                   Diario::registroError(0, texto, QStringLiteral("Rutina: monitor web"), QDateTime::currentDateTime()));
}

void ServicioWeb::nuevoWebSocket()
{
    while (m_http && m_http->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> propio = m_http->nextPendingWebSocketConnection();
        if (!propio)
            break;
        QWebSocket* ws = propio.release();
        ws->setParent(this);
        connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
        ws->setMaxAllowedIncomingFrameSize(1024);
        ws->setMaxAllowedIncomingMessageSize(1024);
        // Qt has answered the handshake already: a socket the gate refuses
        // is closed before any state is sent.
        const std::optional<QByteArray> sesion = m_puerta->admite(*ws);
        if (!sesion) {
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Sesión no iniciada"));
            continue;
        }
        if (ws->request().url().path() == u"/ws/planta") {
            m_http->liberaWebSocket(ws);
            QJsonObject o = planta();
            o.insert(QStringLiteral("tipo"), QStringLiteral("planta"));
            m_vivo->agregaPlanta(ws, *sesion, json(o));
            continue;
        }
        // The page's line, as /estacion took it.
        const LineaPedida l = lineaPedida(Puerta::consultaDe(ws->request().url().query(QUrl::FullyEncoded).toUtf8()));
        if (!l.numero) {
            ws->close(QWebSocketProtocol::CloseCode(4004), l.error);
            continue;
        }
        m_http->liberaWebSocket(ws);
        m_vivo->agrega(ws, *sesion, l.numero);
    }
}

QHash<QByteArray, QByteArray> ServicioWeb::cabeceraDePagina(const Llamada& ll) const
{
    return {{"OPERADOR", ll.quien.toHtmlEscaped().toUtf8()},
            {"NIVEL", (ll.nivel.isEmpty() ? QStringLiteral("Maestro") : ll.nivel).toHtmlEscaped().toUtf8()},
            {"MENU", ll.reportes ? QByteArray("<a href=\"/reportes\">Pesadas y reportes</a>") : QByteArray()}};
}

void ServicioWeb::pagina(QTcpSocket* s, const QString& nombre, const QByteArray& tipo,
                        const QHash<QByteArray, QByteArray>& valores, int estado,
                        const ServidorHttp::Cabeceras& cabeceras)
{
    const QByteArray plantilla = recurso(nombre);
    if (plantilla.isEmpty()) {
        ServidorHttp::responde(s, 404, kTextoPlano, "No encontrado\n");
        return;
    }
    ServidorHttp::responde(s, estado, tipo, rellena(plantilla, valores), cabeceras);
}

void ServicioWeb::paginaIngreso(QTcpSocket* s, int estado, const QString& mensaje)
{
    pagina(s, QStringLiteral("ingreso.html"), kHtml,
           {{"MENSAJE", mensaje.isEmpty() ? QByteArray()
                                          : QStringLiteral("<p class=\"aviso\" id=\"mensaje\">%1</p>")
                                                .arg(mensaje.toHtmlEscaped())
                                                .toUtf8()}},
           estado, estado == 429 || estado == 503 ? kReintenta : ServidorHttp::Cabeceras{});
}

void ServicioWeb::ingreso(const Llamada& ll)
{
    const QString nombre = Puerta::nombreDe(ll);
    const QString clave = ll.formulario.queryItemValue(QStringLiteral("clave"), QUrl::FullyDecoded);
    // One check at a time for an address and for a name: the next one
    // meets the wait this one's outcome sets.
    const QStringList claves = {Frenos::porDireccion(ll.desde.toString()), Frenos::porNombre(nombre)};
    for (const QString& c : claves) {
        if (m_verificando.contains(c)) {
            paginaIngreso(ll.socket, 429,
                          QStringLiteral("Demasiados intentos fallidos. Espere %1 s y vuelva a intentarlo.").arg(1));
            return;
        }
    }
    Llamada copia = ll;
    copia.req = nullptr;
    auto r = std::make_shared<Acceso::Resultado>();
    const bool lanzado = m_ingresos->lanza(
        [r, contexto = m_contexto, nombre, clave] { *r = Acceso::verifica(contexto, nombre, clave); },
        [this, r, copia, claves, p = QPointer<QTcpSocket>(ll.socket)]() mutable {
            for (const QString& c : claves)
                m_verificando.remove(c);
            copia.socket = p; // null when the client has gone: its failure counts all the same
            ingresoVerificado(copia, *r);
        });
    if (!lanzado) {
        paginaIngreso(ll.socket, 503, QStringLiteral("El monitor está ocupado. Vuelva a intentarlo en unos segundos."));
        return;
    }
    for (const QString& c : claves)
        m_verificando.insert(c);
}

void ServicioWeb::alLlegar(qint64 instante, std::function<void()> f)
{
    const qint64 falta = instante - Reloj::ms();
    if (falta <= 0) {
        f();
        return;
    }
    // A timer may fire a little early: the clock decides.
    QTimer::singleShot(falta, Qt::PreciseTimer, this, [this, instante, f = std::move(f)]() mutable {
        alLlegar(instante, std::move(f));
    });
}

void ServicioWeb::ingresoVerificado(const Llamada& ll, const Acceso::Resultado& r)
{
    const QString nombre = Puerta::nombreDe(ll);
    const QString quien = nombre.isEmpty() ? QStringLiteral("Maestro") : nombre;
    const QString valores = QStringLiteral("desde ") + ll.desde.toString();
    for (const QString& a : r.avisos)
        avisa(QStringLiteral("operarios"), QStringLiteral("Monitor web: ") + a);
    if (r.sinBase) {
        audita(quien, kIngresoWeb, valores, QStringLiteral("Rechazado: sin base de datos"));
        if (ll.socket)
            paginaIngreso(ll.socket, 503, QStringLiteral("No hay conexión con la base de datos."));
        return;
    }
    if (!r.aceptado) {
        // The answer comes when the wait it sets has ended, so that a
        // retry on receiving it is not refused; the server goes on meanwhile.
        const qint64 libre = Reloj::ms() + m_puerta->falla(ll);
        audita(quien, kIngresoWeb, valores, QStringLiteral("Rechazado: contraseña incorrecta"));
        alLlegar(libre, [this, p = QPointer<QTcpSocket>(ll.socket)] {
            if (p)
                paginaIngreso(p, 401, kIncorrecta);
        });
        return;
    }
    m_puerta->acierta(ll);
    if (!ll.socket)
        return; // no one to give the session to
    const QByteArray id = m_sesiones.crea(r.operador, r.nivel, r.tipoAcceso, r.conFila);
    audita(r.operador, kIngresoWeb, valores,
           QStringLiteral("Aceptado (%1)").arg(r.nivel.isEmpty() ? QStringLiteral("Maestro") : r.nivel));
    QByteArray cookie = Puerta::kCookie + '=' + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (m_config.tls())
        cookie += "; Secure";
    ServidorHttp::responde(ll.socket, 303, kTextoPlano, "", {{"Location", "/estacion"}, {"Set-Cookie", cookie}});
}

void ServicioWeb::salida(const Llamada& ll)
{
    m_sesiones.cierra(ll.sesion);
    m_vivo->cierra({ll.sesion}, QStringLiteral("Sesión cerrada"));
    QByteArray cookie = Puerta::kCookie + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
    if (m_config.tls())
        cookie += "; Secure";
    ServidorHttp::responde(ll.socket, 303, kTextoPlano, "", {{"Location", "/ingreso"}, {"Set-Cookie", cookie}});
}

void ServicioWeb::consulta(const Llamada& ll)
{
    const bool hoy = ll.ruta == u"/api/hoy";
    const bool totales = ll.ruta == u"/api/totales";
    ConsultaReportes::Peticion p;
    if (hoy) {
        p = ConsultaReportes::hoy(m_contexto);
        QUrlQuery q = ll.consulta;
        q.removeAllQueryItems(QStringLiteral("fechaDesde"));
        q.removeAllQueryItems(QStringLiteral("fechaHasta"));
        const ConsultaReportes::Peticion paginas = ConsultaReportes::lee(q, m_contexto);
        p.pagina = paginas.pagina;
        p.filas = paginas.filas;
        p.error = paginas.error;
    } else {
        p = ConsultaReportes::lee(ll.consulta, m_contexto);
    }
    if (!p.error.isEmpty()) {
        Puerta::respondeError(ll.socket, 400, p.error);
        return;
    }
    struct Resultado
    {
        bool ok = false;
        QJsonObject o;
        QString error;
    };
    auto r = std::make_shared<Resultado>();
    const bool lanzado = m_consultas->lanza(
        [this, p, hoy, totales, r] {
            if (!m_consulta)
                m_consulta = std::make_unique<ConsultaReportes>(m_contexto);
            if (totales) {
                r->ok = m_consulta->totales(p, &r->o, &r->error);
                return;
            }
            r->ok = m_consulta->filas(p, &r->o, &r->error);
            if (r->ok && hoy) {
                QJsonObject t;
                r->ok = m_consulta->totales(p, &t, &r->error);
                r->o.insert(QStringLiteral("totales"), t);
            }
        },
        [this, r, s = QPointer<QTcpSocket>(ll.socket)] {
            if (!r->ok) {
                // The engine's words stay in the log.
                avisa(QStringLiteral("consultas"), QStringLiteral("Monitor web: no se pudo leer la base de datos: ") + r->error);
                Puerta::respondeError(s, 503, QStringLiteral("No se pudo leer la base de datos."), kReintenta);
                return;
            }
            ServidorHttp::responde(s, 200, Puerta::kJson, json(r->o));
        });
    if (!lanzado)
        Puerta::respondeError(ll.socket, 503,
                              QStringLiteral("El monitor está atendiendo otras consultas; vuelva a intentarlo en unos segundos."),
                              kReintenta);
}

void ServicioWeb::descarga(const Llamada& ll, bool xlsx)
{
    const ConsultaReportes::Peticion p = ConsultaReportes::lee(ll.consulta, m_contexto);
    if (!p.error.isEmpty()) {
        Puerta::respondeError(ll.socket, 400, p.error);
        return;
    }
    const QString comando = xlsx ? QStringLiteral("Exportación web") : QStringLiteral("Listado web");
    const QString valores = QStringLiteral("desde %1:%2").arg(ll.desde.toString(), p.sel.descFiltro);
    const QString nombre = (xlsx ? QStringLiteral("reporte-") : QStringLiteral("listado-")) +
                           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
                           (xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".pdf"));
    const QByteArray tipo = xlsx ? "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
                                 : "application/pdf";
    const QString plantilla = QDir(CDatos::directorioBase().isEmpty() ? m_contexto.directorio()
                                                                      : CDatos::directorioBase())
                                  .absoluteFilePath(XlsxPlantilla::kArchivo);
    struct Resultado
    {
        bool ok = false;
        qint64 filas = 0;
        QString error;
        QByteArray datos;
    };
    auto r = std::make_shared<Resultado>();
    // Read, written and read back off the window's thread, on a connection of its own.
    const bool lanzado = m_descargas->lanza(
        [r, p, xlsx, plantilla, contexto = m_contexto] {
            QTemporaryDir dir;
            if (!dir.isValid()) {
                r->error = QStringLiteral("no hay un directorio temporal");
                return;
            }
            const QString destino = dir.filePath(xlsx ? QStringLiteral("reporte.xlsx") : QStringLiteral("listado.pdf"));
            if (xlsx) {
                const Exportacion::Resultado e =
                    Exportacion::exportar(contexto.DataCSReporte, contexto.DataTbReporte, p.sel, plantilla, destino,
                                          {}, p.lineas);
                r->ok = e.ok;
                r->filas = e.filas;
                r->error = e.error;
            } else {
                r->ok = ConsultaReportes::listadoPdf(contexto, p, destino, &r->filas, &r->error);
            }
            QFile f(destino);
            if (r->ok && !f.open(QIODevice::ReadOnly)) {
                r->ok = false;
                r->error = f.errorString();
            }
            if (r->ok)
                r->datos = f.readAll();
        },
        [this, r, s = QPointer<QTcpSocket>(ll.socket), quien = ll.quien, comando, valores, nombre, tipo] {
            if (!r->ok) {
                audita(quien, comando, valores, QStringLiteral("Error: ") + r->error);
                avisa(QStringLiteral("descargas"), QStringLiteral("Monitor web: no se pudo generar %1: %2").arg(nombre, r->error));
                Puerta::respondeError(s, 500, QStringLiteral("No se pudo generar el archivo."));
                return;
            }
            audita(quien, comando, valores, QStringLiteral("Aceptado: %1 filas").arg(r->filas));
            ServidorHttp::responde(s, 200, tipo, r->datos,
                                   {{"Content-Disposition", "attachment; filename=\"" + nombre.toUtf8() + '"'}});
        });
    if (!lanzado) {
        audita(ll.quien, comando, valores, QStringLiteral("Rechazado: otras descargas en curso"));
        Puerta::respondeError(ll.socket, 503,
                              QStringLiteral("El monitor está preparando otras descargas; vuelva a intentarlo en unos "
                                             "segundos."),
                              {{"Retry-After", "10"}});
    }
}

void ServicioWeb::audita(const QString& operador, const QString& comando, const QString& valores,
                        const QString& resultado)
{
    const QDateTime ahora = QDateTime::currentDateTime();
    const QString registro = QStringLiteral("%1 %2 %3 %4").arg(operador, comando, valores, resultado);
    auto error = std::make_shared<QString>();
    const bool lanzado = m_auditoria->lanza(
        [error, ahora, operador, comando, valores, resultado, cs = m_contexto.DataCSReporte] {
            CDatos db;
            if (!db.AbrirBase(cs) ||
                !db.AbreRegistro(QStringLiteral("SELECT * FROM ") + Schema::kTablaComandos +
                                 QStringLiteral(" WHERE 1 = 0")) ||
                !db.AgregaRegistros({{QStringLiteral("FECHA"), ahora.date()},
                                     {QStringLiteral("HORA"), ahora.time()},
                                     {QStringLiteral("OPERADOR"), operador.left(255)},
                                     {QStringLiteral("COMANDO"), comando},
                                     {QStringLiteral("VALORES"), valores.left(255)},
                                     {QStringLiteral("RESULTADO"), resultado.left(255)}}))
                *error = db.ultimoError().isEmpty() ? QStringLiteral("error desconocido") : db.ultimoError();
        },
        [this, error, registro] {
            // Not a reason to refuse the request: the error log keeps it instead.
            if (!error->isEmpty())
                avisa(QStringLiteral("auditoria"),
                      QStringLiteral("No se pudo registrar en %1: %2 (%3)").arg(Schema::kTablaComandos, registro, *error));
        });
    if (!lanzado)
        avisa(QStringLiteral("auditoria"), QStringLiteral("No se pudo registrar en %1: %2 (demasiados registros pendientes)")
                                               .arg(Schema::kTablaComandos, registro));
}
