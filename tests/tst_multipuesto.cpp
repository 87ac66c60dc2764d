// Two workstations, each with its own program directory and its own
// simulated indicator, recording at the same time into one PostgreSQL
// database; the second one is a network terminal (Fecha_Chr "'").
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QtTest>

#include "CDatos.h"
#include "ConnectionString.h"
#include "Filtro.h"
#include "ModeloReporte.h"
#include "PlantaPrueba.h"
#include "Schema.h"
#include "frmPLANILLA.h"

namespace {

struct Puesto
{
    Puesto(const QString& n, const QString& f, const QStringList& e) : nombre(n), fechaChr(f), extra(e) {}
    QString nombre;
    QString fechaChr;
    QStringList extra;
    QTemporaryDir dir;
    QProcess proceso;
    qint64 lotes = -1;
    qint64 filas = -1;
};

// The working directory changed for the life of the object.
class EnDirectorio
{
public:
    explicit EnDirectorio(const QString& dir) : m_antes(QDir::currentPath()) { QDir::setCurrent(dir); }
    ~EnDirectorio() { QDir::setCurrent(m_antes); }

private:
    QString m_antes;
};

QString conBase(const QString& conexion, const QString& base)
{
    QString r = conexion;
    r.replace(QRegularExpression(QStringLiteral("Database=[^;]*"), QRegularExpression::CaseInsensitiveOption),
              QStringLiteral("Database=") + base);
    return r;
}

} // namespace

class TestMultipuesto : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { preparaPrograma(m_config); }
    void dosEstacionesUnaBase();

private:
    QTemporaryDir m_config;
};

void TestMultipuesto::dosEstacionesUnaBase()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");

    // A database of its own, so that the tables have their installed names.
    const QString base = QStringLiteral("tolvex_mp_%1").arg(QCoreApplication::applicationPid());
    {
        CDatos db;
        QVERIFY2(db.AbrirBase(pg), qPrintable(db.ultimoError()));
        db.Ejecuta(QStringLiteral("DROP DATABASE IF EXISTS ") + base);
        QVERIFY2(db.Ejecuta(QStringLiteral("CREATE DATABASE ") + base), qPrintable(db.ultimoError()));
    }
    auto borra = qScopeGuard([&] {
        CDatos db;
        if (db.AbrirBase(pg))
            db.Ejecuta(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(base));
    });
    const QString cs = conBase(pg, base);

    Puesto a(QStringLiteral("Puesto A"), QStringLiteral("#"), {QStringLiteral("--seed"), QStringLiteral("7")});
    Puesto b(QStringLiteral("Terminal B"), QStringLiteral("'"), {QStringLiteral("--seed"), QStringLiteral("11"), QStringLiteral("--faults")});
    for (Puesto* p : {&a, &b}) {
        Instalacion ins;
        ins.directorio = p->dir.path();
        ins.postgres = cs;
        ins.id = 1;
        QVERIFY2(ins.ejecutar(), qPrintable(ins.error));
        if (p->fechaChr != u"#") {
            EnDirectorio c(p->dir.path());
            QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Fecha_Chr"), p->fechaChr));
        }
    }

    // Both at once.
    const QString soak = qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-soak");
    for (Puesto* p : {&a, &b}) {
        p->proceso.setProgram(soak);
        p->proceso.setArguments(QStringList{QStringLiteral("--keep"), p->dir.path(), QStringLiteral("--puesto"),
                                            p->nombre, QStringLiteral("--minutes"), QStringLiteral("0.4"),
                                            QStringLiteral("--speed"), QStringLiteral("30")} +
                                p->extra);
        p->proceso.start();
    }
    const QRegularExpression linea(QStringLiteral("batches (\\d+) rows (\\d+) lost (\\d+) duplicates (\\d+)"));
    for (Puesto* p : {&a, &b}) {
        QVERIFY2(p->proceso.waitForFinished(200000), qPrintable(p->nombre));
        const QString salida = QString::fromUtf8(p->proceso.readAllStandardOutput());
        const QString errores = QString::fromUtf8(p->proceso.readAllStandardError());
        QVERIFY2(p->proceso.exitStatus() == QProcess::NormalExit && p->proceso.exitCode() == 0,
                 qPrintable(p->nombre + u'\n' + salida + errores));
        const auto m = linea.match(salida);
        QVERIFY2(m.hasMatch(), qPrintable(salida));
        p->lotes = m.captured(1).toLongLong();
        p->filas = m.captured(2).toLongLong();
        QVERIFY(p->lotes > 0);
        QCOMPARE(p->filas, p->lotes);
    }
    const qint64 n = a.lotes + b.lotes;

    // Tickets unique and consecutive across both; every batch one row.
    {
        CDatos db;
        QVERIFY2(db.AbrirBase(cs), qPrintable(db.ultimoError()));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(Schema::kTablaReporte)));
        QHash<QString, QVector<qint64>> porPuesto;
        QHash<QString, QVector<qint64>> marcadas;
        qint64 esperado = 1;
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            const qint64 t = db.Campo(QStringLiteral("TICKET")).toLongLong();
            QCOMPARE(t, esperado++);
            const QString puesto = db.Campo(QStringLiteral("AUX1")).toString();
            porPuesto[puesto].append(t);
            if (db.Campo(QStringLiteral("OPCION1")).toInt() != 0)
                marcadas[puesto].append(t);
        }
        // The accumulators only rise: the one dispatch total a workstation
        // may mark is its own last row, when it closes; never the other's.
        for (const QString& puesto : porPuesto.keys())
            QVERIFY2(marcadas.value(puesto).isEmpty() ||
                         marcadas.value(puesto) == QVector<qint64>{porPuesto[puesto].last()},
                     qPrintable(puesto));
        QCOMPARE(esperado - 1, n);
        QCOMPARE(porPuesto.value(a.nombre).size(), a.lotes);
        QCOMPARE(porPuesto.value(b.nombre).size(), b.lotes);
        // They did record at the same time: the ticket ranges interleave.
        const auto& ta = porPuesto[a.nombre];
        const auto& tb = porPuesto[b.nombre];
        QVERIFY(ta.first() < tb.last() && tb.first() < ta.last());
        QVERIFY(db.AbreRegistro(
            QStringLiteral("SELECT * FROM %1 WHERE VARIABLE = 'Ticket'").arg(Schema::kTablaGlobal)));
        QVERIFY(db.Existe_Registro());
        QCOMPARE(db.Campo(QStringLiteral("VALOR")).toString().trimmed().toDouble(), double(n + 1));
    }

    // The reports screen of either workstation, with its own settings,
    // shows all the rows of both; a date filter written with the
    // workstation's own delimiter selects them as well.
    for (Puesto* p : {&a, &b}) {
        EnDirectorio c(p->dir.path());
        qputenv("TOLVEX_HOME", p->dir.path().toLocal8Bit());
        Programa::leeVariables();
        QCOMPARE(Programa::Fecha_Chr, p->fechaChr);
        frmPLANILLA f;
        QVERIFY2(f.cargado(), qPrintable(p->nombre));
        QCOMPARE(f.cantidad(), int(n));
        QHash<QString, int> vistos;
        for (int i = 0; i < f.cantidad(); ++i)
            ++vistos[f.modelo()->texto(i, ModeloReporte::AUX1)];
        QCOMPARE(vistos.value(a.nombre), int(a.lotes));
        QCOMPARE(vistos.value(b.nombre), int(b.lotes));
        // Rows shown between two days from today; outside the dates, none.
        auto entre = [&f](int desde, int hasta) {
            const QDate hoy = QDate::currentDate();
            const auto fecha = Filtros::fecha(hoy.addDays(desde), hoy.addDays(hasta), Programa::Fecha_Frm, Programa::Fecha_Chr);
            Filtros::Seleccion s;
            if (fecha)
                s.aplicaFiltro(Filtros::condicion(QStringLiteral("FECHA"), *fecha), fecha->descripcion, QStringLiteral("Fecha"), false);
            return fecha && f.aplicaSeleccion(s) ? f.cantidad() : -1;
        };
        QCOMPARE(entre(-1, 1), int(n));
        QCOMPARE(entre(-30, -20), 0);
    }
    qunsetenv("TOLVEX_HOME");
}

QTEST_MAIN(TestMultipuesto)
#include "tst_multipuesto.moc"
