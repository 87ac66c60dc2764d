#include "MonitorWeb.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>
#include <QWebSocket>

#include "Acceso.h"
#include "CDatos.h"
#include "ConsultaReportes.h"
#include "Diario.h"
#include "EstacionPesaje.h"
#include "Exportacion.h"
#include "FechaHora.h"
#include "Listado.h"
#include "Reloj.h"
#include "Schema.h"
#include "ServidorHttp.h"
#include "XlsxPlantilla.h"

namespace {

const QByteArray kCookie = "tolvex_sesion";
const QByteArray kHtml = "text/html; charset=utf-8";
const QByteArray kJson = "application/json; charset=utf-8";
const QString kIncorrecta = QStringLiteral("Contraseña incorrecta. Vuelva a intentarlo");

// Pages without the station's answer for this long are shown as stale.
constexpr qint64 kSinLecturasMs = 3000;
// A page that cannot keep up is dropped rather than buffered without end.
constexpr qint64 kMaxPendienteWs = 4 * 1024 * 1024;

// Listens like Base, and puts the size guard on every connection before the
// HTTP server takes it.
template <class Base>
class Escucha : public Base
{
public:
    explicit Escucha(ServidorHttp* http) : m_http(http) {}
    QTcpSocket* nextPendingConnection() override
    {
        QTcpSocket* s = Base::nextPendingConnection();
        if (s)
            m_http->vigila(s);
        return s;
    }

private:
    ServidorHttp* m_http;
};

QByteArray cabecera(const QHttpServerRequest& req, const QByteArray& nombre)
{
    for (const auto& [k, v] : req.headers()) {
        if (k.compare(nombre, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

QByteArray recurso(const QString& nombre)
{
    QFile f(QStringLiteral(":/web/") + nombre);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray json(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray errorJson(const QString& texto)
{
    return json({{QStringLiteral("error"), texto}});
}

// Time-independent comparison of two secrets.
bool iguales(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char d = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        d |= static_cast<unsigned char>(a[i] ^ b[i]);
    return d == 0;
}

QUrlQuery formulario(const QByteArray& cuerpo)
{
    QByteArray b = cuerpo;
    b.replace('+', ' ');
    return QUrlQuery(QString::fromUtf8(b));
}

} // namespace

static void iniciaRecursos()
{
    // The pages live in this static library's resources.
    Q_INIT_RESOURCE(web);
}

MonitorWeb::MonitorWeb(const Contexto& contexto, QObject* parent) : QObject(parent), m_contexto(contexto)
{
    iniciaRecursos();
    m_vigia.setInterval(500);
    connect(&m_vigia, &QTimer::timeout, this, &MonitorWeb::vigila);
}

MonitorWeb::~MonitorWeb()
{
    // An export still running finishes before its results go away.
    for (const QPointer<QThread>& h : std::as_const(m_exportaciones)) {
        if (h)
            h->wait();
    }
    for (const ClienteWs& c : std::as_const(m_clientes)) {
        if (c.ws) {
            c.ws->abort();
            delete c.ws;
        }
    }
}

bool MonitorWeb::inicia(const ConfigWeb& config, QString* error)
{
    if (!config.error.isEmpty()) {
        *error = config.error;
        return false;
    }
    m_config = config;
    m_sesiones = Sesiones(qint64(config.inactividadMin) * 60 * 1000);
    auto http = std::make_unique<ServidorHttp>(
        [this](const QHttpServerRequest& r, QTcpSocket* s) { atiende(r, s); }, kMaxCabecera, kMaxCuerpo);
    QTcpServer* servidor = nullptr;
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
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificateChain(cadena);
        conf.setPrivateKey(clave);
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
        auto* ssl = new Escucha<QSslServer>(http.get());
        ssl->setSslConfiguration(conf);
        servidor = ssl;
    } else {
        servidor = new Escucha<QTcpServer>(http.get());
    }
    if (!servidor->listen(config.direccion, config.puerto)) {
        *error = QStringLiteral("Monitor web: no se pudo abrir %1 puerto %2: %3")
                     .arg(config.direccion.toString())
                     .arg(config.puerto)
                     .arg(servidor->errorString());
        delete servidor;
        return false;
    }
    http->bind(servidor);
    m_puerto = servidor->serverPort();
    m_http = std::move(http);
    connect(m_http.get(), &QAbstractHttpServer::newWebSocketConnection, this, &MonitorWeb::nuevoWebSocket);

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
    m_consulta = std::make_unique<ConsultaReportes>(m_contexto);
    m_vigia.start();
    return true;
}

QHostAddress MonitorWeb::direccionDe(const QHostAddress& a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

QByteArray MonitorWeb::sesionDe(const QByteArray& cookie) const
{
    for (const QByteArray& parte : cookie.split(';')) {
        const QByteArray p = parte.trimmed();
        if (p.startsWith(kCookie + '='))
            return p.mid(kCookie.size() + 1);
    }
    return {};
}

bool MonitorWeb::claveApiValida(const QHttpServerRequest& req) const
{
    if (m_config.claveApi.isEmpty())
        return false;
    QByteArray dada = cabecera(req, "X-Clave-Api");
    const QByteArray auth = cabecera(req, "Authorization");
    if (dada.isEmpty() && auth.startsWith("Bearer "))
        dada = auth.mid(7).trimmed();
    return !dada.isEmpty() && iguales(dada, m_config.claveApi.toUtf8());
}

bool MonitorWeb::origenValido(const QHttpServerRequest& req) const
{
    // A form posted from another site names it in Origin; browsers always send it on POST.
    const QByteArray origen = cabecera(req, "Origin");
    if (origen.isEmpty())
        return true;
    return QUrl(QString::fromUtf8(origen)).authority() == QString::fromUtf8(cabecera(req, "Host"));
}

void MonitorWeb::pagina(QTcpSocket* s, const QString& nombre, const QByteArray& tipo,
                        const QList<QPair<QByteArray, QByteArray>>& reemplazos, int estado,
                        const QList<QPair<QByteArray, QByteArray>>& cabeceras)
{
    QByteArray cuerpo = recurso(nombre);
    if (cuerpo.isEmpty()) {
        ServidorHttp::responde(s, 404, "text/plain; charset=utf-8", "No encontrado\n");
        return;
    }
    for (const auto& [clave, valor] : reemplazos)
        cuerpo.replace("{{" + clave + "}}", valor);
    ServidorHttp::responde(s, estado, tipo, cuerpo, cabeceras);
}

void MonitorWeb::atiende(const QHttpServerRequest& req, QTcpSocket* s)
{
    // The HTTP server hands a WebSocket upgrade to the WebSocket server after
    // this call; the session is checked there (nuevoWebSocket).
    if (cabecera(req, "Upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return;
    const QString ruta = req.url().path();
    const auto metodo = req.method();
    if (metodo != QHttpServerRequest::Method::Get && metodo != QHttpServerRequest::Method::Post) {
        ServidorHttp::responde(s, 405, "text/plain; charset=utf-8", "Método no permitido\n",
                               {{"Allow", "GET, POST"}});
        return;
    }
    const bool get = metodo == QHttpServerRequest::Method::Get;

    // What answers without a session: the sign-in page and its style sheet.
    if (ruta == u"/ingreso") {
        if (get)
            pagina(s, QStringLiteral("ingreso.html"), kHtml, {{"MENSAJE", QByteArray()}});
        else
            ingreso(req, s);
        return;
    }
    if (get && ruta == u"/recursos/estilo.css") {
        pagina(s, QStringLiteral("estilo.css"), "text/css; charset=utf-8");
        return;
    }

    const QByteArray sid = sesionDe(cabecera(req, "Cookie"));
    const Sesiones::Sesion* ses = m_sesiones.busca(sid);
    QString quien;
    bool reportes = false;
    if (ses) {
        quien = ses->operador;
        reportes = Sesiones::veReportes(ses->nivel);
    } else if (ruta.startsWith(u"/api/") || ruta.startsWith(u"/descargas/")) {
        const bool traeClave =
            !cabecera(req, "X-Clave-Api").isEmpty() || cabecera(req, "Authorization").startsWith("Bearer ");
        if (!m_config.claveApi.isEmpty() && traeClave) {
            const QHostAddress desde = direccionDe(req.remoteAddress());
            if (m_frenos.espera(desde) > 0) {
                ServidorHttp::responde(s, 429, kJson, errorJson(QStringLiteral("Demasiados intentos fallidos; espere.")));
                return;
            }
            if (!claveApiValida(req)) {
                m_frenos.falla(desde);
                ServidorHttp::responde(s, 401, kJson, errorJson(QStringLiteral("Clave de la API incorrecta.")));
                return;
            }
            quien = QStringLiteral("ClaveApi");
            reportes = true;
        }
    }
    if (quien.isEmpty()) {
        if (ruta.startsWith(u"/api/") || ruta.startsWith(u"/descargas/"))
            ServidorHttp::responde(s, 401, kJson, errorJson(QStringLiteral("Inicie sesión.")));
        else
            ServidorHttp::responde(s, 303, "text/plain; charset=utf-8", "", {{"Location", "/ingreso"}});
        return;
    }

    if (!get) {
        if (!origenValido(req)) {
            ServidorHttp::responde(s, 403, "text/plain; charset=utf-8", "Origen no permitido\n");
            return;
        }
        if (ruta == u"/salir" && ses) {
            salida(req, s);
            return;
        }
        ServidorHttp::responde(s, 405, "text/plain; charset=utf-8", "Método no permitido\n");
        return;
    }

    const QByteArray operador = quien.toHtmlEscaped().toUtf8();
    const QByteArray nivel = (ses && !ses->nivel.isEmpty() ? ses->nivel : QStringLiteral("Maestro")).toHtmlEscaped().toUtf8();
    const QByteArray menu = reportes ? QByteArray("<a href=\"/reportes\">Pesadas y reportes</a>") : QByteArray();
    if (ruta == u"/" ) {
        ServidorHttp::responde(s, 303, "text/plain; charset=utf-8", "", {{"Location", "/estacion"}});
    } else if (ruta == u"/estacion") {
        pagina(s, QStringLiteral("estacion.html"), kHtml,
               {{"OPERADOR", operador}, {"NIVEL", nivel}, {"MENU", menu}});
    } else if (ruta == u"/reportes") {
        if (!reportes)
            pagina(s, QStringLiteral("prohibido.html"), kHtml, {{"OPERADOR", operador}, {"NIVEL", nivel}}, 403);
        else
            pagina(s, QStringLiteral("reportes.html"), kHtml,
                   {{"OPERADOR", operador}, {"NIVEL", nivel}, {"MENU", menu},
                    {"CAPTIONS", QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(
                                                                       Listado::captionsAuxiliares()))
                                                        .toJson(QJsonDocument::Compact))
                                     .toHtmlEscaped()
                                     .toUtf8()},
                    {"FECHA", FechaHora::patronFecha().toHtmlEscaped().toUtf8()}});
    } else if (ruta == u"/recursos/estacion.js" || ruta == u"/recursos/reportes.js") {
        pagina(s, ruta.mid(10), "text/javascript; charset=utf-8");
    } else if (ruta.startsWith(u"/api/")) {
        api(req, s, ruta, ses, quien);
    } else if (ruta.startsWith(u"/descargas/")) {
        if (!reportes)
            ServidorHttp::responde(s, 403, kJson, errorJson(QStringLiteral("Su nivel no permite ver los reportes.")));
        else
            descarga(req, s, ruta, quien);
    } else {
        ServidorHttp::responde(s, 404, "text/plain; charset=utf-8", "No encontrado\n");
    }
}

void MonitorWeb::ingreso(const QHttpServerRequest& req, QTcpSocket* s)
{
    const QHostAddress desde = direccionDe(req.remoteAddress());
    const QUrlQuery f = formulario(req.body());
    const QString nombre = f.queryItemValue(QStringLiteral("nombre"), QUrl::FullyDecoded).trimmed().left(255);
    const QString clave = f.queryItemValue(QStringLiteral("clave"), QUrl::FullyDecoded);
    const QString quien = nombre.isEmpty() ? QStringLiteral("Maestro") : nombre;
    const QString valores = QStringLiteral("desde ") + desde.toString();
    const auto responde = [this](QTcpSocket* sock, int estado, const QString& mensaje) {
        pagina(sock, QStringLiteral("ingreso.html"), kHtml,
               {{"MENSAJE", QStringLiteral("<p class=\"aviso\" id=\"mensaje\">%1</p>")
                                .arg(mensaje.toHtmlEscaped())
                                .toUtf8()}},
               estado);
    };
    if (!origenValido(req)) {
        audita(quien, QStringLiteral("Ingreso web"), valores, QStringLiteral("Rechazado: otro origen"));
        responde(s, 403, QStringLiteral("Origen no permitido."));
        return;
    }
    const qint64 espera = m_frenos.espera(desde);
    if (espera > 0) {
        // Not even checked: guessing in parallel gains nothing.
        audita(quien, QStringLiteral("Ingreso web"), valores, QStringLiteral("Rechazado: en espera"));
        responde(s, 429,
                 QStringLiteral("Demasiados intentos fallidos. Espere %1 s y vuelva a intentarlo.")
                     .arg((espera + 999) / 1000));
        return;
    }
    const Acceso::Resultado r = Acceso::verifica(m_contexto, nombre, clave);
    if (r.sinBase) {
        audita(quien, QStringLiteral("Ingreso web"), valores, QStringLiteral("Rechazado: sin base de datos"));
        responde(s, 503, QStringLiteral("No hay conexión con la base de datos."));
        return;
    }
    if (!r.aceptado) {
        const qint64 demora = m_frenos.falla(desde);
        audita(quien, QStringLiteral("Ingreso web"), valores, QStringLiteral("Rechazado: contraseña incorrecta"));
        // The answer waits on a timer; the server goes on meanwhile.
        QTimer::singleShot(demora, this, [responde, p = QPointer<QTcpSocket>(s)] {
            if (p)
                responde(p, 401, kIncorrecta);
        });
        return;
    }
    m_frenos.acierta(desde);
    const QByteArray id = m_sesiones.crea(r.operador, r.nivel, r.tipoAcceso);
    audita(r.operador, QStringLiteral("Ingreso web"), valores,
           QStringLiteral("Aceptado (%1)").arg(r.nivel.isEmpty() ? QStringLiteral("Maestro") : r.nivel));
    QByteArray cookie = kCookie + '=' + id + "; Path=/; HttpOnly; SameSite=Strict";
    if (m_config.tls())
        cookie += "; Secure";
    ServidorHttp::responde(s, 303, "text/plain; charset=utf-8", "",
                           {{"Location", "/estacion"}, {"Set-Cookie", cookie}});
}

void MonitorWeb::salida(const QHttpServerRequest& req, QTcpSocket* s)
{
    const QByteArray sid = sesionDe(cabecera(req, "Cookie"));
    m_sesiones.cierra(sid);
    for (const ClienteWs& c : std::as_const(m_clientes)) {
        if (c.ws && c.sesion == sid)
            c.ws->close(QWebSocketProtocol::CloseCode(4001), QStringLiteral("Sesión cerrada"));
    }
    QByteArray cookie = kCookie + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
    if (m_config.tls())
        cookie += "; Secure";
    ServidorHttp::responde(s, 303, "text/plain; charset=utf-8", "",
                           {{"Location", "/ingreso"}, {"Set-Cookie", cookie}});
}

void MonitorWeb::api(const QHttpServerRequest& req, QTcpSocket* s, const QString& ruta,
                     const Sesiones::Sesion* ses, const QString& quien)
{
    const bool reportes = ses ? Sesiones::veReportes(ses->nivel) : true;
    if (ruta == u"/api/estado") {
        QJsonObject o = json(m_ultimo, m_vigente, m_motivo);
        ServidorHttp::responde(s, 200, kJson, ::json(o));
        return;
    }
    if (ruta == u"/api/sesion") {
        ServidorHttp::responde(s, 200, kJson,
                               ::json({{QStringLiteral("operador"), quien},
                                       {QStringLiteral("nivel"), ses ? ses->nivel : QString()},
                                       {QStringLiteral("reportes"), reportes}}));
        return;
    }
    if (ruta != u"/api/pesadas" && ruta != u"/api/totales" && ruta != u"/api/hoy") {
        ServidorHttp::responde(s, 404, kJson, errorJson(QStringLiteral("No encontrado.")));
        return;
    }
    if (!reportes) {
        ServidorHttp::responde(s, 403, kJson, errorJson(QStringLiteral("Su nivel no permite ver los reportes.")));
        return;
    }
    ConsultaReportes::Peticion p;
    if (ruta == u"/api/hoy") {
        p = m_consulta->hoy();
        QUrlQuery q = req.query();
        q.removeAllQueryItems(QStringLiteral("fechaDesde"));
        q.removeAllQueryItems(QStringLiteral("fechaHasta"));
        const ConsultaReportes::Peticion paginas = m_consulta->lee(q);
        p.pagina = paginas.pagina;
        p.filas = paginas.filas;
        p.error = paginas.error;
    } else {
        p = m_consulta->lee(req.query());
    }
    if (!p.error.isEmpty()) {
        ServidorHttp::responde(s, 400, kJson, errorJson(p.error));
        return;
    }
    QJsonObject o;
    QString error;
    bool ok = true;
    if (ruta == u"/api/totales") {
        ok = m_consulta->totales(p, &o, &error);
    } else {
        ok = m_consulta->filas(p, &o, &error);
        QJsonObject t;
        if (ok && ruta == u"/api/hoy") {
            ok = m_consulta->totales(p, &t, &error);
            o.insert(QStringLiteral("totales"), t);
        }
    }
    if (!ok) {
        ServidorHttp::responde(s, 503, kJson,
                               errorJson(QStringLiteral("No se pudo leer la base de datos: ") + error));
        return;
    }
    ServidorHttp::responde(s, 200, kJson, ::json(o));
}

void MonitorWeb::descarga(const QHttpServerRequest& req, QTcpSocket* s, const QString& ruta, const QString& quien)
{
    const bool xlsx = ruta == u"/descargas/reporte.xlsx";
    if (!xlsx && ruta != u"/descargas/listado.pdf") {
        ServidorHttp::responde(s, 404, kJson, errorJson(QStringLiteral("No encontrado.")));
        return;
    }
    const ConsultaReportes::Peticion p = m_consulta->lee(req.query());
    if (!p.error.isEmpty()) {
        ServidorHttp::responde(s, 400, kJson, errorJson(p.error));
        return;
    }
    const QString comando = xlsx ? QStringLiteral("Exportación web") : QStringLiteral("Listado web");
    const QString valores = QStringLiteral("desde %1:%2").arg(direccionDe(req.remoteAddress()).toString(),
                                                                p.sel.descFiltro);
    auto dir = std::make_shared<QTemporaryDir>();
    const QString marca = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString nombre = (xlsx ? QStringLiteral("reporte-") : QStringLiteral("listado-")) + marca +
                           (xlsx ? QStringLiteral(".xlsx") : QStringLiteral(".pdf"));
    const QString destino = dir->filePath(nombre);
    const QByteArray tipo = xlsx ? "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
                                 : "application/pdf";
    auto entrega = [this, dir, destino, nombre, tipo, quien, comando, valores](QTcpSocket* sock, bool ok,
                                                                               qint64 filas, const QString& error) {
        QFile f(destino);
        if (!ok || !f.open(QIODevice::ReadOnly)) {
            audita(quien, comando, valores, QStringLiteral("Error: ") + error);
            ServidorHttp::responde(sock, 500, kJson,
                                   errorJson(QStringLiteral("No se pudo generar el archivo: ") + error));
            return;
        }
        audita(quien, comando, valores, QStringLiteral("Aceptado: %1 filas").arg(filas));
        ServidorHttp::responde(sock, 200, tipo, f.readAll(),
                               {{"Content-Disposition", "attachment; filename=\"" + nombre.toUtf8() + '"'}});
    };
    if (!dir->isValid()) {
        entrega(s, false, 0, QStringLiteral("no hay un directorio temporal"));
        return;
    }
    if (!xlsx) {
        // The listing paints through the GUI's printer: this thread.
        qint64 filas = 0;
        QString error;
        const bool ok = m_consulta->listadoPdf(p, destino, &filas, &error);
        entrega(s, ok, filas, error);
        return;
    }
    // The export reads and writes on its own connection, off the window thread.
    auto resultado = std::make_shared<Exportacion::Resultado>();
    const QString plantilla = QDir(CDatos::directorioBase().isEmpty() ? m_contexto.directorio()
                                                                      : CDatos::directorioBase())
                                  .absoluteFilePath(XlsxPlantilla::kArchivo);
    const Filtros::Seleccion sel = p.sel;
    QThread* hilo = QThread::create([resultado, sel, plantilla, destino, cs = m_contexto.DataCSReporte,
                                     tabla = m_contexto.DataTbReporte] {
        *resultado = Exportacion::exportar(cs, tabla, sel, plantilla, destino);
    });
    m_exportaciones.removeAll(nullptr);
    m_exportaciones.append(hilo);
    connect(hilo, &QThread::finished, this, [hilo, resultado, entrega, p = QPointer<QTcpSocket>(s)] {
        hilo->deleteLater();
        if (p)
            entrega(p, resultado->ok, resultado->filas, resultado->error);
    });
    hilo->start();
}

void MonitorWeb::audita(const QString& operador, const QString& comando, const QString& valores,
                        const QString& resultado)
{
    const QDateTime ahora = QDateTime::currentDateTime();
    CDatos db;
    if (db.AbrirBase(m_contexto.DataCSReporte) &&
        db.AbreRegistro(QStringLiteral("SELECT * FROM ") + Schema::kTablaComandos + QStringLiteral(" WHERE 1 = 0")) &&
        db.AgregaRegistros({{QStringLiteral("FECHA"), ahora.date()},
                            {QStringLiteral("HORA"), ahora.time()},
                            {QStringLiteral("OPERADOR"), operador.left(255)},
                            {QStringLiteral("COMANDO"), comando},
                            {QStringLiteral("VALORES"), valores.left(255)},
                            {QStringLiteral("RESULTADO"), resultado.left(255)}}))
        return;
    // Not a reason to refuse the request: the error log keeps it instead.
    Diario::agrega(Diario::kLog,
                   Diario::registroError(0,
                                         QStringLiteral("No se pudo registrar en %1: %2 %3 %4 %5 (%6)")
                                             .arg(Schema::kTablaComandos, operador, comando, valores, resultado,
                                                  db.ultimoError()),
                                         QStringLiteral("Rutina: audita (MonitorWeb)"), ahora));
}

QJsonObject MonitorWeb::json(const EstadoEstacion& e, bool vigente, const QString& motivo)
{
    QJsonArray salidas, entradas;
    for (int k = 0; k < 8; ++k) {
        salidas.append(bool((e.Salidas >> k) & 1));
        entradas.append(bool((e.Entradas >> k) & 1));
    }
    return {
        {QStringLiteral("abierta"), e.abierta},
        {QStringLiteral("conectado"), e.conectado},
        {QStringLiteral("vigente"), vigente},
        {QStringLiteral("motivo"), motivo},
        {QStringLiteral("instante"), e.instante.isValid() ? e.instante.toLocalTime().toString(Qt::ISODateWithMs) : QString()},
        {QStringLiteral("decimales"), e.decimales},
        {QStringLiteral("peso"), e.Peso},
        {QStringLiteral("acumulado"), e.Acumulado},
        {QStringLiteral("despacho"), e.Despacho},
        {QStringLiteral("resto"), e.Resto},
        {QStringLiteral("caudal"), e.Caudal},
        {QStringLiteral("corteGrueso"), e.CGrueso},
        {QStringLiteral("corteFino"), e.CFino},
        {QStringLiteral("ciclos"), double(e.CCiclos)},
        {QStringLiteral("modo"), e.Modo},
        {QStringLiteral("textoModo"), e.textoModo},
        {QStringLiteral("salidas"), salidas},
        {QStringLiteral("entradas"), entradas},
        {QStringLiteral("codigoError"), e.CError},
        {QStringLiteral("textoError"), e.textoError},
        {QStringLiteral("standBy"), e.standBy},
        {QStringLiteral("textos"),
         QJsonObject{{QStringLiteral("peso"), e.muestra(e.Peso)},
                     {QStringLiteral("acumulado"), e.muestra(e.Acumulado)},
                     {QStringLiteral("despacho"), e.muestra(e.Despacho)},
                     {QStringLiteral("resto"), e.muestra(e.Resto)},
                     {QStringLiteral("caudal"), e.muestra(e.Caudal)},
                     {QStringLiteral("grueso"), e.muestra(e.CGrueso)},
                     {QStringLiteral("fino"), e.muestra(e.CFino)}}},
    };
}

QByteArray MonitorWeb::estadoActual(bool conTendencia) const
{
    QJsonObject o{{QStringLiteral("tipo"), QStringLiteral("estado")},
                  {QStringLiteral("estado"), json(m_ultimo, m_vigente, m_motivo)}};
    if (conTendencia) {
        QJsonArray t;
        for (const Punto& p : m_tendencia)
            t.append(QJsonArray{double(p.ms), p.peso});
        o.insert(QStringLiteral("tendencia"), t);
    }
    return ::json(o);
}

void MonitorWeb::publica(const EstadoEstacion& e)
{
    const qint64 ahora = Reloj::ms();
    if (m_ultimaMs >= 0 && e.abierta)
        m_periodoMs = ahora - m_ultimaMs;
    m_ultimo = e;
    m_ultimaMs = ahora;
    m_vigente = e.abierta && e.conectado;
    m_motivo = !e.abierta ? QStringLiteral("Estación cerrada")
                          : (!e.conectado ? QStringLiteral("Sin respuesta del indicador") : QString());
    if (e.conectado) {
        const qint64 ms = (e.instante.isValid() ? e.instante : QDateTime::currentDateTime()).toMSecsSinceEpoch();
        m_tendencia.append({ms, e.Peso});
        while (!m_tendencia.isEmpty() && m_tendencia.constFirst().ms < ms - kTendenciaMs)
            m_tendencia.removeFirst();
    }
    difundeEstado();
}

void MonitorWeb::estacionCerrada()
{
    m_ultimo.abierta = false;
    m_vigente = false;
    m_motivo = QStringLiteral("Estación cerrada");
    m_ultimaMs = -1;
    difundeEstado();
}

void MonitorWeb::sigue(EstacionPesaje* estacion)
{
    connect(estacion, &EstacionPesaje::estadoCambiado, this, &MonitorWeb::publica);
    connect(estacion, &EstacionPesaje::cerrada, this, &MonitorWeb::estacionCerrada);
}

void MonitorWeb::vigila()
{
    const QList<QByteArray> vencidas = m_sesiones.purga();
    if (!vencidas.isEmpty()) {
        for (const ClienteWs& c : std::as_const(m_clientes)) {
            if (c.ws && !c.sesion.isEmpty() && vencidas.contains(c.sesion))
                c.ws->close(QWebSocketProtocol::CloseCode(4001), QStringLiteral("Sesión vencida"));
        }
    }
    // The station is open but no poll has come back: the values are old.
    const qint64 limite = std::max<qint64>(kSinLecturasMs, 3 * m_periodoMs);
    if (m_vigente && m_ultimaMs >= 0 && Reloj::ms() - m_ultimaMs > limite) {
        m_vigente = false;
        m_motivo = QStringLiteral("Sin respuesta del indicador");
        difundeEstado();
    }
}

void MonitorWeb::difundeEstado()
{
    // Nothing to build on the station's poll while no page is open.
    if (m_clientes.isEmpty())
        return;
    const QString texto = QString::fromUtf8(estadoActual(false));
    for (qsizetype i = m_clientes.size() - 1; i >= 0; --i) {
        QWebSocket* ws = m_clientes.at(i).ws;
        if (!ws) {
            m_clientes.removeAt(i);
            continue;
        }
        if (ws->bytesToWrite() > kMaxPendienteWs) {
            ws->abort();
            continue;
        }
        ws->sendTextMessage(texto);
    }
}

void MonitorWeb::nuevoWebSocket()
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
        const QNetworkRequest r = ws->request();
        const QByteArray sid = sesionDe(r.rawHeader("Cookie"));
        const QString origen = ws->origin();
        const bool mismoOrigen =
            origen.isEmpty() || QUrl(origen).authority() == QString::fromUtf8(r.rawHeader("Host"));
        if (r.url().path() != u"/ws/estado" || !mismoOrigen || !m_sesiones.busca(sid, false)) {
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("Sesión no iniciada"));
            continue;
        }
        m_clientes.append({ws, sid});
        ws->sendTextMessage(QString::fromUtf8(estadoActual(true)));
    }
}
