// tolvex-bench-planta: the plant page at the scale of a plant, on this
// machine. Hosts the indicators itself (a simulator thread per workstation,
// its lines ids 1..L on one port, standing still), starts N
// `tolvex-planta puesto` processes on one shared PostgreSQL database (the
// first also serves the web monitor), and opens C WebSockets on /ws/planta,
// 16 from each loopback address from 127.0.0.2 on (the monitor takes 24
// connections from one address). For --segundos it changes one line's
// weight at a time, round robin over every line, each time to a value never
// used before, and each page takes the delay from the change (this
// process's clock) to the first message that shows it. Meanwhile it counts
// the database's commits (pg_stat_database) and the notifications of the
// plant channel (a LISTEN connection of its own). Every publishing statement
// sends one notification; every connection that listens (the monitor's and
// this program's) reads them in transactions of its own, which count as
// commits too. Then it stops changing, waits, and checks that every page and
// /api/planta show every line's weight as its indicator has it now. Prints
//   workstations N lines L browsers C changes X samples S missing M latency_ms p50 A p99 B max Z
//   latency_ms remote min A p50 B p99 C own min D p50 E p99 F
//   publish_cpu_pct mean A max B process_cpu_pct mean C max D monitor_process_cpu_pct E statements S failures F
//   without_publishing process_cpu_pct mean A max B difference C   (--sin-planta-tambien)
//   floor statements S cpu_ms F publisher_cpu_ms P ratio R
//   db commits_per_s X notifications_per_s Y window_s W
//   driver_cpu_pct X loadavg L
//   final ok                                                      (or the mismatches)
// "own" are the lines of the monitor's workstation, which it knows first
// hand. publish_cpu_pct is each workstation's publishing thread's CPU over
// its wall time, process_cpu_pct the whole workstation's (both as % of one
// core; process_cpu_pct over the workstations without the monitor). The
// floor runs the publisher's statement, with the payloads the channel
// carried, as many times as the publishers did, in a bare loop on one QPSQL
// connection (a temporary table of the same shape, a channel nobody
// listens to), timed by this thread's CPU, the cheapest of three rounds.
// With --sin-planta-tambien the same workstations run again, as long as
// --segundos-sin, without publishing and without the monitor, under the
// same changes.
//
// The plant table is emptied first (the rows of earlier runs would be shown
// as workstations gone quiet). Exits non-zero on any mismatch, any
// workstation that dies or fails a statement, a page that closes, or a
// change a page never showed (but for one replaced within a second, which
// the publisher may rightly skip: it sends the last state).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSocketNotifier>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "ClienteWeb.h"
#include "ConnectionString.h"
#include "Indicador.h"
#include "PublicadorPlanta.h"
#include "SimuladorEnHilo.h"

namespace {

// Change values: kBase + the change's number, so a value names its change.
constexpr quint32 kBase = 100000;
// A change replaced sooner than this may be overwritten before it is
// published (the publisher sends the last state): not counted as missing.
constexpr qint64 kMinimoVisibleNs = 1000000000;
const QString kCanal = QStringLiteral("tolvex_planta");
// Pages per loopback address: the monitor takes 24 connections from one.
constexpr int kGrupo = 16;

QString g_fallo; // why the run stops, empty while it goes on
int g_senal[2] = {-1, -1};

void alSenal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto r = ::write(g_senal[1], &c, 1);
}

void falla(const QString& porque)
{
    if (g_fallo.isEmpty())
        g_fallo = porque;
}

void aviso(const QString& texto)
{
    std::fprintf(stderr, "tolvex-bench-planta: %s\n", qPrintable(texto));
}

qint64 cpuHiloNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double cpuProceso()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop until cond holds (true), ms pass or the run fails (false).
bool espera(const std::function<bool()>& cond, qint64 ms)
{
    if (cond())
        return true;
    QEventLoop bucle;
    QTimer revisa;
    revisa.setInterval(10);
    QElapsedTimer t;
    t.start();
    bool ok = false;
    QObject::connect(&revisa, &QTimer::timeout, &bucle, [&] {
        if (cond()) {
            ok = true;
            bucle.quit();
        } else if (!g_fallo.isEmpty() || t.elapsed() > ms) {
            bucle.quit();
        }
    });
    revisa.start();
    bucle.exec();
    return ok;
}

// A workstation's indicators, on a simulator thread of this process.
struct Indicadores
{
    std::vector<std::unique_ptr<IndicadorSimulado>> otros; // outlive the server that answers for them
    std::unique_ptr<SimuladorEnHilo> sim;
    std::vector<IndicadorSimulado*> linea; // line l is linea[l - 1]
};

// What a workstation prints at the end.
struct Cuenta
{
    qint64 cpuNs = 0;
    qint64 sentencias = 0;
    qint64 fallos = 0;
    double cpuS = 0;
    double paredS = 0;
};

// A tolvex-planta puesto process.
class Puesto
{
public:
    Puesto(int numero, const QString& programa, const QStringList& argumentos, const QProcessEnvironment& entorno)
        : m_numero(numero)
    {
        m_p.setProgram(programa);
        m_p.setArguments(argumentos);
        m_p.setProcessEnvironment(entorno);
        m_p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_p, &QProcess::readyReadStandardOutput, &m_p, [this] { lee(); });
        QObject::connect(&m_p, &QProcess::errorOccurred, &m_p, [this](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                falla(QStringLiteral("no se pudo iniciar %1: %2").arg(m_p.program(), m_p.errorString()));
        });
        QObject::connect(&m_p, &QProcess::finished, &m_p, [this](int codigo, QProcess::ExitStatus estado) {
            lee();
            if (!m_terminando || estado != QProcess::NormalExit || codigo != 0)
                falla(QStringLiteral("el puesto %1 terminó (%2)")
                          .arg(m_numero)
                          .arg(estado == QProcess::NormalExit ? QStringLiteral("código %1").arg(codigo)
                                                              : QStringLiteral("señal")));
        });
        m_p.start();
    }
    ~Puesto() { mata(); }

    bool listo() const { return m_listo; }
    const QString& id() const { return m_id; }
    const QString& web() const { return m_web; }
    const std::optional<Cuenta>& cuenta() const { return m_cuenta; }
    bool terminado() const { return m_p.state() == QProcess::NotRunning; }

    void termina()
    {
        m_terminando = true;
        if (m_p.state() == QProcess::Running) {
            m_p.write("fin\n");
            m_p.closeWriteChannel();
        }
    }
    void mata()
    {
        m_terminando = true;
        if (m_p.state() != QProcess::NotRunning) {
            m_p.kill();
            m_p.waitForFinished(5000);
        }
    }

private:
    void lee()
    {
        while (m_p.canReadLine()) {
            const QString l = QString::fromUtf8(m_p.readLine()).trimmed();
            const QStringList w = l.split(u' ', Qt::SkipEmptyParts);
            if (w.value(0) == u"puesto" && w.size() == 2) {
                m_id = w[1];
            } else if (w.value(0) == u"web" && w.size() >= 2) {
                m_web = w[1];
            } else if (l == u"listo") {
                m_listo = true;
            } else if (w.value(0) == u"planta" && w.size() == 11) {
                Cuenta c;
                c.cpuNs = w[2].toLongLong();
                c.sentencias = w[4].toLongLong();
                c.fallos = w[6].toLongLong();
                c.cpuS = w[8].toDouble();
                c.paredS = w[10].toDouble();
                m_cuenta = c;
            }
        }
    }

    const int m_numero;
    QProcess m_p;
    QString m_id;
    QString m_web;
    bool m_listo = false;
    bool m_terminando = false;
    std::optional<Cuenta> m_cuenta;
};

// A plant page's WebSocket from a loopback address of its own: the monitor
// takes at most 24 connections from one address, and a plant's browsers
// are on machines of their own. Reads text messages (RFC 6455: unmasked
// frames from the server, fragments, pings answered) and sends nothing else.
class PaginaWs : public QObject
{
public:
    std::function<void(const QString&)> alMensaje;
    std::function<void(const QString&)> alCerrar;

    PaginaWs(const QHostAddress& desde, const QUrl& base, const QByteArray& cookie, QObject* parent)
        : QObject(parent), m_s(new QTcpSocket(this))
    {
        QByteArray nonce(16, '\0');
        for (char& c : nonce)
            c = char(QRandomGenerator::global()->bounded(256));
        m_clave = nonce.toBase64();
        connect(m_s, &QTcpSocket::connected, this, [this, base, cookie] {
            m_s->write("GET /ws/planta HTTP/1.1\r\nHost: " + base.authority().toUtf8() +
                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + m_clave +
                       "\r\nSec-WebSocket-Version: 13\r\nOrigin: http://" + base.authority().toUtf8() +
                       "\r\nCookie: " + cookie + "\r\n\r\n");
        });
        connect(m_s, &QTcpSocket::readyRead, this, [this] { lee(); });
        connect(m_s, &QTcpSocket::disconnected, this, [this] { cierra(QStringLiteral("conexión cerrada")); });
        connect(m_s, &QTcpSocket::errorOccurred, this, [this] { cierra(m_s->errorString()); });
        if (!m_s->bind(desde))
            QTimer::singleShot(0, this, [this, desde] { cierra(QStringLiteral("no se pudo usar ") + desde.toString()); });
        else
            m_s->connectToHost(QHostAddress(base.host()), quint16(base.port()));
    }
    void abandona()
    {
        alCerrar = nullptr;
        m_s->abort();
    }

private:
    void cierra(const QString& porque)
    {
        if (auto f = std::exchange(alCerrar, nullptr))
            f(porque);
    }
    void lee()
    {
        m_buf += m_s->readAll();
        if (!m_abierta) {
            const qsizetype fin = m_buf.indexOf("\r\n\r\n");
            if (fin < 0)
                return;
            const QByteArray cabecera = m_buf.left(fin);
            m_buf.remove(0, fin + 4);
            const QByteArray aceptada =
                QCryptographicHash::hash(m_clave + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
                    .toBase64();
            if (!cabecera.startsWith("HTTP/1.1 101") || !cabecera.contains("Sec-WebSocket-Accept: " + aceptada)) {
                cierra(QStringLiteral("el monitor no aceptó el WebSocket: ") + QString::fromUtf8(cabecera.left(80)));
                return;
            }
            m_abierta = true;
        }
        for (;;) {
            if (m_buf.size() < 2)
                return;
            const auto b0 = quint8(m_buf[0]), b1 = quint8(m_buf[1]);
            qsizetype pos = 2;
            quint64 largo = b1 & 0x7F;
            if (largo == 126) {
                if (m_buf.size() < 4)
                    return;
                largo = quint64(quint8(m_buf[2])) << 8 | quint8(m_buf[3]);
                pos = 4;
            } else if (largo == 127) {
                if (m_buf.size() < 10)
                    return;
                largo = 0;
                for (int i = 2; i < 10; ++i)
                    largo = largo << 8 | quint8(m_buf[i]);
                pos = 10;
            }
            if (b1 & 0x80 || largo > 64 * 1024 * 1024) {
                cierra(QStringLiteral("trama no válida del monitor"));
                m_s->abort();
                return;
            }
            if (quint64(m_buf.size() - pos) < largo)
                return;
            const QByteArray carga = m_buf.mid(pos, qsizetype(largo));
            m_buf.remove(0, pos + qsizetype(largo));
            const int op = b0 & 0x0F;
            if (op == 1 || op == 0) {
                m_mensaje += carga;
                if (b0 & 0x80) {
                    if (alMensaje)
                        alMensaje(QString::fromUtf8(m_mensaje));
                    m_mensaje.clear();
                }
            } else if (op == 8) {
                cierra(QStringLiteral("el monitor cerró: ") + QString::fromUtf8(carga.mid(2)));
                m_s->abort();
                return;
            } else if (op == 9 && carga.size() <= 125) {
                // Pong, masked as every frame from a client.
                QByteArray pong{"\x8A"};
                pong.append(char(0x80 | carga.size()));
                const QByteArray mascara = m_clave.left(4);
                pong += mascara;
                for (qsizetype i = 0; i < carga.size(); ++i)
                    pong.append(char(carga[i] ^ mascara[i % 4]));
                m_s->write(pong);
            }
        }
    }

    QTcpSocket* m_s;
    QByteArray m_clave;
    QByteArray m_buf;
    QByteArray m_mensaje;
    bool m_abierta = false;
};

struct Cambio
{
    int puesto;
    int linea;
    qint64 ns;          // when it was made
    qint64 hastaNs = -1; // when the line changed again
};

// Starts the workstations (the first one alone, the others once it is
// ready) and waits for all of them.
std::vector<std::unique_ptr<Puesto>> arranca(int n, const QString& programa, const QString& dir,
                                              const QStringList& comunes, const QVector<quint16>& puertos,
                                              const QString& clave, const QProcessEnvironment& entorno)
{
    std::vector<std::unique_ptr<Puesto>> ps;
    for (int k = 0; k < n; ++k) {
        QStringList a = comunes;
        a << QStringLiteral("--dir") << QStringLiteral("%1/%2").arg(dir).arg(k + 1) << QStringLiteral("--enlace")
          << QString::number(puertos[k]);
        if (k == 0 && !clave.isEmpty())
            a << QStringLiteral("--web") << QStringLiteral("0") << QStringLiteral("--web-clave") << clave;
        ps.push_back(std::make_unique<Puesto>(k + 1, programa, a, entorno));
        if (k == 0 && !espera([&] { return ps[0]->listo(); }, 60000)) {
            falla(QStringLiteral("el puesto 1 no quedó listo"));
            return ps;
        }
    }
    if (!espera([&] { return std::all_of(ps.cbegin(), ps.cend(), [](const auto& p) { return p->listo(); }); },
                180000))
        falla(QStringLiteral("no todos los puestos quedaron listos"));
    return ps;
}

// Ends the workstations and collects what they print.
bool terminaTodos(std::vector<std::unique_ptr<Puesto>>& ps)
{
    for (auto& p : ps)
        p->termina();
    const bool ok = espera(
        [&] { return std::all_of(ps.cbegin(), ps.cend(), [](const auto& p) { return p->terminado() && p->cuenta(); }); },
        60000);
    if (!ok)
        falla(QStringLiteral("no todos los puestos terminaron"));
    return ok && g_fallo.isEmpty();
}

QSqlDatabase abre(const ConnectionString& cs, const QString& nombre)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), nombre);
    db.setHostName(cs.host);
    db.setPort(cs.port);
    db.setDatabaseName(cs.database);
    db.setUserName(cs.user);
    db.setPassword(cs.password);
    if (!db.open())
        falla(QStringLiteral("no se pudo abrir la base: ") + db.lastError().text());
    return db;
}

qint64 commits(QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()")) ||
        !q.next())
        return -1;
    return q.value(0).toLongLong();
}

struct Media
{
    double media = 0;
    double maximo = 0;
};

Media media(const QVector<double>& v)
{
    Media m;
    for (double x : v) {
        m.media += x;
        m.maximo = std::max(m.maximo, x);
    }
    if (!v.isEmpty())
        m.media /= double(v.size());
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("La página de la planta a escala: N puestos tolvex-planta sobre una base PostgreSQL "
                       "compartida, páginas en vivo en /ws/planta y cambios de peso medidos hasta ellas."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("postgres"), QStringLiteral("Base PostgreSQL compartida (se vacía su tabla Planta)."),
         QStringLiteral("CONEXION")},
        {QStringLiteral("puestos"), QStringLiteral("Puestos (20)."), QStringLiteral("N"), QStringLiteral("20")},
        {QStringLiteral("lineas"), QStringLiteral("Líneas por puesto (4)."), QStringLiteral("N"), QStringLiteral("4")},
        {QStringLiteral("clientes"), QStringLiteral("Páginas de la planta (50)."), QStringLiteral("N"),
         QStringLiteral("50")},
        {QStringLiteral("segundos"), QStringLiteral("Duración de la medición (60)."), QStringLiteral("S"),
         QStringLiteral("60")},
        {QStringLiteral("cambio"), QStringLiteral("Un cambio de peso cada MS milisegundos en promedio (50)."), QStringLiteral("MS"),
         QStringLiteral("50")},
        {QStringLiteral("poll"), QStringLiteral("Período de encuesta de las estaciones en ms (100)."),
         QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("sin-planta-tambien"),
         QStringLiteral("Después, los mismos puestos sin publicar, para comparar su CPU.")},
        {QStringLiteral("segundos-sin"), QStringLiteral("Duración de esa segunda fase (30)."), QStringLiteral("S"),
         QStringLiteral("30")},
        {QStringLiteral("programa"), QStringLiteral("El programa tolvex-planta (junto a éste)."),
         QStringLiteral("RUTA")},
    });
    p.process(app);
    bool ok[7] = {};
    const int nPuestos = p.value(QStringLiteral("puestos")).toInt(&ok[0]);
    const int nLineas = p.value(QStringLiteral("lineas")).toInt(&ok[1]);
    const int nClientes = p.value(QStringLiteral("clientes")).toInt(&ok[2]);
    const int segundos = p.value(QStringLiteral("segundos")).toInt(&ok[3]);
    const int cambioMs = p.value(QStringLiteral("cambio")).toInt(&ok[4]);
    const int pollMs = p.value(QStringLiteral("poll")).toInt(&ok[5]);
    const int segundosSin = p.value(QStringLiteral("segundos-sin")).toInt(&ok[6]);
    const QString postgres = p.value(QStringLiteral("postgres"));
    const ConnectionString cs = ConnectionString::parse(postgres, QDir::currentPath());
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || nPuestos < 1 || nPuestos > 200 ||
        nLineas < 1 || nLineas > 32 || nClientes < 1 || segundos < 1 || cambioMs < 1 || pollMs < 10 ||
        segundosSin < 1 || cs.engine != ConnectionString::PostgreSQL) {
        aviso(QStringLiteral("valores no válidos (hace falta --postgres de una base PostgreSQL)"));
        std::fputs(qPrintable(p.helpText()), stderr);
        return 2;
    }
    const QString programa = p.isSet(QStringLiteral("programa"))
                                 ? p.value(QStringLiteral("programa"))
                                 : QCoreApplication::applicationDirPath() + QStringLiteral("/tolvex-planta");

    // SIGINT and SIGTERM stop the run as a failure does: the workstations
    // are ended, the directories removed.
    if (::pipe(g_senal) != 0)
        return 2;
    QSocketNotifier senal(g_senal[0], QSocketNotifier::Read);
    QObject::connect(&senal, &QSocketNotifier::activated, &app, [] {
        char c;
        [[maybe_unused]] const auto r = ::read(g_senal[0], &c, 1);
        falla(QStringLiteral("interrumpido"));
    });
    std::signal(SIGINT, alSenal);
    std::signal(SIGTERM, alSenal);
    std::signal(SIGPIPE, SIG_IGN);

    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        aviso(QStringLiteral("no se pudo crear un directorio temporal"));
        return 2;
    }
    QProcessEnvironment entorno = QProcessEnvironment::systemEnvironment();
    entorno.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp.path());

    // The driver's connection: notifications, commits, emptying the table.
    QSqlDatabase escucha = abre(cs, QStringLiteral("escucha"));
    // The commits are read on a connection that does nothing else.
    QSqlDatabase contador = abre(cs, QStringLiteral("contador"));
    if (!g_fallo.isEmpty()) {
        aviso(g_fallo);
        return 2;
    }
    {
        QSqlQuery q(contador);
        if (q.exec(QStringLiteral("SELECT to_regclass('planta') IS NOT NULL")) && q.next() && q.value(0).toBool())
            q.exec(QStringLiteral("DELETE FROM planta"));
    }
    bool midiendo = false;
    qint64 notificaciones = 0;
    QStringList cargas; // the payloads seen while measuring
    if (!escucha.driver()->subscribeToNotification(kCanal)) {
        aviso(QStringLiteral("no se pudo escuchar el canal ") + kCanal);
        return 2;
    }
    QObject::connect(escucha.driver(), &QSqlDriver::notification, &app,
                     [&](const QString& nombre, QSqlDriver::NotificationSource, const QVariant& carga) {
                         if (nombre != kCanal || !midiendo)
                             return;
                         ++notificaciones;
                         cargas.append(carga.toString());
                     });

    // The indicators: every line at a weight of its own, standing still.
    std::vector<Indicadores> plantas(static_cast<size_t>(nPuestos));
    QVector<quint16> puertos;
    for (int k = 0; k < nPuestos; ++k) {
        Indicadores& in = plantas[size_t(k)];
        in.sim = std::make_unique<SimuladorEnHilo>();
        if (!in.sim->ok()) {
            aviso(QStringLiteral("el simulador no escucha"));
            return 2;
        }
        in.linea.push_back(&in.sim->indicador());
        for (int l = 2; l <= nLineas; ++l) {
            in.otros.push_back(std::make_unique<IndicadorSimulado>());
            IndicadorSimulado* ind = in.otros.back().get();
            in.linea.push_back(ind);
            SimuladorEnHilo* s = in.sim.get();
            QMetaObject::invokeMethod(
                &s->servidor(), [s, ind, l] { s->servidor().agrega(*ind, quint8(l)); }, Qt::BlockingQueuedConnection);
        }
        for (int l = 1; l <= nLineas; ++l) {
            in.linea[size_t(l - 1)]->setReloj(false);
            in.linea[size_t(l - 1)]->setValor32(Indicador::kPeso, quint32(1000 + 100 * k + l));
        }
        puertos.append(in.sim->puerto());
    }
    const auto peso = [&](int k, int l) { return plantas[size_t(k)].linea[size_t(l - 1)]->valor32(Indicador::kPeso); };

    QElapsedTimer reloj;
    reloj.start();
    QVector<Cambio> cambios;
    QHash<int, int> ultimoCambio; // line key -> its last change
    const auto clave = [](int k, int l) { return k * 1000 + l; };
    const int total = nPuestos * nLineas;
    // One line at a time, round robin; consecutive changes on different
    // workstations. The gaps are random around --cambio (half to one and a
    // half times it), so that the changes fall anywhere in the stations'
    // and the publishers' periods instead of at one phase of them.
    QTimer cambiador;
    cambiador.setTimerType(Qt::PreciseTimer);
    cambiador.setSingleShot(true);
    const auto siguiente = [&] { return cambioMs / 2 + int(QRandomGenerator::global()->bounded(cambioMs + 1)); };
    cambiador.setInterval(siguiente());
    QObject::connect(&cambiador, &QTimer::timeout, &app, [&] {
        cambiador.start(siguiente());
        const int i = int(cambios.size());
        const int k = i % nPuestos;
        const int l = 1 + (i / nPuestos) % nLineas;
        const qint64 ns = reloj.nsecsElapsed();
        plantas[size_t(k)].linea[size_t(l - 1)]->setValor32(Indicador::kPeso, kBase + quint32(i));
        const auto it = ultimoCambio.constFind(clave(k, l));
        if (it != ultimoCambio.cend())
            cambios[*it].hastaNs = ns;
        ultimoCambio.insert(clave(k, l), i);
        cambios.append({k, l, ns});
    });

    const QStringList comunes{QStringLiteral("puesto"), QStringLiteral("--postgres"), postgres, QStringLiteral("--lineas"),
                              QString::number(nLineas), QStringLiteral("--poll"), QString::number(pollMs)};
    const QString claveWeb = QStringLiteral("banco-planta");
    const double cpu0 = cpuProceso();
    QElapsedTimer pared;
    pared.start();

    // Phase 1: publishing, the monitor on workstation 1, the pages.
    std::vector<std::unique_ptr<Puesto>> ps =
        arranca(nPuestos, programa, tmp.path() + QStringLiteral("/a"), comunes, puertos, claveWeb, entorno);
    QHash<QString, int> indice;
    for (int k = 0; g_fallo.isEmpty() && k < nPuestos; ++k)
        indice.insert(ps[size_t(k)]->id(), k);
    if (g_fallo.isEmpty() && indice.size() != nPuestos)
        falla(QStringLiteral("dos puestos con la misma identidad"));
    const QUrl base(g_fallo.isEmpty() ? ps[0]->web() : QString());
    QByteArray cookie;
    if (g_fallo.isEmpty() && (cookie = ClienteWeb::ingresa(base, claveWeb)).isEmpty())
        falla(QStringLiteral("no se pudo ingresar en ") + base.toString());

    struct Pagina
    {
        PaginaWs* ws = nullptr;
        bool inicial = false;
        QHash<int, double> visto; // line key -> the last weight shown
    };
    std::vector<Pagina> paginas(static_cast<size_t>(nClientes));
    std::vector<std::vector<char>> vistoPor; // change -> page -> seen
    QVector<double> latencias, remotas, propias;
    QObject dueno; // the pages and their handlers, gone before what they use
    const auto recibe = [&](int c, const QString& texto) {
        const qint64 ahora = reloj.nsecsElapsed();
        const QJsonObject m = QJsonDocument::fromJson(texto.toUtf8()).object();
        const QString tipo = m.value(QStringLiteral("tipo")).toString();
        if (tipo != u"planta" && tipo != u"puestos")
            return;
        Pagina& pg = paginas[size_t(c)];
        pg.inicial = pg.inicial || tipo == u"planta";
        for (const QJsonValue& pv : m.value(QStringLiteral("puestos")).toArray()) {
            const QJsonObject po = pv.toObject();
            const int k = indice.value(po.value(QStringLiteral("puesto")).toString(), -1);
            if (k < 0)
                continue;
            for (const QJsonValue& lv : po.value(QStringLiteral("lineas")).toArray()) {
                const QJsonObject lo = lv.toObject();
                const int l = lo.value(QStringLiteral("linea")).toInt();
                const QJsonValue v = lo.value(QStringLiteral("peso"));
                if (l < 1 || l > nLineas || !v.isDouble())
                    continue;
                double& ultimo = pg.visto[clave(k, l)];
                if (ultimo == v.toDouble())
                    continue;
                ultimo = v.toDouble();
                const qint64 i = qint64(ultimo) - kBase;
                if (i < 0 || i >= cambios.size() || cambios[i].puesto != k || cambios[i].linea != l)
                    continue;
                if (vistoPor.size() <= size_t(i))
                    vistoPor.resize(size_t(i) + 1, std::vector<char>(size_t(nClientes), 0));
                char& visto = vistoPor[size_t(i)][size_t(c)];
                if (visto)
                    continue;
                visto = 1;
                const double ms = double(ahora - cambios[i].ns) / 1e6;
                latencias.append(ms);
                (k == 0 ? propias : remotas).append(ms);
            }
        }
    };
    for (int c = 0; g_fallo.isEmpty() && c < nClientes; ++c) {
        // kGrupo pages from each address, 127.0.0.2 on.
        auto* ws = new PaginaWs(QHostAddress(QHostAddress(QHostAddress::LocalHost).toIPv4Address() + 1 + quint32(c / kGrupo)),
                                base, cookie, &dueno);
        paginas[size_t(c)].ws = ws;
        ws->alMensaje = [&, c](const QString& m) { recibe(c, m); };
        ws->alCerrar = [c](const QString& porque) { falla(QStringLiteral("la página %1 se cerró: %2").arg(c + 1).arg(porque)); };
    }
    if (g_fallo.isEmpty() &&
        !espera([&] { return std::all_of(paginas.cbegin(), paginas.cend(), [](const Pagina& pg) { return pg.inicial; }); },
                30000))
        falla(QStringLiteral("las páginas no abrieron a tiempo"));
    // Every page shows every line as its indicator has it.
    const auto alDia = [&](const Pagina& pg) {
        for (int k = 0; k < nPuestos; ++k)
            for (int l = 1; l <= nLineas; ++l)
                if (pg.visto.value(clave(k, l), -1) != double(peso(k, l)))
                    return false;
        return true;
    };
    if (g_fallo.isEmpty() &&
        !espera([&] { return std::all_of(paginas.cbegin(), paginas.cend(), [&](const Pagina& pg) { return pg.inicial && alDia(pg); }); },
                60000))
        falla(QStringLiteral("las páginas no mostraron todos los puestos a tiempo"));

    // The measuring window.
    qint64 commits0 = 0, commits1 = 0;
    double ventana = 0;
    if (g_fallo.isEmpty()) {
        commits0 = commits(contador);
        midiendo = true;
        const qint64 desde = reloj.nsecsElapsed();
        cambiador.start();
        espera([] { return false; }, qint64(segundos) * 1000);
        cambiador.stop();
        ventana = double(reloj.nsecsElapsed() - desde) / 1e9;
        midiendo = false;
        commits1 = commits(contador);
    }
    const qsizetype medidos = cambios.size();

    // Still, then every line's weight everywhere.
    QStringList diferencias;
    if (g_fallo.isEmpty()) {
        espera([] { return false; }, 3000);
        for (int c = 0; c < nClientes; ++c)
            for (int k = 0; k < nPuestos; ++k)
                for (int l = 1; l <= nLineas; ++l) {
                    const double v = paginas[size_t(c)].visto.value(clave(k, l), -1);
                    if (v != double(peso(k, l)))
                        diferencias << QStringLiteral("page %1 workstation %2 line %3 shows %4 indicator %5")
                                           .arg(c + 1)
                                           .arg(k + 1)
                                           .arg(l)
                                           .arg(v)
                                           .arg(peso(k, l));
                }
        QNetworkAccessManager red;
        QUrl u = base;
        u.setPath(QStringLiteral("/api/planta"));
        QNetworkRequest req(u);
        req.setRawHeader("Cookie", cookie);
        QNetworkReply* r = red.get(req);
        espera([r] { return r->isFinished(); }, 10000);
        const QJsonObject planta = QJsonDocument::fromJson(r->readAll()).object();
        if (!r->isFinished() || r->error() != QNetworkReply::NoError)
            diferencias << QStringLiteral("api/planta: ") + r->errorString();
        r->deleteLater();
        QHash<int, QJsonObject> lineasApi;
        QSet<int> vigentes;
        for (const QJsonValue& pv : planta.value(QStringLiteral("puestos")).toArray()) {
            const QJsonObject po = pv.toObject();
            const int k = indice.value(po.value(QStringLiteral("puesto")).toString(), -1);
            if (k < 0)
                continue;
            if (po.value(QStringLiteral("vigente")).toBool())
                vigentes.insert(k);
            for (const QJsonValue& lv : po.value(QStringLiteral("lineas")).toArray())
                lineasApi.insert(clave(k, lv.toObject().value(QStringLiteral("linea")).toInt()), lv.toObject());
        }
        for (int k = 0; k < nPuestos; ++k) {
            if (!vigentes.contains(k))
                diferencias << QStringLiteral("api/planta workstation %1 not current").arg(k + 1);
            for (int l = 1; l <= nLineas; ++l) {
                const QJsonValue v = lineasApi.value(clave(k, l)).value(QStringLiteral("peso"));
                if (!v.isDouble() || v.toDouble() != double(peso(k, l)))
                    diferencias << QStringLiteral("api/planta workstation %1 line %2 shows %3 indicator %4")
                                       .arg(k + 1)
                                       .arg(l)
                                       .arg(v.isDouble() ? QString::number(v.toDouble()) : QStringLiteral("null"))
                                       .arg(peso(k, l));
            }
        }
    }

    for (Pagina& pg : paginas)
        if (pg.ws)
            pg.ws->abandona();
    std::vector<Cuenta> cuentas;
    if (g_fallo.isEmpty() && terminaTodos(ps))
        for (auto& pu : ps)
            cuentas.push_back(*pu->cuenta());
    ps.clear();

    // Phase 2: the same without publishing nor the monitor.
    std::vector<Cuenta> sinPlanta;
    if (g_fallo.isEmpty() && p.isSet(QStringLiteral("sin-planta-tambien"))) {
        ps = arranca(nPuestos, programa, tmp.path() + QStringLiteral("/b"),
                     QStringList(comunes) << QStringLiteral("--sin-planta"), puertos, {}, entorno);
        if (g_fallo.isEmpty()) {
            cambiador.start();
            espera([] { return false; }, qint64(segundosSin) * 1000);
            cambiador.stop();
        }
        if (g_fallo.isEmpty() && terminaTodos(ps))
            for (auto& pu : ps)
                sinPlanta.push_back(*pu->cuenta());
        ps.clear();
    }
    if (!g_fallo.isEmpty()) {
        aviso(g_fallo);
        return 1;
    }
    const double cpuDriver = (cpuProceso() - cpu0) / (double(pared.elapsed()) / 1000.0) * 100.0;

    // The floor: the publishers' statements, with the payloads the channel
    // carried, in a bare loop.
    qint64 sentencias = 0, fallos = 0, cpuPublicador = 0;
    for (const Cuenta& c : cuentas) {
        sentencias += c.sentencias;
        fallos += c.fallos;
        cpuPublicador += c.cpuNs;
    }
    QVector<QVariantList> datos;
    const QString canal = QStringLiteral("tolvex_planta_suelo");
    for (const QString& c : std::as_const(cargas)) {
        const QJsonObject o = QJsonDocument::fromJson(c.toUtf8()).object();
        datos.append(PublicadorPlanta::valores(
            canal, o.value(QStringLiteral("puesto")).toString(), o.value(QStringLiteral("nombre")).toString(),
            o.value(QStringLiteral("corrida")).toString(), o.value(QStringLiteral("n")).toInteger(),
            QString::fromUtf8(QJsonDocument(o.value(QStringLiteral("lineas")).toArray()).toJson(QJsonDocument::Compact))));
    }
    qint64 cpuSuelo = 0;
    {
        QSqlDatabase suelo = abre(cs, QStringLiteral("suelo"));
        QSqlQuery q(suelo);
        if (!g_fallo.isEmpty() || datos.isEmpty() ||
            !q.exec(QStringLiteral("CREATE TEMP TABLE planta_suelo (LIKE planta INCLUDING ALL)")) ||
            !q.prepare(PublicadorPlanta::sentencia(QStringLiteral("planta_suelo")))) {
            aviso(QStringLiteral("el piso no pudo ejecutarse: ") + (g_fallo.isEmpty() ? q.lastError().text() : g_fallo));
            return 1;
        }
        // Three rounds, the cheapest counts: a floor.
        for (int vuelta = 0; vuelta < 3; ++vuelta) {
            const qint64 c0 = cpuHiloNs();
            for (qint64 i = 0; i < sentencias; ++i) {
                const QVariantList& d = datos[qsizetype(i % datos.size())];
                for (qsizetype k = 0; k < d.size(); ++k)
                    q.bindValue(int(k), d[k]);
                if (!q.exec()) {
                    aviso(QStringLiteral("el piso falló: ") + q.lastError().text());
                    return 1;
                }
                q.finish();
            }
            const qint64 c = cpuHiloNs() - c0;
            cpuSuelo = vuelta == 0 ? c : std::min(cpuSuelo, c);
        }
    }

    QVector<double> publica, proceso;
    double monitor = 0;
    for (size_t k = 0; k < cuentas.size(); ++k) {
        const Cuenta& c = cuentas[k];
        publica.append(double(c.cpuNs) / 1e9 / c.paredS * 100.0);
        if (k == 0)
            monitor = c.cpuS / c.paredS * 100.0;
        else
            proceso.append(c.cpuS / c.paredS * 100.0);
    }
    if (proceso.isEmpty())
        proceso.append(monitor);

    // A change is missing from a page that never showed it, unless the line
    // changed again too soon for it to be published.
    qint64 faltan = 0;
    for (qsizetype i = 0; i < medidos; ++i) {
        const Cambio& c = cambios[i];
        if (c.hastaNs >= 0 && c.hastaNs - c.ns < kMinimoVisibleNs)
            continue;
        for (int j = 0; j < nClientes; ++j)
            faltan += (size_t(i) < vistoPor.size() && vistoPor[size_t(i)][size_t(j)]) ? 0 : 1;
    }
    using ClienteWeb::percentil;
    std::printf("workstations %d lines %d browsers %d changes %lld samples %lld missing %lld latency_ms p50 %.1f p99 %.1f "
                "max %.1f\n",
                nPuestos, total, nClientes, static_cast<long long>(medidos),
                static_cast<long long>(latencias.size()), static_cast<long long>(faltan), percentil(latencias, 0.5),
                percentil(latencias, 0.99), percentil(latencias, 1.0));
    std::printf("latency_ms remote min %.1f p50 %.1f p99 %.1f own min %.1f p50 %.1f p99 %.1f\n",
                percentil(remotas, 0), percentil(remotas, 0.5), percentil(remotas, 0.99), percentil(propias, 0),
                percentil(propias, 0.5), percentil(propias, 0.99));
    const Media mp = media(publica), mc = media(proceso);
    std::printf("publish_cpu_pct mean %.3f max %.3f process_cpu_pct mean %.2f max %.2f monitor_process_cpu_pct %.2f "
                "statements %lld failures %lld\n",
                mp.media, mp.maximo, mc.media, mc.maximo, monitor, static_cast<long long>(sentencias),
                static_cast<long long>(fallos));
    if (!sinPlanta.empty()) {
        QVector<double> sin;
        for (size_t k = 1; k < sinPlanta.size(); ++k)
            sin.append(sinPlanta[k].cpuS / sinPlanta[k].paredS * 100.0);
        if (sin.isEmpty())
            sin.append(sinPlanta[0].cpuS / sinPlanta[0].paredS * 100.0);
        const Media ms = media(sin);
        std::printf("without_publishing process_cpu_pct mean %.2f max %.2f difference %.2f\n", ms.media, ms.maximo,
                    mc.media - ms.media);
    }
    std::printf("floor statements %lld cpu_ms %.1f publisher_cpu_ms %.1f ratio %.2f\n",
                static_cast<long long>(sentencias), double(cpuSuelo) / 1e6, double(cpuPublicador) / 1e6,
                cpuSuelo > 0 ? double(cpuPublicador) / double(cpuSuelo) : 0.0);
    std::printf("db commits_per_s %.1f notifications_per_s %.1f window_s %.1f\n",
                ventana > 0 && commits0 >= 0 && commits1 >= 0 ? double(commits1 - commits0) / ventana : -1.0,
                ventana > 0 ? double(notificaciones) / ventana : 0.0, ventana);
    QFile carga(QStringLiteral("/proc/loadavg"));
    const QByteArray la = carga.open(QIODevice::ReadOnly) ? carga.readLine().split(' ').value(0) : QByteArray("-");
    std::printf("driver_cpu_pct %.1f loadavg %s\n", cpuDriver, la.constData());
    if (diferencias.isEmpty()) {
        std::printf("final ok\n");
    } else {
        std::printf("final mismatches %lld\n", static_cast<long long>(diferencias.size()));
        for (qsizetype i = 0; i < std::min<qsizetype>(diferencias.size(), 20); ++i)
            std::printf("  %s\n", qPrintable(diferencias[i]));
    }
    std::fflush(stdout);
    return diferencias.isEmpty() && fallos == 0 && faltan == 0 ? 0 : 1;
}
