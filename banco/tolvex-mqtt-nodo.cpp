// tolvex-mqtt-nodo --dir DIR --broker HOST:PORT: one headless workstation as
// an MQTT Sparkplug B node, as the program runs it: N lines, each a
// simulated indicator (ids 1..N on one port of its own), a station reading
// it, a record writer into the directory's SQLite database, and the node
// publishing the lines and the batches of the outbox. The directory keeps
// the workstation, its database and its outbox: started again on it, it is
// the same one. Prints
//   puesto ID
//   listo                     (every line has read its indicator)
// and reads commands on stdin: "peso L V" sets line L's weight to V;
// "cierra L" / "abre L" closes / opens line L's station; "fin", or stdin
// closing, ends it (cleanly: the node says its death). At the end it prints
//   nodo mensajes M lotes B buzon P cpu_ns C
// --marcha F makes the indicators weigh batches, F times real time.
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QSocketNotifier>
#include <QTextStream>
#include <memory>
#include <unistd.h>
#include <vector>

#include "Banco.h"
#include "BuzonLotes.h"
#include "Config.h"
#include "ConfigMqtt.h"
#include "Contexto.h"
#include "Diario.h"
#include "EstacionPesaje.h"
#include "Indicador.h"
#include "Lineas.h"
#include "NodoSparkplug.h"
#include "Programa.h"
#include "Puesto.h"
#include "Registrador.h"
#include "SimuladorEnHilo.h"

namespace {

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

void dice(const QString& linea)
{
    out() << linea << '\n';
    out().flush();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-mqtt-nodo"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Un puesto sin ventanas como nodo Sparkplug B de un broker MQTT."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("dir"), QStringLiteral("Directorio del programa del puesto."), QStringLiteral("DIR")},
        {QStringLiteral("broker"), QStringLiteral("El broker MQTT."), QStringLiteral("HOST:PUERTO")},
        {QStringLiteral("lineas"), QStringLiteral("Cantidad de líneas (2)."), QStringLiteral("N"), QStringLiteral("2")},
        {QStringLiteral("poll"), QStringLiteral("Período de encuesta en ms (50)."), QStringLiteral("MS"), QStringLiteral("50")},
        {QStringLiteral("grupo"), QStringLiteral("Grupo Sparkplug."), QStringLiteral("GRUPO"), QStringLiteral("Planta")},
        {QStringLiteral("nodo"), QStringLiteral("Nodo Sparkplug (el nombre del puesto)."), QStringLiteral("NODO")},
        {QStringLiteral("marcha"), QStringLiteral("Los indicadores pesan lotes, F veces más rápido que en tiempo real."), QStringLiteral("F")},
    });
    p.process(app);
    const QString dir = QDir(p.value(QStringLiteral("dir"))).absolutePath();
    bool ok1 = false, ok2 = false;
    const int n = p.value(QStringLiteral("lineas")).toInt(&ok1);
    const int periodo = p.value(QStringLiteral("poll")).toInt(&ok2);
    const QString broker = p.value(QStringLiteral("broker"));
    if (!p.isSet(QStringLiteral("dir")) || broker.isEmpty() || !ok1 || !ok2 || n < 1 || n > Lineas::kMaximo ||
        periodo < 10 || !QDir().mkpath(dir)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    qputenv("TOLVEX_HOME", QFile::encodeName(dir));
    QDir::setCurrent(dir);

    const bool marcha = p.isSet(QStringLiteral("marcha"));
    IndicadorSimulado::Parametros parametros;
    if (marcha)
        parametros.velocidad = p.value(QStringLiteral("marcha")).toDouble();
    SimuladorEnHilo sim(parametros);
    std::vector<std::unique_ptr<IndicadorSimulado>> otros;
    std::vector<IndicadorSimulado*> indicadores{&sim.indicador()};
    for (int i = 2; i <= n; ++i) {
        parametros.semilla = quint32(i);
        otros.push_back(std::make_unique<IndicadorSimulado>(parametros));
        IndicadorSimulado* ind = otros.back().get();
        indicadores.push_back(ind);
        QMetaObject::invokeMethod(
            &sim.servidor(), [&, ind, i] { sim.servidor().agrega(*ind, quint8(i)); }, Qt::BlockingQueuedConnection);
    }
    for (int i = 0; i < n && !marcha; ++i) {
        indicadores[size_t(i)]->setReloj(false);
        indicadores[size_t(i)]->setValor32(Indicador::kPeso, quint32(1000 * (i + 1)));
    }
    QVector<std::pair<quint16, quint8>> enlaces;
    for (int i = 1; i <= n; ++i)
        enlaces.append({sim.puerto(), quint8(i)});
    QString error;
    // A directory prepared before is kept as it is (its database, its queues).
    if (!QFile::exists(QDir(dir).filePath(Config::kArchivo)) &&
        !Banco::prepara(dir, enlaces, QString(), periodo, false, &error)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: " << error << "\n";
        return 2;
    }
    if (QFile::exists(QDir(dir).filePath(Config::kArchivo)) && !Banco::configura(dir, enlaces, &error)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: " << error << "\n";
        return 2;
    }
    Programa::leeVariables();
    ConfigMqtt c = ConfigMqtt::desde(broker.section(u':', 0, -2), broker.section(u':', -1), {}, {}, {},
                                     p.value(QStringLiteral("grupo")), p.value(QStringLiteral("nodo")), {});
    if (!c.guarda(&error)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: " << error << "\n";
        return 2;
    }
    c = ConfigMqtt::lee(dir);
    if (!c.error.isEmpty()) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: " << c.error << "\n";
        return 2;
    }
    dice(QStringLiteral("puesto ") + Puesto::de(dir));

    BuzonLotes buzon(QDir(dir).filePath(BuzonLotes::kArchivo));
    if (!buzon.carga(&error)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: " << error << "\n";
        return 2;
    }
    buzon.setAviso([dir](const QString& t) {
        Diario::agrega(QDir(dir).filePath(Diario::kLog),
                       Diario::registroError(0, t, QStringLiteral("Rutina: BuzonLotes"), QDateTime::currentDateTime()));
    });
    auto nodo = std::make_unique<NodoSparkplug>(c, dir, &buzon);
    buzon.setAlAgregar([&nodo] { nodo->despierta(); });

    std::vector<std::unique_ptr<Registrador>> registradores;
    std::vector<std::unique_ptr<EstacionPesaje>> estaciones;
    std::vector<bool> leyo(size_t(n), false);
    // A station closes for good: "abre" makes the line a new one, as the window does.
    auto abre = [&](int i) {
        auto e = std::make_unique<EstacionPesaje>(Contexto::programa(), registradores[size_t(i - 1)].get(), nullptr,
                                                  Lineas::linea(i));
        QObject::connect(e.get(), &EstacionPesaje::lecturaProcesada, e.get(), [&, i](const LecturaPeso& l) {
            leyo[size_t(i - 1)] = leyo[size_t(i - 1)] || l.valida();
        });
        nodo->sigue(e.get());
        e->abre({QStringLiteral("Nodo")});
        estaciones[size_t(i - 1)] = std::move(e);
    };
    for (int i = 1; i <= n; ++i) {
        registradores.push_back(std::make_unique<Registrador>(dir, Contexto::programa(), nullptr, i));
        Mqtt::alimenta(*registradores.back(), buzon);
        estaciones.emplace_back();
        abre(i);
    }
    if (!Banco::esperaHasta([&] { return std::all_of(leyo.cbegin(), leyo.cend(), [](bool b) { return b; }); },
                            30000)) {
        QTextStream(stderr) << "tolvex-mqtt-nodo: las estaciones no leyeron sus indicadores\n";
        return 1;
    }
    dice(QStringLiteral("listo"));
    if (marcha)
        for (IndicadorSimulado* ind : indicadores)
            ind->comando('V');

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
            const int l = orden.value(1).toInt();
            const bool linea = l >= 1 && l <= n;
            if (orden.value(0) == "peso" && orden.size() == 3 && linea)
                indicadores[size_t(l - 1)]->setValor32(Indicador::kPeso, quint32(orden.at(2).toUInt()));
            else if (orden.value(0) == "cierra" && linea)
                estaciones[size_t(l - 1)]->cierra();
            else if (orden.value(0) == "abre" && linea)
                abre(l);
            else if (orden.value(0) == "fin")
                app.quit();
        }
    });
    app.exec();
    for (auto& e : estaciones)
        e->cierra();
    // The rows still queued are written before the node goes.
    Banco::esperaHasta([&] {
        return std::all_of(registradores.cbegin(), registradores.cend(),
                           [](const auto& r) { return r->pendientes() == 0 || !r->ocupado(); });
    }, 5000);
    // The writers go before the node: what they still commit reaches the
    // outbox, and the node, going last, gives it to the broker.
    estaciones.clear();
    registradores.clear();
    const NodoSparkplug::Cuenta cu = nodo->cuenta();
    nodo.reset();
    dice(QStringLiteral("nodo mensajes %1 lotes %2 buzon %3 cpu_ns %4")
             .arg(cu.mensajes)
             .arg(cu.lotes)
             .arg(buzon.cantidad())
             .arg(cu.cpuNs));
    return 0;
}
