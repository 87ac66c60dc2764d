// The accumulator read when the link opens, against the rows already
// recorded: the kilos of the batches no one saw become a row of their own,
// decided by the writer on its thread, on a real SQLite file and on the
// PostgreSQL server.
#include <QMutex>
#include <QProcess>
#include <QSqlRecord>
#include <QtTest>
#include <csignal>
#include <optional>
#include <unistd.h>

#include "CDatos.h"
#include "Cp1252.h"
#include "Diario.h"
#include "Filtro.h"
#include "Puesto.h"
#include "RegistrosPrueba.h"

class TestDiferencias : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void filaDeDiferencia_data() { servidores(); }
    void filaDeDiferencia();
    void sinFila_data();
    void sinFila();
    void trasLotesEnCola_data() { servidores(); }
    void trasLotesEnCola();
    void caidaTrasConfirmar_data();
    void caidaTrasConfirmar();
    void muertaTrasConfirmar_data() { servidores(); }
    void muertaTrasConfirmar();
    void cadaPuestoYLineaLaSuya();
    void colaDeLaVersionAnterior();
    void baseInalcanzable();

private:
    static void servidores()
    {
        QTest::addColumn<bool>("servidor");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }
};

namespace {

const QString kMotivo = QStringLiteral("Tolvex no leía el indicador");

Pendiente diferencia(double acumulador, const QTime& hora = QTime(10, 30, 0), const QString& motivo = kMotivo)
{
    Pendiente p = lote(acumulador, 0, hora);
    p.tipo = Pendiente::Diferencia;
    p.operador = QStringLiteral("LUIS");
    p.aux = QStringList{QStringLiteral("Cliente \"Sur\""), QStringLiteral("Camión 7"), {}, {}, {}, {}};
    p.bach = 0;
    p.motivo = motivo;
    return p;
}

// A program directory recording into its SQLite file, or into this run's
// own tables on the server (the directory keeps its queue and last ticket).
struct Planta
{
    Programa_ prog;
    std::optional<decltype(tablasPropias({}, {}))> borra;
    bool ok = false;
    QString falta;
    QString sufijo; // of this run's tables on the server

    Planta(bool servidor, const char* sufijo)
    {
        if (!prog.ok)
            return;
        if (servidor) {
            const QString pg = conexionPostgres();
            if (pg.isEmpty()) {
                falta = QStringLiteral("TOLVEX_TEST_PG no está definida");
                return;
            }
            this->sufijo = QLatin1String(sufijo) + QString::number(QCoreApplication::applicationPid());
            borra.emplace(tablasPropias(pg, this->sufijo));
            if (!creaTablas())
                return;
        }
        ok = true;
    }
};

#define PLANTA(nombre, sufijo)                                                                                 \
    QFETCH(bool, servidor);                                                                                    \
    Planta nombre(servidor, sufijo);                                                                           \
    if (!nombre.falta.isEmpty())                                                                               \
        QSKIP(qPrintable(nombre.falta));                                                                       \
    QVERIFY(nombre.ok)

// What the writer confirmed, in order (called on its thread).
struct Confirmadas
{
    QMutex mutex;
    QList<Pendiente> filas;
    void conecta(Registrador& r)
    {
        r.setAlConfirmar([this](const Pendiente& p) {
            QMutexLocker l(&mutex);
            filas.append(p);
        });
    }
    QList<Pendiente> todas()
    {
        QMutexLocker l(&mutex);
        return filas;
    }
};

// A sum the reports take (the expression S) over the rows their filter
// picks.
double consulta(const QString& suma, const QString& filtro)
{
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte) ||
        !db.AbreRegistro(QStringLiteral("SELECT %1 AS S FROM %2 WHERE %3").arg(suma, Programa::DataTbReporte, filtro)) ||
        !db.PrimerRegistro())
        return -1;
    return db.Campo(QStringLiteral("S")).toDouble();
}

// The kilos of the day of the entries, filtered as the reports filter dates.
double kilosDelDia()
{
    const QDate d(2026, 12, 5);
    return consulta(QStringLiteral("SUM(PESO)"),
                    Filtros::condicion(QStringLiteral("FECHA"), *Filtros::fecha(d, d, Programa::Fecha_Frm, Programa::Fecha_Chr)));
}

QString logDe(const Programa_& p)
{
    return Cp1252::decode(leeArchivo(p.dir.file(Diario::kLog)));
}

} // namespace

// Written as a batch row, with the rows before it committed first; its
// marking as a dispatch total and the unmarking keep what INFO says of it;
// the day's kilos and the dispatch's total are the accumulator's.
void TestDiferencias::filaDeDiferencia()
{
    PLANTA(p, "_df");
    Registrador r(p.prog.dir.path());
    Confirmadas conf;
    conf.conecta(r);
    r.setNroError(7);
    r.agrega(lote(250, 250));
    r.agrega(lote(500, 250, QTime(10, 1, 0)));
    QVERIFY(escribe(r, diferencia(1350.4)));
    auto f = filasDe();
    QCOMPARE(f.size(), 3);
    QCOMPARE(f[2].value("TICKET").toLongLong(), 3);
    QCOMPARE(f[2].value("PESO").toDouble(), 850.4);
    QCOMPARE(f[2].value("TOTAL").toDouble(), 1350.4);
    QCOMPARE(f[2].value("INFO").toString(), QStringLiteral("Diferencia: ") + kMotivo);
    QCOMPARE(f[2].value("OPERADOR").toString(), QStringLiteral("LUIS"));
    QCOMPARE(f[2].value("AUX1").toString(), QStringLiteral("Cliente \"Sur\""));
    QCOMPARE(f[2].value("AUX2").toString(), QStringLiteral("Camión 7"));
    QCOMPARE(f[2].value(Schema::kPuesto).toString(), r.puesto());
    QCOMPARE(f[2].value("OPCION1").toInt(), 0);
    QVERIFY(!f[2].value(Schema::kIdLote).toString().isEmpty());

    // Every row told before its entry left, with its ticket and final weights.
    auto c = conf.todas();
    QCOMPARE(c.size(), 3);
    QCOMPARE(c[0].ticket, 1);
    QCOMPARE(c[0].tipo, Pendiente::Lote);
    QCOMPARE(c[0].info, QString());
    QCOMPARE(c[2].tipo, Pendiente::Diferencia);
    QCOMPARE(c[2].ticket, 3);
    QCOMPARE(c[2].peso, 850.4);
    QCOMPARE(c[2].total, 1350.4);
    QCOMPARE(c[2].info, QStringLiteral("Diferencia: ") + kMotivo);
    QCOMPARE(c[2].idLote, f[2].value(Schema::kIdLote).toString());

    // One line in the error log, in a record carrying the station's number.
    QTRY_VERIFY(logDe(p.prog).contains(QStringLiteral("fila de diferencia")));
    const QString log = logDe(p.prog);
    const QString linea = QStringLiteral("El acumulador aumentó 850.4 kg sin que se vieran los lotes (último TOTAL "
                                         "registrado 500, acumulador 1350.4): se registró una fila de diferencia, "
                                         "ticket 3.");
    QCOMPARE(log.count(linea), 1);
    QVERIFY(log.contains(QStringLiteral("\r\n7\r\nFecha y Hora: ")));
    QVERIFY(log.contains(linea + QStringLiteral("\r\nRutina: saveReporte (Formulario frmPeso)\r\n")));

    // Closing marks it; the marking keeps its text, unmarking only the marker.
    QVERIFY(escribe(r, cierre(QTime(11, 0, 0))));
    QCOMPARE(filasDe()[2].value("INFO").toString(),
             QStringLiteral("Diferencia: ") + kMotivo + EscrituraRegistro::marcaTotal(QDate(2026, 12, 5), QTime(11, 0, 0)));
    QCOMPARE(marcas(), QList<int>({0, 0, 1}));
    // A batch several merged into (the cycle counter jumped): the marker on
    // its INFO, its weights as they came.
    Pendiente juntos = lote(1600.4, 250, QTime(11, 5, 0));
    juntos.motivo = QStringLiteral("El contador de ciclos pasó de 7 a 9");
    QVERIFY(escribe(r, juntos));
    QVERIFY(escribe(r, cierre(QTime(12, 0, 0))));
    f = filasDe();
    QCOMPARE(marcas(), QList<int>({0, 0, 0, 1}));
    QCOMPARE(f[2].value("INFO").toString(), QStringLiteral("Diferencia: ") + kMotivo);
    QCOMPARE(f[3].value("PESO").toDouble(), 250.0);
    QCOMPARE(f[3].value("INFO").toString(), QStringLiteral("Diferencia: El contador de ciclos pasó de 7 a 9") +
                                                EscrituraRegistro::marcaTotal(QDate(2026, 12, 5), QTime(12, 0, 0)));
    c = conf.todas();
    QCOMPARE(c.size(), 4);
    QCOMPARE(c[3].info, QStringLiteral("Diferencia: El contador de ciclos pasó de 7 a 9"));

    // As the reports add them: the day's kilos and the dispatch's total.
    QCOMPARE(kilosDelDia(), 1600.4);
    QCOMPARE(consulta(QStringLiteral("SUM(TOTAL)"), QStringLiteral("(OPCION1 <> 0)")), 1600.4);
}

void TestDiferencias::sinFila_data()
{
    QTest::addColumn<bool>("servidor");
    QTest::addColumn<double>("anterior"); // < 0: no earlier row of its own
    QTest::addColumn<double>("acumulador");
    QTest::addColumn<bool>("ultimoConocido");
    for (bool servidor : {false, true}) {
        const char* b = servidor ? "postgresql" : "sqlite";
        QTest::addRow("%s sin filas", b) << servidor << -1.0 << 900.0 << true;
        QTest::addRow("%s sin filas propias, último desconocido", b) << servidor << -1.0 << 900.0 << false;
        QTest::addRow("%s igual", b) << servidor << 900.0 << 900.0 << true;
        QTest::addRow("%s igual, último desconocido", b) << servidor << 900.0 << 900.0 << false;
        QTest::addRow("%s puesto a cero", b) << servidor << 900.0 << 120.0 << true;
    }
}

// No row to compare with, the same accumulator, or one reset: the entry is
// taken off, nothing is written or told. Another workstation's rows, with
// a lower TOTAL, are not this one's last row.
void TestDiferencias::sinFila()
{
    QFETCH(double, anterior);
    QFETCH(double, acumulador);
    QFETCH(bool, ultimoConocido);
    DirectorioDePrueba otro;
    Instalacion io;
    io.directorio = otro.path();
    QVERIFY(io.ejecutar());
    PLANTA(p, "_sf");
    {
        Registrador ro(otro.path());
        QVERIFY(escribe(ro, lote(100, 100)));
        Registrador r(p.prog.dir.path());
        if (anterior >= 0)
            QVERIFY(escribe(r, lote(anterior, anterior)));
    }
    const int antes = filasDe().size();
    if (!ultimoConocido) {
        QVERIFY(QFile::remove(p.prog.dir.file(ColaPendientes::kArchivoUltimo)));
        ColaPendientes c(p.prog.dir.file(Registrador::kArchivo));
        QVERIFY(c.carga());
        QCOMPARE(c.ultimo(), qint64(-1));
    }
    Registrador r(p.prog.dir.path());
    Confirmadas conf;
    conf.conecta(r);
    QVERIFY(escribe(r, diferencia(acumulador)));
    QCOMPARE(filasDe().size(), antes);
    QCOMPARE(conf.todas().size(), 0);
    QVERIFY(!QFile::exists(p.prog.dir.file(Registrador::kArchivo)));
    QVERIFY(!logDe(p.prog).contains(QStringLiteral("fila de diferencia")));
}

// Queued behind batches not yet written (the database was away): those are
// written first, and the difference is taken against the last of them.
void TestDiferencias::trasLotesEnCola()
{
    PLANTA(p, "_tc");
    {
        ColaPendientes c(p.prog.dir.file(Registrador::kArchivo), Puesto::de(p.prog.dir.path()));
        QVERIFY(c.carga());
        QVERIFY(c.agrega(lote(250, 250)));
        QVERIFY(c.agrega(lote(500, 250, QTime(10, 1, 0))));
        QVERIFY(c.agrega(diferencia(900, QTime(10, 30, 0))));
        QVERIFY(c.agrega(lote(1150, 250, QTime(10, 31, 0))));
        QVERIFY(c.agrega(diferencia(1150, QTime(10, 40, 0))));
    }
    Registrador r(p.prog.dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(columna(f, "TOTAL"), QStringList({"250", "500", "900", "1150"}));
    QCOMPARE(columna(f, "PESO"), QStringList({"250", "250", "400", "250"}));
    QCOMPARE(columna(f, "INFO"), QStringList({"", "", QStringLiteral("Diferencia: ") + kMotivo, ""}));
    QCOMPARE(kilosDelDia(), 1150.0);
}

void TestDiferencias::caidaTrasConfirmar_data()
{
    QTest::addColumn<bool>("servidor");
    QTest::addColumn<bool>("ultimoAdelantado");
    QTest::newRow("sqlite") << false << false;
    // The last ticket already the difference row's (a batch queued meanwhile
    // rewrote the queue file): the row is still found as the entry's.
    QTest::newRow("sqlite, último adelantado") << false << true;
    QTest::newRow("postgresql") << true << false;
    QTest::newRow("postgresql, último adelantado") << true << true;
}

// Stopped between the commit and the entry leaving the queue file: the
// queue as it was then, read by the next start, finds the row by its
// identity, writes no second one, and tells the row again.
void TestDiferencias::caidaTrasConfirmar()
{
    QFETCH(bool, ultimoAdelantado);
    PLANTA(p, "_ct");
    const QString archivo = p.prog.dir.file(Registrador::kArchivo);
    QByteArray alMorir;
    {
        Registrador r(p.prog.dir.path());
        QVERIFY(escribe(r, lote(250, 250)));
        r.setAlConfirmar([&](const Pendiente& e) {
            if (e.tipo == Pendiente::Diferencia)
                alMorir = leeArchivo(archivo);
        });
        QVERIFY(escribe(r, diferencia(700)));
    }
    QVERIFY(alMorir.contains("\"motivo\""));
    QCOMPARE(filasDe().size(), 2);
    QVERIFY(escribeArchivo(archivo, alMorir));
    if (ultimoAdelantado)
        QVERIFY(escribeArchivo(p.prog.dir.file(ColaPendientes::kArchivoUltimo), "2\r\n"));
    Registrador r(p.prog.dir.path());
    QCOMPARE(r.pendientes(), 1);
    Confirmadas conf;
    conf.conecta(r);
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(columna(f, "PESO"), QStringList({"250", "450"}));
    const auto c = conf.todas();
    QCOMPARE(c.size(), 1);
    QCOMPARE(c[0].ticket, 2);
    QCOMPARE(c[0].peso, 450.0);
    QCOMPARE(c[0].total, 700.0);
    QCOMPARE(c[0].info, QStringLiteral("Diferencia: ") + kMotivo);
    QTRY_VERIFY(logDe(p.prog).contains(QStringLiteral("(Total 700, Peso 450) ya estaba guardado con el ticket 2")));
    // The next batch follows the difference row.
    QVERIFY(escribe(r, lote(950, 250, QTime(10, 45, 0))));
    QCOMPARE(filasDe().size(), 3);
    QCOMPARE(leeArchivo(p.prog.dir.file(ColaPendientes::kArchivoUltimo)), QByteArray("3\r\n"));
}

// Two workstations, and a second line of one of them, on one server
// database, their tickets interleaved: each difference is taken against its
// own workstation and line's last row, known or looked for.
void TestDiferencias::cadaPuestoYLineaLaSuya()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    Programa_ a;
    QVERIFY(a.ok);
    DirectorioDePrueba otro;
    Instalacion ib;
    ib.directorio = otro.path();
    QVERIFY(ib.ejecutar());
    auto borra = tablasPropias(pg, QStringLiteral("_pl") + QString::number(QCoreApplication::applicationPid()));
    QVERIFY(creaTablas());
    {
        Registrador ra(a.dir.path()), rb(otro.path()), ra2(a.dir.path(), Contexto::programa(), nullptr, 2);
        QVERIFY(escribe(ra, lote(1000, 1000)));                        // 1
        QVERIFY(escribe(rb, lote(5000, 5000)));                        // 2
        QVERIFY(escribe(ra2, lote(300, 300)));                         // 3
        QVERIFY(escribe(ra, diferencia(1500)));                        // 4: 500 over A's 1
        QVERIFY(escribe(rb, diferencia(5200)));                        // 5: 200 over B's 2
        QVERIFY(escribe(ra2, diferencia(300)));                        // none: line 2 is level
        QVERIFY(escribe(rb, lote(5400, 200, QTime(10, 50, 0))));       // 6
    }
    auto f = filasDe();
    QCOMPARE(columna(f, "TICKET"), QStringList({"1", "2", "3", "4", "5", "6"}));
    QCOMPARE(columna(f, "PESO"), QStringList({"1000", "5000", "300", "500", "200", "200"}));
    QCOMPARE(columna(f, "LINEA"), QStringList({"1", "1", "2", "1", "1", "1"}));
    // A's last ticket unknown: its line's highest ticket, 4, not B's 6 nor
    // its line 2's 7.
    {
        Registrador ra2(a.dir.path(), Contexto::programa(), nullptr, 2);
        QVERIFY(escribe(ra2, lote(9000, 8700, QTime(10, 55, 0))));
    }
    QVERIFY(QFile::remove(a.dir.file(ColaPendientes::kArchivoUltimo)));
    {
        Registrador ra(a.dir.path());
        QVERIFY(escribe(ra, diferencia(1800, QTime(11, 0, 0))));
    }
    f = filasDe();
    QCOMPARE(f.size(), 8);
    QCOMPARE(f[7].value("PESO").toDouble(), 300.0);
    QCOMPARE(f[7].value("TOTAL").toDouble(), 1800.0);
    QCOMPARE(consulta(QStringLiteral("SUM(PESO)"),
                      QStringLiteral("PUESTO = '%1' AND ").arg(Puesto::de(a.dir.path())) +
                          Filtros::condicion(QStringLiteral("LINEA"), Filtros::linea(1))),
             1800.0);
}

// A queue file of the previous version (no difference entries, no
// reasons) loads and writes as it did; a kind this version does not know is
// an unreadable line, the others still load.
void TestDiferencias::colaDeLaVersionAnterior()
{
    Programa_ p;
    QVERIFY(p.ok);
    const QString archivo = p.dir.file(Registrador::kArchivo);
    const QByteArray antigua =
        "{\"aux\":[\"a\",\"\",\"\",\"\",\"\",\"\"],\"bach\":250,\"desde\":\"0\",\"fecha\":\"2026-12-05\","
        "\"hora\":\"10:00:00\",\"id\":\"1\",\"idlote\":\"0123456789abcdef0123456789abcdef\",\"operador\":\"ANA\","
        "\"peso\":250,\"preset\":0,\"ptotal\":250,\"ticket\":\"0\",\"tipo\":0,\"total\":250}\n"
        "{\"fecha\":\"2026-12-05\",\"hora\":\"11:00:00\",\"id\":\"2\",\"operador\":\"\",\"aux\":[],\"bach\":0,"
        "\"peso\":0,\"preset\":0,\"ptotal\":0,\"ticket\":\"0\",\"tipo\":1,\"total\":0}\n";
    QVERIFY(escribeArchivo(archivo, antigua + "{\"tipo\":4,\"id\":\"3\",\"ticket\":\"0\",\"fecha\":\"2026-12-05\","
                                              "\"hora\":\"12:00:00\"}\n"));
    ColaPendientes c(archivo);
    QString e;
    QVERIFY(!c.carga(&e));
    QVERIFY(e.contains(QStringLiteral("1 línea(s) ilegibles")));
    QCOMPARE(c.cantidad(), 2);
    Pendiente l;
    QVERIFY(c.primero(false, &l));
    QCOMPARE(l.tipo, Pendiente::Lote);
    QCOMPARE(l.motivo, QString());
    QCOMPARE(l.idLote, QStringLiteral("0123456789abcdef0123456789abcdef"));

    // The new kind and reason come back as they went; INFO is not kept.
    Pendiente d = diferencia(900);
    d.id = 5;
    d.idLote = ColaPendientes::nuevaIdentidad();
    d.info = QStringLiteral("no se guarda");
    Pendiente leida;
    QVERIFY(Pendiente::deJson(d.aJson(), &leida));
    QCOMPARE(leida.tipo, Pendiente::Diferencia);
    QCOMPARE(leida.motivo, kMotivo);
    QCOMPARE(leida.idLote, d.idLote);
    QCOMPARE(leida.aux, d.aux);
    QCOMPARE(leida.total, 900.0);
    QCOMPARE(leida.info, QString());

    QVERIFY(escribeArchivo(archivo, antigua));
    Registrador r(p.dir.path());
    QVERIFY(r.errorCarga().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(f.size(), 1);
    QCOMPARE(f[0].value("OPCION1").toInt(), 1);
    QCOMPARE(f[0].value("INFO").toString(), EscrituraRegistro::marcaTotal(QDate(2026, 12, 5), QTime(11, 0, 0)));
}

// The last row cannot be read: the entry waits, first, says why, and is
// decided once the server is back.
void TestDiferencias::baseInalcanzable()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    Programa_ p;
    QVERIFY(p.ok);
    auto borra = tablasPropias(pg, QStringLiteral("_bi") + QString::number(QCoreApplication::applicationPid()));
    QVERIFY(creaTablas());
    {
        Registrador r(p.dir.path());
        QVERIFY(escribe(r, lote(250, 250)));
        Programa::DataCSReporte = Programa::DataCSGlobal =
            QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=x;Password=x");
        QSignalSpy fallos(&r, &Registrador::fallo);
        r.setPausaMs(50);
        r.agrega(diferencia(600));
        r.agrega(lote(850, 250, QTime(10, 31, 0)));
        QTRY_VERIFY_WITH_TIMEOUT(fallos.size() >= 1, kEspera);
        QVERIFY(fallos[0][0].toString().startsWith(QStringLiteral("No se pudo comparar el acumulador 600 leído el ")));
        QCOMPARE(r.pendientes(), 2);
    }
    Programa::DataCSReporte = Programa::DataCSGlobal = pg;
    Registrador r(p.dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    QCOMPARE(columna(filasDe(), "PESO"), QStringList({"250", "350", "250"}));
}

// Killed with SIGKILL once its row is committed, before the entry leaves
// the queue: a new start writes no second row and tells the row once.
void TestDiferencias::muertaTrasConfirmar()
{
    PLANTA(p, "_mk");
    {
        Registrador r(p.prog.dir.path());
        QVERIFY(escribe(r, lote(250, 250)));
    }
    QProcess hijo;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TOLVEX_HOME"), p.prog.dir.path());
    env.insert(QStringLiteral("TOLVEX_DIFERENCIA_HIJO"), QStringLiteral("1"));
    if (servidor) {
        env.insert(QStringLiteral("TOLVEX_DIFERENCIA_PG"), Programa::DataCSReporte);
        env.insert(QStringLiteral("TOLVEX_DIFERENCIA_SUFIJO"), p.sufijo);
    }
    hijo.setProcessEnvironment(env);
    hijo.setProcessChannelMode(QProcess::ForwardedChannels);
    hijo.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(hijo.waitForFinished(kEspera));
    QCOMPARE(hijo.exitStatus(), QProcess::CrashExit);
    QCOMPARE(columna(filasDe(), "PESO"), QStringList({"250", "450"}));
    QVERIFY(leeArchivo(p.prog.dir.file(Registrador::kArchivo)).contains("\"tipo\":3"));

    Registrador r(p.prog.dir.path());
    Confirmadas conf;
    conf.conecta(r);
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    QCOMPARE(columna(filasDe(), "PESO"), QStringList({"250", "450"}));
    const auto c = conf.todas();
    QCOMPARE(c.size(), 1);
    QCOMPARE(c[0].ticket, 2);
    QCOMPARE(c[0].peso, 450.0);
    QVERIFY(!QFile::exists(p.prog.dir.file(Registrador::kArchivo)));
}

namespace {
// The writer muertaTrasConfirmar kills: its directory is TOLVEX_HOME.
int escritorQueMuere(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Programa::leeVariables();
    const QString pg = qEnvironmentVariable("TOLVEX_DIFERENCIA_PG");
    if (!pg.isEmpty()) {
        const QString sufijo = qEnvironmentVariable("TOLVEX_DIFERENCIA_SUFIJO");
        Programa::DataCSReporte = Programa::DataCSGlobal = Programa::DataCSOperarios = pg;
        Programa::DataTbReporte = QStringLiteral("reporte") + sufijo;
        Programa::DataTbGlobal = QStringLiteral("global") + sufijo;
        Programa::DataTbOperarios = QStringLiteral("operarios") + sufijo;
    }
    Registrador r(qEnvironmentVariable("TOLVEX_HOME"));
    r.setAlConfirmar([](const Pendiente& e) {
        if (e.tipo == Pendiente::Diferencia)
            ::kill(::getpid(), SIGKILL);
    });
    r.agrega(diferencia(700));
    // Not killed: the entry was not confirmed, which the test tells.
    QTimer::singleShot(kEspera, &app, [] { QCoreApplication::exit(3); });
    return app.exec();
}
} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("TOLVEX_DIFERENCIA_HIJO"))
        return escritorQueMuere(argc, argv);
    QApplication app(argc, argv);
    TestDiferencias t;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&t, argc, argv);
}

#include "tst_diferencias.moc"
