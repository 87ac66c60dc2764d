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

using namespace Qt::StringLiterals;

namespace {

const QString kR = Schema::kTablaReporte;

// Fresh tables on the engine named; returns the connection string.
QString preparaBase(const QString& engine, const QString& dir)
{
    QString cs;
    if (engine == u"sqlite") {
        cs = ConnectionString::sqlite(QDir(dir).absoluteFilePath(u"data.db"_s));
    } else {
        cs = conexionPostgres();
        CDatos db;
        if (!db.AbrirBase(cs))
            qFatal("PostgreSQL: %s", qPrintable(db.ultimoError()));
        for (const QString& t : {Schema::kTablaReporte, Schema::kTablaOperarios,
                                 Schema::kTablaGlobal, Schema::kTablaComandos})
            db.Ejecuta(u"DROP TABLE IF EXISTS "_s + t);
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
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = %2"_s.arg(kR).arg(ticket)));
    QVERIFY2(db.AgregaRegistros({{u"TICKET"_s, ticket},
                                 {u"AUX1"_s, aux1},
                                 {u"TOTAL"_s, total},
                                 {u"PESO"_s, 250.0},
                                 {u"FECHA"_s, fecha},
                                 {u"HORA"_s, QTime(10, 5, 7)},
                                 {u"INFO"_s, QString()},
                                 {u"OPCION1"_s, opcion}}),
             qPrintable(db.ultimoError()));
}

QStringList tickets(CDatos& db, const QString& sql)
{
    QStringList out;
    if (!db.AbreRegistro(sql))
        return {u"error: "_s + db.ultimoError()};
    for (bool ok = db.PrimerRegistro(); ok; ok = db.SiguienteRegistro())
        out << db.Campo(u"TICKET"_s).toString();
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
    void readEditDelete_data() { engines(); }
    void readEditDelete();
    void addRecord_data() { engines(); }
    void addRecord();
    void settingsTableBranch_data() { engines(); }
    void settingsTableBranch();
    void ticketsFromTwoProgramsNeverCollide_data() { engines(); }
    void ticketsFromTwoProgramsNeverCollide();

    void badDatabasesFailCleanly();
    void reportTableChangedByOthers_data() { engines(); }
    void reportTableChangedByOthers();
    void reportTableOfEarlierVersion_data() { engines(); }
    void reportTableOfEarlierVersion();
    void dialectRewrites_data();
    void dialectRewrites();
    void compactionAndSqlitePragmas();
    void compactionFailureLeavesFileUntouched();

private:
    void engines();
    QString m_engine;
    QString m_cs;
    std::unique_ptr<DirectorioDePrueba> m_dir;
};

void TstDatos::engines()
{
    QTest::addColumn<QString>("engine");
    QTest::newRow("sqlite") << u"sqlite"_s;
    QTest::newRow("postgresql") << u"postgresql"_s;
}

void TstDatos::initTestCase()
{
    MessageBox::setScripted(true);
}

void TstDatos::init()
{
    m_dir = std::make_unique<DirectorioDePrueba>();
    CDatos::setDirectorioBase(m_dir->path());
    CDatos::setFormatoFecha(u"DD/MM/YYYY"_s);
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
    agregaFila(db, 1, u"Cliente Norte"_s, 5000, QDate(2026, 1, 31), 1);
    agregaFila(db, 2, u"cliente sur"_s, 250, QDate(2026, 2, 1));
    agregaFila(db, 3, u"Otro"_s, 500, QDate(2026, 2, 5), 1);

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
        QCOMPARE(tickets(db, u"SELECT * FROM %1 %2"_s.arg(kR, QLatin1String(resto))), esperados);

    // A new global table starts with its counter.
    QVERIFY(db.AbreRegistro(
        u"SELECT * FROM %1 WHERE  VARIABLE = 'Ticket'"_s.arg(Schema::kTablaGlobal)));
    QCOMPARE(db.Campo(u"VALOR"_s).toString(), u"1"_s);
    for (const char* sql : {"SELECT OPERADOR FROM %1 ORDER BY OPERADOR ", "SELECT * FROM %1 ORDER BY OPERADOR ASC",
                            "SELECT * FROM %1 WHERE OPERADOR = 'x'"})
        QVERIFY2(db.AbreRegistro(QString::fromLatin1(sql).arg(Schema::kTablaOperarios)), sql);

    // A rejected statement says why and leaves no open record set.
    QVERIFY(!db.AbreRegistro(u"SELECT * FROM %1 WHERE NOPE = 1"_s.arg(kR)));
    QVERIFY(!db.ultimoError().isEmpty());
    QVERIFY(!db.Existe_Registro());
}

void TstDatos::readEditDelete()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(kR)));
    QCOMPARE(db.Cant_Registros(), 0L);
    QVERIFY(!db.Existe_Registro());
    for (int t = 1; t <= 3; ++t)
        agregaFila(db, t, u"a"_s, t * 100, QDate(2026, 1, t));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 ORDER BY TICKET ASC"_s.arg(kR)));
    db.SiguienteRegistro();
    db.SiguienteRegistro();
    QCOMPARE(db.Cant_Registros(), 3L);
    QCOMPARE(db.Campo(u"TICKET"_s).toInt(), 1);
    // Field names are found regardless of case (PostgreSQL folds them).
    QCOMPARE(db.Campo(u"total"_s).toDouble(), 100.0);

    // An edit changes only the fields named.
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 2"_s.arg(kR)));
    QVERIFY(db.EditaRegistros({{u"INFO"_s, u" -> TOTAL <-"_s}, {u"OPCION1"_s, 1}}));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 2"_s.arg(kR)));
    QCOMPARE(db.Campo(u"INFO"_s).toString(), u" -> TOTAL <-"_s);
    QCOMPARE(db.Campo(u"OPCION1"_s).toInt(), 1);
    QCOMPARE(db.Campo(u"TOTAL"_s).toDouble(), 200.0);

    // Two units of work on the same row: the second writer learns it lost.
    CDatos other;
    QVERIFY(other.AbrirBase(m_cs));
    QVERIFY(other.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 3"_s.arg(kR)));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 3"_s.arg(kR)));
    QVERIFY(db.Eliminar_Registro());
    QVERIFY(!other.SetCampo(u"NOPE"_s, 1));
    QVERIFY(other.SetCampo(u"INFO"_s, u"tarde"_s));
    QVERIFY(!other.Actualiza());
    QVERIFY(other.ultimoError().contains(u"otro usuario"_s));

    QCOMPARE(tickets(db, u"SELECT * FROM %1 ORDER BY TICKET ASC"_s.arg(kR)),
             (QStringList{"1", "2"}));

    // Dates and times come back as written; accumulators of millions keep
    // their decimals.
    agregaFila(db, 4, u"a"_s, 1234567.89, QDate(2026, 12, 5));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 4"_s.arg(kR)));
    QCOMPARE(CDatos::aFecha(db.Campo(u"FECHA"_s)), QDate(2026, 12, 5));
    QCOMPARE(CDatos::aHora(db.Campo(u"HORA"_s)), QTime(10, 5, 7));
    QCOMPARE(db.Campo(u"TOTAL"_s).toDouble(), 1234567.89);

    // A row another program wrote keeps its time of day as a date-time on
    // 30/12/1899 and its date at midnight: both still read as a time and a date.
    QVERIFY(db.Ejecuta(u"UPDATE %1 SET HORA = '1899-12-30 07:07:13', FECHA = '2019-03-28 00:00:00' "
                       "WHERE TICKET = 4"_s.arg(kR)));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 4"_s.arg(kR)));
    QCOMPARE(CDatos::aHora(db.Campo(u"HORA"_s)), QTime(7, 7, 13));
    QCOMPARE(CDatos::aFecha(db.Campo(u"FECHA"_s)), QDate(2019, 3, 28));
    QVERIFY(!CDatos::aHora(QVariant(u"2019-13-45 07:07:13"_s)).isValid());
}

void TstDatos::addRecord()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    const QString g = Schema::kTablaGlobal;
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE  VARIABLE = 'K'"_s.arg(g)));
    QVERIFY(db.AgregaRegistros(
        {{u"VARIABLE"_s, u"K"_s}, {u"VALOR"_s, u"v"_s}, {u"DESCRIPCION"_s, u"-"_s}}));
    // An unknown field is left out, the record still goes in.
    QVERIFY(db.AgregaRegistros({{u"VARIABLE"_s, u"K2"_s},
                                {u"NOEXISTE"_s, 1},
                                {QString(), u"ignored"_s},
                                {u"VALOR"_s, QString()}}));
    QCOMPARE(db.avisos().size(), 1);
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE VARIABLE Like 'K%' ORDER BY VARIABLE ASC"_s.arg(g)));
    QCOMPARE(db.Cant_Registros(), 2L);
    QCOMPARE(db.Campo(u"VALOR"_s).toString(), u"v"_s);
    QCOMPARE(db.Campo(u"DESCRIPCION"_s).toString(), u"-"_s);
    db.SiguienteRegistro();
    QCOMPARE(db.Campo(u"VALOR"_s).toString(), QString());

    // A value the field cannot take fails the whole record: nothing half-filled.
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 9"_s.arg(kR)));
    QVERIFY(!db.AgregaRegistros({{u"TICKET"_s, 9}, {u"AUX1"_s, u"x"_s}, {u"TOTAL"_s, u"doce"_s}}));
    QVERIFY(db.ultimoError().contains(u"TOTAL"_s));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(kR)));
    QCOMPARE(db.Cant_Registros(), 0L);
    // A duplicate key is refused and says so.
    agregaFila(db, 5, u"a"_s, 1, QDate(2026, 1, 1));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 5"_s.arg(kR)));
    QVERIFY(!db.AgregaRegistros({{u"TICKET"_s, 5}}));
    QVERIFY(!db.ultimoError().isEmpty());

    // Values with quotes are values, never part of the statement.
    const QString name = u"O'Brien' OR '1'='1"_s;
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(Schema::kTablaOperarios)));
    QVERIFY(db.AgregaRegistros(
        {{u"OPERADOR"_s, name}, {u"PASSWORD"_s, u"x"_s}, {u"JERARQUIA"_s, u"Operador"_s}}));
    QVERIFY(db.AgregaRegistros({{u"OPERADOR"_s, u"otro"_s}}));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE OPERADOR = %2"_s
                                .arg(Schema::kTablaOperarios, SqlDialect::texto(name))));
    QCOMPARE(db.Cant_Registros(), 1L);
    QCOMPARE(db.Campo(u"OPERADOR"_s).toString(), name);
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE OPERADOR = %2"_s.arg(
        Schema::kTablaOperarios, SqlDialect::texto(u"x' OR '1'='1"_s))));
    QCOMPARE(db.Cant_Registros(), 0L);
    // A quote in a Like pattern matches a quote.
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE OPERADOR Like %2"_s.arg(
        Schema::kTablaOperarios, SqlDialect::texto(u"o'b%"_s))));
    QCOMPARE(db.Cant_Registros(), 1L);
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
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    QVERIFY(db.Ejecuta(u"DELETE FROM %1"_s.arg(Schema::kTablaGlobal)));
    QString error;
    QCOMPARE(lee("Ticket", "1", &error), u"1"_s);
    QVERIFY(error.isEmpty());
    QVERIFY(guarda(QString(), "Ticket", "2"));
    QVERIFY(guarda(u"cualquiera"_s, "Ticket", "3"));
    QCOMPARE(lee("Ticket", "1"), u"3"_s);
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(Schema::kTablaGlobal)));
    QCOMPARE(db.Cant_Registros(), 1L);
    QCOMPARE(db.Campo(u"DESCRIPCION"_s).toString(), u"-"_s);
    // A key with a quote is looked up safely.
    QVERIFY(guarda(QString(), "a'b", "x"));
    QCOMPARE(lee("a'b", ""), u"x"_s);

    // No database: the default comes back and the caller is told.
    Programa::DataCSGlobal = ConnectionString::sqlite(m_dir->file(u"nope.db"_s));
    QCOMPARE(lee("Ticket", "1", &error), u"1"_s);
    QVERIFY(error.contains(u"nope.db"_s));
    QVERIFY(!guarda(QString(), "Ticket", "5"));
    QVERIFY(!QFile::exists(m_dir->file(u"nope.db"_s)));
}

void TstDatos::ticketsFromTwoProgramsNeverCollide()
{
    const int perProgram = 150;
    QList<QProcess*> programs;
    for (int i = 0; i < 2; ++i) {
        auto* p = new QProcess(this);
        p->start(QCoreApplication::applicationFilePath(),
                 {u"--tomar-tickets"_s, m_cs, QString::number(perProgram)});
        programs << p;
    }
    QSet<qint64> seen;
    for (QProcess* p : programs) {
        QVERIFY(p->waitForFinished(120000));
        QCOMPARE(p->exitCode(), 0);
        for (const QByteArray& l : p->readAllStandardOutput().trimmed().split('\n')) {
            const qint64 t = l.toLongLong();
            QVERIFY2(!seen.contains(t), qPrintable(u"ticket %1 taken twice"_s.arg(t)));
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

    // A counter that is not a number is refused, not restarted.
    const QString fija = u"UPDATE %1 SET VALOR = '%2' WHERE VARIABLE = 'Ticket'"_s;
    QVERIFY(db.Ejecuta(fija.arg(Schema::kTablaGlobal, u"abc"_s)));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(0));
    QVERIFY(db.ultimoError().contains(u"abc"_s));
    QVERIFY(db.Ejecuta(fija.arg(Schema::kTablaGlobal, u"41"_s)));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(41));
    QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(42));
}

void TstDatos::badDatabasesFailCleanly()
{
    DirectorioDePrueba dir;
    CDatos db;
    QVERIFY(!db.AbrirBase(QString()));
    QVERIFY(!db.ultimoError().isEmpty());
    QVERIFY(!db.AbrirBase(u"Driver=Nada;Data Source=x"_s));
    QVERIFY(!db.AbrirBase(u"Driver=SQLite;Data Source=falta.db"_s));
    QVERIFY(db.ultimoError().contains(u"falta.db"_s));
    QVERIFY(!QFile::exists(dir.file(u"falta.db"_s)));
    QVERIFY(escribeArchivo(dir.file(u"basura.db"_s), QByteArray(4096, 'x')));
    QVERIFY(!db.AbrirBase(u"Driver=SQLite;Data Source="_s + dir.file(u"basura.db"_s)));
    QVERIFY(!db.AbrirBase(u"Driver=SQLite;Data Source="_s + dir.path()));
    QVERIFY(!db.AbrirBase(u"Driver=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=y"_s));
    QVERIFY(!db.AbrirBase(u"Driver=PostgreSQL;Host=127.0.0.1;Port=abc;Database=x"_s));
    QVERIFY(!db.AbrirBase(u"Driver=PostgreSQL;Host=127.0.0.1;Port=70000;Database=x"_s));
    QCOMPARE(db.ultimoError(), u"El puerto de la cadena de conexión no es válido."_s);
    // Nothing open: every later use fails with a reason instead of crashing.
    QVERIFY(!db.AbreRegistro(u"SELECT 1"_s));
    QVERIFY(!db.AgregaRegistros({{u"A"_s, 1}}));
    QVERIFY(!db.Ejecuta(u"SELECT 1"_s));
    QCOMPARE(db.Cant_Registros(), 0L);
    QVERIFY(!db.Eliminar_Registro());
    QCOMPARE(db.TomaTicket(u"Global"_s), qint64(0));
}

// One connection serving many units of work: the statements and table
// layouts it keeps follow the table when this or another program changes it.
void TstDatos::reportTableChangedByOthers()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    for (int i = 1; i <= 3; ++i) {
        QCOMPARE(db.TomaTicket(Schema::kTablaGlobal), qint64(i));
        agregaFila(db, i, u"c%1"_s.arg(i), i * 10.0, QDate(2026, 1, i));
    }
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 ORDER BY TICKET"_s.arg(kR)));
    for (int i = 1; i <= 3; ++i, db.SiguienteRegistro()) {
        QCOMPARE(db.Campo(u"AUX1"_s).toString(), u"c%1"_s.arg(i));
        QCOMPARE(db.Campo(u"TOTAL"_s).toDouble(), i * 10.0);
    }
    CDatos otro;
    QVERIFY(otro.AbrirBase(m_cs));
    for (int i : {1, 2}) {
        CDatos& quien = i == 1 ? db : otro;
        const QString campo = u"EXTRA%1"_s.arg(i);
        QVERIFY(quien.Ejecuta(u"ALTER TABLE %1 ADD COLUMN %2 TEXT"_s.arg(kR, campo)));
        // Once as written, once through the statement kept prepared.
        QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 0"_s.arg(kR)));
        QVERIFY2(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = ?"_s.arg(kR), {0}),
                 qPrintable(db.ultimoError()));
        QVERIFY(db.AgregaRegistros({{u"TICKET"_s, 3 + i}, {campo, u"v"_s}}));
        QCOMPARE(db.avisos(), QStringList());
        CDatos lector;
        QVERIFY(lector.AbrirBase(m_cs));
        QVERIFY(lector.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = %2"_s.arg(kR).arg(3 + i)));
        QCOMPARE(lector.Campo(campo).toString(), u"v"_s);
    }

    // The table as another program made it, with one of the browser's
    // indexes: the others are added, once, whatever the case its name is in.
    const QString cuenta =
        (db.motor() == ConnectionString::SQLite
             ? u"SELECT COUNT(*) AS N FROM sqlite_master WHERE type = 'index' AND "
               "tbl_name = '%1' AND upper(name) LIKE 'IX%'"_s
             : u"SELECT COUNT(*) AS N FROM pg_indexes WHERE tablename = lower('%1') "
               "AND upper(indexname) LIKE 'IX%'"_s)
            .arg(kR);
    const auto indices = [&] { return db.AbreRegistro(cuenta) ? db.Campo(u"N"_s).toInt() : -1; };
    const int todos = indices();
    QVERIFY(todos >= 13);
    for (const char* i : {"FECHA", "AUX1", "AUX6", "OPERADOR", "TOTAL", "PRESET"})
        QVERIFY(db.Ejecuta(u"DROP INDEX IX_%1_%2"_s.arg(kR, QString::fromLatin1(i))));
    QCOMPARE(indices(), todos - 6);
    Schema::aseguraIndicesReporte(db.base(), kR.toLower());
    QCOMPARE(indices(), todos);
    Schema::aseguraIndicesReporte(db.base(), kR);
    QCOMPARE(indices(), todos);
}

// A reports table as the previous version made it, with a row, opened by
// this one (on PostgreSQL by several programs at once): the identity columns
// and their unique index are added, the row kept, and a program of the
// previous version still writes into it.
void TstDatos::reportTableOfEarlierVersion()
{
    CDatos db;
    QVERIFY(db.AbrirBase(m_cs));
    const bool pg = db.motor() == ConnectionString::PostgreSQL;
    QVERIFY(db.Ejecuta(u"DROP TABLE %1"_s.arg(kR)));
    QVERIFY(db.Ejecuta(u"CREATE TABLE %1 (TICKET %2 PRIMARY KEY, AUX1 TEXT, AUX2 TEXT, AUX3 TEXT, AUX4 TEXT, "
                       "AUX5 TEXT, AUX6 TEXT, TOTAL %3, PESO %3, BACH %3, PRESET %3, FECHA DATE, HORA TIME, INFO TEXT, "
                       "OPERADOR TEXT, OPCION1 %2 NOT NULL DEFAULT 0)"_s
                           .arg(kR, pg ? u"BIGINT"_s : u"INTEGER"_s, pg ? u"DOUBLE PRECISION"_s : u"REAL"_s)));
    agregaFila(db, 1, u"antigua"_s, 100, QDate(2026, 1, 1));
    QString error;
    if (pg) {
        QList<QProcess*> programas;
        for (int i = 0; i < 3; ++i) {
            auto* p = new QProcess(this);
            p->start(QCoreApplication::applicationFilePath(), {u"--identidad"_s, m_cs});
            programas << p;
        }
        for (QProcess* p : programas) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        }
    }
    QVERIFY2(Schema::aseguraIdentidad(db, kR, &error), qPrintable(error));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = 1"_s.arg(kR)));
    QCOMPARE(db.Campo(u"AUX1"_s).toString(), u"antigua"_s);
    for (const QString& c : {Schema::kPuesto, Schema::kLinea, Schema::kIdLote})
        QVERIFY2(db.registroActual().contains(c) && db.Campo(c).isNull(), qPrintable(c));
    // The previous version's insert names its own columns; rows of it have
    // no identity, and any number of them fit the unique index.
    agregaFila(db, 2, u"antigua"_s, 200, QDate(2026, 1, 1));
    const auto conIdentidad = [&](qint64 t, const QString& id) {
        return db.AbreRegistro(u"SELECT * FROM %1 WHERE TICKET = ?"_s.arg(kR), {t}) &&
               db.AgregaRegistros({{u"TICKET"_s, t}, {Schema::kPuesto, u"p"_s}, {Schema::kLinea, 1}, {Schema::kIdLote, id}});
    };
    QVERIFY2(conIdentidad(3, u"a1"_s), qPrintable(db.ultimoError()));
    // One identity, one row: the database refuses the second.
    QVERIFY(!conIdentidad(4, u"a1"_s));
    QVERIFY(conIdentidad(4, u"a2"_s));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(kR)));
    QCOMPARE(db.Cant_Registros(), 4L);
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
                                 patron.isEmpty() ? u"DD/MM/YYYY"_s : patron),
             expected);
}

void TstDatos::compactionAndSqlitePragmas()
{
    DirectorioDePrueba dir;
    const QString path = dir.file(u"data.db"_s);
    const QString cs = ConnectionString::sqlite(path);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(cs, true));
        // WAL with full sync, and a wait for a busy file.
        QVERIFY(db.AbreRegistro(u"PRAGMA journal_mode"_s));
        QCOMPARE(db.Campo(u"journal_mode"_s).toString(), u"wal"_s);
        QVERIFY(db.AbreRegistro(u"PRAGMA synchronous"_s));
        QCOMPARE(db.Campo(u"synchronous"_s).toInt(), 2);
        QVERIFY(db.AbreRegistro(u"PRAGMA busy_timeout"_s));
        QVERIFY(db.Campo(u"timeout"_s).toInt() >= 10000);
        QVERIFY(Schema::crear(db, kR, Schema::kTablaOperarios, Schema::kTablaGlobal, nullptr, nullptr));
        for (int t = 1; t <= 300; ++t)
            agregaFila(db, t, QString(200, u'x'), t, QDate(2026, 1, 1));
        QVERIFY(db.Ejecuta(u"DELETE FROM %1 WHERE TICKET > 10"_s.arg(kR)));
    }
    const qint64 before = QFileInfo(path).size();
    QVERIFY(CDatos::CompactaryReparar(path));
    QVERIFY(QFileInfo(path).size() < before);
    CDatos db;
    QVERIFY(db.AbrirBase(cs));
    QVERIFY(db.AbreRegistro(u"SELECT * FROM %1"_s.arg(kR)));
    QCOMPARE(db.Cant_Registros(), 10L);
    QCOMPARE(QDir(dir.path()).entryList({u"DBT_*"_s}, QDir::Files), QStringList());
}

void TstDatos::compactionFailureLeavesFileUntouched()
{
    DirectorioDePrueba dir;
    const QString path = dir.file(u"data.db"_s);
    const QByteArray garbage(8192, 'z');
    QVERIFY(escribeArchivo(path, garbage));
    // A stale temporary of the same name is removed first.
    const QTime now = QTime::currentTime();
    escribeArchivo(dir.file(u"DBT_%1%2.db"_s.arg(now.minute(), 2, 10, QLatin1Char('0'))
                                .arg(now.second(), 2, 10, QLatin1Char('0'))),
                   "old");
    MessageBox::limpiar();
    QVERIFY(!CDatos::CompactaryReparar(path));
    QCOMPARE(leeArchivo(path), garbage);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const auto shown = MessageBox::mostrados().first();
    QCOMPARE(std::tuple(shown.titulo, shown.icono),
             std::tuple(u"Error al compactar la base de datos"_s, MessageBox::Exclamacion));
    QVERIFY(shown.texto.startsWith(u"Error al compactar la base de datos:\r\n"_s));
    QCOMPARE(QDir(dir.path()).entryList({u"DBT_*"_s}, QDir::Files), QStringList());
    QVERIFY(!CDatos::CompactaryReparar(dir.file(u"noexiste.db"_s)));
}

// Child mode: give the reports table its identity columns.
static int daIdentidad(const QString& cs)
{
    CDatos db;
    QString error;
    if (!db.AbrirBase(cs) || !Schema::aseguraIdentidad(db, kR, &error)) {
        std::fprintf(stderr, "%s %s\n", qPrintable(db.ultimoError()), qPrintable(error));
        return 1;
    }
    return 0;
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
    if (argc == 3 && QByteArray(argv[1]) == "--identidad")
        return daIdentidad(QString::fromUtf8(argv[2]));
    TstDatos t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_datos.moc"
