// tolvex-bench-bus: several indicators on one serial bus. The simulator,
// paced as a real line (8N1, 2 ms turnaround), serves 1, 2 and 4 ids on a
// pseudo-terminal; one Enlace per id polls as fast as the bus allows. Prints
// the bus occupancy (frames and their 3.5-character gaps over the time, the
// indicators' turnaround left out) and the period each line gets, flat out
// and at 100 ms configured.
// usage: tolvex-bench-bus [SECONDS]   (per case; 10)
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
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
