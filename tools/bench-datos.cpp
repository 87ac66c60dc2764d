// tolvex-bench-datos [--rows N] [--postgres "CONNECTION"]
// Time to record one batch as the station does: mark the previous row and
// append the new one with its ticket, each unit of work on its own
// connection and committed.
#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "CDatos.h"
#include "Schema.h"

namespace {

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t i =
        std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

bool markPrevious(const QString& cs, qint64 ticket, double total)
{
    CDatos db;
    if (!db.AbrirBase(cs) || !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = %2")
                                                  .arg(Schema::kTablaReporte)
                                                  .arg(ticket)))
        return false;
    if (!db.Existe_Registro())
        return true;
    const bool closes = db.Campo(QStringLiteral("TOTAL")).toDouble() > total;
    return db.IniciaTransaccion() &&
           db.EditaRegistros({{QStringLiteral("OPCION1"), closes ? 1 : 0},
                              {QStringLiteral("INFO"), QString()}}) &&
           db.Confirma();
}

qint64 appendRow(const QString& cs, double total)
{
    CDatos db;
    if (!db.AbrirBase(cs) || !db.IniciaTransaccion())
        return 0;
    const qint64 t = db.TomaTicket(Schema::kTablaGlobal);
    if (t <= 0 ||
        !db.AbreRegistro(
            QStringLiteral("SELECT * FROM %1 WHERE TICKET = %2").arg(Schema::kTablaReporte).arg(t)))
        return 0;
    const bool ok = db.AgregaRegistros({{QStringLiteral("TICKET"), t},
                                        {QStringLiteral("AUX1"), QStringLiteral("Cliente")},
                                        {QStringLiteral("AUX2"), QStringLiteral("Producto")},
                                        {QStringLiteral("TOTAL"), total},
                                        {QStringLiteral("PESO"), 250.0},
                                        {QStringLiteral("BACH"), 250.0},
                                        {QStringLiteral("PRESET"), 0.0},
                                        {QStringLiteral("FECHA"), QDate::currentDate()},
                                        {QStringLiteral("HORA"), QTime::currentTime()},
                                        {QStringLiteral("INFO"), QString()},
                                        {QStringLiteral("OPERADOR"), QStringLiteral("bench")}}) &&
                    db.Confirma();
    return ok ? t : 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int rows = 1000;
    QString cs;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == u"--rows" && i + 1 < args.size())
            rows = args[++i].toInt();
        else if (args[i] == u"--postgres" && i + 1 < args.size())
            cs = args[++i];
        else {
            std::fprintf(stderr, "uso: tolvex-bench-datos [--rows N] [--postgres \"CONEXION\"]\n");
            return 2;
        }
    }
    if (rows < 1)
        rows = 1000;
    QTemporaryDir tmp;
    const bool postgres = !cs.isEmpty();
    if (!postgres)
        cs = ConnectionString::sqlite(tmp.path() + QStringLiteral("/data.db"));
    {
        CDatos db;
        QString error;
        if (!db.AbrirBase(cs, true)) {
            std::fprintf(stderr, "%s\n", qPrintable(db.ultimoError()));
            return 1;
        }
        for (const QString& t : {Schema::kTablaReporte, Schema::kTablaGlobal})
            if (postgres)
                db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
        if (!Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal,
                           nullptr, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::vector<double> mark, append, both;
    double total = 0;
    qint64 last = 0;
    for (int i = 0; i < rows; ++i) {
        total += 250;
        QElapsedTimer t;
        t.start();
        if (last > 0 && !markPrevious(cs, last, total)) {
            std::fprintf(stderr, "marking failed\n");
            return 1;
        }
        const double m = static_cast<double>(t.nsecsElapsed()) / 1e6;
        last = appendRow(cs, total);
        if (last <= 0) {
            std::fprintf(stderr, "append failed\n");
            return 1;
        }
        const double all = static_cast<double>(t.nsecsElapsed()) / 1e6;
        mark.push_back(m);
        append.push_back(all - m);
        both.push_back(all);
    }
    std::printf("engine %s rows %d\n", postgres ? "postgresql" : "sqlite", rows);
    std::printf("mark previous row  median %.3f ms  p99 %.3f ms\n", percentile(mark, 0.5),
                percentile(mark, 0.99));
    std::printf("ticket + new row   median %.3f ms  p99 %.3f ms\n", percentile(append, 0.5),
                percentile(append, 0.99));
    std::printf("whole batch        median %.3f ms  p99 %.3f ms\n", percentile(both, 0.5),
                percentile(both, 0.99));
    return 0;
}
