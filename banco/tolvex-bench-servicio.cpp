// tolvex-bench-servicio [LINES] [SECONDS]: what the recorder service costs.
//  - CPU: tolvex-registro recording LINES lines polled every 100 ms, each on
//    its own simulated indicator (threads of this process, loopback TCP), as
//    the process's CPU time over wall time from /proc, first with nobody on
//    its channel, then with one desktop client following every line. The
//    floor is the same lines polled every 100 ms by the link alone (Enlace,
//    the same simulators) in a child process of this program, timed the
//    same way.
//  - Latency: a desktop client (CanalCliente) follows line 1; this program
//    changes the simulator's weight at random moments and times until the
//    client's estadoCambiado shows it (which includes the wait for the next
//    poll), and from the reading's own time (the state's instante, set when
//    the poll answered) to that signal: the channel alone.
// Prints one line per figure; see docs/benchmarks.md.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

#include "Banco.h"
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "EstacionRemota.h"
#include "Indicador.h"
#include "SimuladorEnHilo.h"

namespace {

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

// CPU seconds (user + system) of a process, from /proc/PID/stat.
double cpuDe(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> campos = s.mid(s.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (campos.value(11).toDouble() + campos.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// Share of one core a process takes over segundos (after a warm-up).
double cuota(qint64 pid, int segundos)
{
    Banco::esperaHasta([] { return false; }, 2000);
    const double c0 = cpuDe(pid);
    QElapsedTimer t;
    t.start();
    Banco::esperaHasta([] { return false; }, segundos * 1000);
    return (cpuDe(pid) - c0) / (double(t.nsecsElapsed()) / 1e9);
}

double percentil(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(std::ceil(q * double(v.size()))) - 1)];
}

// The floor's child: the ports' indicators polled by the link alone.
int piso(const QStringList& puertos)
{
    std::vector<std::unique_ptr<Enlace>> enlaces;
    for (const QString& p : puertos) {
        ConfigEnlace c;
        c.comunicacion = 1;
        c.host = QStringLiteral("127.0.0.1");
        c.puerto = quint16(p.toUInt());
        c.id = 1;
        auto e = std::make_unique<Enlace>();
        Enlace* x = e.get();
        QObject::connect(x, &Enlace::abierto, x, [x](bool ok) {
            if (ok)
                x->sondea(100);
        });
        x->abrir(c);
        enlaces.push_back(std::move(e));
    }
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"--piso")
        return piso(args.mid(2));
    const int n = std::clamp(args.value(1, QStringLiteral("4")).toInt(), 1, 16);
    const int segundos = std::clamp(args.value(2, QStringLiteral("20")).toInt(), 3, 600);
    const QString registro = QCoreApplication::applicationDirPath() + QStringLiteral("/tolvex-registro");

    std::vector<std::unique_ptr<SimuladorEnHilo>> sims;
    QVector<std::pair<quint16, quint8>> enlaces;
    QStringList puertos;
    for (int i = 0; i < n; ++i) {
        IndicadorSimulado::Parametros p;
        p.semilla = quint32(i + 1);
        sims.push_back(std::make_unique<SimuladorEnHilo>(p));
        sims.back()->indicador().setReloj(false);
        sims.back()->indicador().setValor32(Indicador::kPeso, 1000);
        enlaces.append({sims.back()->puerto(), 1});
        puertos << QString::number(sims.back()->puerto());
    }
    QTemporaryDir dir;
    QString error;
    if (!Banco::prepara(dir.path(), enlaces, QString(), 100, false, &error)) {
        out() << "tolvex-bench-servicio: " << error << "\n";
        return 2;
    }

    // The floor first, on its own.
    QProcess suelo;
    suelo.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--piso")} + puertos);
    suelo.waitForStarted();
    const double cuotaPiso = cuota(suelo.processId(), segundos);
    suelo.kill();
    suelo.waitForFinished();

    QProcess servicio;
    servicio.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    servicio.start(registro, {dir.path()});
    std::unique_ptr<CanalCliente> canal;
    Banco::esperaHasta([&] { return (canal = CanalCliente::conecta(dir.path(), &error, 500)) != nullptr; }, 20000);
    if (!canal) {
        out() << "tolvex-bench-servicio: el registrador no atiende: " << error << "\n";
        return 1;
    }
    canal.reset();
    const double cuotaSola = cuota(servicio.processId(), segundos);
    canal = CanalCliente::conecta(dir.path(), &error);
    const double cuotaConCliente = canal ? cuota(servicio.processId(), segundos) : -1;

    out() << QStringLiteral("lines %1 poll_ms 100 seconds %2\n").arg(n).arg(segundos);
    out() << QStringLiteral("cpu_per_line_pct recorder %1 with_client %2 floor_link %3 ratio %4\n")
                 .arg(100 * cuotaSola / n, 0, 'f', 3)
                 .arg(100 * cuotaConCliente / n, 0, 'f', 3)
                 .arg(100 * cuotaPiso / n, 0, 'f', 3)
                 .arg(cuotaPiso > 0 ? cuotaSola / cuotaPiso : 0, 0, 'f', 2);

    // Latency of a change of weight on line 1 to the client.
    std::vector<double> total, canalSolo;
    if (EstacionRemota* e = canal ? canal->estacion(1) : nullptr) {
        quint32 peso = 1000;
        QElapsedTimer t;
        bool visto = true;
        QObject::connect(e, &EstacionBase::estadoCambiado, e, [&](const EstadoEstacion& s) {
            if (visto || s.Peso != double(peso))
                return;
            visto = true;
            total.push_back(double(t.nsecsElapsed()) / 1e6);
            canalSolo.push_back(double(s.instante.msecsTo(QDateTime::currentDateTime())));
        });
        const int muestras = std::max(50, segundos * 5);
        for (int k = 0; k < muestras; ++k) {
            Banco::esperaHasta([] { return false; }, 50 + int(QRandomGenerator::global()->bounded(150)));
            visto = false;
            ++peso;
            t.start();
            sims[0]->indicador().setValor32(Indicador::kPeso, peso);
            Banco::esperaHasta([&] { return visto; }, 2000);
        }
    }
    out() << QStringLiteral("latency_ms change_to_client p50 %1 p99 %2 reading_to_client p50 %3 p99 %4 samples %5\n")
                 .arg(percentil(total, 0.5), 0, 'f', 1)
                 .arg(percentil(total, 0.99), 0, 'f', 1)
                 .arg(percentil(canalSolo, 0.5), 0, 'f', 1)
                 .arg(percentil(canalSolo, 0.99), 0, 'f', 1)
                 .arg(total.size());
    out().flush();
    canal.reset();
    ::kill(pid_t(servicio.processId()), SIGTERM);
    servicio.waitForFinished(20000);
    return 0;
}
