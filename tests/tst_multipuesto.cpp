// Two workstations, each with its own program directory and its own
// simulated indicator, recording at the same time into one PostgreSQL
// database; the second one is a network terminal (Fecha_Chr "'"). And two
// twins: the same seed, operator and data, their batches ending in the same
// second, through an outage of the server.
#include <QDateTime>
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
    QString identidad; // PUESTO of its rows
    int fallosBase = 0;
};

// Runs the soaks of the workstations at once and reads their summaries.
void correSoaks(const QList<Puesto*>& puestos, const QStringList& comunes)
{
    const QString soak = qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-soak");
    for (Puesto* p : puestos) {
        p->proceso.setProgram(soak);
        p->proceso.setArguments(QStringList{QStringLiteral("--keep"), p->dir.path(), QStringLiteral("--puesto"), p->nombre} +
                                comunes + p->extra);
        p->proceso.start();
    }
    const QRegularExpression linea(QStringLiteral("batches (\\d+) rows (\\d+) lost (\\d+) duplicates (\\d+)"));
    const QRegularExpression identidad(QStringLiteral("^puesto (\\S+)$"), QRegularExpression::MultilineOption);
    for (Puesto* p : puestos) {
        QVERIFY2(p->proceso.waitForFinished(200000), qPrintable(p->nombre));
        const QString salida = QString::fromUtf8(p->proceso.readAllStandardOutput());
        const QString errores = QString::fromUtf8(p->proceso.readAllStandardError());
        QVERIFY2(p->proceso.exitStatus() == QProcess::NormalExit && p->proceso.exitCode() == 0,
                 qPrintable(p->nombre + u'\n' + salida + errores));
        const auto m = linea.match(salida);
        QVERIFY2(m.hasMatch(), qPrintable(salida));
        p->lotes = m.captured(1).toLongLong();
        p->filas = m.captured(2).toLongLong();
        p->identidad = identidad.match(errores).captured(1);
        p->fallosBase = errores.contains(QStringLiteral("db_failures 0 ")) ? 0 : 1;
        QVERIFY(p->lotes > 0);
        QCOMPARE(p->filas, p->lotes);
    }
}

} // namespace

class TestMultipuesto : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { preparaPrograma(m_config); }
    void dosEstacionesUnaBase();
    void gemelosConCorteDeLaBase();

private:
    QTemporaryDir m_config;
};

void TestMultipuesto::dosEstacionesUnaBase()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");

    // A database of its own, so that the tables have their installed names.
    QString cs;
    const auto borra = baseNueva(pg, QStringLiteral("tolvex_mp"), &cs);
    QVERIFY(!cs.isEmpty());

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
            QVERIFY(c.ok(nullptr));
            QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Fecha_Chr"), p->fechaChr));
        }
    }

    // Both at once.
    correSoaks({&a, &b}, {QStringLiteral("--minutes"), QStringLiteral("0.4"), QStringLiteral("--speed"), QStringLiteral("30")});
    if (QTest::currentTestFailed())
        return;
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
        QVERIFY(c.ok(nullptr));
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

// Two workstations writing equal rows in the same second (same seed,
// operator and data, batches ending at the start of the same second) while
// the server goes away and comes back: every batch of each is one row of its
// own, checked here from the database.
void TestMultipuesto::gemelosConCorteDeLaBase()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    QString cs;
    const auto borra = baseNueva(pg, QStringLiteral("tolvex_gem"), &cs);
    QVERIFY(!cs.isEmpty());
    Puesto a(QStringLiteral("Gemelo"), QStringLiteral("#"), {}), b(QStringLiteral("Gemelo"), QStringLiteral("#"), {});
    const qint64 inicio = QDateTime::currentSecsSinceEpoch() + 5;
    // Both prepare their directories on the new database as they start.
    correSoaks({&a, &b}, {QStringLiteral("--postgres"), cs, QStringLiteral("--seed"), QStringLiteral("5"),
                          QStringLiteral("--sincronia"), QString::number(inicio), QStringLiteral("--speed"),
                          QStringLiteral("10"), QStringLiteral("--minutes"), QStringLiteral("0.4"),
                          QStringLiteral("--db-outage"), QStringLiteral("8")});
    if (QTest::currentTestFailed())
        return;
    QVERIFY(a.identidad != b.identidad && !a.identidad.isEmpty());
    QCOMPARE(std::pair(a.fallosBase, b.fallosBase), std::pair(1, 1));
    CDatos db;
    QVERIFY2(db.AbrirBase(cs), qPrintable(db.ultimoError()));
    for (const Puesto* p : {&a, &b}) {
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT COUNT(*) AS N, COUNT(DISTINCT IDLOTE) AS I, COUNT(DISTINCT TOTAL) AS T, "
                                               "SUM(CASE WHEN OPCION1 <> 0 THEN 1 ELSE 0 END) AS M FROM %1 WHERE PUESTO = ?")
                                    .arg(Schema::kTablaReporte),
                                {p->identidad}));
        QCOMPARE(QList<qint64>({db.Campo(QStringLiteral("N")).toLongLong(), db.Campo(QStringLiteral("I")).toLongLong(),
                                db.Campo(QStringLiteral("T")).toLongLong()}),
                 QList<qint64>({p->lotes, p->lotes, p->lotes}));
        // Only its own last row, marked when it closed.
        QCOMPARE(db.Campo(QStringLiteral("M")).toLongLong(), 1);
    }
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT COUNT(*) AS N FROM %1 WHERE PUESTO IS NULL").arg(Schema::kTablaReporte)));
    QCOMPARE(db.Campo(QStringLiteral("N")).toLongLong(), 0);
    // They were twins: rows equal but for the workstation, in the same second.
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT COUNT(*) AS N FROM %1 x JOIN %1 y ON x.FECHA = y.FECHA AND x.HORA = y.HORA "
                                           "AND x.TOTAL = y.TOTAL AND x.PESO = y.PESO AND x.OPERADOR = y.OPERADOR "
                                           "AND x.AUX1 = y.AUX1 AND x.PUESTO = ? AND y.PUESTO = ?")
                                .arg(Schema::kTablaReporte),
                            {a.identidad, b.identidad}));
    const qint64 gemelas = db.Campo(QStringLiteral("N")).toLongLong();
    qInfo("filas gemelas: %lld de %lld lotes", gemelas, a.lotes);
    QVERIFY(gemelas > 0);
}

QTEST_MAIN(TestMultipuesto)
#include "tst_multipuesto.moc"
