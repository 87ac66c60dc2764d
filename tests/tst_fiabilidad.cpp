// Rows left queued by a program that was stopped before writing them are
// written from the next start of the program, without the station opening;
// and the kill test (real recording processes killed with SIGKILL) in its
// short form.
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "CDatos.h"
#include "Config.h"
#include "Estacion.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Registrador.h"
#include "Schema.h"
#include "TestSupport.h"
#include "frmMain.h"

class TestFiabilidad : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void pendientesAlArrancar();
    void matandoMientrasGraba();

private:
    QTemporaryDir m_config;
};

void TestFiabilidad::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("Tolvex"));
    QCoreApplication::setApplicationName(QStringLiteral("Tolvex"));
    MessageBox::setScripted(true);
}

void TestFiabilidad::pendientesAlArrancar()
{
    DirectorioDePrueba dir;
    qputenv("TOLVEX_HOME", dir.path().toLocal8Bit());
    Instalacion ins;
    ins.directorio = dir.path();
    QVERIFY2(ins.ejecutar(), qPrintable(ins.error));
    Programa::leeVariables();
    Programa::OperadorActual = QStringLiteral("Ana");
    Programa::NivelActual = QStringLiteral("Operador");

    // Two batches queued by an earlier run, while the database is missing.
    const QString cola = dir.file(Registrador::kArchivo);
    {
        ColaPendientes c(cola);
        for (const auto& [total, peso] : {std::pair{5100.0, 100.0}, std::pair{5350.0, 250.0}}) {
            Pendiente p;
            p.fecha = QDate(2026, 3, 2);
            p.hora = QTime(10, 0, int(peso) / 10);
            p.operador = QStringLiteral("Ana");
            p.aux = QStringList{QStringLiteral("L-7"), {}, {}, {}, {}, {}};
            p.total = p.pTotal = total;
            p.peso = peso;
            QVERIFY(c.agrega(p));
        }
    }
    QVERIFY(QFile::rename(dir.file(QStringLiteral("data.db")), dir.file(QStringLiteral("aparte.db"))));

    frmMain v;
    v.carga();
    // The writer runs from the start: its failure reaches the error log.
    QTRY_VERIFY_WITH_TIMEOUT(leeArchivo(dir.file(QStringLiteral("Datos.log")))
                                 .contains("No se pudo guardar el registro"),
                             10000);
    QCOMPARE(Estacion::pendientes(), 2);
    QVERIFY(QFile::exists(cola));

    // Back in place: both rows written, in order, by the retry on its own.
    QVERIFY(QFile::rename(dir.file(QStringLiteral("aparte.db")), dir.file(QStringLiteral("data.db"))));
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::pendientes() == 0 && !QFile::exists(cola), 20000);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(Programa::DataTbReporte)));
        QVERIFY(db.PrimerRegistro());
        QCOMPARE(db.Campo(QStringLiteral("TICKET")).toInt(), 1);
        QCOMPARE(db.Campo(QStringLiteral("PESO")).toDouble(), 100.0);
        QCOMPARE(db.Campo(QStringLiteral("AUX1")).toString(), QStringLiteral("L-7"));
        QVERIFY(db.SiguienteRegistro());
        QCOMPARE(db.Campo(QStringLiteral("TICKET")).toInt(), 2);
        QCOMPARE(db.Campo(QStringLiteral("TOTAL")).toDouble(), 5350.0);
        QVERIFY(!db.SiguienteRegistro());
    }
    QCOMPARE(Config::LeeConfig(QString(), QStringLiteral("Ticket"), QString(), false, true), QStringLiteral("3"));
    Estacion::cerrar();
    v.hide();
    qunsetenv("TOLVEX_HOME");
}

void TestFiabilidad::matandoMientrasGraba()
{
    // The kill test program checks everything itself and says what it found.
    QTemporaryDir dir;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-killtest"),
            {QStringLiteral("--dir"), dir.path() + QStringLiteral("/planta"), QStringLiteral("--kills"),
             QStringLiteral("5"), QStringLiteral("--seed"), QStringLiteral("3")});
    QVERIFY(p.waitForFinished(170000));
    const QString salida = QString::fromUtf8(p.readAll());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, qPrintable(salida));
    const auto m = QRegularExpression(QStringLiteral("kills (\\d+) rows (\\d+) queued_batches (\\d+) missing (\\d+) "
                                                     "duplicates (\\d+)"))
                       .match(salida);
    QVERIFY2(m.hasMatch(), qPrintable(salida));
    QCOMPARE(m.captured(1).toInt(), 5);
    QVERIFY(m.captured(3).toInt() > 0);
    QCOMPARE(m.captured(4).toInt(), 0);
    QCOMPARE(m.captured(5).toInt(), 0);
    // The last run was killed with rows queued: the start wrote them.
    const auto inicio = QRegularExpression(QStringLiteral("pending_at_start (\\d+) queue_emptied (\\w+)")).match(salida);
    QVERIFY2(inicio.hasMatch(), qPrintable(salida));
    QVERIFY2(inicio.captured(1).toInt() > 0, qPrintable(salida));
    QCOMPARE(inicio.captured(2), QStringLiteral("yes"));
    // Runs killed the moment a batch reached the journal: it was queued first.
    const auto diario = QRegularExpression(QStringLiteral("journal_batches_without_row (\\d+)")).match(salida);
    QVERIFY2(diario.hasMatch(), qPrintable(salida));
    QCOMPARE(diario.captured(1).toInt(), 0);
}

QTEST_MAIN(TestFiabilidad)
#include "tst_fiabilidad.moc"
