// tolvex-soak: the real station window, offscreen, recording the batches of
// a simulated indicator running faster than real time, optionally with link
// faults and a database outage. Prints
//   batches B rows R lost L duplicates D
// and exits non-zero unless every batch became exactly one row.
//
// The simulator's clock is driven from here: after a batch completes, the
// process is held in stand-by or loading until the station has polled the
// new accumulator, so that no two batches can reach one row however long a
// faulty poll takes (the station still counts such merges, and they fail
// the run). B counts the batches completed after the station's first poll
// (the accumulator found at opening gives no row by design).
//
// The checks take the rows of this program directory's workstation
// (PUESTO). --puesto NAME makes it one workstation among several on a shared
// database: NAME is typed as the first auxiliary datum (twins type the same
// one), and tickets are shared, so they are increasing but not consecutive.
// --sincronia EPOCH makes two runs with the same seed twins: their batches
// end in the same second with the same weights. --lotes prints "lote TOTAL"
// on stdout once each batch is safely queued, for a driver that kills this
// process.
// --mudo S silences the indicator for S seconds from the middle of the run.
// --stop-on-input lets a driver that watches the run decide: a line "mudo"
// on stdin starts the --mudo silence there and then; any other line, or
// stdin closing, ends the run (as --minutes would).
// --enlace PORT makes the station poll 127.0.0.1:PORT (a relay of the
// driver's) instead of its simulator, whose port is printed as
// "simulador PORT". --bitacoras DIR appends, as they happen, one line per
// batch the simulator completes to DIR/Simulador.log and one per good reading
// the window shows to DIR/Lecturas.log (see the formats below), so both
// survive a kill; DIR outside the program directory, whose disk may fill.
// --linea2 NAME adds line 2, NAME, with a second indicator (id 2) on the
// simulator's port that stands still in stand-by weighing 4321; its station
// (without a window) opens at the start, or at the line "linea2" on stdin
// with --stop-on-input; the web monitor follows it too. "linea2" on stdout
// says it is in the settings and opening.
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QLineEdit>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

#include "Banco.h"
#include "CDatos.h"
#include "Config.h"
#include "ConfigWeb.h"
#include "ConnectionString.h"
#include "Contexto.h"
#include "EstacionPesaje.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "Lineas.h"
#include "MessageBox.h"
#include "MonitorWeb.h"
#include "Programa.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"
#include "Registrador.h"
#include "SimuladorEnHilo.h"
#include "Schema.h"
#include "frmPeso.h"

namespace {

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

using Banco::cpuSegundos;
using Banco::esperaHasta;

double percentil(QVector<double> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = qsizetype(std::ceil(p * double(v.size()))) - 1;
    return v[std::clamp<qsizetype>(i, 0, v.size() - 1)];
}

// Makes the database unavailable and back.
class Corte
{
public:
    explicit Corte(const QString& conexion) : m_cs(ConnectionString::parse(conexion, QDir::currentPath())) {}
    ~Corte() { fin(); }

    bool inicio(QString* error)
    {
        if (m_cs.engine == ConnectionString::SQLite) {
            // A writer holding the lock: every write waits and then fails
            // with "database is locked".
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("corte"));
            db.setDatabaseName(m_cs.path);
            QSqlQuery q(db);
            if (!db.open() || !q.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
                *error = q.lastError().text();
                return false;
            }
        } else {
            // The database refuses new connections; open ones are ended.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("corte"));
            db.setHostName(m_cs.host);
            db.setPort(m_cs.port);
            db.setDatabaseName(QStringLiteral("postgres"));
            db.setUserName(m_cs.user);
            db.setPassword(m_cs.password);
            QSqlQuery q(db);
            if (!db.open() ||
                !q.exec(QStringLiteral("ALTER DATABASE \"%1\" ALLOW_CONNECTIONS false").arg(m_cs.database)) ||
                !q.exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                       "WHERE datname = '%1' AND pid <> pg_backend_pid()")
                            .arg(m_cs.database))) {
                *error = q.lastError().text() + db.lastError().text();
                return false;
            }
        }
        m_activo = true;
        return true;
    }

    void fin()
    {
        if (!m_activo)
            return;
        m_activo = false;
        {
            QSqlDatabase db = QSqlDatabase::database(QStringLiteral("corte"));
            QSqlQuery q(db);
            if (m_cs.engine == ConnectionString::SQLite)
                q.exec(QStringLiteral("ROLLBACK"));
            else
                q.exec(QStringLiteral("ALTER DATABASE \"%1\" ALLOW_CONNECTIONS true").arg(m_cs.database));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("corte"));
    }
    bool activo() const { return m_activo; }

private:
    ConnectionString m_cs;
    bool m_activo = false;
};

// The web monitor for the soak's station on 127.0.0.1 (port 0: any free
// one); the master password is clave, or a random one. Prints
// "web http://127.0.0.1:PORT/ clave CLAVE" on stdout.
std::unique_ptr<MonitorWeb> sirveWeb(const QString& puerto, QString clave, frmPeso* w)
{
    if (clave.isEmpty()) {
        for (int i = 0; i < 12; ++i)
            clave += QChar(u'a' + QRandomGenerator::system()->bounded(26));
    }
    Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass2"), clave, true);
    ConfigWeb c;
    if (puerto.trimmed() == u"0") {
        c.activo = true;
    } else {
        c = ConfigWeb::desde(puerto, QStringLiteral("127.0.0.1"), {}, {}, {}, {});
    }
    auto web = std::make_unique<MonitorWeb>();
    QString error;
    if (!web->inicia(c, &error)) {
        err() << "tolvex-soak: " << error << "\n";
        return nullptr;
    }
    web->sigue(w->estacion());
    QTextStream o(stdout);
    o << "web http://127.0.0.1:" << web->puerto() << "/ clave " << clave << '\n';
    o.flush();
    return web;
}

int cpu(int segundos, int periodo, const QString& dir, const QString& web, const QString& clave)
{
    // The simulator in a process of its own, so only the station is measured.
    QProcess sim;
    const QString exe = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("tolvex-sim"));
    sim.start(exe, {QStringLiteral("--tcp"), QStringLiteral("0")});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        err() << "tolvex-soak: no se pudo iniciar " << exe << "\n";
        return 2;
    }
    const QString linea = QString::fromUtf8(sim.readLine()).trimmed();
    const QString puerto = linea.section(u' ', 1);
    Instalacion ins;
    ins.directorio = dir;
    ins.tcp = QStringLiteral("127.0.0.1:") + puerto;
    ins.id = 1;
    if (!ins.ejecutar()) {
        err() << "tolvex-soak: " << ins.error << "\n";
        return 2;
    }
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QString::number(periodo));
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), QString());
    Programa::leeVariables();
    Registrador reg(dir);
    QWidget principal;
    auto* w = new frmPeso(&principal, &reg);
    qint64 lecturas = 0;
    QObject::connect(w, &frmPeso::lecturaProcesada, w, [&](const LecturaPeso&) { ++lecturas; });
    std::unique_ptr<MonitorWeb> monitor;
    if (!web.isEmpty() && !(monitor = sirveWeb(web, clave, w)))
        return 2;
    w->inicia();
    if (!esperaHasta([&] { return lecturas > 0; }, 10000)) {
        err() << "tolvex-soak: la estación no leyó el indicador\n";
        return 1;
    }
    // Keep the indicator cycling so that the display and the chart change.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    if (auto* run = w->findChild<QPushButton*>(QStringLiteral("Cmd_Run")))
        run->click();
    // The program's own event loop, as the station runs: a polling wait
    // here would be counted against the window.
    const auto mide = [&] {
        QEventLoop bucle;
        QTimer::singleShot(segundos * 1000, Qt::PreciseTimer, &bucle, &QEventLoop::quit);
        bucle.exec();
    };
    const double c0 = cpuSegundos();
    QElapsedTimer t;
    t.start();
    const qint64 l0 = lecturas;
    mide();
    const double c1 = cpuSegundos();
    const double pared = double(t.elapsed()) / 1000.0;
    const qint64 polls = lecturas - l0;
    w->cierraYa();
    delete w;

    // The floor: the diagnostic tool polling the same simulator as often
    // for as long, its CPU taken from the kernel's account of children.
    const QString diag =
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("tolvex-diag"));
    rusage h0{}, h1{};
    getrusage(RUSAGE_CHILDREN, &h0);
    QProcess d;
    d.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer td;
    td.start();
    d.start(diag, {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:") + puerto, QStringLiteral("--id"),
                   QStringLiteral("1"), QStringLiteral("watch"), QStringLiteral("--period"),
                   QString::number(periodo), QStringLiteral("--count"),
                   QString::number(qint64(segundos) * 1000 / periodo)});
    const bool diagOk = d.waitForFinished(segundos * 1000 + 60000) && d.exitCode() == 0;
    const double paredDiag = double(td.elapsed()) / 1000.0;
    getrusage(RUSAGE_CHILDREN, &h1);
    const auto seg = [](const timeval& a) { return double(a.tv_sec) + double(a.tv_usec) / 1e6; };
    const double cpuDiag = seg(h1.ru_utime) - seg(h0.ru_utime) + seg(h1.ru_stime) - seg(h0.ru_stime);
    const double estacion = (c1 - c0) / pared * 100;
    const double piso = cpuDiag / paredDiag * 100;
    QTextStream(stdout) << QStringLiteral("cpu %1% polls %2 seconds %3 period_ms %4\n")
                               .arg(estacion, 0, 'f', 2)
                               .arg(polls)
                               .arg(pared, 0, 'f', 1)
                               .arg(periodo);
    if (diagOk)
        QTextStream(stdout) << QStringLiteral("floor (tolvex-diag watch) cpu %1% seconds %2 ratio %3\n")
                                   .arg(piso, 0, 'f', 2)
                                   .arg(paredDiag, 0, 'f', 1)
                                   .arg(piso > 0 ? estacion / piso : 0, 0, 'f', 2);
    else
        err() << "tolvex-soak: " << diag << " no midió el piso\n";
    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-soak"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Prueba prolongada de la estación de pesaje."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("minutes"), QStringLiteral("Duración (1)."), QStringLiteral("M"), QStringLiteral("1")},
        {QStringLiteral("speed"), QStringLiteral("Velocidad del simulador (20)."), QStringLiteral("F"), QStringLiteral("20")},
        {QStringLiteral("faults"), QStringLiteral("Descartes, CRC erróneos, respuestas tardías y cortes TCP.")},
        {QStringLiteral("db-outage"), QStringLiteral("Base no disponible durante S segundos a mitad de la prueba."), QStringLiteral("S"), QStringLiteral("0")},
        {QStringLiteral("postgres"), QStringLiteral("Base PostgreSQL en lugar de SQLite."), QStringLiteral("CONEXION")},
        {QStringLiteral("keep"), QStringLiteral("Deja el directorio del programa en DIR."), QStringLiteral("DIR")},
        {QStringLiteral("poll"), QStringLiteral("Período de encuesta en ms (100)."), QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("cpu"), QStringLiteral("Solo mide el uso de CPU de la estación abierta durante S segundos."), QStringLiteral("S")},
        {QStringLiteral("puesto"), QStringLiteral("Una estación entre varias sobre la misma base; NOMBRE va en AUX1."), QStringLiteral("NOMBRE")},
        {QStringLiteral("seed"), QStringLiteral("Semilla del simulador (7)."), QStringLiteral("N"), QStringLiteral("7")},
        {QStringLiteral("sincronia"), QStringLiteral("Gemela de otra prueba con la misma semilla y la misma EPOCA (segundos Unix): "
                                                     "el simulador avanza F segundos por segundo desde EPOCA, sólo al comienzo de "
                                                     "cada segundo, y los lotes de las dos terminan en el mismo segundo."), QStringLiteral("EPOCA")},
        {QStringLiteral("lotes"), QStringLiteral("Escribe \"lote TOTAL\" por cada lote encolado.")},
        {QStringLiteral("web"), QStringLiteral("Sirve el monitor web de la estación en 127.0.0.1:PUERTO (0: uno libre)."), QStringLiteral("PUERTO")},
        {QStringLiteral("web-clave"), QStringLiteral("Contraseña maestra para el monitor web (por defecto, una al azar)."), QStringLiteral("CLAVE")},
        {QStringLiteral("web-espera"), QStringLiteral("Con --web: sigue sirviendo S segundos tras cerrar la estación (0)."), QStringLiteral("S"), QStringLiteral("0")},
        {QStringLiteral("stop-on-input"),
         QStringLiteral("Atiende la entrada estándar: la línea \"mudo\" empieza el silencio de --mudo en ese momento; "
                        "cualquier otra línea, o el cierre de la entrada, termina la prueba antes de --minutes.")},
        {QStringLiteral("enlace"), QStringLiteral("La estación encuesta 127.0.0.1:PUERTO en lugar del simulador, cuyo puerto se escribe como \"simulador PUERTO\"."), QStringLiteral("PUERTO")},
        {QStringLiteral("bitacoras"), QStringLiteral("Escribe cada lote del simulador en DIR/Simulador.log y cada lectura válida en DIR/Lecturas.log."), QStringLiteral("DIR")},
        {QStringLiteral("linea2"), QStringLiteral("Agrega la línea 2, NOMBRE, con un indicador quieto (id 2, peso 4321) en el mismo simulador; "
                                                  "se abre al comienzo, o con la línea \"linea2\" con --stop-on-input."), QStringLiteral("NOMBRE")},
        {QStringLiteral("mudo"), QStringLiteral("El indicador no responde durante S segundos desde la mitad de la prueba, o desde la línea \"mudo\" con --stop-on-input (0)."), QStringLiteral("S"), QStringLiteral("0")},
    });
    p.process(app);
    bool ok1 = false, ok2 = false, ok3 = false, ok4 = false, ok5 = false;
    const double minutos = p.value(QStringLiteral("minutes")).toDouble(&ok1);
    const double velocidad = p.value(QStringLiteral("speed")).toDouble(&ok2);
    const double corte = p.value(QStringLiteral("db-outage")).toDouble(&ok3);
    const int periodo = p.value(QStringLiteral("poll")).toInt(&ok4);
    const quint32 semilla = p.value(QStringLiteral("seed")).toUInt(&ok5);
    const QString puesto = p.value(QStringLiteral("puesto")).trimmed();
    std::optional<qint64> sincronia;
    if (p.isSet(QStringLiteral("sincronia"))) {
        bool ok = false;
        sincronia = p.value(QStringLiteral("sincronia")).toLongLong(&ok);
        if (!ok)
            ok5 = false;
    }
    if (!ok1 || !ok2 || !ok3 || !ok4 || !ok5 || (p.isSet(QStringLiteral("puesto")) && puesto.isEmpty()) || minutos <= 0 || velocidad <= 0 || velocidad > 200 || corte < 0 ||
        periodo < 10) {
        err() << "tolvex-soak: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    const bool fallas = p.isSet(QStringLiteral("faults"));
    const double mudo = std::max(0.0, p.value(QStringLiteral("mudo")).toDouble());

    QTemporaryDir temporal;
    QString dir = temporal.path();
    if (p.isSet(QStringLiteral("keep"))) {
        dir = QDir(p.value(QStringLiteral("keep"))).absolutePath();
        if (!QDir().mkpath(dir)) {
            err() << "tolvex-soak: no se pudo crear " << dir << "\n";
            return 2;
        }
    }
    QDir::setCurrent(dir);
    qputenv("TOLVEX_HOME", dir.toLocal8Bit());
    MessageBox::setScripted(true);
    Programa::OperadorActual = QStringLiteral("SOAK");
    Programa::NivelActual = QStringLiteral("Instalador");

    if (p.isSet(QStringLiteral("cpu"))) {
        bool ok = false;
        const int s = p.value(QStringLiteral("cpu")).toInt(&ok);
        if (!ok || s <= 0)
            return 2;
        return cpu(s, periodo, dir, p.value(QStringLiteral("web")), p.value(QStringLiteral("web-clave")));
    }

    IndicadorSimulado::Parametros par;
    par.semilla = semilla;
    // Line 2's indicator outlives the server that answers for it.
    IndicadorSimulado indicador2;
    SimuladorEnHilo sim(par);
    if (!sim.ok()) {
        err() << "tolvex-soak: el simulador no pudo escuchar\n";
        return 2;
    }
    sim.indicador().setReloj(false);
    quint16 puertoEnlace = sim.puerto();
    if (p.isSet(QStringLiteral("enlace"))) {
        bool ok = false;
        puertoEnlace = p.value(QStringLiteral("enlace")).toUShort(&ok);
        if (!ok || puertoEnlace == 0) {
            err() << "tolvex-soak: puerto de enlace no válido\n";
            return 2;
        }
        QTextStream o(stdout);
        o << "simulador " << sim.puerto() << '\n';
        o.flush();
    }
    Instalacion ins;
    ins.directorio = dir;
    ins.tcp = QStringLiteral("127.0.0.1:%1").arg(puertoEnlace);
    ins.id = 1;
    ins.postgres = p.value(QStringLiteral("postgres"));
    if (!ins.ejecutar()) {
        err() << "tolvex-soak: " << ins.error << "\n";
        return 2;
    }
    // A directory kept from an earlier run may point at another simulator.
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Comunicacion_1"), QStringLiteral("1"));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Host_1"), QStringLiteral("127.0.0.1"));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Port_1"), QString::number(puertoEnlace));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QString::number(periodo));
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), QString());
    if (!puesto.isEmpty())
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Puesto:"));
    Programa::leeVariables();
    FallosSimulados fallos;
    if (fallas) {
        fallos.descarte = 0.01;
        fallos.corrupcion = 0.01;
        fallos.tardia = 0.005;
        fallos.tardiaMs = 450;
        fallos.desconectaCada = 7;
        sim.fallos(fallos);
    }
    if (fallas || mudo > 0) {
        // Shorter waits than an indicator needs keep a faulty soak moving.
        frmPeso::setAjusteEnlace([](ConfigEnlace& c) {
            c.esperaMs = 300;
            c.silencioMs = 60;
        });
    }
    const qint64 ticketInicial = [] {
        const QString t = Config::LeeConfig(QString(), QStringLiteral("Ticket"), QStringLiteral("1"), false, true);
        return t.toLongLong();
    }();

    auto registrador = std::make_unique<Registrador>(dir);
    registrador->setPausaMs(1000);
    QWidget principal;
    QPointer<frmPeso> w = new frmPeso(&principal, registrador.get());
    LecturaPeso ultima;
    qint64 lecturas = 0;
    qint64 fallidas = 0;
    // Unbuffered appends: what was written is there after a kill.
    const bool bitacoras = p.isSet(QStringLiteral("bitacoras"));
    const QDir dirBitacoras(p.value(QStringLiteral("bitacoras")));
    QFile bitacoraLecturas(dirBitacoras.absoluteFilePath(QStringLiteral("Lecturas.log")));
    QFile bitacoraSim(dirBitacoras.absoluteFilePath(QStringLiteral("Simulador.log")));
    if (bitacoras && (!QDir().mkpath(dirBitacoras.absolutePath()) ||
                      !bitacoraLecturas.open(QIODevice::Append | QIODevice::Unbuffered) ||
                      !bitacoraSim.open(QIODevice::Append | QIODevice::Unbuffered))) {
        err() << "tolvex-soak: no se pudieron abrir las bitácoras\n";
        return 2;
    }
    QObject::connect(w, &frmPeso::lecturaProcesada, w, [&](const LecturaPeso& l) {
        if (l.valida()) {
            ultima = l;
            ++lecturas;
            if (bitacoras) {
                // ms, then the fields in register order, as read (decimals 0).
                QByteArray linea = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
                for (double v : {l.Peso, l.Despacho, l.CGrueso, l.CFino, l.Caudal, l.Resto, double(l.CCiclos),
                                 double(l.CError), l.UlTotal, l.UlBatch, double(l.Modo), double(l.SPFin), l.Total,
                                 double(l.Salidas), double(l.Entradas), l.TotalF})
                    linea += ' ' + QByteArray::number(qint64(std::llround(v)));
                bitacoraLecturas.write(linea + '\n');
            }
        } else {
            ++fallidas;
        }
    });
    if (p.isSet(QStringLiteral("lotes"))) {
        QObject::connect(w, &frmPeso::loteRegistrado, w, [](double total, double) {
            QTextStream o(stdout);
            o << "lote " << QString::number(total, 'f', 0) << '\n';
            o.flush();
        });
    }
    // Types the workstation's name into the auxiliary data dialog.
    if (!puesto.isEmpty())
        Banco::rellenaDatos(&app, puesto, false);
    qint64 fallosRegistro = 0;
    QObject::connect(registrador.get(), &Registrador::fallo, &app,
                     [&](const QString&, const QString&) { ++fallosRegistro; });
    std::unique_ptr<MonitorWeb> monitor;
    if (p.isSet(QStringLiteral("web")) &&
        !(monitor = sirveWeb(p.value(QStringLiteral("web")), p.value(QStringLiteral("web-clave")), w)))
        return 2;
    // On a shared database the workstation shows in the plant, as the program does.
    std::unique_ptr<PublicadorPlanta> planta;
    if (PublicadorPlanta::compartida(Contexto::programa())) {
        planta = std::make_unique<PublicadorPlanta>(Contexto::programa(), Puesto::de(dir));
        planta->setLineas(Lineas::lista());
        planta->sigue(w->estacion());
    }
    w->inicia();

    // Line 2, standing still behind the same port.
    const bool conLinea2 = p.isSet(QStringLiteral("linea2"));
    std::unique_ptr<Registrador> registrador2;
    std::unique_ptr<EstacionPesaje> estacion2;
    const auto abreLinea2 = [&] {
        if (!conLinea2 || estacion2)
            return;
        indicador2.setReloj(false);
        indicador2.setValor32(Indicador::kPeso, 4321);
        QMetaObject::invokeMethod(
            &sim.servidor(), [&] { sim.servidor().agrega(indicador2, 2); }, Qt::BlockingQueuedConnection);
        for (const auto& [clave, valor] :
             {std::pair{QStringLiteral("Comunicacion_2"), QStringLiteral("1")},
              {QStringLiteral("Host_2"), QStringLiteral("127.0.0.1")},
              {QStringLiteral("Port_2"), QString::number(sim.puerto())},
              {QStringLiteral("ID_2"), QStringLiteral("2")},
              {QStringLiteral("Nombre_2"), p.value(QStringLiteral("linea2"))}})
            Config::GuardaConfig(QStringLiteral("global"), clave, valor);
        registrador2 = std::make_unique<Registrador>(dir, Contexto::programa(), nullptr, 2);
        estacion2 = std::make_unique<EstacionPesaje>(Contexto::programa(), registrador2.get(), nullptr,
                                                     Lineas::linea(2));
        if (monitor)
            monitor->sigue(estacion2.get());
        if (planta) {
            planta->setLineas(Lineas::lista());
            planta->sigue(estacion2.get());
        }
        estacion2->abre({puesto.isEmpty() ? QStringLiteral("Línea 2") : puesto});
        QTextStream o(stdout);
        o << "linea2\n";
        o.flush();
    };
    if (!p.isSet(QStringLiteral("stop-on-input")))
        abreLinea2();
    if (!esperaHasta([&] { return lecturas > 0; }, 20000) || !w) {
        err() << "tolvex-soak: la estación no leyó el indicador\n";
        return 1;
    }

    IndicadorSimulado& ind = sim.indicador();
    const double escala = 1.0; // decimals 0
    const double total0 = ind.valor32(Indicador::kUlTotal) / escala;
    const qint64 lotes0 = ind.lotes();
    ind.comando('V');

    // Latency: from the moment a new accumulator can be recorded (the
    // process is back in stand-by or loading) to its committed row.
    QHash<qint64, qint64> visible; // accumulator -> ns
    QVector<double> latencias;
    QElapsedTimer reloj;
    reloj.start();
    QObject::connect(registrador.get(), &Registrador::escrito, &app, [&](const Pendiente& e) {
        if (e.tipo != Pendiente::Lote)
            return;
        const auto it = visible.find(qint64(std::llround(e.total)));
        if (it != visible.end())
            latencias.append(double(reloj.nsecsElapsed() - it.value()) / 1e6);
    });

    const qint64 duracionMs = qint64(minutos * 60000);
    const qint64 corteDesde = corte > 0 ? (duracionMs - qint64(corte * 1000)) / 2 : -1;
    const bool porEntrada = p.isSet(QStringLiteral("stop-on-input"));
    qint64 mudoDesde = mudo > 0 && !porEntrada ? duracionMs / 2 : -1;
    Corte bd(Programa::DataCSReporte);
    bool cortado = false;
    bool esperando = false;
    qint64 vistos = lotes0;
    qint64 lecturasGate = 0;
    qint64 ultimoPaso = reloj.elapsed();
    bool terminando = false;
    qint64 pasosSincronia = 0; // of 50 ms of the process's time
    // "ms AUX1 TOTAL PESO" for every batch the simulator completes.
    qint64 anotados = lotes0;
    const auto anota = [&] {
        if (!bitacoras || ind.lotes() <= anotados)
            return;
        anotados = ind.lotes();
        bitacoraSim.write(QStringLiteral("%1 %2 %3 %4\n")
                              .arg(QDateTime::currentMSecsSinceEpoch())
                              .arg(puesto.isEmpty() ? QStringLiteral("-") : QString(puesto).replace(u' ', u'_'))
                              .arg(ind.valor32(Indicador::kUlTotal))
                              .arg(ind.valor32(Indicador::kUlBatch))
                              .toUtf8());
    };

    QTimer paso;
    paso.setInterval(5);
    QObject::connect(&paso, &QTimer::timeout, &app, [&] {
        const qint64 ahora = reloj.elapsed();
        if (corteDesde >= 0 && !cortado && ahora >= corteDesde) {
            QString e;
            if (!bd.inicio(&e))
                err() << "tolvex-soak: no se pudo cortar la base: " << e << "\n";
            cortado = true;
        }
        if (bd.activo() && ahora >= corteDesde + qint64(corte * 1000))
            bd.fin();
        // The indicator falls silent for a while: the station shows the lost link.
        const bool callado = mudoDesde >= 0 && ahora >= mudoDesde && ahora < mudoDesde + qint64(mudo * 1000);
        if (callado != fallos.mudo) {
            fallos.mudo = callado;
            sim.fallos(fallos);
        }
        double dt = double(ahora - ultimoPaso) / 1000.0 * velocidad;
        ultimoPaso = ahora;
        if (esperando) {
            const int modo = ultima.Modo;
            if (lecturas > lecturasGate && (modo == 0 || modo == 1) &&
                std::llround(ultima.UlTotal) == qint64(ind.valor32(Indicador::kUlTotal)))
                esperando = false;
            else
                return;
        }
        if (terminando && !ind.enMarcha())
            return;
        // A batch done and back in stand-by or loading: held there until
        // the station has polled it.
        const auto loteHecho = [&] {
            const int estado = ind.estado();
            if (ind.lotes() <= vistos || (estado != 0 && estado != 1))
                return false;
            vistos = ind.lotes();
            esperando = true;
            lecturasGate = lecturas;
            visible.insert(qint64(ind.valor32(Indicador::kUlTotal)), reloj.nsecsElapsed());
            return true;
        };
        if (sincronia) {
            // The process's time is the same function of the wall clock's
            // second for every run with this start, and moves only in the
            // first 200 ms of a second: a twin's batches end in the same
            // second, with the same weights (same seed, same steps).
            const qint64 ms = QDateTime::currentMSecsSinceEpoch();
            if (ms % 1000 >= 200)
                return;
            const qint64 objetivo = std::llround(double(ms / 1000 - *sincronia) * velocidad * 20);
            while (pasosSincronia < objetivo && !(terminando && !ind.enMarcha())) {
                ind.avanza(0.05);
                anota();
                ++pasosSincronia;
                if (loteHecho())
                    break;
            }
            return;
        }
        dt = std::min(dt, 0.5);
        ind.avanza(std::round(dt * 100) / 100);
        anota();
        loteHecho();
    });
    paso.start();

    // A driver (the browser test) ends the run once it has seen what it
    // waited for, however long a loaded machine took to get there.
    bool finPedido = false;
    std::unique_ptr<QSocketNotifier> entrada;
    QByteArray pedido;
    if (porEntrada) {
        entrada = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(entrada.get(), &QSocketNotifier::activated, &app, [&] {
            char leido[256];
            const auto n = ::read(STDIN_FILENO, leido, sizeof leido);
            if (n <= 0) {
                finPedido = true;
                entrada->setEnabled(false);
                return;
            }
            pedido.append(leido, n);
            for (qsizetype fin; (fin = pedido.indexOf('\n')) >= 0; pedido.remove(0, fin + 1)) {
                const QByteArray orden = pedido.left(fin).trimmed();
                if (orden == "mudo" && mudo > 0) {
                    mudoDesde = reloj.elapsed();
                } else if (orden == "linea2" && conLinea2) {
                    abreLinea2();
                } else {
                    finPedido = true;
                    entrada->setEnabled(false);
                    return;
                }
            }
        });
    }
    esperaHasta([&] { return reloj.elapsed() >= duracionMs || !w || finPedido; }, int(duracionMs + 5000));
    // Stop at the end of the cycle in progress and let the station see it.
    terminando = true;
    ind.comando('V');
    const bool quieto = esperaHasta([&] { return !ind.enMarcha() && !esperando; }, 120000);
    paso.stop();
    bd.fin();
    const qint64 totalFinal = ind.valor32(Indicador::kUlTotal);
    esperaHasta([&] { return std::llround(ultima.UlTotal) == totalFinal && lecturas > lecturasGate; }, 60000);
    const bool escrito = esperaHasta(
        [&] {
            registrador->reintenta();
            return registrador->pendientes() == 0 && !registrador->ocupado();
        },
        120000);
    const qint64 fusionados = w ? w->lotesFusionados() : -1;
    if (w)
        w->cierraYa();
    if (estacion2) {
        estacion2->cierra();
        esperaHasta([&] { return registrador2->pendientes() == 0 && !registrador2->ocupado(); }, 60000);
    }
    esperaHasta([&] { return registrador->pendientes() == 0 && !registrador->ocupado(); }, 60000);
    const int pendientes = registrador->pendientes();
    const QString identidad = registrador->puesto();
    registrador.reset();

    const qint64 B = ind.lotes() - lotes0;
    QVector<qint64> tickets;
    QSet<qint64> totales;
    qint64 duplicados = 0;
    double sumaPeso = 0;
    {
        CDatos db;
        if (!db.AbrirBase(Programa::DataCSReporte) ||
            !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET >= ? AND %2 = ? ORDER BY TICKET")
                                 .arg(Programa::DataTbReporte, Schema::kPuesto),
                             {ticketInicial, identidad})) {
            err() << "tolvex-soak: " << db.ultimoError() << "\n";
            return 1;
        }
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            tickets.append(db.Campo(QStringLiteral("TICKET")).toLongLong());
            const qint64 total = std::llround(db.Campo(QStringLiteral("TOTAL")).toDouble());
            if (totales.contains(total))
                ++duplicados;
            totales.insert(total);
            sumaPeso += db.Campo(QStringLiteral("PESO")).toDouble();
        }
    }
    const qint64 R = tickets.size();
    const qint64 perdidos = std::max<qint64>(0, B - (R - duplicados));
    bool consecutivos = true;
    for (qsizetype i = 0; i < tickets.size(); ++i) {
        if (puesto.isEmpty())
            consecutivos = consecutivos && tickets[i] == ticketInicial + i;
        else
            consecutivos = consecutivos && (i == 0 || tickets[i] > tickets[i - 1]);
    }
    const double subida = double(totalFinal) - total0;
    const bool sumaOk = std::fabs(sumaPeso - subida) < 1e-6;

    QTextStream(stdout) << QStringLiteral("batches %1 rows %2 lost %3 duplicates %4\n")
                               .arg(B)
                               .arg(R)
                               .arg(perdidos)
                               .arg(duplicados);
    err() << QStringLiteral("polls %1 failed %2 merged %3 db_failures %4 pending %5 tickets_consecutive %6 "
                            "peso_sum %7 accumulator_rise %8 stopped %9 flushed %10\n")
                 .arg(lecturas)
                 .arg(fallidas)
                 .arg(fusionados)
                 .arg(fallosRegistro)
                 .arg(pendientes)
                 .arg(consecutivos ? QStringLiteral("yes") : QStringLiteral("no"))
                 .arg(sumaPeso, 0, 'f', 0)
                 .arg(subida, 0, 'f', 0)
                 .arg(quieto ? QStringLiteral("yes") : QStringLiteral("no"))
                 .arg(escrito ? QStringLiteral("yes") : QStringLiteral("no"));
    err() << QStringLiteral("latency_ms median %1 p99 %2 n %3\n")
                 .arg(percentil(latencias, 0.5), 0, 'f', 1)
                 .arg(percentil(latencias, 0.99), 0, 'f', 1)
                 .arg(latencias.size());
    err() << "puesto " << identidad << "\n";
    if (p.isSet(QStringLiteral("keep")))
        err() << "tolvex-soak: directorio " << dir << "\n";
    err().flush();
    const bool bien = B > 0 && R == B && perdidos == 0 && duplicados == 0 && consecutivos && sumaOk &&
                      fusionados == 0 && pendientes == 0;
    if (monitor) {
        // The pages already show the station closed; the reports stay readable.
        const double espera = p.value(QStringLiteral("web-espera")).toDouble();
        if (espera > 0)
            esperaHasta([] { return false; }, int(espera * 1000));
    }
    estacion2.reset();
    registrador2.reset();
    return bien ? 0 : 1;
}
