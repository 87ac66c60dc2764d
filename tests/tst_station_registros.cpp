// The station's records without the window: the queue of pending writes on
// a real SQLite file and on the PostgreSQL server, and the bytes of the
// journal and the error log.
#include <QLabel>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QtTest>

#include "CDatos.h"
#include "Config.h"
#include "Cp1252.h"
#include "Diario.h"
#include "FechaHora.h"
#include "ArchivoAtomico.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Puesto.h"
#include "Registrador.h"
#include "Schema.h"
#include "TestSupport.h"
#include "frmPeso.h"
#include "tst_station_comun.h"
#include "RegistrosPrueba.h"

class TestStationRegistros : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa::Ninguna); }
    void diarioYLog();
    void fechasComoLasLeeLaPlanta_data();
    void fechasComoLasLeeLaPlanta();
    void pendientesSobrevivenYSiguenOrden();
    void sinDuplicadosTrasCaida();
    void filaGemelaDeOtroPuesto_data();
    void filaGemelaDeOtroPuesto();
    void marcasDeTotal();
    void cadaPuestoMarcaSusFilas();
    void auditoriaNoDetieneFilas();
    void discoLlenoNoPierdeLaCola();
    void falloDeEscrituraConservaArchivos_data();
    void falloDeEscrituraConservaArchivos();
    void panelConRegistrosSinGuardar();
    void diarioQueNoSePuedeAbrir();
    void acumuladorConLaEstacionCerrada_data();
    void acumuladorConLaEstacionCerrada();
    void postgres();
    void ticketYaTomado_data();
    void ticketYaTomado();
    void conexionSostenida_data();
    void conexionSostenida();
};

void TestStationRegistros::diarioYLog()
{
    DirectorioDePrueba dir;
    qputenv("TOLVEX_HOME", dir.path().toLocal8Bit());
    const QDateTime t(QDate(2026, 12, 5), QTime(18, 30, 1));
    if (QLocale().language() == QLocale::C)
        QCOMPARE(Diario::numero(12.5, 1), QStringLiteral("12,5"));
    // The dates and times themselves: fechasComoLasLeeLaPlanta.
    const QString f = FechaHora::fecha(t.date()), h = FechaHora::hora(t.time());
    const QStringList aux{QStringLiteral("Año"), QString(40, u'b'), QStringLiteral("c"), QString(),
                          QStringLiteral("e"), QStringLiteral("f")};
    const QString cab = Diario::cabecera(aux, 100, 0, QStringLiteral("0"), 0, QStringLiteral("0"), t);
    QCOMPARE(cab, u'[' + QStringLiteral("Año") + QString(17, u' ') + u'*' + QString(30, u'b') + u'*' +
                      u'c' + QString(69, u' ') + u'*' + QString(20, u' ') + u'*' + u'e' +
                      QString(19, u' ') + u'*' + u'f' + QString(69, u' ') + u'*' + f + u'*' + h +
                      QStringLiteral("*   100*     0*-Continuo-"));
    QCOMPARE(Diario::cabecera(aux, 0, 0, QStringLiteral("250"), 5000, QStringLiteral("5000"), t)
                 .right(22),
             QStringLiteral("*   250*      5000").prepend(QStringLiteral("     0")).right(22));
    QCOMPARE(Diario::lote(250, 5250, 0, t), u'*' + f + u'*' + h + QStringLiteral("*   250*      5250"));
    // A number wider than its field is written whole.
    QCOMPARE(Diario::lote(1234567, 12345678901.0, 0, t),
             u'*' + f + u'*' + h + QStringLiteral("*1234567*12345678901"));
    QCOMPARE(Diario::lote(-4700, 300, 0, t), u'*' + f + u'*' + h + QStringLiteral("* -4700*       300"));

    QVERIFY(Diario::agrega(Diario::kJournal, cab));
    QVERIFY(Diario::agrega(Diario::kJournal, Diario::cierre()));
    const QByteArray bytes = leeArchivo(dir.file(QStringLiteral("Transac.dat")));
    QVERIFY(bytes.startsWith(QByteArray("[A\xF1o ")));
    QVERIFY(bytes.endsWith("]\r\n"));
    QCOMPARE(bytes.size(), cab.size() + 3);

    const QString reg = Diario::registroError(0, QStringLiteral("No se pudo abrir el puerto."),
                                              Diario::kRutinaCarga, t);
    QCOMPARE(reg, QStringLiteral("******************* Nuevo Error *******************\r\nVersion 2.0.2\r\n0\r\n"
                                 "Fecha y Hora: ") +
                      f + u' ' + h +
                      QStringLiteral("\r\nNo se pudo abrir el puerto.\r\n"
                                     "Rutina: Form_Load (Formulario frmPeso)\r\n\r\n"));
    // A file that cannot be written says so; what it could not take waits,
    // and goes in first, in order, once it can be written.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Datos.log")));
    QString e;
    QVERIFY(!Diario::agrega(Diario::kLog, reg, &e));
    QVERIFY(!e.isEmpty());
    QVERIFY(!Diario::agrega(Diario::kLog, QStringLiteral("segundo")));
    QCOMPARE(Diario::enEspera(Diario::kLog), 2);
    QVERIFY(!Diario::reintenta());
    QVERIFY(QDir(dir.path()).rmdir(QStringLiteral("Datos.log")));
    QVERIFY(Diario::agrega(Diario::kLog, QStringLiteral("tercero")));
    QCOMPARE(Diario::enEspera(Diario::kLog), 0);
    QCOMPARE(leeArchivo(dir.file(Diario::kLog)), Cp1252::encode(reg + QStringLiteral("segundotercero")));
    // A full disk takes part of an append: the rest follows it, nothing twice.
    DiscoLleno disco(128);
    if (disco.ok()) {
        const QString diario = disco.file(Diario::kJournal);
        QVERIFY(Diario::agrega(diario, QStringLiteral("inicio")));
        const QString relleno = disco.file(QStringLiteral("relleno"));
        QVERIFY(escribeArchivo(relleno, QByteArray(QStorageInfo(disco.path()).bytesAvailable() - 8192, 'x')));
        QVERIFY(!Diario::agrega(diario, QString(20000, u'b')));
        QVERIFY(QFileInfo(diario).size() > 6);
        QVERIFY(!Diario::reintenta());
        QVERIFY(QFile::remove(relleno));
        QVERIFY(Diario::reintenta());
        QCOMPARE(leeArchivo(diario), QByteArray("inicio") + QByteArray(20000, 'b'));
    }
    // The display rule: "." whatever the locale, rounded, no "-0".
    QCOMPARE(Diario::muestra(-0.2, 1), QStringLiteral("-0.2"));
    QCOMPARE(Diario::muestra(-0.04, 1), QStringLiteral("0.0"));
}

void TestStationRegistros::fechasComoLasLeeLaPlanta_data()
{
    QTest::addColumn<QString>("locale"); // empty: the process's own (LANG, LC_ALL)
    QTest::addColumn<QString>("fecha");  // 5 December 2026
    for (const char* l : {"es_ES", "es_AR", "es_MX", "es_CO", "C"})
        QTest::newRow(l) << QString::fromLatin1(l) << QStringLiteral("05/12/2026");
    QTest::newRow("en_US") << QStringLiteral("en_US") << QStringLiteral("12/05/2026");
    // ctest runs this row again with LANG and LC_ALL set (station.cmake).
    const QString sistema = QLocale::system().name();
    if (sistema.startsWith(QStringLiteral("en_US")))
        QTest::newRow("del sistema") << QString() << QStringLiteral("12/05/2026");
    else if (sistema.startsWith(QStringLiteral("es_")) || sistema == u"C")
        QTest::newRow("del sistema") << QString() << QStringLiteral("05/12/2026");
}

// What the journal, the error log and a total note keep, read back from the
// files and the table: the plant's date with four-digit years and 24-hour
// times, nothing after them.
void TestStationRegistros::fechasComoLasLeeLaPlanta()
{
    QFETCH(QString, locale);
    QFETCH(QString, fecha);
    const QLocale antes;
    if (!locale.isEmpty())
        QLocale::setDefault(QLocale(locale));
    const auto vuelve = qScopeGuard([&antes] { QLocale::setDefault(antes); });
    Programa_ prog;
    QVERIFY(prog.ok);
    const QDateTime t(QDate(2026, 12, 5), QTime(18, 30, 1));
    QVERIFY(Diario::agrega(Diario::kJournal,
                           Diario::cabecera(QStringList(6, QStringLiteral("x")), 100, 0, QStringLiteral("1000"), 0,
                                            QStringLiteral("0"), t) +
                               Diario::lote(250, 5250, 0, t) + Diario::cierre()));
    QVERIFY(Diario::agrega(Diario::kLog, Diario::registroError(0, QStringLiteral("No se pudo abrir el puerto."),
                                                               Diario::kRutinaCarga, t)));
    Registrador r(prog.dir.path());
    r.agrega(lote(5250, 250));
    QVERIFY(escribe(r, cierre(QTime(18, 30, 1))));

    const QString hora = QStringLiteral("18:30:01");
    const QStringList campos = QString::fromLatin1(leeArchivo(prog.dir.file(Diario::kJournal))).split(u'*');
    QCOMPARE(campos.size(), 15);
    QCOMPARE(campos.mid(6, 2) + campos.mid(11, 2), (QStringList{fecha, hora, fecha, hora}));
    QVERIFY(QString::fromLatin1(leeArchivo(prog.dir.file(Diario::kLog)))
                .contains(QStringLiteral("\r\nFecha y Hora: %1 %2\r\n").arg(fecha, hora)));
    QCOMPARE(filasDe().value(0).value("INFO").toString(), QStringLiteral(" -> TOTAL <- (%1 - %2)").arg(fecha, hora));
}

void TestStationRegistros::pendientesSobrevivenYSiguenOrden()
{
    Programa_ prog;
    QVERIFY(prog.ok);
    const QString base = prog.dir.file(QStringLiteral("data.db"));
    const QString fuera = prog.dir.file(QStringLiteral("fuera.db"));
    QVERIFY(QFile::rename(base, fuera)); // the database is gone
    {
        Registrador r(prog.dir.path());
        r.setPausaMs(20);
        QSignalSpy fallos(&r, &Registrador::fallo);
        QSignalSpy estados(&r, &Registrador::estado);
        QVERIFY(r.agrega(lote(5250, 250, QTime(10, 0, 1))));
        QVERIFY(r.agrega(lote(5500, 250, QTime(10, 0, 2))));
        QVERIFY(r.agrega(lote(5800, 300, QTime(10, 0, 3))));
        // Several rounds retry on their own.
        QTRY_VERIFY_WITH_TIMEOUT(estados.size() >= 10, kEspera);
        QCOMPARE(r.pendientes(), 3);
        // One report for the first entry, however many tries.
        QCOMPARE(fallos.size(), 1);
        QVERIFY(fallos[0][0].toString().contains(QStringLiteral("5250")));
        QVERIFY(fallos[0][1].toString().contains(QStringLiteral("data.db")));
    }
    const QByteArray cola = leeArchivo(prog.dir.file(Registrador::kArchivo));
    QCOMPARE(cola.count('\n'), 3);
    // A restart finds the entries and writes them in order once the
    // database is back.
    QVERIFY(QFile::rename(fuera, base));
    Registrador r(prog.dir.path());
    QCOMPARE(r.pendientes(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(f.size(), 3);
    QCOMPARE(f[2].value("TOTAL").toDouble(), 5800.0);

    // A damaged line is reported and skipped; the others are kept.
    QVERIFY(escribeArchivo(prog.dir.file(Registrador::kArchivo),
                           lote(6000, 200).aJson() + "\n{roto\n" + lote(6100, 100).aJson() + "\n"));
    Registrador r2(prog.dir.path());
    QVERIFY(!r2.errorCarga().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r2), kEspera);
    QCOMPARE(filasDe().size(), 5);
}

// Stopped after a commit and before its entry left the queue file: read
// back, the entry finds its row by its identity, is not written again, and
// the error log says so. The same queue file in a copy of the directory (a
// workstation of its own) finds the row too, and does not take it as its own.
void TestStationRegistros::sinDuplicadosTrasCaida()
{
    DirectorioDePrueba copia;
    Instalacion ic;
    ic.directorio = copia.path();
    QVERIFY(ic.ejecutar());
    Programa_ prog;
    QVERIFY(prog.ok);
    const QString archivo = prog.dir.file(Registrador::kArchivo);
    {
        ColaPendientes c(archivo, Puesto::de(prog.dir.path()));
        QVERIFY(c.carga());
        QVERIFY(c.agrega(lote(5250, 250)));
    }
    const QByteArray alMorir = leeArchivo(archivo);
    {
        Registrador r(prog.dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    }
    QCOMPARE(filasDe().size(), 1);
    QVERIFY(escribeArchivo(archivo, alMorir));
    Registrador r(prog.dir.path());
    QCOMPARE(r.pendientes(), 1);
    QVERIFY(escribe(r, lote(5500, 250, QTime(10, 0, 9))));
    const auto f = filasDe();
    QCOMPARE(columna(f, "TOTAL"), QStringList({"5250", "5500"}));
    QCOMPARE(leeArchivo(prog.dir.file(ColaPendientes::kArchivoUltimo)), QByteArray("2\r\n"));
    QTRY_VERIFY(leeArchivo(prog.dir.file(Diario::kLog)).contains("ya estaba guardado con el ticket 1"));

    // The same entry queued again while its row is there (the program
    // started twice on one directory): the database refuses a second row.
    Pendiente dos = lote(5750, 250, QTime(10, 0, 10));
    dos.idLote = ColaPendientes::nuevaIdentidad();
    QVERIFY(escribe(r, dos));
    QVERIFY(escribe(r, dos));
    QCOMPARE(filasDe().size(), 3);
    QTRY_VERIFY(leeArchivo(prog.dir.file(Diario::kLog)).contains("rechaz\xF3 una segunda fila"));

    QVERIFY(escribeArchivo(copia.file(Registrador::kArchivo), alMorir));
    {
        Registrador otro(copia.path());
        QTRY_VERIFY_WITH_TIMEOUT(vacia(otro), kEspera);
    }
    QCOMPARE(filasDe().size(), 3);
    QCOMPARE(leeArchivo(copia.file(ColaPendientes::kArchivoUltimo)), QByteArray("0\r\n"));
    QVERIFY(leeArchivo(copia.file(Diario::kLog)).contains("no se toma como propia"));
}

void TestStationRegistros::filaGemelaDeOtroPuesto_data()
{
    QTest::addColumn<bool>("servidor");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

// Workstation A killed with a batch queued, and workstation B's row after
// A's last ticket with everything equal: TOTAL, PESO, date, time to the
// second, operator "Maestro". A's entry gets a row of its own, A keeps its
// own last ticket, and A's next marking touches A's row only. Entries of
// the previous version (no identity) find only a row of that version.
void TestStationRegistros::filaGemelaDeOtroPuesto()
{
    QFETCH(bool, servidor);
    const QString pg = conexionPostgres();
    if (servidor && pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    DirectorioDePrueba b;
    Instalacion ib;
    ib.directorio = b.path();
    QVERIFY(ib.ejecutar());
    Programa_ a;
    QVERIFY(a.ok);
    std::optional<decltype(tablasPropias(pg, {}))> borra;
    if (servidor) {
        borra.emplace(tablasPropias(pg, QStringLiteral("_gm") + QString::number(QCoreApplication::applicationPid())));
        QVERIFY(creaTablas());
    }
    const QString puestoA = Puesto::de(a.dir.path()), puestoB = Puesto::de(b.path());
    QVERIFY(puestoA != puestoB);
    const auto gemelo = [](double total, int segundo) {
        Pendiente p = lote(total, 1000, QTime(10, 0, segundo));
        p.operador = QStringLiteral("Maestro");
        return p;
    };
    const auto ultimo = [](const QString& dir) {
        return leeArchivo(QDir(dir).absoluteFilePath(ColaPendientes::kArchivoUltimo)).trimmed();
    };
    const QString colaA = a.dir.file(Registrador::kArchivo);
    {
        Registrador ra(a.dir.path());
        QVERIFY(escribe(ra, lote(1000, 1000)));
    }
    // What the kill leaves: the entry queued, its ticket to follow 1.
    {
        ColaPendientes c(colaA, puestoA);
        QVERIFY(c.carga());
        QVERIFY(c.agrega(gemelo(2000, 5)));
    }
    {
        Registrador rb(b.path());
        QVERIFY(escribe(rb, gemelo(2000, 5)));
    }
    {
        Registrador ra(a.dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(vacia(ra), kEspera);
        QCOMPARE(ultimo(a.dir.path()), QByteArray("3"));
        QVERIFY(escribe(ra, cierre(QTime(12, 0, 0))));
    }
    auto f = filasDe();
    QCOMPARE(columna(f, "PUESTO"), QStringList({puestoA, puestoB, puestoA}));
    QCOMPARE(columna(f, "TOTAL"), QStringList({"1000", "2000", "2000"}));
    QCOMPARE(marcas(), QList<int>({0, 0, 1}));
    QCOMPARE(ultimo(b.path()), QByteArray("2"));
    const QStringList ids = columna(f, "IDLOTE");
    QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), 3);

    // The previous version's queue file: entries without identity. Its row
    // of the same batch (no workstation) is found by content; B's twin is not.
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        const qint64 t = db.TomaTicket(Programa::DataTbGlobal);
        QCOMPARE(t, qint64(4));
        const Pendiente v = gemelo(4000, 7);
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = 4").arg(Programa::DataTbReporte)));
        QVERIFY(db.AgregaRegistros({{QStringLiteral("TICKET"), t},
                                    {QStringLiteral("TOTAL"), v.total},
                                    {QStringLiteral("PESO"), v.peso},
                                    {QStringLiteral("FECHA"), v.fecha},
                                    {QStringLiteral("HORA"), v.hora},
                                    {QStringLiteral("OPERADOR"), v.operador}}));
    }
    {
        Registrador rb(b.path());
        QVERIFY(escribe(rb, gemelo(3000, 6)));
    }
    Pendiente viejo1 = gemelo(3000, 6), viejo2 = gemelo(4000, 7);
    viejo1.desde = viejo2.desde = 3;
    QVERIFY(escribeArchivo(colaA, viejo1.aJson() + '\n' + viejo2.aJson() + '\n'));
    {
        Registrador ra(a.dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(vacia(ra), kEspera);
    }
    f = filasDe();
    QCOMPARE(columna(f, "PUESTO"), QStringList({puestoA, puestoB, puestoA, QString(), puestoB, puestoA}));
    QCOMPARE(columna(f, "TOTAL").mid(3), QStringList({"4000", "3000", "3000"}));
    const QByteArray log = leeArchivo(a.dir.file(Diario::kLog));
    QCOMPARE(log.count("versi\xF3n anterior"), 2);
    QVERIFY(log.contains("ya estaba guardado con el ticket 4"));
}

void TestStationRegistros::marcasDeTotal()
{
    Programa_ prog;
    QVERIFY(prog.ok);
    Registrador r(prog.dir.path());
    // No Ticket setting yet: numbering starts at 1.
    r.agrega(lote(5250, 250));
    QVERIFY(escribe(r, cierre(QTime(11, 0, 0))));
    auto f = filasDe();
    QCOMPARE(f[0].value("TICKET").toLongLong(), 1);
    QCOMPARE(f[0].value("OPCION1").toInt(), 1);
    QCOMPARE(f[0].value("INFO").toString(), EscrituraRegistro::marcaTotal(QDate(2026, 12, 5), QTime(11, 0, 0)));
    // Closing again without batches appends a second marker, even within
    // the same second.
    QVERIFY(escribe(r, cierre(QTime(11, 0, 0))));
    QCOMPARE(filasDe()[0].value("INFO").toString().count(QStringLiteral(" -> TOTAL <- (")), 2);
    // A batch continuing the accumulator takes the mark off.
    QVERIFY(escribe(r, lote(5500, 250)));
    f = filasDe();
    QCOMPARE(f[0].value("OPCION1").toInt(), 0);
    QCOMPARE(f[0].value("INFO").toString(), QString());
    // A drop of the accumulator marks the row before.
    QVERIFY(escribe(r, lote(300, -5200)));
    QCOMPARE(marcas(), QList<int>({0, 1, 0}));
    // A deleted last row: the marking changes nothing.
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.Ejecuta(QStringLiteral("DELETE FROM Reporte WHERE TICKET = 3")));
    }
    QVERIFY(escribe(r, cierre(QTime(12, 0, 0))));
    QCOMPARE(filasDe().size(), 2);
    QCOMPARE(filasDe()[1].value("INFO").toString().count(QStringLiteral("TOTAL")), 1);
}

void TestStationRegistros::cadaPuestoMarcaSusFilas()
{
    // Two workstations recording into one database: each marks and unmarks
    // only its own rows, although their tickets interleave.
    Programa_ a;
    QVERIFY(a.ok);
    DirectorioDePrueba otro;
    Instalacion ins;
    ins.directorio = otro.path();
    QVERIFY(ins.ejecutar());
    QVERIFY(QFile::exists(otro.file(ColaPendientes::kArchivoUltimo)));
    Registrador ra(a.dir.path());
    Registrador rb(otro.path());
    QVERIFY(escribe(ra, lote(1000, 1000)));          // 1: A
    QVERIFY(escribe(rb, lote(2000, 2000)));          // 2: B
    QVERIFY(escribe(ra, lote(500, -500)));           // 3: A, a drop: A's 1 is a total
    QVERIFY(escribe(rb, lote(2250, 250)));           // 4: B continues: B's 2 stays plain
    QVERIFY(escribe(rb, cierre(QTime(12, 0, 0))));  // B closes: its 4 is a total
    const auto f = filasDe();
    QCOMPARE(marcas(), QList<int>({1, 0, 0, 1}));
    QCOMPARE(f[3].value("INFO").toString(), EscrituraRegistro::marcaTotal(QDate(2026, 12, 5), QTime(12, 0, 0)));
    // The last rows are remembered across a restart of the program.
    ColaPendientes ca(QDir(a.dir.path()).absoluteFilePath(Registrador::kArchivo));
    QVERIFY(ca.carga());
    QCOMPARE(ca.ultimo(), qint64(3));
    // A directory that never kept its last ticket falls back on Ticket - 1,
    // here B's row: not A's, so A's closing marks nothing.
    QVERIFY(QFile::remove(a.dir.file(ColaPendientes::kArchivoUltimo)));
    Registrador ra2(a.dir.path());
    QVERIFY(escribe(ra2, cierre(QTime(13, 0, 0))));
    QCOMPARE(filasDe()[3].value("INFO").toString(), f[3].value("INFO").toString());
}

void TestStationRegistros::auditoriaNoDetieneFilas()
{
    Programa_ prog;
    QVERIFY(prog.ok);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.Ejecuta(QStringLiteral("DROP TABLE Comandos")));
    }
    Registrador r(prog.dir.path());
    r.setPausaMs(20);
    QSignalSpy fallos(&r, &Registrador::fallo);
    Pendiente c;
    c.tipo = Pendiente::Comando;
    c.fecha = QDate::currentDate();
    c.hora = QTime(9, 0, 0);
    c.comando = QStringLiteral("Z Cero");
    c.resultado = QStringLiteral("Aceptado");
    r.agrega(c);
    r.agrega(lote(100, 100));
    QTRY_COMPARE_WITH_TIMEOUT(filasDe().size(), 1, kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(r.pendientes(), 1, kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(fallos.size(), 1, kEspera);
    QVERIFY(fallos[0][0].toString().contains(QStringLiteral("Z Cero")));
    // Once the table exists the audit entry goes in, once.
    QVERIFY(creaTablas());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM Comandos")));
    QCOMPARE(db.filas(), 1);
    QCOMPARE(db.Campo(QStringLiteral("COMANDO")).toString(), QStringLiteral("Z Cero"));
}

void TestStationRegistros::discoLlenoNoPierdeLaCola()
{
    DiscoLleno disco(4096);
    if (!disco.ok())
        QSKIP("no se puede montar un tmpfs aquí (hace falta root)");
    const QString previo = QDir::currentPath();
    QDir::setCurrent(disco.path());
    auto vuelve = qScopeGuard([&] { QDir::setCurrent(previo); });
    qputenv("TOLVEX_HOME", disco.path().toLocal8Bit());
    Instalacion ins;
    ins.directorio = disco.path();
    QVERIFY2(ins.ejecutar(), qPrintable(ins.error));
    Programa::leeVariables();
    const QString base = disco.file(QStringLiteral("data.db"));
    const QString fuera = disco.file(QStringLiteral("fuera.db"));
    const QString archivo = disco.file(Registrador::kArchivo);
    QVERIFY(QFile::rename(base, fuera)); // rows can only wait in the queue

    // On a full disk the writer keeps what the file held, holds the rest in
    // memory, says so, and saves them once the disk has room again.
    {
        Registrador r(disco.path());
        r.setPausaMs(20);
        QVERIFY(r.agrega(lote(5250, 250, QTime(10, 0, 1))));
        QVERIFY(r.agrega(lote(5500, 250, QTime(10, 0, 2))));
        disco.llena();
        QVERIFY(!r.agrega(lote(5800, 300, QTime(10, 0, 3))));
        QVERIFY(!r.agrega(lote(6000, 200, QTime(10, 0, 4))));
        QCOMPARE(r.sinGuardar(), 2);
        QCOMPARE(r.causaSinGuardar(), QStringLiteral("disco lleno"));
        QCOMPARE(leeArchivo(archivo).count('\n'), 2);

        // Closing asks first; No keeps the program open.
        MessageBox::setScripted(true);
        MessageBox::limpiar();
        MessageBox::setNextAnswer(QMessageBox::No);
        QVERIFY(!frmPeso::preguntaSinGuardar(nullptr, &r));
        QVERIFY(MessageBox::ultimoTexto().contains(QStringLiteral("2 registro(s)")));
        QVERIFY(MessageBox::ultimoTexto().contains(QStringLiteral("disco lleno")));

        disco.libera();
        QTRY_VERIFY_WITH_TIMEOUT(r.sinGuardar() == 0, kEspera);
        QCOMPARE(leeArchivo(archivo).count('\n'), 4);
        MessageBox::limpiar();
        QVERIFY(frmPeso::preguntaSinGuardar(nullptr, &r));
        QVERIFY(MessageBox::mostrados().isEmpty());
    }
    // Killed now, restarted with the database back: every batch is a row.
    QVERIFY2(QFile::rename(fuera, base), qPrintable(QDir(disco.path()).entryList().join(u' ')));
    Registrador r(disco.path());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(f.size(), 4);
    QCOMPARE(f[0].value("TOTAL").toDouble(), 5250.0);
    QCOMPARE(f[3].value("TOTAL").toDouble(), 6000.0);
    qunsetenv("TOLVEX_HOME");
}

void TestStationRegistros::falloDeEscrituraConservaArchivos_data()
{
    using ArchivoAtomico::Etapa;
    QTest::addColumn<int>("etapa");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("apertura") << int(Etapa::Apertura) << qint64(0);
    QTest::newRow("escritura") << int(Etapa::Escritura) << qint64(0);
    QTest::newRow("escritura a mitad") << int(Etapa::Escritura) << qint64(2);
    QTest::newRow("sincronización") << int(Etapa::Sincronizacion) << qint64(0);
    QTest::newRow("renombrado") << int(Etapa::Renombrado) << qint64(0);
}

void TestStationRegistros::falloDeEscrituraConservaArchivos()
{
    QFETCH(int, etapa);
    QFETCH(qint64, bytes);
    DirectorioDePrueba dir;
    const QString archivo = dir.file(Registrador::kArchivo);
    const QString ultimo = dir.file(ColaPendientes::kArchivoUltimo);
    ColaPendientes c(archivo);
    const auto vaciaCola = [&c](qint64 ultimoTicket) {
        c.fijaUltimo(ultimoTicket);
        for (Pendiente p; c.primero(false, &p);)
            c.quita(p.id);
    };
    QVERIFY(c.agrega(lote(5000, 250)));
    vaciaCola(7);
    QVERIFY(c.asienta());
    QVERIFY(!QFile::exists(archivo));
    QVERIFY(c.agrega(lote(5250, 250)));
    const QByteArray antes = leeArchivo(archivo);

    ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa(etapa), bytes, 2);
    QVERIFY(!c.agrega(lote(5500, 250)));
    QCOMPARE(leeArchivo(archivo), antes);
    QCOMPARE(c.sinGuardar(), 1);
    // Fault gone: the next change writes everything memory holds.
    ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa::Ninguna);
    QVERIFY(c.guardaPendiente());
    QCOMPARE(c.sinGuardar(), 0);
    const QByteArray dos = leeArchivo(archivo);
    QCOMPARE(dos.count('\n'), 2);
    ColaPendientes otra(archivo);
    QVERIFY(otra.carga());
    QCOMPARE(otra.cantidad(), 2);
    QCOMPARE(otra.ultimo(), qint64(7));

    // Both written, but the last ticket cannot be kept: the queue file,
    // whose entries tell the ticket they follow, stays as it was.
    vaciaCola(9);
    ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa(etapa), bytes, 1);
    QVERIFY(!c.asienta());
    QCOMPARE(leeArchivo(archivo), dos);
    QCOMPARE(leeArchivo(ultimo), QByteArray("7\r\n"));
    // The next entry carries it.
    QVERIFY(c.agrega(lote(5750, 250)));
    ColaPendientes tercera(archivo);
    QVERIFY(tercera.carga());
    QCOMPARE(tercera.cantidad(), 1);
    QCOMPARE(tercera.ultimo(), qint64(9));
    vaciaCola(10);
    QVERIFY(c.asienta());
    QVERIFY(!QFile::exists(archivo));
    QCOMPARE(leeArchivo(ultimo), QByteArray("10\r\n"));
}

void TestStationRegistros::panelConRegistrosSinGuardar()
{
    BancoEstacion b;
    QDir::setCurrent(b.dir().path());
    QVERIFY(QFile::rename(b.dir().file(QStringLiteral("data.db")), b.dir().file(QStringLiteral("fuera.db"))));
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa::Apertura);
    b.ind().setValor32(Indicador::kUlTotal, 5250);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().sinGuardar(), 1, kEspera);
    auto* panel = w->findChild<QLabel*>(QStringLiteral("Panel4"));
    QTRY_VERIFY_WITH_TIMEOUT(
        panel->text().startsWith(QStringLiteral("Registros sin guardar en disco: 1 (sin permiso)")), kEspera);
    QVERIFY(panel->styleSheet().contains(QStringLiteral("#c62828")));
    QVERIFY(leeArchivo(b.dir().file(QStringLiteral("Datos.log"))).contains("Pendientes.dat"));
    // Closing asks first; No keeps the window open.
    MessageBox::limpiar();
    MessageBox::setNextAnswer(QMessageBox::No);
    w->close();
    QVERIFY(MessageBox::ultimoTexto().contains(QStringLiteral("1 registro(s)")));
    QVERIFY(w && !w->cerrarPedido());
    // Writable again: saved, and the panel says so.
    ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa::Ninguna);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().sinGuardar(), 0, kEspera);
    QTRY_VERIFY_WITH_TIMEOUT(!panel->text().contains(QStringLiteral("sin guardar")), kEspera);
}

// Transac.dat and Datos.log cannot be opened (a directory stands in their
// place): the station goes on recording, the window says what waits, closing
// asks first; once they can be written every line goes in, in order, and
// the log tells of the journal's failure.
void TestStationRegistros::diarioQueNoSePuedeAbrir()
{
    BancoEstacion b;
    QDir::setCurrent(b.dir().path());
    QDir d(b.dir().path());
    QVERIFY(d.mkdir(Diario::kJournal) && d.mkdir(Diario::kLog));
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    QPointer<frmPeso> w = b.abreListo({QStringLiteral("Lote 7")});
    QVERIFY2(w, qPrintable(b.error()));
    for (quint32 total : {5250u, 5500u}) {
        b.ind().setValor32(Indicador::kUlTotal, total);
        QTRY_VERIFY_WITH_TIMEOUT(b.filas().size() == int(total - 5000) / 250, kEspera);
    }
    auto* panel = w->findChild<QLabel*>(QStringLiteral("Panel4"));
    QTRY_VERIFY(panel->text().contains(QStringLiteral("Transac.dat sin escribir: 3 entrada(s) (hay un directorio con ese nombre)")));
    QVERIFY(panel->text().contains(QStringLiteral("Datos.log sin escribir: 1 registro(s)")));
    MessageBox::limpiar();
    MessageBox::setNextAnswer(QMessageBox::No);
    w->close();
    QVERIFY(MessageBox::ultimoTexto().contains(QStringLiteral("3 línea(s) de Transac.dat")));
    QVERIFY(w && !w->cerrarPedido());

    QVERIFY(d.rmdir(Diario::kJournal) && d.rmdir(Diario::kLog));
    QTRY_VERIFY_WITH_TIMEOUT(panel->text().isEmpty(), kEspera);
    const QString diario = b.archivo(Diario::kJournal);
    QVERIFY2(diario.startsWith(QStringLiteral("[Lote 7")), qPrintable(diario));
    QCOMPARE(diario.count(u'*'), 10 + 2 * 4);
    const qsizetype primero = diario.indexOf(QStringLiteral("*   250*      5250"));
    QVERIFY(primero > 0 && diario.indexOf(QStringLiteral("*   250*      5500")) > primero);
    const QString log = b.archivo(Diario::kLog);
    QVERIFY(log.contains(QStringLiteral("No se pudo escribir Transac.dat")));
    QVERIFY(log.indexOf(QStringLiteral("Transac.dat se pudo escribir de nuevo")) > log.indexOf(QStringLiteral("No se pudo")));
}

void TestStationRegistros::acumuladorConLaEstacionCerrada_data()
{
    QTest::addColumn<quint32>("alAbrir");
    QTest::addColumn<QStringList>("pesos");
    QTest::newRow("aumentó") << quint32(5600) << QStringList({"250", "350"});
    QTest::newRow("igual") << quint32(5250) << QStringList({"250"});
    QTest::newRow("puesto a cero") << quint32(300) << QStringList({"250"});
}

// Batches weighed while the station was closed: at its opening, the kilos
// the accumulator gained become a row of their own; none when it did not
// gain any. The window shows no notice for it.
void TestStationRegistros::acumuladorConLaEstacionCerrada()
{
    QFETCH(quint32, alAbrir);
    QFETCH(QStringList, pesos);
    BancoEstacion b;
    QDir::setCurrent(b.dir().path());
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    b.ind().setValor32(Indicador::kUlTotal, 5250);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, kEspera);
    w->cierraYa();
    QTRY_VERIFY_WITH_TIMEOUT(!w, kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, kEspera);

    b.ind().setValor32(Indicador::kUlTotal, alAbrir);
    w = b.abreListo();
    QVERIFY(w);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), pesos.size(), kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, kEspera);
    const auto f = b.filas();
    QCOMPARE(columna(f, "PESO"), pesos);
    QVERIFY(!w->findChild<QLabel*>(QStringLiteral("Lbl_Aviso")));
    const QString log = b.archivo(Diario::kLog);
    if (pesos.size() == 2) {
        QCOMPARE(f[1].value("TOTAL").toDouble(), 5600.0);
        QCOMPARE(f[1].value("INFO").toString(), QStringLiteral("Diferencia: Tolvex no leía el indicador"));
        QVERIFY(log.contains(QStringLiteral("El acumulador aumentó 350 kg sin que se vieran los lotes (último TOTAL "
                                            "registrado 5250, acumulador 5600): se registró una fila de diferencia, "
                                            "ticket 2.")));
    } else {
        QVERIFY(!log.contains(QStringLiteral("fila de diferencia")));
    }
}

void TestStationRegistros::postgres()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    DirectorioDePrueba dir;
    auto borra = tablasPropias(pg, QStringLiteral("_st") + QString::number(QCoreApplication::applicationPid()));
    QString e;
    QVERIFY2(creaTablas(&e), qPrintable(e));
    {
        Registrador r(dir.path());
        r.setPausaMs(50);
        r.agrega(lote(5250, 250));
        r.agrega(lote(5500, 250));
        QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
        // The server cannot be reached: the rows wait, in order.
        Programa::DataCSReporte = Programa::DataCSGlobal =
            QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=x;Password=x");
        QSignalSpy fallos(&r, &Registrador::fallo);
        QSignalSpy estados(&r, &Registrador::estado);
        r.agrega(lote(5750, 250));
        r.agrega(cierre(QTime(13, 0, 0)));
        // Further rounds fail without a new report.
        QTRY_VERIFY_WITH_TIMEOUT(estados.size() >= 6, kEspera);
        QCOMPARE(fallos.size(), 1);
        QCOMPARE(r.pendientes(), 2);
    }
    Programa::DataCSReporte = Programa::DataCSGlobal = pg;
    Registrador r(dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    const auto f = filasDe();
    QCOMPARE(f.size(), 3);
    QCOMPARE(f[2].value("TICKET").toLongLong(), 3);
    QCOMPARE(f[2].value("TOTAL").toDouble(), 5750.0);
    QCOMPARE(marcas(), QList<int>({0, 0, 1}));
    QVERIFY(f[2].value("INFO").toString().startsWith(QStringLiteral(" -> TOTAL <- (")));
}

void TestStationRegistros::ticketYaTomado_data()
{
    QTest::addColumn<bool>("servidor");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

// A counter left behind the tickets already in the table (a hand import):
// two workstations writing at once never jam on a taken ticket; the counter
// moves past the highest one, every row is written once with a ticket of
// its own, and the move is noted in the error log.
void TestStationRegistros::ticketYaTomado()
{
    QFETCH(bool, servidor);
    const QString pg = conexionPostgres();
    if (servidor && pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    DirectorioDePrueba b;
    Instalacion ib;
    ib.directorio = b.path();
    QVERIFY(ib.ejecutar());
    Programa_ a;
    QVERIFY(a.ok);
    std::optional<decltype(tablasPropias(pg, {}))> borra;
    if (servidor) {
        borra.emplace(tablasPropias(pg, QStringLiteral("_tt") + QString::number(QCoreApplication::applicationPid())));
        QVERIFY(creaTablas());
    }
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        for (int t : {1, 2, 3, 7, 9})
            QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (TICKET, TOTAL, PESO, OPCION1) VALUES (?, ?, ?, 0)")
                                   .arg(Programa::DataTbReporte),
                               {t, 100 * t, 100}));
        QVERIFY(db.Ejecuta(QStringLiteral("UPDATE %1 SET VALOR = '2' WHERE VARIABLE = 'Ticket'").arg(Programa::DataTbGlobal)));
    }
    {
        Registrador ra(a.dir.path()), rb(b.path());
        for (int i = 0; i < 3; ++i) {
            ra.agrega(lote(1000 + i, 1, QTime(10, 0, i)));
            rb.agrega(lote(2000 + i, 1, QTime(11, 0, i)));
        }
        QTRY_VERIFY_WITH_TIMEOUT(vacia(ra) && vacia(rb), kEspera);
    }
    const auto f = filasDe();
    QCOMPARE(columna(f, "TICKET"), QStringList({"1", "2", "3", "7", "9", "10", "11", "12", "13", "14", "15"}));
    QStringList totales = columna(f, "TOTAL").mid(5);
    totales.sort();
    QCOMPARE(totales, QStringList({"1000", "1001", "1002", "2000", "2001", "2002"}));
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSGlobal));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT VALOR FROM %1 WHERE VARIABLE = 'Ticket'").arg(Programa::DataTbGlobal)));
        QCOMPARE(db.Campo(QStringLiteral("VALOR")).toString(), QStringLiteral("16"));
    }
    // The first writer to meet the taken ticket notes the jump.
    const QByteArray logs = leeArchivo(a.dir.file(Diario::kLog)) + leeArchivo(QDir(b.path()).filePath(Diario::kLog));
    QVERIFY2(logs.contains("El ticket 2 ya lo ten\xED" "a otra fila"), logs.constData());
    QVERIFY(logs.contains("el contador pas\xF3 a 11 y el registro se guard\xF3 con el ticket 10"));
}

void TestStationRegistros::conexionSostenida_data()
{
    QTest::addColumn<bool>("servidor");
    QTest::newRow("sqlite: archivo nuevo en su lugar") << false;
    QTest::newRow("postgresql: conexión cortada") << true;
}

// The writer keeps its connection from one entry to the next. A database
// file put in place of the one it opened, or a connection the server
// dropped, is opened again before the next entry, which is written at once.
void TestStationRegistros::conexionSostenida()
{
    QFETCH(bool, servidor);
    const QString pg = conexionPostgres();
    if (servidor && pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    Programa_ prog;
    QVERIFY(prog.ok);
    std::optional<decltype(tablasPropias(pg, {}))> borra;
    if (servidor) {
        borra.emplace(tablasPropias(pg, QStringLiteral("_cs") + QString::number(QCoreApplication::applicationPid())));
        QVERIFY(creaTablas());
    }
    Registrador r(prog.dir.path());
    QSignalSpy fallos(&r, &Registrador::fallo);
    r.agrega(lote(5250, 250));
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    CDatos db;
    if (servidor) {
        QVERIFY(db.AbrirBase(pg));
        QVERIFY(db.Ejecuta(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                                          "datname = current_database() AND pid <> pg_backend_pid() AND "
                                          "backend_type = 'client backend'")));
    } else {
        const QString f = ConnectionString::parse(Programa::DataCSReporte, CDatos::directorioBase()).path;
        for (const QString& s : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(f + s);
        QVERIFY(creaTablas());
    }
    r.agrega(lote(5500, 250, QTime(10, 0, 9)));
    QTRY_VERIFY_WITH_TIMEOUT(vacia(r), kEspera);
    QCOMPARE(fallos.size(), 0);
    const auto f = filasDe();
    QCOMPARE(f.size(), servidor ? 2 : 1);
    QCOMPARE(f.last().value("TOTAL").toDouble(), 5500.0);
}

QTEST_MAIN(TestStationRegistros)
#include "tst_station_registros.moc"
