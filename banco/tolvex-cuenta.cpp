// tolvex-cuenta: an independent count of the batches against the rows.
// Each line's indicator is a tolvex-sim process of its own, weighing
// continuously (--marcha) from start to end; the recorder program
// (tolvex-registro) is started and stopped at random while they weigh:
// stopped cleanly, killed with SIGKILL (a power cut), left down for a while,
// and now and then a second one is started on the same directory, which must
// be refused. At the end the simulators stop, a last recorder reads their
// final accumulators, and for every line:
//  - the rows' PESO add up to what the accumulator rose from the first row's
//    start to the last row's TOTAL (no batch, and no kilo, passed unrecorded,
//    difference rows included), and
//  - the last row's TOTAL is the simulator's own accumulator;
//  - no two rows share a ticket, and a second recorder was always refused.
//   tolvex-cuenta [--lineas N] [--segundos S] [--postgres CS] [--dir DIR] [--semilla N]
// Prints one line per line and "ok" or what failed; exits 1 on any fault.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <csignal>
#include <memory>
#include <vector>

#include "Banco.h"
#include "CDatos.h"
#include "Config.h"
#include "Programa.h"

namespace {

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

QString programa(const char* nombre)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QLatin1String(nombre));
}

// A recorder process of the directory; true once it runs (or, when it must
// be refused, once it exited with the code of a bus held).
std::unique_ptr<QProcess> grabador(const QString& dir)
{
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->setStandardOutputFile(QProcess::nullDevice());
    p->start(programa("tolvex-registro"), {dir});
    if (!p->waitForStarted(5000))
        return nullptr;
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addHelpOption();
    p.addOptions({{QStringLiteral("lineas"), QStringLiteral("Líneas (3)."), QStringLiteral("N"), QStringLiteral("3")},
                  {QStringLiteral("segundos"), QStringLiteral("Duración (60)."), QStringLiteral("S"), QStringLiteral("60")},
                  {QStringLiteral("postgres"), QStringLiteral("Filas en PostgreSQL."), QStringLiteral("CS")},
                  {QStringLiteral("dir"), QStringLiteral("Directorio del programa (uno temporal)."), QStringLiteral("DIR")},
                  {QStringLiteral("semilla"), QStringLiteral("Semilla (la hora)."), QStringLiteral("N")}});
    p.process(app);
    const int lineas = std::clamp(p.value(QStringLiteral("lineas")).toInt(), 1, 8);
    const int segundos = std::max(5, p.value(QStringLiteral("segundos")).toInt());
    QRandomGenerator azar(p.isSet(QStringLiteral("semilla")) ? p.value(QStringLiteral("semilla")).toUInt()
                                                             : quint32(QDateTime::currentMSecsSinceEpoch()));
    QTemporaryDir temporal;
    const QString dir = p.isSet(QStringLiteral("dir")) ? p.value(QStringLiteral("dir")) : temporal.path();

    // The indicators: they weigh whether or not anybody reads them.
    std::vector<std::unique_ptr<QProcess>> sims;
    QVector<std::pair<quint16, quint8>> enlaces;
    for (int i = 0; i < lineas; ++i) {
        auto s = std::make_unique<QProcess>();
        s->start(programa("tolvex-sim"), {QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--marcha"),
                                          QStringLiteral("--speed"), QStringLiteral("20"), QStringLiteral("--seed"),
                                          QString::number(azar.bounded(1000000) + 1)});
        if (!s->waitForStarted(5000) || !s->waitForReadyRead(5000)) {
            out() << "tolvex-cuenta: no se pudo iniciar tolvex-sim\n";
            return 2;
        }
        enlaces.append({quint16(QString::fromUtf8(s->readLine()).trimmed().section(u' ', 1).toUInt()), 1});
        sims.push_back(std::move(s));
    }
    QString error;
    if (!Banco::prepara(dir, enlaces, p.value(QStringLiteral("postgres")), 100, false, &error)) {
        out() << "tolvex-cuenta: " << error << "\n";
        return 2;
    }

    int arranques = 0, muertes = 0, rechazos = 0, dobles = 0;
    QStringList fallas;
    QElapsedTimer reloj;
    reloj.start();
    while (reloj.elapsed() < qint64(segundos) * 1000) {
        auto g = grabador(dir);
        if (!g) {
            out() << "tolvex-cuenta: no se pudo iniciar tolvex-registro\n";
            return 2;
        }
        ++arranques;
        QThread::msleep(500 + azar.bounded(4000));
        if (azar.bounded(4) == 0) {
            // A second master of the same bus: refused, with the holder named.
            ++dobles;
            auto otro = grabador(dir);
            if (otro && otro->waitForFinished(10000) && otro->exitCode() == 3)
                ++rechazos;
            else
                fallas << QStringLiteral("un segundo tolvex-registro no fue rechazado");
        }
        if (azar.bounded(2) == 0) {
            ::kill(pid_t(g->processId()), SIGKILL);
            ++muertes;
        } else
            g->terminate();
        if (!g->waitForFinished(15000))
            fallas << QStringLiteral("tolvex-registro no terminó");
        // Down for a while: the indicators go on weighing.
        QThread::msleep(azar.bounded(3000));
    }
    // The indicators stop; a last recorder sees where they stopped.
    QVector<double> acumulados;
    for (auto& s : sims) {
        s->write("detiene\n");
        s->waitForBytesWritten(2000);
    }
    QThread::msleep(1500);
    for (auto& s : sims) {
        s->readAllStandardOutput();
        s->write("lotes\n");
        s->waitForBytesWritten(2000);
        if (!s->waitForReadyRead(5000)) {
            out() << "tolvex-cuenta: tolvex-sim no contesta\n";
            return 2;
        }
        // "lotes N kg K id1 n k"
        acumulados << QString::fromUtf8(s->readLine()).trimmed().section(u' ', 3, 3).toDouble();
    }
    {
        auto g = grabador(dir);
        ++arranques;
        QThread::msleep(4000);
        g->terminate();
        g->waitForFinished(15000);
    }
    for (auto& s : sims) {
        s->terminate();
        s->waitForFinished(5000);
    }

    Programa::leeVariables();
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte)) {
        out() << "tolvex-cuenta: no se abre la base\n";
        return 2;
    }
    for (int l = 1; l <= lineas; ++l) {
        double suma = 0, primero = 0, ultimo = 0;
        int filas = 0, diferencias = 0;
        db.AbreRegistro(QStringLiteral("SELECT PESO, TOTAL, INFO FROM %1 WHERE LINEA = ? ORDER BY TICKET")
                            .arg(Programa::DataTbReporte),
                        {l});
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            const double peso = db.Campo(QStringLiteral("PESO")).toDouble();
            const double total = db.Campo(QStringLiteral("TOTAL")).toDouble();
            if (filas++ == 0)
                primero = total - peso;
            suma += peso;
            ultimo = total;
            diferencias += db.Campo(QStringLiteral("INFO")).toString().contains(QStringLiteral("Diferencia")) ? 1 : 0;
        }
        const double indicador = acumulados.value(l - 1);
        out() << "linea " << l << " filas " << filas << " diferencias " << diferencias << " suma " << suma
              << " desde " << primero << " hasta " << ultimo << " indicador " << indicador << "\n";
        if (filas == 0)
            fallas << QStringLiteral("línea %1 sin filas").arg(l);
        if (std::abs(suma - (ultimo - primero)) > 0.5)
            fallas << QStringLiteral("línea %1: la suma %2 no es el acumulado %3").arg(l).arg(suma).arg(ultimo - primero);
        if (std::abs(ultimo - indicador) > 0.5)
            fallas << QStringLiteral("línea %1: el último TOTAL %2 no es el del indicador %3").arg(l).arg(ultimo).arg(indicador);
    }
    db.AbreRegistro(QStringLiteral("SELECT COUNT(*) - COUNT(DISTINCT TICKET) AS N FROM %1").arg(Programa::DataTbReporte));
    if (db.PrimerRegistro() && db.Campo(QStringLiteral("N")).toInt() != 0)
        fallas << QStringLiteral("tickets repetidos");
    out() << "arranques " << arranques << " muertes " << muertes << " dobles " << dobles << " rechazados "
          << rechazos << "\n";
    out() << (fallas.isEmpty() ? QStringLiteral("ok") : fallas.join(QStringLiteral("; "))) << "\n";
    return fallas.isEmpty() ? 0 : 1;
}
