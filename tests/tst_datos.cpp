// Data access on a real SQLite file and a real PostgreSQL server.
#include <QCoreApplication>
#include <QProcess>
#include <QSet>
#include <QtTest>

#include "CDatos.h"
#include "Config.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Schema.h"
#include "SqlDialect.h"
#include "TestSupport.h"

namespace {

const QString kR = Schema::kTablaReporte;

// Fresh tables on the engine named; returns the connection string.
QString preparaBase(const QString& engine, const QString& dir)
{
    QString cs;
    if (engine == u"sqlite") {
        cs = ConnectionString::sqlite(QDir(dir).absoluteFilePath(QStringLiteral("data.db")));
    } else {
        cs = conexionPostgres();
        CDatos db;
        if (!db.AbrirBase(cs))
            qFatal("PostgreSQL: %s", qPrintable(db.ultimoError()));
        for (const QString& t : {Schema::kTablaReporte, Schema::kTablaOperarios,
                                 Schema::kTablaGlobal, Schema::kTablaComandos})
            db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
    }
    CDatos db;
    QString error;
    if (!db.AbrirBase(cs, true) ||
        !Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal,
                       nullptr, &error))
        qFatal("schema: %s %s", qPrintable(db.ultimoError()), qPrintable(error));
    return cs;
}

void agregaFila(CDatos& db, qint64 ticket, const QString& aux1, double total, const QDate& fecha,
                int opcion = 0)
{
    QVERIFY(
        db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = %2").arg(kR).arg(ticket)));
    QVERIFY2(db.AgregaRegistros({{QStringLiteral("TICKET"), ticket},
                                 {QStringLiteral("AUX1"), aux1},
                                 {QStringLiteral("TOTAL"), total},
                                 {QStringLiteral("PESO"), 250.0},
                                 {QStringLiteral("FECHA"), fecha},
                                 {QStringLiteral("HORA"), QTime(10, 5, 7)},
                                 {QStringLiteral("INFO"), QString()},
                                 {QStringLiteral("OPCION1"), opcion}}),
             qPrintable(db.ultimoError()));
}

QStringList tickets(CDatos& db, const QString& sql)
{
    QStringList out;
    if (!db.AbreRegistro(sql))
        return {QStringLiteral("error: ") + db.ultimoError()};
    for (bool ok = db.PrimerRegistro(); ok; ok = db.SiguienteRegistro())
        out << db.Campo(QStringLiteral("TICKET")).toString();
    return out;
}

} // namespace

class TstDatos : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void statementForms_data() { engines(); }
    void statementForms();
    void countsAndExistence_data() { engines(); }
    void countsAndExistence();
    void addRecord_data() { engines(); }
    void addRecord();
    void valuesWithQuotesAreSafe_data() { engines(); }
    void valuesWithQuotesAreSafe();
    void editDeleteAndOptimisticLocking_data() { engines(); }
    void editDeleteAndOptimisticLocking();
    void datesAndTimesComeBackAsWritten_data() { engines(); }
    void datesAndTimesComeBackAsWritten();
    void settingsTableBranch_data() { engines(); }
    void settingsTableBranch();
    void ticketsFromTwoProgramsNeverCollide_data() { engines(); }
    void ticketsFromTwoProgramsNeverCollide();
    void badTicketValueIsRefused_data() { engines(); }
    void badTicketValueIsRefused();

    void badDatabasesFailCleanly();
    void longLivedConnection_data() { engines(); }
    void longLivedConnection();
    void dialectRewrites_data();
    void dialectRewrites();
    void compaction();
    void compactionFailureLeavesFileUntouched();
    void sqliteRunsInWalWithFullSync();
    void reportIndexesCompleted_data() { engines(); }
    void reportIndexesCompleted();

private:
    void engines();
    QString m_engine;
    QString m_cs;
    std::unique_ptr<DirectorioDePrueba> m_dir;
};

void TstDatos::engines()
{
    QTest::addColumn<QString>("engine");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

void TstDatos::initTestCase()
{
    MessageBox::setScripted(true);
}

void TstDatos::init()
{
    m_dir = std::make_unique<DirectorioDePrueba>();
    CDatos::setDirectorioBase(m_dir->path());
    CDatos::setFormatoFecha(QStringLiteral("DD/MM/YYYY"));
    MessageBox::limpiar();
    m_cs.clear();
    // Only the engine rows get a database; other data rows need none.
    const QByteArray motor = QTest::currentDataTag();
    if (motor != "sqlite" && motor != "postgresql")
        return;
    if (motor == "postgresql" && conexionPostgres().isEmpty())
        QSKIP("TOLVEX_TEST_PG not set: no PostgreSQL server for this run (scripts/test.sh starts one)");
    m_cs = preparaBase(QString::fromLatin1(motor), m_dir->path());
}

void TstDatos::cleanup()
{
    m_dir.reset();
}

void TstDatos::statementForms()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    agregaFila(db, 1, QStringLiteral("Cliente Norte"), 5000, QDate(2026, 1, 31), 1);
    agregaFila(db, 2, QStringLiteral("cliente sur"), 250, QDate(2026, 2, 1));
    agregaFila(db, 3, QStringLiteral("Otro"), 500, QDate(2026, 2, 5), 1);

    // Like with % matches regardless of letter case, as on the original engine;
    // a network terminal writes its dates between quotes instead of #.
    const std::pair<const char*, QStringList> consultas[] = {
        {"WHERE TICKET = 2", {"2"}},
        {"ORDER BY TOTAL ASC", {"2", "3", "1"}},
        {"WHERE (OPCION1 <> 0) ORDER BY TICKET ASC", {"1", "3"}},
        {"WHERE AUX1 Like 'cliente%' ORDER BY TICKET ASC", {"1", "2"}},
        {"WHERE TICKET Between 2 And 3 ORDER BY TICKET ASC", {"2", "3"}},
        {"WHERE FECHA BETWEEN #01/02/2026# AND #05/02/2026# ORDER BY TICKET ASC", {"2", "3"}},
        {"WHERE (OPCION1 <> 0) AND FECHA BETWEEN #31/01/2026# AND #01/02/2026# ORDER BY TICKET ASC", {"1"}},
        {"WHERE FECHA BETWEEN '01/02/2026' AND '05/02/2026' ORDER BY TICKET ASC", {"2", "3"}},
    };
    for (const auto& [resto, esperados] : consultas)
        QCOMPARE(tickets(db, QStringLiteral("SELECT * FROM %1 %2").arg(kR, QLatin1String(resto))), esperados);

    QVERIFY(db.AbreRegistro(
        QStringLiteral("SELECT * FROM %1 WHERE  VARIABLE = 'Ticket'").arg(Schema::kTablaGlobal)));
    QVERIFY(!db.Existe_Registro());
    for (const char* sql : {"SELECT OPERADOR FROM %1 ORDER BY OPERADOR ", "SELECT * FROM %1 ORDER BY OPERADOR ASC",
                            "SELECT * FROM %1 WHERE OPERADOR = 'x'"})
        QVERIFY2(db.AbreRegistro(QString::fromLatin1(sql).arg(Schema::kTablaOperarios)), sql);

    // A rejected statement says why and leaves no open record set.
    QVERIFY(!db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE NOPE = 1").arg(kR)));
    QVERIFY(!db.ultimoError().isEmpty());
    QVERIFY(!db.Existe_Registro());
}

void TstDatos::countsAndExistence()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(kR)));
    QCOMPARE(db.Cant_Registros(), 0L);
    QVERIFY(!db.Existe_Registro());
    for (int t = 1; t <= 3; ++t)
        agregaFila(db, t, QStringLiteral("a"), t * 100, QDate(2026, 1, t));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET ASC").arg(kR)));
    db.SiguienteRegistro();
    db.SiguienteRegistro();
    QCOMPARE(db.Cant_Registros(), 3L);
    QCOMPARE(db.Campo(QStringLiteral("TICKET")).toInt(), 1);
    // Field names are found regardless of case (PostgreSQL folds them).
    QCOMPARE(db.Campo(QStringLiteral("total")).toDouble(), 100.0);
}

void TstDatos::addRecord()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    const QString g = Schema::kTablaGlobal;
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE  VARIABLE = 'K'").arg(g)));
    QVERIFY(db.AgregaRegistros({{QStringLiteral("VARIABLE"), QStringLiteral("K")},
                                {QStringLiteral("VALOR"), QStringLiteral("v")},
                                {QStringLiteral("DESCRIPCION"), QStringLiteral("-")}}));
    // An unknown field is left out, the record still goes in.
    QVERIFY(db.AgregaRegistros({{QStringLiteral("VARIABLE"), QStringLiteral("K2")},
                                {QStringLiteral("NOEXISTE"), 1},
                                {QString(), QStringLiteral("ignored")},
                                {QStringLiteral("VALOR"), QString()}}));
    QCOMPARE(db.avisos().size(), 1);
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY VARIABLE ASC").arg(g)));
    QCOMPARE(db.Cant_Registros(), 2L);
    QCOMPARE(db.Campo(QStringLiteral("VALOR")).toString(), QStringLiteral("v"));
    QCOMPARE(db.Campo(QStringLiteral("DESCRIPCION")).toString(), QStringLiteral("-"));
    db.SiguienteRegistro();
    QCOMPARE(db.Campo(QStringLiteral("VALOR")).toString(), QString());

    // A value the field cannot take fails the whole record: nothing half-filled.
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 9").arg(kR)));
    QVERIFY(!db.AgregaRegistros({{QStringLiteral("TICKET"), 9},
                                 {QStringLiteral("AUX1"), QStringLiteral("x")},
                                 {QStringLiteral("TOTAL"), QStringLiteral("doce")}}));
    QVERIFY(db.ultimoError().contains(QStringLiteral("TOTAL")));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(kR)));
    QCOMPARE(db.Cant_Registros(), 0L);
    // A duplicate key is refused and says so.
    agregaFila(db, 5, QStringLiteral("a"), 1, QDate(2026, 1, 1));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 5").arg(kR)));
    QVERIFY(!db.AgregaRegistros({{QStringLiteral("TICKET"), 5}}));
    QVERIFY(!db.ultimoError().isEmpty());
}

void TstDatos::valuesWithQuotesAreSafe()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    const QString name = QStringLiteral("O'Brien' OR '1'='1");
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(Schema::kTablaOperarios)));
    QVERIFY(db.AgregaRegistros({{QStringLiteral("OPERADOR"), name},
                                {QStringLiteral("PASSWORD"), QStringLiteral("x")},
                                {QStringLiteral("JERARQUIA"), QStringLiteral("Operador")}}));
    QVERIFY(db.AgregaRegistros({{QStringLiteral("OPERADOR"), QStringLiteral("otro")}}));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE OPERADOR = %2")
                                .arg(Schema::kTablaOperarios, SqlDialect::texto(name))));
    QCOMPARE(db.Cant_Registros(), 1L);
    QCOMPARE(db.Campo(QStringLiteral("OPERADOR")).toString(), name);
    QVERIFY(db.AbreRegistro(
        QStringLiteral("SELECT * FROM %1 WHERE OPERADOR = %2")
            .arg(Schema::kTablaOperarios, SqlDialect::texto(QStringLiteral("x' OR '1'='1")))));
    QCOMPARE(db.Cant_Registros(), 0L);
    // A quote in a Like pattern matches a quote.
    QVERIFY(db.AbreRegistro(
        QStringLiteral("SELECT * FROM %1 WHERE OPERADOR Like %2")
            .arg(Schema::kTablaOperarios, SqlDialect::texto(QStringLiteral("o'b%")))));
    QCOMPARE(db.Cant_Registros(), 1L);
}

void TstDatos::editDeleteAndOptimisticLocking()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    for (int t = 1; t <= 3; ++t)
        agregaFila(db, t, QStringLiteral("a"), t, QDate(2026, 1, 1));

    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 2").arg(kR)));
    QVERIFY(db.EditaRegistros({{QStringLiteral("INFO"), QStringLiteral(" -> TOTAL <-")},
                               {QStringLiteral("OPCION1"), 1}}));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 2").arg(kR)));
    QCOMPARE(db.Campo(QStringLiteral("INFO")).toString(), QStringLiteral(" -> TOTAL <-"));
    QCOMPARE(db.Campo(QStringLiteral("OPCION1")).toInt(), 1);
    QCOMPARE(db.Campo(QStringLiteral("TOTAL")).toDouble(), 2.0);

    // Two units of work on the same row: the second writer learns it lost.
    CDatos other;
    QVERIFY(other.AbrirBase(m_cs));
    QVERIFY(other.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 3").arg(kR)));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 3").arg(kR)));
    QVERIFY(db.Eliminar_Registro());
    QVERIFY(!other.SetCampo(QStringLiteral("NOPE"), 1));
    QVERIFY(other.SetCampo(QStringLiteral("INFO"), QStringLiteral("tarde")));
    QVERIFY(!other.Actualiza());
    QVERIFY(other.ultimoError().contains(QStringLiteral("otro usuario")));

    QCOMPARE(tickets(db, QStringLiteral("SELECT * FROM %1 ORDER BY TICKET ASC").arg(kR)),
             (QStringList{"1", "2"}));
}

void TstDatos::datesAndTimesComeBackAsWritten()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    agregaFila(db, 1, QStringLiteral("a"), 1234567.89, QDate(2026, 12, 5));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(kR)));
    QCOMPARE(CDatos::aFecha(db.Campo(QStringLiteral("FECHA"))), QDate(2026, 12, 5));
    QCOMPARE(CDatos::aHora(db.Campo(QStringLiteral("HORA"))), QTime(10, 5, 7));
    // Accumulators of millions keep their decimals.
    QCOMPARE(db.Campo(QStringLiteral("TOTAL")).toDouble(), 1234567.89);
}

void TstDatos::settingsTableBranch()
{
    Programa::DataCSGlobal = m_cs;
    Programa::DataTbGlobal = Schema::kTablaGlobal;
    const auto lee = [](const char* clave, const char* porDefecto, QString* error = nullptr) {
        return Config::LeeConfig(QString(), QLatin1String(clave), QLatin1String(porDefecto), false, true, error);
    };
    const auto guarda = [](const QString& seccion, const char* clave, const char* valor) {
        return Config::GuardaConfig(seccion, QLatin1String(clave), QLatin1String(valor), false, true);
    };
    QString error;
    QCOMPARE(lee("Ticket", "1", &error), QStringLiteral("1"));
    QVERIFY(error.isEmpty());
    QVERIFY(guarda(QString(), "Ticket", "2"));
    QVERIFY(guarda(QStringLiteral("cualquiera"), "Ticket", "3"));
    QCOMPARE(lee("Ticket", "1"), QStringLiteral("3"));
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(Schema::kTablaGlobal)));
    QCOMPARE(db.Cant_Registros(), 1L);
    QCOMPARE(db.Campo(QStringLiteral("DESCRIPCION")).toString(), QStringLiteral("-"));
    // A key with a quote is looked up safely.
    QVERIFY(guarda(QString(), "a'b", "x"));
    QCOMPARE(lee("a'b", ""), QStringLiteral("x"));

    // No database: the default comes back and the caller is told.
    Programa::DataCSGlobal = ConnectionString::sqlite(m_dir->file(QStringLiteral("nope.db")));
    QCOMPARE(lee("Ticket", "1", &error), QStringLiteral("1"));
    QVERIFY(error.contains(QStringLiteral("nope.db")));
    QVERIFY(!guarda(QString(), "Ticket", "5"));
    QVERIFY(!QFile::exists(m_dir->file(QStringLiteral("nope.db"))));
}

void TstDatos::ticketsFromTwoProgramsNeverCollide()
{
    const int perProgram = 150;
    QList<QProcess*> programs;
    for (int i = 0; i < 2; ++i) {
        auto* p = new QProcess(this);
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--tomar-tickets"), m_cs, QString::number(perProgram)});
        programs << p;
    }
    QSet<qint64> seen;
    for (QProcess* p : programs) {
        QVERIFY(p->waitForFinished(120000));
        QCOMPARE(p->exitCode(), 0);
        const auto lines = p->readAllStandardOutput().split('\n');
        for (const QByteArray& l : lines) {
            if (l.isEmpty())
                continue;
            const qint64 t = l.toLongLong();
            QVERIFY2(!seen.contains(t), qPrintable(QStringLiteral("ticket %1 taken twice").arg(t)));
            seen.insert(t);
        }
    }
    QCOMPARE(seen.size(), 2 * perProgram);
    for (qint64 t = 1; t <= 2 * perProgram; ++t)
        QVERIFY(seen.contains(t));
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.IniciaTransaccion());
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(2 * perProgram + 1));
    // Rolled back: the number is not consumed.
    QVERIFY(db.Deshace());
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(2 * perProgram + 1));
}

void TstDatos::badTicketValueIsRefused()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (VARIABLE, VALOR, DESCRIPCION) VALUES ('Ticket', 'abc', '-')")
                           .arg(Schema::kTablaGlobal)));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(0));
    QVERIFY(db.ultimoError().contains(QStringLiteral("abc")));
    QVERIFY(db.Ejecuta(QStringLiteral("UPDATE %1 SET VALOR = '41' WHERE VARIABLE = 'Ticket'")
                           .arg(Schema::kTablaGlobal)));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(41));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(42));
}

void TstDatos::badDatabasesFailCleanly()
{
    DirectorioDePrueba dir;
    CDatos db;
    QVERIFY(!db.AbrirBase(QString()));
    QVERIFY(!db.ultimoError().isEmpty());
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=Nada;Data Source=x")));
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=SQLite;Data Source=falta.db")));
    QVERIFY(db.ultimoError().contains(QStringLiteral("falta.db")));
    QVERIFY(!QFile::exists(dir.file(QStringLiteral("falta.db"))));
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("basura.db")), QByteArray(4096, 'x')));
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=SQLite;Data Source=") +
                          dir.file(QStringLiteral("basura.db"))));
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=SQLite;Data Source=") + dir.path()));
    QVERIFY(
        !db.AbrirBase(QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=y")));
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=abc;Database=x")));
    QVERIFY(!db.AbrirBase(QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=70000;Database=x")));
    QCOMPARE(db.ultimoError(), QStringLiteral("El puerto de la cadena de conexión no es válido."));
    // Nothing open: every later use fails with a reason instead of crashing.
    QVERIFY(!db.AbreRegistro(QStringLiteral("SELECT 1")));
    QVERIFY(!db.AgregaRegistros({{QStringLiteral("A"), 1}}));
    QVERIFY(!db.Ejecuta(QStringLiteral("SELECT 1")));
    QCOMPARE(db.Cant_Registros(), 0L);
    QVERIFY(!db.Eliminar_Registro());
    QCOMPARE(db.TomaTicket(QStringLiteral("Global")), qint64(0));
}

// One connection serving many units of work: the statements and table
// layouts it keeps follow the table when this or another program changes it.
void TstDatos::longLivedConnection()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(i));
        agregaFila(db, i, QStringLiteral("c%1").arg(i), i * 10.0, QDate(2026, 1, i));
    }
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(kR)));
    for (int i = 1; i <= 3; ++i, db.SiguienteRegistro()) {
        QCOMPARE(db.Campo(QStringLiteral("AUX1")).toString(), QStringLiteral("c%1").arg(i));
        QCOMPARE(db.Campo(QStringLiteral("TOTAL")).toDouble(), i * 10.0);
    }
    CDatos otro;
    QVERIFY(otro.AbrirBase(m_cs));
    for (int i : {1, 2}) {
        CDatos& quien = i == 1 ? db : otro;
        const QString campo = QStringLiteral("EXTRA%1").arg(i);
        QVERIFY(quien.Ejecuta(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 TEXT").arg(kR, campo)));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 0").arg(kR)));
        QVERIFY(db.AgregaRegistros({{QStringLiteral("TICKET"), 3 + i}, {campo, QStringLiteral("v")}}));
        QCOMPARE(db.avisos(), QStringList());
        CDatos lector;
        QVERIFY(lector.AbrirBase(m_cs));
        QVERIFY(lector.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = %2").arg(kR).arg(3 + i)));
        QCOMPARE(lector.Campo(campo).toString(), QStringLiteral("v"));
    }
}

void TstDatos::dialectRewrites_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<bool>("postgres");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("patron");
    QTest::newRow("hash dates") << "WHERE FECHA BETWEEN #01/02/2026# AND #5/2/2026#" << false
                                << "WHERE FECHA BETWEEN '2026-02-01' AND '2026-02-05'" << QString();
    QTest::newRow("quoted dates after between")
        << "WHERE FECHA BETWEEN '01/02/2026' AND '05/02/2026'" << false
        << "WHERE FECHA BETWEEN '2026-02-01' AND '2026-02-05'" << QString();
    QTest::newRow("text that looks like a date is kept")
        << "WHERE AUX1 Like '01/02/2026'" << false << "WHERE AUX1 Like '01/02/2026'" << QString();
    QTest::newRow("numeric between then text")
        << "WHERE TICKET Between 1 And 5 AND AUX1 = '01/02/2026'" << false
        << "WHERE TICKET Between 1 And 5 AND AUX1 = '01/02/2026'" << QString();
    QTest::newRow("like on postgres") << "WHERE AUX1 Like 'a%' AND AUX2 LIKE 'b'" << true
                                      << "WHERE AUX1 ILIKE 'a%' AND AUX2 ILIKE 'b'" << QString();
    QTest::newRow("keywords inside strings untouched")
        << "WHERE AUX1 = 'like #1/1/2020# between'" << true
        << "WHERE AUX1 = 'like #1/1/2020# between'" << QString();
    QTest::newRow("hash that is not a date becomes text")
        << "WHERE AUX1 = #x'y#" << false << "WHERE AUX1 = 'x''y'" << QString();
    QTest::newRow("unterminated quote kept as is")
        << "WHERE AUX1 = 'abc" << false << "WHERE AUX1 = 'abc" << QString();
    // A plant's pattern in lower case: its "mm" is the month, not minutes.
    QTest::newRow("lower-case pattern") << "WHERE FECHA BETWEEN '31/01/2026' AND '01/02/2026'" << true
                                        << "WHERE FECHA BETWEEN '2026-01-31' AND '2026-02-01'"
                                        << "dd/mm/yyyy";
}

void TstDatos::dialectRewrites()
{
    QFETCH(QString, sql);
    QFETCH(bool, postgres);
    QFETCH(QString, expected);
    QFETCH(QString, patron);
    QCOMPARE(SqlDialect::adaptar(sql, postgres ? ConnectionString::PostgreSQL : ConnectionString::SQLite,
                                 patron.isEmpty() ? QStringLiteral("DD/MM/YYYY") : patron),
             expected);
}

void TstDatos::compaction()
{
    DirectorioDePrueba dir;
    const QString path = dir.file(QStringLiteral("data.db"));
    const QString cs = ConnectionString::sqlite(path);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(cs, true));
        QVERIFY(
            Schema::crear(db, kR, Schema::kTablaOperarios, Schema::kTablaGlobal, nullptr, nullptr));
        for (int t = 1; t <= 300; ++t)
            agregaFila(db, t, QString(200, u'x'), t, QDate(2026, 1, 1));
        QVERIFY(db.Ejecuta(QStringLiteral("DELETE FROM %1 WHERE TICKET > 10").arg(kR)));
    }
    const qint64 before = QFileInfo(path).size();
    QVERIFY(CDatos::CompactaryReparar(path));
    QVERIFY(QFileInfo(path).size() < before);
    CDatos db;
    QVERIFY(db.AbrirBase(cs));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(kR)));
    QCOMPARE(db.Cant_Registros(), 10L);
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("DBT_*")}, QDir::Files), QStringList());
}

void TstDatos::compactionFailureLeavesFileUntouched()
{
    DirectorioDePrueba dir;
    const QString path = dir.file(QStringLiteral("data.db"));
    const QByteArray garbage(8192, 'z');
    QVERIFY(escribeArchivo(path, garbage));
    // A stale temporary of the same name is removed first.
    const QTime now = QTime::currentTime();
    escribeArchivo(dir.file(QStringLiteral("DBT_%1%2.db")
                                .arg(now.minute(), 2, 10, QLatin1Char('0'))
                                .arg(now.second(), 2, 10, QLatin1Char('0'))),
                   "old");
    MessageBox::limpiar();
    QVERIFY(!CDatos::CompactaryReparar(path));
    QCOMPARE(leeArchivo(path), garbage);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const auto shown = MessageBox::mostrados().first();
    QCOMPARE(shown.titulo, QStringLiteral("Error al compactar la base de datos"));
    QVERIFY(shown.texto.startsWith(QStringLiteral("Error al compactar la base de datos:\r\n")));
    QCOMPARE(shown.icono, MessageBox::Exclamacion);
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("DBT_*")}, QDir::Files), QStringList());
    QVERIFY(!CDatos::CompactaryReparar(dir.file(QStringLiteral("noexiste.db"))));
}

void TstDatos::sqliteRunsInWalWithFullSync()
{
    DirectorioDePrueba dir;
    CDatos db;
    QVERIFY(db.AbrirBase(ConnectionString::sqlite(dir.file(QStringLiteral("w.db"))), true));
    QVERIFY(db.AbreRegistro(QStringLiteral("PRAGMA journal_mode")));
    QCOMPARE(db.Campo(QStringLiteral("journal_mode")).toString(), QStringLiteral("wal"));
    QVERIFY(db.AbreRegistro(QStringLiteral("PRAGMA synchronous")));
    QCOMPARE(db.Campo(QStringLiteral("synchronous")).toInt(), 2);
    QVERIFY(db.AbreRegistro(QStringLiteral("PRAGMA busy_timeout")));
    QVERIFY(db.Campo(QStringLiteral("timeout")).toInt() >= 10000);
}

// A report table another program made, with one of the browser's indexes:
// the others are added, once, whatever the case the table's name is given in.
void TstDatos::reportIndexesCompleted()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    const bool sqlite = db.motor() == ConnectionString::SQLite;
    const QString cuenta = sqlite ? QStringLiteral("SELECT COUNT(*) AS N FROM sqlite_master WHERE type = 'index' AND "
                                                   "tbl_name = '%1' AND upper(name) LIKE 'IX%'")
                                        .arg(kR)
                                  : QStringLiteral("SELECT COUNT(*) AS N FROM pg_indexes WHERE tablename = lower('%1') "
                                                   "AND upper(indexname) LIKE 'IX%'")
                                        .arg(kR);
    const auto indices = [&] {
        return db.AbreRegistro(cuenta) ? db.Campo(QStringLiteral("N")).toInt() : -1;
    };
    const int todos = indices();
    QVERIFY(todos >= 13);
    for (const char* i : {"FECHA", "AUX1", "AUX6", "OPERADOR", "TOTAL", "PRESET"})
        QVERIFY(db.Ejecuta(QStringLiteral("DROP INDEX IX_%1_%2").arg(kR, QString::fromLatin1(i))));
    QCOMPARE(indices(), todos - 6);
    Schema::aseguraIndicesReporte(db.base(), kR.toLower());
    QCOMPARE(indices(), todos);
    Schema::aseguraIndicesReporte(db.base(), kR);
    QCOMPARE(indices(), todos);
}

// Child mode: take N tickets from the database named and print them.
static int tomarTickets(const QString& cs, int n)
{
    CDatos::setDirectorioBase(QDir::currentPath());
    for (int i = 0; i < n; ++i) {
        CDatos db;
        qint64 t = 0;
        if (db.AbrirBase(cs))
            t = db.TomaTicket(Schema::kTablaGlobal);
        if (t <= 0) {
            std::fprintf(stderr, "%s\n", qPrintable(db.ultimoError()));
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(t));
    }
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--tomar-tickets")
        return tomarTickets(QString::fromUtf8(argv[2]), QByteArray(argv[3]).toInt());
    TstDatos t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_datos.moc"
