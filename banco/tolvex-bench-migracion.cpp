// tolvex-bench-migracion [--fixtures DIR] [--rondas N]
// The move of the older program's 100,000-row directory (grande/) into
// SQLite by tolvex-setup --desde, beside the floor: mdb-export of the same
// table to CSV plus sqlite3's .import of that CSV into the same table (a
// reports table as Tolvex creates it, with its indexes), in interleaved
// rounds of one run. Each program runs as a child process of its own: wall
// time, CPU time and peak resident memory come from wait4. The peak memory
// of the move is also measured on the 25,000-row directory (jet4/), to
// show it does not grow with the rows.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Instalacion.h"

namespace {

struct Medida
{
    double pared = 0, cpu = 0;
    long rssKib = 0;
    bool ok = false;
};

// Runs argv with its standard output into salida (or /dev/null).
Medida corre(const QStringList& argv, const QString& salida = QString())
{
    std::vector<QByteArray> a;
    for (const QString& s : argv)
        a.push_back(s.toLocal8Bit());
    std::vector<char*> p;
    for (QByteArray& b : a)
        p.push_back(b.data());
    p.push_back(nullptr);
    QElapsedTimer t;
    t.start();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(salida.isEmpty() ? "/dev/null" : salida.toLocal8Bit().constData(),
                            O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        const int nulo = open("/dev/null", O_WRONLY);
        dup2(nulo, 2);
        execvp(p[0], p.data());
        _exit(127);
    }
    int estado = 0;
    rusage u{};
    wait4(pid, &estado, 0, &u);
    Medida m;
    m.pared = double(t.nsecsElapsed()) / 1e9;
    m.cpu = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    m.rssKib = u.ru_maxrss;
    m.ok = WIFEXITED(estado) && WEXITSTATUS(estado) == 0;
    return m;
}

double mediana(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString fixtures = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../../../shared/fixtures"));
    int rondas = 3;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == u"--fixtures")
            fixtures = args.at(i + 1);
        else if (args.at(i) == u"--rondas")
            rondas = qMax(1, args.at(i + 1).toInt());
    }
    const QString grande = fixtures + QStringLiteral("/planta-anterior/grande");
    const QString jet4 = fixtures + QStringLiteral("/planta-anterior/jet4");
    const QString setup = QCoreApplication::applicationDirPath() + QStringLiteral("/tolvex-setup");
    if (!QFileInfo::exists(grande + QStringLiteral("/data.mdb")) || !QFileInfo(setup).isExecutable()) {
        std::fprintf(stderr, "tolvex-bench-migracion: faltan %s o %s\n", qPrintable(grande), qPrintable(setup));
        return 2;
    }
    std::vector<double> nuestroPared, nuestroCpu, pisoPared, pisoCpu;
    long rss100k = 0;
    for (int r = 0; r < rondas; ++r) {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("planta"));
        const Medida m = corre({setup, dir, QStringLiteral("--desde"), grande});
        if (!m.ok) {
            std::fprintf(stderr, "tolvex-bench-migracion: tolvex-setup falló\n");
            return 1;
        }
        nuestroPared.push_back(m.pared);
        nuestroCpu.push_back(m.cpu);
        rss100k = std::max(rss100k, m.rssKib);

        // The floor: the same table, as Tolvex creates it, filled by sqlite3.
        Instalacion inst;
        inst.directorio = tmp.filePath(QStringLiteral("piso"));
        if (!inst.ejecutar()) {
            std::fprintf(stderr, "tolvex-bench-migracion: %s\n", qPrintable(inst.error));
            return 1;
        }
        const QString csv = tmp.filePath(QStringLiteral("reporte.csv"));
        const Medida e = corre({QStringLiteral("mdb-export"), grande + QStringLiteral("/data.mdb"), QStringLiteral("Reporte")}, csv);
        const Medida i = corre({QStringLiteral("sqlite3"), inst.directorio + QStringLiteral("/data.db"),
                                QStringLiteral(".import --csv --skip 1 %1 Reporte").arg(csv)});
        if (!e.ok || !i.ok) {
            std::fprintf(stderr, "tolvex-bench-migracion: mdb-export o sqlite3 fallaron\n");
            return 1;
        }
        pisoPared.push_back(e.pared + i.pared);
        pisoCpu.push_back(e.cpu + i.cpu);
        std::printf("ronda %d: tolvex-setup %.2f s (CPU %.2f s); piso %.2f s (CPU %.2f s)\n", r + 1, m.pared, m.cpu,
                    e.pared + i.pared, e.cpu + i.cpu);
    }
    long rss25k = 0;
    {
        QTemporaryDir tmp;
        const Medida m = corre({setup, tmp.filePath(QStringLiteral("planta")), QStringLiteral("--desde"), jet4});
        rss25k = m.ok ? m.rssKib : -1;
    }
    const double np = mediana(nuestroPared), nc = mediana(nuestroCpu), pp = mediana(pisoPared), pc = mediana(pisoCpu);
    std::printf("100000 filas, mediana de %d rondas:\n", rondas);
    std::printf("  tolvex-setup --desde   %.2f s pared, %.2f s CPU\n", np, nc);
    std::printf("  mdb-export + .import   %.2f s pared, %.2f s CPU\n", pp, pc);
    std::printf("  razón                  %.2f pared, %.2f CPU\n", np / pp, nc / pc);
    std::printf("memoria máxima de tolvex-setup: 25000 filas %ld KiB, 100000 filas %ld KiB\n", rss25k, rss100k);
    return 0;
}
