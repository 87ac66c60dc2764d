// tolvex-planta puesto: one headless workstation of a plant on a shared
// PostgreSQL database: N lines, each a station (without a window) recording
// into the database and publishing its state to the plant, as the program
// does. Its indicators stand still: they are simulators of its own (ids
// 1..N on one port), or those of a driver at --enlace HOST:PORT. The
// program directory (--dir) keeps the workstation's identity, so that a
// workstation started again on it is the same one. Prints
//   puesto ID
//   simulador PORT            (with its own simulators)
//   web http://... clave K    (with --web)
//   listo                     (every line has read its indicator)
// and reads commands on stdin: "peso L V" sets line L's weight to V (own
// simulators); "cierra L" closes line L's station, as its window's close
// does; "fin", or stdin closing, ends it. At the end it prints
//   planta cpu_ns C sentencias S fallos F cpu_s P pared_s W
// (the publishing thread's CPU, its statements, and the whole process's CPU)
// and, per line, the readings its station processed and the longest gap
// between two of them, and the rows written:
//   linea N lecturas L por_s R hueco_max_ms G filas F
// --marcha F makes its own indicators weigh batches, F times real time.
// --retardo-base MS puts a relay of its own between the workstation and the
// database that holds every message to the server MS ms: every statement
// (the rows, the plant) takes that much longer.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTextStream>
#include <QTimer>
#include <memory>
#include <unistd.h>
#include <vector>

#include "Banco.h"
#include "Config.h"
#include "ConnectionString.h"
#include "ConfigWeb.h"
#include "Contexto.h"
#include "EstacionPesaje.h"
#include "Indicador.h"
#include "Lineas.h"
#include "MonitorWeb.h"
#include "Programa.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"
#include "Registrador.h"
#include "SimuladorEnHilo.h"

namespace {

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

void dice(const QString& linea)
{
    out() << linea << '\n';
    out().flush();
}

// A relay to the database on a thread of its own, which holds what the
// client sends for a while: a slow server, as every statement sees it.
class Retardo : public QObject
{
public:
    Retardo(const QString& host, quint16 puerto, int ms) : m_host(host), m_puerto(puerto), m_ms(ms) {}
    quint16 escucha()
    {
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_servidor = new QTcpServer(this);
                m_servidor->listen(QHostAddress::LocalHost, 0);
                connect(m_servidor, &QTcpServer::newConnection, this, &Retardo::nueva);
            },
            Qt::BlockingQueuedConnection);
        return m_servidor->serverPort();
    }

private:
    void nueva()
    {
        while (QTcpSocket* c = m_servidor->nextPendingConnection()) {
            auto* s = new QTcpSocket(c);
            s->connectToHost(m_host, m_puerto);
            connect(c, &QTcpSocket::readyRead, c, [this, c, s] {
                const QByteArray datos = c->readAll();
                QTimer::singleShot(m_ms, Qt::PreciseTimer, s, [s, datos] { s->write(datos); });
            });
            connect(s, &QTcpSocket::readyRead, c, [c, s] { c->write(s->readAll()); });
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            connect(s, &QTcpSocket::disconnected, c, [c] { c->disconnectFromHost(); });
        }
    }
    const QString m_host;
    const quint16 m_puerto;
    const int m_ms;
    QTcpServer* m_servidor = nullptr;
};

// The web monitor on 127.0.0.1 (port 0: any free one) with master password clave.
std::unique_ptr<MonitorWeb> sirveWeb(const QString& puerto, QString clave)
{
    if (clave.isEmpty())
        for (int i = 0; i < 12; ++i)
            clave += QChar(u'a' + QRandomGenerator::system()->bounded(26));
    Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass2"), clave, true);
    ConfigWeb c;
    if (puerto.trimmed() != u"0")
        c = ConfigWeb::desde(puerto, QStringLiteral("127.0.0.1"), {}, {}, {}, {});
    c.activo = true;
    auto web = std::make_unique<MonitorWeb>();
    QString error;
    if (!web->inicia(c, &error)) {
        err() << "tolvex-planta: " << error << "\n";
        return nullptr;
    }
    dice(QStringLiteral("web http://127.0.0.1:%1/ clave %2").arg(web->puerto()).arg(clave));
    return web;
}

int puesto(QApplication& app, const QCommandLineParser& p)
{
    const QString dir = QDir(p.value(QStringLiteral("dir"))).absolutePath();
    QString postgres = p.value(QStringLiteral("postgres"));
    bool ok1 = false, ok2 = false;
    const int n = p.value(QStringLiteral("lineas")).toInt(&ok1);
    const int periodo = p.value(QStringLiteral("poll")).toInt(&ok2);
    if (!p.isSet(QStringLiteral("dir")) || postgres.isEmpty() || !ok1 || !ok2 || n < 1 || n > Lineas::kMaximo ||
        periodo < 10) {
        err() << "tolvex-planta: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    if (!QDir().mkpath(dir)) {
        err() << "tolvex-planta: no se pudo crear " << dir << "\n";
        return 2;
    }
    const bool marcha = p.isSet(QStringLiteral("marcha"));
    QThread hiloRetardo;
    std::unique_ptr<Retardo> retardo;
    if (p.isSet(QStringLiteral("retardo-base"))) {
        const ConnectionString cs = ConnectionString::parse(postgres, dir);
        retardo = std::make_unique<Retardo>(cs.host, quint16(cs.port), p.value(QStringLiteral("retardo-base")).toInt());
        retardo->moveToThread(&hiloRetardo);
        hiloRetardo.start();
        postgres = QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=%1;Database=%2;User=%3;Password=%4")
                       .arg(retardo->escucha())
                       .arg(cs.database, cs.user, cs.password);
    }
    const auto paraRetardo = qScopeGuard([&] {
        if (retardo) {
            QMetaObject::invokeMethod(retardo.get(), [&] { retardo.reset(); }, Qt::BlockingQueuedConnection);
            hiloRetardo.quit();
            hiloRetardo.wait();
        }
    });
    qputenv("TOLVEX_HOME", QFile::encodeName(dir));
    QDir::setCurrent(dir);

    // Its own indicators, standing still, one port for all; or the driver's.
    std::unique_ptr<SimuladorEnHilo> sim;
    std::vector<std::unique_ptr<IndicadorSimulado>> otros;
    std::vector<IndicadorSimulado*> indicadores;
    quint16 puerto = 0;
    if (p.isSet(QStringLiteral("enlace"))) {
        puerto = quint16(p.value(QStringLiteral("enlace")).section(u':', -1).toUInt());
    } else {
        IndicadorSimulado::Parametros parametros;
        if (marcha)
            parametros.velocidad = p.value(QStringLiteral("marcha")).toDouble();
        sim = std::make_unique<SimuladorEnHilo>(parametros);
        indicadores.push_back(&sim->indicador());
        for (int i = 2; i <= n; ++i) {
            parametros.semilla = quint32(i);
            otros.push_back(std::make_unique<IndicadorSimulado>(parametros));
            IndicadorSimulado* ind = otros.back().get();
            indicadores.push_back(ind);
            QMetaObject::invokeMethod(
                &sim->servidor(), [&, ind, i] { sim->servidor().agrega(*ind, quint8(i)); },
                Qt::BlockingQueuedConnection);
        }
        for (int i = 0; i < n; ++i) {
            if (marcha)
                continue;
            indicadores[i]->setReloj(false);
            indicadores[i]->setValor32(Indicador::kPeso, quint32(1000 * (i + 1)));
        }
        puerto = sim->puerto();
    }
    QVector<std::pair<quint16, quint8>> enlaces;
    for (int i = 1; i <= n; ++i)
        enlaces.append({puerto, quint8(i)});
    QString error;
    if (!Banco::prepara(dir, enlaces, postgres, periodo, false, &error)) {
        err() << "tolvex-planta: " << error << "\n";
        return 2;
    }
    const QString id = Puesto::de(dir);
    dice(QStringLiteral("puesto ") + id);
    if (sim)
        dice(QStringLiteral("simulador %1").arg(puerto));

    std::unique_ptr<PublicadorPlanta> planta;
    if (!p.isSet(QStringLiteral("sin-planta"))) {
        planta = std::make_unique<PublicadorPlanta>(Contexto::programa(), id);
        planta->setLineas(Lineas::lista());
    }
    std::unique_ptr<MonitorWeb> monitor;
    if (p.isSet(QStringLiteral("web")) &&
        !(monitor = sirveWeb(p.value(QStringLiteral("web")), p.value(QStringLiteral("web-clave")))))
        return 2;

    std::vector<std::unique_ptr<Registrador>> registradores;
    std::vector<std::unique_ptr<EstacionPesaje>> estaciones;
    std::vector<bool> leyo(size_t(n), false);
    // Readings each station processed, and the longest gap between two, from "listo" on.
    struct Cadencia
    {
        qint64 lecturas = 0;
        qint64 anterior = -1;
        qint64 huecoMax = 0;
        qint64 filas = 0; // rows written
    };
    std::vector<Cadencia> cadencias(static_cast<size_t>(n));
    QElapsedTimer reloj;
    bool midiendo = false;
    for (int i = 1; i <= n; ++i) {
        registradores.push_back(std::make_unique<Registrador>(dir, Contexto::programa(), nullptr, i));
        estaciones.push_back(std::make_unique<EstacionPesaje>(Contexto::programa(), registradores.back().get(),
                                                              nullptr, Lineas::linea(i)));
        EstacionPesaje* e = estaciones.back().get();
        QObject::connect(e, &EstacionPesaje::lecturaProcesada, e,
                         [&, i](const LecturaPeso& l) {
                             leyo[size_t(i - 1)] = leyo[size_t(i - 1)] || l.valida();
                             if (!midiendo)
                                 return;
                             Cadencia& c = cadencias[size_t(i - 1)];
                             const qint64 t = reloj.elapsed();
                             if (c.anterior >= 0)
                                 c.huecoMax = std::max(c.huecoMax, t - c.anterior);
                             c.anterior = t;
                             ++c.lecturas;
                         });
        QObject::connect(registradores.back().get(), &Registrador::escrito, e, [&, i](const Pendiente& f) {
            if (f.tipo == Pendiente::Lote)
                ++cadencias[size_t(i - 1)].filas;
        });
        if (planta)
            planta->sigue(e);
        if (monitor)
            monitor->sigue(e);
        e->abre({QStringLiteral("Planta")});
    }
    if (!Banco::esperaHasta([&] { return std::all_of(leyo.cbegin(), leyo.cend(), [](bool b) { return b; }); },
                            30000)) {
        err() << "tolvex-planta: las estaciones no leyeron sus indicadores\n";
        return 1;
    }
    dice(QStringLiteral("listo"));
    if (marcha)
        for (IndicadorSimulado* ind : indicadores)
            ind->comando('V');
    reloj.start();
    midiendo = true;

    QElapsedTimer pared;
    pared.start();
    const double cpu0 = Banco::cpuSegundos();
    QSocketNotifier entrada(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pedido;
    QObject::connect(&entrada, &QSocketNotifier::activated, &app, [&] {
        char leido[512];
        const auto k = ::read(STDIN_FILENO, leido, sizeof leido);
        if (k <= 0) {
            entrada.setEnabled(false);
            app.quit();
            return;
        }
        pedido.append(leido, k);
        for (qsizetype fin; (fin = pedido.indexOf('\n')) >= 0; pedido.remove(0, fin + 1)) {
            const QList<QByteArray> orden = pedido.left(fin).simplified().split(' ');
            if (orden.value(0) == "peso" && orden.size() == 3) {
                const int l = orden.at(1).toInt();
                if (l >= 1 && l <= int(indicadores.size()))
                    indicadores[size_t(l - 1)]->setValor32(Indicador::kPeso, quint32(orden.at(2).toUInt()));
            } else if (orden.value(0) == "cierra" && orden.size() == 2) {
                const int l = orden.at(1).toInt();
                if (l >= 1 && l <= int(estaciones.size()))
                    estaciones[size_t(l - 1)]->cierra();
            } else if (orden.value(0) == "fin") {
                app.quit();
            }
        }
    });
    app.exec();
    midiendo = false;
    const double medido = double(reloj.elapsed()) / 1000.0;
    for (auto& e : estaciones)
        e->cierra();
    const double cpu = Banco::cpuSegundos() - cpu0;
    const double segundos = double(pared.elapsed()) / 1000.0;
    const PublicadorPlanta::Cuenta c = planta ? planta->cuenta() : PublicadorPlanta::Cuenta{};
    planta.reset();
    dice(QStringLiteral("planta cpu_ns %1 sentencias %2 fallos %3 cpu_s %4 pared_s %5")
             .arg(c.cpuNs)
             .arg(c.sentencias)
             .arg(c.fallos)
             .arg(cpu, 0, 'f', 3)
             .arg(segundos, 0, 'f', 3));
    for (int i = 0; i < n; ++i) {
        const Cadencia& c = cadencias[size_t(i)];
        dice(QStringLiteral("linea %1 lecturas %2 por_s %3 hueco_max_ms %4 filas %5")
                 .arg(i + 1)
                 .arg(c.lecturas)
                 .arg(medido > 0 ? double(c.lecturas) / medido : 0, 0, 'f', 2)
                 .arg(c.huecoMax)
                 .arg(c.filas));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-planta"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Puestos de una planta sobre una base PostgreSQL compartida."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("modo"), QStringLiteral("puesto"));
    p.addOptions({
        {QStringLiteral("dir"), QStringLiteral("Directorio del programa del puesto."), QStringLiteral("DIR")},
        {QStringLiteral("postgres"), QStringLiteral("Base PostgreSQL compartida."), QStringLiteral("CONEXION")},
        {QStringLiteral("lineas"), QStringLiteral("Cantidad de líneas (4)."), QStringLiteral("N"), QStringLiteral("4")},
        {QStringLiteral("poll"), QStringLiteral("Período de encuesta en ms (100)."), QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("enlace"), QStringLiteral("Los indicadores (ids 1..N) están en 127.0.0.1:PUERTO."), QStringLiteral("PUERTO")},
        {QStringLiteral("web"), QStringLiteral("Sirve el monitor web en 127.0.0.1:PUERTO (0: uno libre)."), QStringLiteral("PUERTO")},
        {QStringLiteral("web-clave"), QStringLiteral("Contraseña maestra del monitor web."), QStringLiteral("CLAVE")},
        {QStringLiteral("sin-planta"), QStringLiteral("No publica el estado de las líneas.")},
        {QStringLiteral("marcha"), QStringLiteral("Los indicadores propios pesan lotes, F veces más rápido que en tiempo real."), QStringLiteral("F")},
        {QStringLiteral("retardo-base"), QStringLiteral("Cada mensaje a la base espera MS ms en un relé propio."), QStringLiteral("MS")},
    });
    p.process(app);
    const QStringList modo = p.positionalArguments();
    if (modo.value(0) == u"puesto")
        return puesto(app, p);
    err() << "tolvex-planta: falta el modo (puesto)\n\n" << p.helpText();
    return 2;
}
