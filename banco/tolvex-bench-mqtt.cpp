// tolvex-bench-mqtt [--puestos 20] [--lineas 4] [--segundos 20] [--periodo 100]
// Workstations as MQTT Sparkplug B nodes on one broker (Debian's mosquitto
// started on a free loopback port), all in this process: each a
// NodoSparkplug with its own thread, its lines' states changed (the weight)
// every --periodo ms as the stations' polls leave them. A subscriber (a bare
// libmosquitto client of its own thread) decodes every DDATA and takes, for
// the weight it carries, the time from that weight's change to its arrival.
// The node's share of a workstation's CPU is its thread's CPU time against
// the wall time.
//
// The floor, in the same run: one bare libmosquitto client per workstation
// (on one thread, as a node's work), publishing as many messages as the
// nodes did, each the same DDATA payload already encoded, timed the same
// way (thread CPU against wall time; send to arrival at the same subscriber).
//
// Prints
//   nodos P lineas L segundos S cambios C ddata D
//   latencia_ms p50 A p99 B max M        (change to subscriber)
//   cpu_por_puesto_pct X                 (of one core)
//   piso latencia_ms p50 A p99 B  cpu_por_puesto_pct X
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <time.h>
#include <vector>

#include "ConfigMqtt.h"
#include "NodoSparkplug.h"
#include "Sparkplug.h"

namespace {

qint64 relojNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

qint64 cpuHiloNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

double percentil(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// What the subscriber saw: for each (node, line, weight) the arrival time.
struct Llegadas
{
    std::mutex m;
    std::map<std::tuple<int, int, qint64>, qint64> cuando;
    std::atomic<qint64> ddata{0};
};

void alMensaje(mosquitto*, void* u, const mosquitto_message* msg)
{
    const qint64 t = relojNs();
    auto* ll = static_cast<Llegadas*>(u);
    const QByteArray tema(msg->topic);
    // spBv1.0/Bench/DDATA/Pnn/LineaL or piso/Pnn/L
    const QList<QByteArray> partes = tema.split('/');
    int nodo = -1, linea = -1;
    if (partes.size() == 5 && partes.at(2) == "DDATA") {
        nodo = partes.at(3).mid(1).toInt();
        linea = Sparkplug::lineaDe(QString::fromLatin1(partes.at(4)));
    } else if (partes.size() == 3 && partes.at(0) == "piso") {
        nodo = 1000 + partes.at(1).mid(1).toInt();
        linea = partes.at(2).toInt();
    } else {
        return;
    }
    Sparkplug::Mensaje m;
    if (!Sparkplug::decodifica(QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen), &m))
        return;
    ++ll->ddata;
    for (const Sparkplug::Metrica& x : m.metricas)
        if (x.alias == quint64(linea) * 32 + 1 && std::holds_alternative<double>(x.valor)) {
            std::lock_guard<std::mutex> l(ll->m);
            ll->cuando.emplace(std::tuple{nodo, linea, qint64(std::get<double>(x.valor))}, t);
        }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addHelpOption();
    p.addOptions({{QStringLiteral("puestos"), QStringLiteral("Puestos."), QStringLiteral("N"), QStringLiteral("20")},
                  {QStringLiteral("lineas"), QStringLiteral("Líneas por puesto."), QStringLiteral("N"), QStringLiteral("4")},
                  {QStringLiteral("segundos"), QStringLiteral("Duración."), QStringLiteral("S"), QStringLiteral("20")},
                  {QStringLiteral("periodo"), QStringLiteral("Cada cuánto cambia el peso (ms)."), QStringLiteral("MS"),
                   QStringLiteral("100")}});
    p.process(app);
    const int puestos = p.value(QStringLiteral("puestos")).toInt();
    const int lineas = p.value(QStringLiteral("lineas")).toInt();
    const int segundos = p.value(QStringLiteral("segundos")).toInt();
    const int periodo = p.value(QStringLiteral("periodo")).toInt();
    if (puestos < 1 || lineas < 1 || lineas > 16 || segundos < 1 || periodo < 10) {
        std::fprintf(stderr, "tolvex-bench-mqtt: valores no válidos\n");
        return 2;
    }
    QTemporaryDir tmp;
    quint16 puerto;
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        puerto = s.serverPort();
    }
    QFile conf(tmp.filePath(QStringLiteral("mosquitto.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n")
                   .arg(puerto)
                   .toUtf8());
    conf.close();
    QProcess broker;
    broker.start(QStringLiteral("/usr/sbin/mosquitto"), {QStringLiteral("-c"), conf.fileName()});
    if (!broker.waitForStarted()) {
        std::fprintf(stderr, "tolvex-bench-mqtt: no se pudo iniciar mosquitto\n");
        return 77;
    }
    for (int i = 0; i < 100; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, puerto);
        if (s.waitForConnected(100))
            break;
        QThread::msleep(50);
    }

    mosquitto_lib_init();
    Llegadas llegadas;
    mosquitto* sub = mosquitto_new("bench-sub", true, &llegadas);
    mosquitto_message_callback_set(sub, alMensaje);
    mosquitto_connect(sub, "127.0.0.1", puerto, 30);
    mosquitto_subscribe(sub, nullptr, "spBv1.0/Bench/DDATA/#", 0);
    mosquitto_subscribe(sub, nullptr, "piso/#", 0);
    mosquitto_loop_start(sub);
    QThread::msleep(300);

    std::vector<std::unique_ptr<NodoSparkplug>> nodos;
    for (int n = 0; n < puestos; ++n) {
        const QString dir = tmp.filePath(QStringLiteral("P%1").arg(n));
        QDir().mkpath(dir);
        ConfigMqtt c = ConfigMqtt::desde(QStringLiteral("127.0.0.1"), QString::number(puerto), {}, {}, {},
                                         QStringLiteral("Bench"), QStringLiteral("P%1").arg(n), {});
        nodos.push_back(std::make_unique<NodoSparkplug>(c, dir));
    }
    for (int i = 0; i < 200 && !std::all_of(nodos.cbegin(), nodos.cend(), [](const auto& x) {
                                   return x->cuenta().conectado;
                               });
         ++i)
        QThread::msleep(50);

    // The changes, as the stations' threads leave them.
    std::map<std::tuple<int, int, qint64>, qint64> cambios;
    EstadoEstacion e;
    e.abierta = e.conectado = true;
    e.textoModo = QStringLiteral("CARGA");
    for (auto& x : nodos)
        for (int l = 1; l <= lineas; ++l)
            x->publica(l, e);
    QThread::msleep(500);
    std::vector<qint64> cpu0;
    for (auto& x : nodos)
        cpu0.push_back(x->cuenta().cpuNs);
    const qint64 ddata0 = llegadas.ddata;
    const qint64 inicio = relojNs();
    qint64 valor = 0;
    for (qint64 tick = 1; relojNs() - inicio < qint64(segundos) * 1'000'000'000; ++tick) {
        ++valor;
        for (int n = 0; n < puestos; ++n)
            for (int l = 1; l <= lineas; ++l) {
                e.Peso = double(valor);
                e.instante = QDateTime::currentDateTimeUtc();
                cambios.emplace(std::tuple{n, l, valor}, relojNs());
                nodos[size_t(n)]->publica(l, e);
            }
        const qint64 siguiente = inicio + tick * qint64(periodo) * 1'000'000;
        const qint64 falta = siguiente - relojNs();
        if (falta > 0)
            QThread::usleep(ulong(falta / 1000));
    }
    const qint64 pared = relojNs() - inicio;
    QThread::msleep(1000);
    qint64 cpu = 0;
    for (size_t n = 0; n < nodos.size(); ++n)
        cpu += nodos[n]->cuenta().cpuNs - cpu0[n];
    const qint64 enviados = llegadas.ddata - ddata0;
    std::vector<double> lat;
    {
        std::lock_guard<std::mutex> l(llegadas.m);
        for (const auto& [clave, t] : llegadas.cuando) {
            const auto i = cambios.find(clave);
            if (i != cambios.end() && std::get<0>(clave) < 1000)
                lat.push_back(double(t - i->second) / 1e6);
        }
    }
    std::printf("nodos %d lineas %d segundos %d cambios %zu ddata %lld\n", puestos, lineas, segundos, cambios.size(),
                qlonglong(enviados));
    std::printf("latencia_ms p50 %.2f p99 %.2f max %.2f\n", percentil(lat, 0.5), percentil(lat, 0.99),
                lat.empty() ? 0.0 : *std::max_element(lat.begin(), lat.end()));
    std::printf("cpu_por_puesto_pct %.4f\n", 100.0 * double(cpu) / double(puestos) / double(pared));
    nodos.clear();

    // The floor: as many messages, already encoded, through bare clients
    // driven from one thread, one message per line every 200 ms.
    std::vector<mosquitto*> pisos;
    for (int n = 0; n < puestos; ++n) {
        mosquitto* m = mosquitto_new(nullptr, true, nullptr);
        mosquitto_connect(m, "127.0.0.1", puerto, 30);
        pisos.push_back(m);
    }
    const qint64 porLinea = enviados / std::max(1, puestos * lineas);
    std::map<std::tuple<int, int, qint64>, qint64> envios;
    const qint64 pisoInicio = relojNs();
    const qint64 pisoCpu0 = cpuHiloNs();
    for (qint64 k = 1; k <= porLinea; ++k) {
        for (int n = 0; n < puestos; ++n) {
            for (int l = 1; l <= lineas; ++l) {
                const Sparkplug::Metrica x{{}, quint64(l) * 32 + 1, Sparkplug::Double, true, double(k), 0};
                const QByteArray datos = Sparkplug::codifica({0, k % 256, {x}});
                const QByteArray tema = QStringLiteral("piso/P%1/%2").arg(n).arg(l).toLatin1();
                envios.emplace(std::tuple{1000 + n, l, k}, relojNs());
                mosquitto_publish(pisos[size_t(n)], nullptr, tema.constData(), int(datos.size()), datos.constData(), 0,
                                  false);
            }
            mosquitto_loop(pisos[size_t(n)], 0, 1);
        }
        const qint64 falta = pisoInicio + k * 200'000'000 - relojNs();
        if (falta > 0)
            QThread::usleep(ulong(falta / 1000));
    }
    const qint64 pisoCpu = cpuHiloNs() - pisoCpu0;
    const qint64 pisoPared = relojNs() - pisoInicio;
    QThread::msleep(1000);
    std::vector<double> latPiso;
    {
        std::lock_guard<std::mutex> l(llegadas.m);
        for (const auto& [clave, t] : llegadas.cuando) {
            const auto i = envios.find(clave);
            if (i != envios.end())
                latPiso.push_back(double(t - i->second) / 1e6);
        }
    }
    std::printf("piso latencia_ms p50 %.2f p99 %.2f  cpu_por_puesto_pct %.4f\n", percentil(latPiso, 0.5),
                percentil(latPiso, 0.99), 100.0 * double(pisoCpu) / double(puestos) / double(pisoPared));
    for (mosquitto* m : pisos) {
        mosquitto_disconnect(m);
        mosquitto_destroy(m);
    }
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    broker.terminate();
    broker.waitForFinished();
    return 0;
}
