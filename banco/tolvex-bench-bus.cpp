// tolvex-bench-bus: several indicators on one serial bus. The simulator,
// paced as a real line (8N1, 2 ms turnaround), serves 1, 2 and 4 ids on a
// pseudo-terminal; one Enlace per id polls as fast as the bus allows. Prints
// the bus occupancy (frames and their 3.5-character gaps over the time, the
// indicators' turnaround left out) and the period each line gets, flat out
// and at 100 ms configured.
// usage: tolvex-bench-bus [SECONDS]   (per case; 10)
//
// With --mudo, an indicator nobody here wrote: pymodbus (tests/
// link_pymodbus_slave.py) serves ids 1, 2 and 3 on one port (RTU frames over
// TCP, or over a pseudo-terminal pair made by socat), three Enlaces poll
// them every 100 ms with the station's waits. First all three answer (the
// floor), then id 2 is switched off for SECONDS and on again, ROUNDS times.
// Prints, for lines 1 and 3, readings a second with all answering and with
// id 2 off, the longest time without a reading, failed readings and the
// gaps long enough for the station to show "no reply"; and how long id 2
// took to be read again after it answered.
// usage: tolvex-bench-bus --mudo tcp|pty [SECONDS [ROUNDS]]   (30, 3)
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

namespace {

class Bus
{
public:
    Bus(int ids, int baudios)
    {
        for (int id = 1; id <= ids; ++id) {
            m_indicadores.push_back(std::make_unique<IndicadorSimulado>(
                IndicadorSimulado::Parametros{.semilla = quint32(id)}));
            if (id == 1)
                m_servidor = new ServidorRtu(*m_indicadores.back(), 1);
            else
                m_servidor->agrega(*m_indicadores.back(), quint8(id));
        }
        m_servidor->setBaudios(baudios, 2);
        m_servidor->moveToThread(&m_hilo);
        m_hilo.start();
        QMetaObject::invokeMethod(m_servidor, [this] { m_ok = m_servidor->abrePty(); },
                                  Qt::BlockingQueuedConnection);
    }
    ~Bus()
    {
        QMetaObject::invokeMethod(m_servidor, [this] { delete m_servidor; }, Qt::BlockingQueuedConnection);
        m_hilo.quit();
        m_hilo.wait();
    }
    bool ok() const { return m_ok; }
    ServidorRtu& servidor() { return *m_servidor; }

private:
    std::vector<std::unique_ptr<IndicadorSimulado>> m_indicadores;
    ServidorRtu* m_servidor = nullptr;
    QThread m_hilo;
    bool m_ok = false;
};

void espera(int ms)
{
    QEventLoop bucle;
    QTimer::singleShot(ms, &bucle, &QEventLoop::quit);
    bucle.exec();
}

struct Resultado
{
    double ocupacion = 0;         // share of the time without turnaround
    double periodoMedio = 0;      // ms between two readings of one line
    int periodoEfectivo = 0;      // the largest an Enlace reports
    qint64 lecturas = 0, fallidas = 0;
};

Resultado mide(int ids, int baudios, int periodoMs, int segundos)
{
    Resultado r;
    Bus bus(ids, baudios);
    if (!bus.ok())
        return r;
    std::vector<std::unique_ptr<Enlace>> enlaces;
    std::vector<qint64> buenas(size_t(ids), 0), malas(size_t(ids), 0);
    for (int id = 1; id <= ids; ++id) {
        ConfigEnlace c;
        c.dispositivo = bus.servidor().dispositivo();
        c.baudios = baudios;
        c.id = quint8(id);
        auto e = std::make_unique<Enlace>();
        const auto k = size_t(id - 1);
        Enlace* enlace = e.get();
        // Flat out (periodoMs 0): each line asks for its next read as soon as
        // its reading comes, so the bus always has one waiting.
        QObject::connect(e.get(), &Enlace::lecturaLista,
                         [&buenas, &malas, k, enlace, periodoMs](const LecturaPeso& l, int) {
                             ++(l.valida() ? buenas : malas)[k];
                             if (periodoMs == 0)
                                 enlace->leer(1);
                         });
        e->abrir(c);
        enlaces.push_back(std::move(e));
    }
    for (auto& e : enlaces) {
        if (periodoMs == 0)
            e->leer(1);
        else
            e->sondea(periodoMs, 1);
    }
    espera(1500); // every line read once or more, the accumulators known
    const std::vector<qint64> b0 = buenas, m0 = malas;
    const qint64 ocupado0 = bus.servidor().ocupadoUs();
    const qint64 giro0 = bus.servidor().giroUs();
    QElapsedTimer reloj;
    reloj.start();
    espera(segundos * 1000);
    const double us = double(reloj.nsecsElapsed()) / 1000;
    const double ocupado = double(bus.servidor().ocupadoUs() - ocupado0);
    const double giro = double(bus.servidor().giroUs() - giro0);
    for (size_t k = 0; k < size_t(ids); ++k) {
        r.lecturas += buenas[k] - b0[k];
        r.fallidas += malas[k] - m0[k];
        r.periodoEfectivo = std::max(r.periodoEfectivo, enlaces[k]->periodoEfectivo());
    }
    r.ocupacion = ocupado / (us - giro);
    r.periodoMedio = r.lecturas > 0 ? us / 1000 / (double(r.lecturas) / ids) : 0;
    enlaces.clear();
    return r;
}

// One line's readings, stamped on arrival.
struct Linea
{
    std::vector<std::pair<qint64, bool>> lecturas; // ms, valid
    // Readings a second, valid ones, in [desde, hasta).
    double porSegundo(qint64 desde, qint64 hasta) const
    {
        qint64 n = 0;
        for (const auto& [ms, ok] : lecturas)
            n += ok && ms >= desde && ms < hasta;
        return hasta > desde ? 1000.0 * double(n) / double(hasta - desde) : 0;
    }
    qint64 fallidas(qint64 desde, qint64 hasta) const
    {
        qint64 n = 0;
        for (const auto& [ms, ok] : lecturas)
            n += !ok && ms >= desde && ms < hasta;
        return n;
    }
    // Gaps between valid readings in [desde, hasta): the longest, and how
    // many exceed limite.
    std::pair<qint64, int> huecos(qint64 desde, qint64 hasta, qint64 limite) const
    {
        qint64 antes = -1, mayor = 0;
        int largos = 0;
        for (const auto& [ms, ok] : lecturas) {
            if (!ok || ms < desde || ms >= hasta)
                continue;
            if (antes >= 0) {
                mayor = std::max(mayor, ms - antes);
                largos += ms - antes > limite;
            }
            antes = ms;
        }
        return {mayor, largos};
    }
};

int mudo(bool pty, int segundos, int rondas)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString script = QStringLiteral(TOLVEX_SOURCE_DIR "/tests/link_pymodbus_slave.py");
    QTemporaryDir dir;
    QProcess par, esclavo;
    ConfigEnlace c; // the station's waits: 2000 ms reply, 250 ms quiet
    QStringList donde{QStringLiteral("--tcp"), QStringLiteral("0")};
    if (pty) {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty()) {
            err << "socat is not installed\n";
            return 1;
        }
        const QString a = dir.filePath(QStringLiteral("esclavo"));
        c.dispositivo = dir.filePath(QStringLiteral("maestro"));
        par.start(socat, {QStringLiteral("pty,raw,echo=0,link=") + a,
                          QStringLiteral("pty,raw,echo=0,link=") + c.dispositivo});
        for (int i = 0; i < 100 && !(QFile::exists(a) && QFile::exists(c.dispositivo)); ++i)
            espera(50);
        donde = {QStringLiteral("--serial"), a};
    }
    esclavo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    esclavo.start(QStringLiteral("/usr/bin/python3"),
                  QStringList{script} + donde + QStringList{QStringLiteral("--ids"), QStringLiteral("1,2,3")});
    auto linea = [&esclavo] {
        QDeadlineTimer limite(10000);
        while (!esclavo.canReadLine() && esclavo.state() != QProcess::NotRunning && !limite.hasExpired())
            esclavo.waitForReadyRead(100);
        return QString::fromUtf8(esclavo.readLine()).trimmed();
    };
    const QString sirve = linea();
    if (sirve.isEmpty()) {
        err << "pymodbus did not start\n";
        return 1;
    }
    if (!pty) {
        c.comunicacion = 1;
        c.host = QStringLiteral("127.0.0.1");
        c.puerto = sirve.section(u' ', 1).toUShort();
    }
    QElapsedTimer reloj;
    reloj.start();
    std::vector<Linea> lineas(3);
    std::vector<std::unique_ptr<Enlace>> enlaces;
    for (int id = 1; id <= 3; ++id) {
        c.id = quint8(id);
        auto e = std::make_unique<Enlace>();
        QObject::connect(e.get(), &Enlace::lecturaLista, [&lineas, &reloj, id](const LecturaPeso& l, int) {
            lineas[size_t(id - 1)].lecturas.push_back({reloj.elapsed(), l.valida()});
        });
        e->abrir(c);
        e->sondea(100, 6);
        enlaces.push_back(std::move(e));
    }
    espera(3000);
    const qint64 base0 = reloj.elapsed();
    espera(segundos * 1000);
    const qint64 base1 = reloj.elapsed();
    // The station shows "no reply" once a poll outlasts period + wait + 500 ms.
    const qint64 limite = 100 + c.esperaMs + 500;
    std::vector<std::pair<qint64, qint64>> mudos;
    std::vector<qint64> vuelta;
    for (int r = 0; r < rondas; ++r) {
        esclavo.write("mudo 2\n");
        linea();
        const qint64 m0 = reloj.elapsed();
        espera(segundos * 1000);
        esclavo.write("habla 2\n");
        linea();
        const qint64 m1 = reloj.elapsed();
        mudos.push_back({m0, m1});
        const size_t n0 = lineas[1].lecturas.size();
        qint64 otra = -1;
        for (int i = 0; i < 400 && otra < 0; ++i) {
            espera(50);
            for (size_t k = n0; k < lineas[1].lecturas.size() && otra < 0; ++k)
                if (lineas[1].lecturas[k].second)
                    otra = lineas[1].lecturas[k].first - m1;
        }
        vuelta.push_back(otra);
        espera(3000);
    }
    enlaces.clear();
    esclavo.terminate();
    esclavo.waitForFinished(5000);
    par.terminate();
    par.waitForFinished(5000);

    out << (pty ? "pty" : "tcp") << ": id 2 off " << segundos << " s, " << rondas
        << " times; lines 1 and 3 polled at 100 ms, reply wait " << c.esperaMs << " ms\n";
    out << "line  all on: reads/s  longest gap | id 2 off: reads/s  ratio  longest gap  gaps > " << limite
        << " ms  failed\n";
    for (size_t k : {size_t(0), size_t(2)}) {
        const Linea& l = lineas[k];
        double n = 0, t = 0;
        qint64 mayor = 0, fallidas = 0;
        int largos = 0;
        for (const auto& [m0, m1] : mudos) {
            n += l.porSegundo(m0, m1) * double(m1 - m0);
            t += double(m1 - m0);
            const auto [h, g] = l.huecos(m0 - 200, m1 + 3000, limite);
            mayor = std::max(mayor, h);
            largos += g;
            fallidas += l.fallidas(m0, m1 + 3000);
        }
        const double base = l.porSegundo(base0, base1);
        out << QStringLiteral("%1     %2     %3 ms     |     %4    %5   %6 ms     %7       %8\n")
                   .arg(k + 1)
                   .arg(base, 6, 'f', 2)
                   .arg(l.huecos(base0, base1, limite).first, 6)
                   .arg(n / t, 6, 'f', 2)
                   .arg(base > 0 ? n / t / base : 0, 5, 'f', 3)
                   .arg(mayor, 6)
                   .arg(largos, 3)
                   .arg(fallidas + l.fallidas(base0, base1), 3);
    }
    out << "id 2 read again after it answered:";
    for (qint64 v : vuelta)
        out << " " << (v < 0 ? QStringLiteral("never (20 s)") : QStringLiteral("%1 ms").arg(v));
    out << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--mudo") {
        const int segundos = argc > 3 ? std::max(1, QString::fromLocal8Bit(argv[3]).toInt()) : 30;
        const int rondas = argc > 4 ? std::max(1, QString::fromLocal8Bit(argv[4]).toInt()) : 3;
        return mudo(QByteArray(argv[2]) == "pty", segundos, rondas);
    }
    const int segundos = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 10;
    QTextStream out(stdout);
    out << "baud  ids  occupancy  reads  failed  period/line flat out  | at 100 ms: period/line  Enlace reports\n";
    for (int baudios : {9600, 19200}) {
        for (int ids : {1, 2, 4}) {
            const Resultado r = mide(ids, baudios, 0, segundos);
            const Resultado c = mide(ids, baudios, 100, segundos);
            out << QStringLiteral("%1  %2    %3 %     %4  %5       %6 ms              |  %7 ms  %8 ms\n")
                       .arg(baudios, 5)
                       .arg(ids, 3)
                       .arg(100 * r.ocupacion, 6, 'f', 1)
                       .arg(r.lecturas, 5)
                       .arg(r.fallidas + c.fallidas, 6)
                       .arg(r.periodoMedio, 7, 'f', 1)
                       .arg(c.periodoMedio, 7, 'f', 1)
                       .arg(c.periodoEfectivo, 5);
            out.flush();
        }
    }
    return 0;
}
