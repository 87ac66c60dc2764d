// Rows left queued by a program that was stopped before writing them are
// written from the next start of the program, without the station opening;
// and the kill test (real recording processes killed with SIGKILL) in its
// short form.
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <csignal>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "CopiaBase.h"
#include "Estacion.h"
#include "PlantaPrueba.h"
#include "Registrador.h"
#include "Schema.h"
#include "IniFile.h"
#include "frmMain.h"

class TestFiabilidad : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { preparaPrograma(m_config); }
    void pendientesAlArrancar();
    void muertaAlReescribirLaCola();
    void matandoMientrasGraba_data();
    void matandoMientrasGraba();
    void copiaDeLaBaseEnteraOFalla_data();
    void copiaDeLaBaseEnteraOFalla();

private:
    QTemporaryDir m_config;
};

void TestFiabilidad::pendientesAlArrancar()
{
    Planta p;
    QVERIFY(p.ok);
    const DirectorioDePrueba& dir = p.dir;
    Programa::OperadorActual = QStringLiteral("Ana");
    Programa::NivelActual = QStringLiteral("Operador");

    // Two batches queued by an earlier run, while the database is missing.
    const QString cola = dir.file(Registrador::kArchivo);
    {
        ColaPendientes c(cola);
        for (const auto& [total, peso] : {std::pair{5100.0, 100.0}, std::pair{5350.0, 250.0}}) {
            Pendiente l;
            l.fecha = QDate(2026, 3, 2);
            l.hora = QTime(10, 0, int(peso) / 10);
            l.operador = QStringLiteral("Ana");
            l.aux = QStringList{QStringLiteral("L-7"), {}, {}, {}, {}, {}};
            l.total = l.pTotal = total;
            l.peso = peso;
            QVERIFY(c.agrega(l));
        }
    }
    QVERIFY(QFile::rename(dir.file(QStringLiteral("data.db")), dir.file(QStringLiteral("aparte.db"))));
    // Settings of an earlier version: no workstation identity yet.
    {
        IniFile ini;
        QVERIFY(ini.load(dir.file(Config::kArchivo)));
        ini.setLines(ini.lines().filter(QRegularExpression(QStringLiteral("^(?!Puesto=)"))));
        QVERIFY(ini.save(dir.file(Config::kArchivo)));
    }

    frmMain v;
    v.carga();
    // The writer runs from the start: its failure reaches the error log.
    QTRY_VERIFY_WITH_TIMEOUT(leeArchivo(dir.file(QStringLiteral("Datos.log")))
                                 .contains("No se pudo guardar el registro"), kEspera);
    QCOMPARE(Estacion::pendientes(), 2);
    QVERIFY(QFile::exists(cola));

    // Back in place: both rows written, in order, by the retry on its own.
    QVERIFY(QFile::rename(dir.file(QStringLiteral("aparte.db")), dir.file(QStringLiteral("data.db"))));
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::pendientes() == 0 && !QFile::exists(cola), kEspera);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(Programa::DataTbReporte)));
        QStringList filas;
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            QStringList f;
            for (const char* c : {"TICKET", "PESO", "TOTAL", "AUX1", "PUESTO"})
                f << db.Campo(QLatin1String(c)).toString();
            filas << f.join(u' ');
        }
        // Signed with the identity the directory got at this start.
        const QString puesto = Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Puesto"), QString());
        QVERIFY(!puesto.isEmpty());
        QCOMPARE(filas, QStringList({"1 100 5100 L-7 " + puesto, "2 250 5350 L-7 " + puesto}));
    }
    QCOMPARE(Config::LeeConfig(QString(), QStringLiteral("Ticket"), QString(), false, true), QStringLiteral("3"));
    Estacion::cerrar();
    v.hide();
    qunsetenv("TOLVEX_HOME");
}

namespace {
// The process is stopped (its state in /proc is "T"): it runs no more
// instruction until SIGCONT or SIGKILL.
bool detenido(qint64 pid)
{
    const QByteArray stat = leeArchivo(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype fin = stat.lastIndexOf(')');
    return fin > 0 && (stat.mid(fin + 2, 1) == "T" || stat.mid(fin + 2, 1) == "t");
}
} // namespace

// A workstation killed with SIGKILL in the middle of rewriting its queue
// (the database locked, so every batch goes through the queue file) leaves
// the queue's temporary beside it; the next start removes it, keeps the
// queue and writes every batch the killed run had queued.
void TestFiabilidad::muertaAlReescribirLaCola()
{
    Planta p;
    QVERIFY(p.ok);
    const DirectorioDePrueba& dir = p.dir;
    Programa::OperadorActual = QStringLiteral("Ana");
    Programa::NivelActual = QStringLiteral("Operador");
    QProcess soak;
    soak.setStandardErrorFile(QProcess::nullDevice());
    soak.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-soak"),
               {QStringLiteral("--keep"), dir.path(), QStringLiteral("--lotes"), QStringLiteral("--minutes"),
                QStringLiteral("600"), QStringLiteral("--speed"), QStringLiteral("20"), QStringLiteral("--poll"),
                QStringLiteral("50"), QStringLiteral("--seed"), QStringLiteral("5")});
    QVERIFY(soak.waitForStarted(10000));
    QStringList lotes;
    const auto lee = [&] {
        while (soak.canReadLine()) {
            const QStringList l = QString::fromUtf8(soak.readLine()).trimmed().split(u' ');
            if (l.value(0) == u"lote" && l.size() >= 2)
                lotes << l.last();
        }
    };
    QVERIFY(QTest::qWaitFor([&] {
        soak.waitForReadyRead(5);
        lee();
        return !lotes.isEmpty() || soak.state() != QProcess::Running;
    }, 4 * kEspera));
    QVERIFY(!lotes.isEmpty());
    // From here on every row waits in the queue.
    CDatos traba;
    QVERIFY(traba.AbrirBase(Programa::DataCSReporte) && traba.IniciaTransaccion());

    const QRegularExpression esTemporal(QStringLiteral("^Pendientes\\.dat\\.tmp-[A-Za-z0-9]{6}$"));
    const auto temporales = [&] {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(esTemporal);
    };
    // Killed while it replaces a queue that is there, not its first one.
    const QString cola = dir.file(Registrador::kArchivo);
    const qint64 pid = soak.processId();
    bool muerta = false;
    QDeadlineTimer limite(8 * kEspera);
    while (!muerta && !limite.hasExpired() && soak.state() == QProcess::Running) {
        soak.waitForReadyRead(0);
        lee();
        if (temporales().isEmpty() || !QFile::exists(cola))
            continue;
        // Stopped with its temporary still there: killed mid-write for sure.
        ::kill(pid_t(pid), SIGSTOP);
        QVERIFY(QTest::qWaitFor([&] { return detenido(pid); }, kEspera));
        if (!temporales().isEmpty() && QFile::exists(cola)) {
            ::kill(pid_t(pid), SIGKILL);
            muerta = true;
        } else {
            ::kill(pid_t(pid), SIGCONT);
        }
    }
    QVERIFY(muerta);
    QVERIFY(soak.waitForFinished(kEspera));
    lee();
    traba.Deshace();
    traba.CerrarBase();
    QVERIFY(!temporales().isEmpty());
    QVERIFY(QFile::exists(cola));

    frmMain v;
    v.carga();
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::pendientes() == 0 && !QFile::exists(cola), 4 * kEspera);
    QCOMPARE(temporales(), QStringList());
    QStringList escritos;
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT TOTAL FROM %1").arg(Programa::DataTbReporte)));
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
            escritos << QString::number(db.Campo(QStringLiteral("TOTAL")).toDouble(), 'f', 0);
    }
    for (const QString& t : std::as_const(lotes))
        QVERIFY2(escritos.contains(t), qPrintable(t + u' ' + escritos.join(u',')));
    Estacion::cerrar();
    v.hide();
    qunsetenv("TOLVEX_HOME");
}

void TestFiabilidad::matandoMientrasGraba_data()
{
    QTest::addColumn<bool>("gemelos");
    QTest::addColumn<int>("lineas");
    QTest::newRow("sqlite") << false << 1;
    QTest::newRow("postgresql, dos puestos gemelos") << true << 1;
    QTest::newRow("sqlite, cuatro líneas (dos en un bus, una con fallas)") << false << 4;
}

void TestFiabilidad::matandoMientrasGraba()
{
    QFETCH(bool, gemelos);
    QFETCH(int, lineas);
    // The kill test program checks everything itself and says what it found.
    QTemporaryDir dir;
    QStringList args{QStringLiteral("--dir"), dir.path() + QStringLiteral("/planta"), QStringLiteral("--kills"),
                     QStringLiteral("5"), QStringLiteral("--seed"), QStringLiteral("3"), QStringLiteral("--lineas"),
                     QString::number(lineas)};
    // Twins on a new PostgreSQL database, writing equal rows in the same second.
    const QString pg = conexionPostgres();
    if (gemelos && pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    QString cs;
    const auto borra = baseNueva(gemelos ? pg : QString(), QStringLiteral("tolvex_kt"), &cs);
    if (gemelos) {
        QVERIFY(!cs.isEmpty());
        args << QStringLiteral("--postgres") << cs << QStringLiteral("--gemelo") << dir.path() + QStringLiteral("/gemelo");
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-killtest"), args);
    QVERIFY(p.waitForFinished(170000));
    const QString salida = QString::fromUtf8(p.readAll());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, qPrintable(salida));
    // Its summary lines: "kills N rows N ...", "openings N ..." and "workstations N ...".
    auto valor = [&salida](const char* clave) {
        const QRegularExpression e(QStringLiteral("^(?=kills |openings |workstations ).*\\b%1 (\\w+)").arg(QLatin1String(clave)),
                                   QRegularExpression::MultilineOption);
        const auto m = e.match(salida);
        return m.hasMatch() ? m.captured(1) : QStringLiteral("?");
    };
    // No row missing or twice, none taken for the twin's; the last run was
    // killed with rows queued and the start wrote them; runs killed the
    // moment a batch reached the journal had queued it first; each
    // workstation's last ticket and marks are its own rows'.
    QCOMPARE(QStringList({valor("kills"), valor("missing"), valor("duplicates"), valor("queue_emptied"),
                          valor("journal_batches_without_row"), valor("workstations"), valor("credited_to_other"),
                          valor("last_ticket_not_own"), valor("marks_wrong"), valor("lines")}),
             QStringList({"5", "0", "0", "yes", "0", gemelos ? "2" : "1", "0", "0", "0", QString::number(lineas)}));
    QVERIFY2(valor("queued_batches").toInt() > 0 && valor("pending_at_start").toInt() > 0, qPrintable(salida));
}

namespace {
// Rows of the reports table in a copy, or -1 when it is not a sound database.
int filasDeCopia(const QString& archivo)
{
    int n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("copia"));
        db.setDatabaseName(archivo);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery q(db);
        if (db.open() && q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next() &&
            q.value(0).toString() == u"ok" && q.exec(QStringLiteral("SELECT COUNT(*) FROM Reporte")) && q.next())
            n = q.value(0).toInt();
        q = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("copia"));
    return n;
}
} // namespace

void TestFiabilidad::copiaDeLaBaseEnteraOFalla_data()
{
    QTest::addColumn<int>("etapa"); // Ninguna: a real full filesystem
    QTest::newRow("tmpfs lleno") << int(ArchivoAtomico::Etapa::Ninguna);
    QTest::newRow("falla al sincronizar") << int(ArchivoAtomico::Etapa::Sincronizacion);
    QTest::newRow("falla al renombrar") << int(ArchivoAtomico::Etapa::Renombrado);
}

void TestFiabilidad::copiaDeLaBaseEnteraOFalla()
{
    QFETCH(int, etapa);
    DiscoLleno disco(512);
    QTemporaryDir otro;
    if (etapa == int(ArchivoAtomico::Etapa::Ninguna) && !disco.ok())
        QSKIP("no se puede montar un tmpfs aquí (hace falta root)");
    Planta p;
    QVERIFY(p.ok);
    const QString base = p.dir.file(QStringLiteral("data.db"));
    auto agregaFilas = [&](int desde, int hasta) {
        CDatos db;
        return db.AbrirBase(ConnectionString::sqlite(base)) &&
               db.Ejecuta(QStringLiteral("INSERT INTO Reporte (TICKET, AUX1, TOTAL, PESO) WITH RECURSIVE "
                                         "n(i) AS (SELECT %1 UNION ALL SELECT i + 1 FROM n WHERE i < %2) "
                                         "SELECT i, printf('%070d', i), i, 1 FROM n")
                              .arg(desde)
                              .arg(hasta));
    };
    QVERIFY(agregaFilas(1, 100));
    const QString destino = (etapa == int(ArchivoAtomico::Etapa::Ninguna) ? disco.path() : otro.path()) +
                            QStringLiteral("/copia.db");
    QString error;
    QVERIFY2(CopiaBase::copiar(base, destino, &error), qPrintable(error));
    QCOMPARE(filasDeCopia(destino), 100);

    // A copy that does not fit (or fails on its way to disk) leaves the
    // earlier one as it was, and says so.
    QVERIFY(agregaFilas(101, 20000));
    {
        const FalloDeEscritura fallo(ArchivoAtomico::Etapa(etapa), 0, 1);
        QVERIFY(!CopiaBase::copiar(base, destino, &error));
    }
    QVERIFY(!error.isEmpty());
    QCOMPARE(filasDeCopia(destino), 100);
    QCOMPARE(QDir(QFileInfo(destino).path()).entryList(QDir::Files | QDir::Hidden).join(u' '), QStringLiteral("copia.db"));
}

QTEST_MAIN(TestFiabilidad)
#include "tst_fiabilidad.moc"
