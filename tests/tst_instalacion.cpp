// The installation tool and the start-up check of the settings file.
#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QProcess>
#include <QtTest>
#include <sys/stat.h>

#include "Arranque.h"
#include "CDatos.h"
#include "Config.h"
#include "IniFile.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "PlantaPrueba.h"
#include "Programa.h"
#include "Schema.h"
#include "TestSupport.h"

namespace {

// Name, size and content hash of every file below dir.
QMap<QString, QByteArray> huella(const QString& dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(QDir(dir).relativeFilePath(path),
                   QCryptographicHash::hash(leeArchivo(path), QCryptographicHash::Sha256));
    }
    return out;
}

SalidaProceso setup(const QStringList& args)
{
    return correProceso(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-setup"), args);
}

} // namespace

class TstInstalacion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { MessageBox::setScripted(true); }
    void init() { MessageBox::limpiar(); }
    void cleanup() { qunsetenv("TOLVEX_HOME"); }

    void createsAReadyProgramDirectory();
    void badArgumentsGiveUsage_data();
    void badArgumentsGiveUsage();
    void launcherAndModes();
    void sharedPostgresDatabase();
    void startUpStopsWithoutSettingsFile();
    void fullDiskNeverClaimsAFile_data();
    void fullDiskNeverClaimsAFile();
    void startUpNotesReadableSettings_data();
    void startUpNotesReadableSettings();
};

// A ready program directory; later runs keep what is there.
void TstInstalacion::createsAReadyProgramDirectory()
{
    QTemporaryDir tmp;
    const QString dir = tmp.path() + QStringLiteral("/planta uno");
    const auto r = setup({dir, QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:5020"), QStringLiteral("--id"), QStringLiteral("3")});
    QVERIFY2(r.code == 0, qPrintable(r.err));
    for (const char* f : {"Tolvex.ini", "data.db", "Tolvex.inf", "REPORTE.xlsx", "tolvex"})
        QVERIFY2(QFile::exists(dir + u'/' + QLatin1String(f)), f);
    QVERIFY(r.out.contains(QStringLiteral("creado: Tolvex.ini")));

    {
        // The settings read back through the store as the program reads them.
        DirectorioDePrueba keep;
        QDir::setCurrent(dir);
        Programa::leeVariables();
        QCOMPARE(QStringList({Programa::DataTbReporte, Programa::DataTbOperarios, Programa::DataTbGlobal}),
                 QStringList({Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal}));
        QCOMPARE(Programa::DataCSReporte, QStringLiteral("Driver=SQLite;Data Source=data.db"));
        QStringList enlace;
        for (const char* k : {"Host_1", "Port_1", "ID_1"})
            enlace << Config::LeeConfig(QStringLiteral("Global"), QLatin1String(k), QString());
        QCOMPARE(enlace, QStringList({"127.0.0.1", "5020", "3"}));
        // The workstation's identity, readable: the host's name and a suffix.
        const QString puesto = Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Puesto"), QString());
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9.-]+-[0-9a-f]{6}$")).match(puesto).hasMatch(), qPrintable(puesto));
        // Connection strings are stored scrambled, never in clear.
        QVERIFY(!leeArchivo(dir + QStringLiteral("/Tolvex.ini")).contains("SQLite"));

        CDatos db;
        QVERIFY2(db.AbrirBase(Programa::DataCSReporte), qPrintable(db.ultimoError()));
        for (const QString& t : {Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal, Schema::kTablaComandos})
            QVERIFY2(Schema::existeTabla(db, t), qPrintable(t));
    }

    // The template is a spreadsheet package with the worksheet's headings.
    const auto z = correProceso(QStringLiteral("/usr/bin/python3"),
                                {QStringLiteral("-c"),
                                 QStringLiteral("import openpyxl,sys; ws=openpyxl.load_workbook(sys.argv[1])['REPORTE']; "
                                                "print(ws.cell(7,1).value, ws.cell(7,10).value, ws.max_row)"),
                                 dir + QStringLiteral("/REPORTE.xlsx")});
    QVERIFY2(z.code == 0, qPrintable(z.err));
    QCOMPARE(z.out.trimmed(), QStringLiteral("Ticket Total 7"));

    // Run again: nothing changes.
    const auto before = huella(dir);
    const auto r1 = setup({dir});
    QCOMPARE(r1.code, 0);
    QVERIFY(!r1.out.contains(QStringLiteral("creado:")));
    QVERIFY(r1.out.contains(QStringLiteral("existente, sin cambios: Tolvex.ini")));
    QCOMPARE(huella(dir), before);

    // An existing database is never replaced: only what it lacks is added.
    CDatos db;
    QVERIFY(db.AbrirBase(ConnectionString::sqlite(dir + QStringLiteral("/data.db"))));
    QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO Reporte (TICKET, AUX1) VALUES (1, 'guardado')")));
    QVERIFY(db.Ejecuta(QStringLiteral("DROP TABLE Comandos")));
    // A settings file the plant edited by hand is left alone too.
    QFile::remove(dir + QStringLiteral("/Tolvex.inf"));
    QVERIFY(escribeArchivo(dir + QStringLiteral("/tolvex.INI"), "[global]\r\nTiempo=200.\r\n"));
    QFile::remove(dir + QStringLiteral("/Tolvex.ini"));
    const auto r2 = setup({dir});
    QVERIFY2(r2.code == 0, qPrintable(r2.err));
    QVERIFY(r2.out.contains(QStringLiteral("creado: tabla Comandos")));
    QCOMPARE(leeArchivo(dir + QStringLiteral("/tolvex.INI")), QByteArray("[global]\r\nTiempo=200.\r\n"));
    QVERIFY(!QFile::exists(dir + QStringLiteral("/Tolvex.inf")));
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM Reporte")));
    QCOMPARE(db.Campo(QStringLiteral("AUX1")).toString(), QStringLiteral("guardado"));
}

void TstInstalacion::badArgumentsGiveUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("none") << QStringList();
    QTest::newRow("unknown option") << QStringList{"x", "--nada"};
    QTest::newRow("two directories") << QStringList{"x", "y"};
    QTest::newRow("postgres without value") << QStringList{"x", "--postgres"};
    QTest::newRow("bad tcp") << QStringList{"x", "--tcp", "host"};
    QTest::newRow("id 248") << QStringList{"x", "--id", "248"};
    // A line's own options without the line they are for.
    QTest::newRow("name without its line") << QStringList{"x", "--nombre", "Tolva B"};
    QTest::newRow("decimals without their line") << QStringList{"x", "--tcp", "h:1", "--decimales", "1"};
    QTest::newRow("name with the list of lines") << QStringList{"x", "--lineas", "--nombre", "B"};
    QTest::newRow("line 17") << QStringList{"x", "--linea", "17", "--tcp", "h:1"};
}

void TstInstalacion::badArgumentsGiveUsage()
{
    QFETCH(QStringList, args);
    DirectorioDePrueba aqui; // x and y are taken from here
    const auto r = setup(args);
    QCOMPARE(r.code, 2);
    QVERIFY(r.err.contains(QStringLiteral("uso: tolvex-setup")));
    QVERIFY(!QFile::exists(aqui.file(QStringLiteral("x"))));
}

// The launcher starts the program in its directory; the directory and what
// it holds are for owner and group only, whatever the umask lets through.
void TstInstalacion::launcherAndModes()
{
    QTemporaryDir tmp;
    // A stand-in program that reports where and how it was started.
    const QString fake = tmp.path() + QStringLiteral("/fake's prog");
    QVERIFY(escribeArchivo(fake, "#!/bin/sh\necho \"$(pwd)|$TOLVEX_HOME|$*\"\n"));
    QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const mode_t previa = ::umask(022);
    auto vuelve = qScopeGuard([previa] { ::umask(previa); });
    Instalacion inst;
    inst.directorio = tmp.path() + QStringLiteral("/dir");
    inst.programa = fake;
    QVERIFY2(inst.ejecutar(), qPrintable(inst.error));
    const auto r = correProceso(inst.directorio + QStringLiteral("/tolvex"), {QStringLiteral("a b")}, QDir::tempPath());
    QCOMPARE(r.code, 0);
    const QString real = QFileInfo(inst.directorio).canonicalFilePath();
    QCOMPARE(r.out.trimmed(), real + u'|' + real + QStringLiteral("|a b"));

    auto modo = [&](const QString& nombre) {
        struct stat st {};
        return ::stat(QFile::encodeName(inst.directorio + u'/' + nombre).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    QCOMPARE(modo(QString()), 0750);
    QCOMPARE(modo(QStringLiteral("tolvex")), 0750);
    for (const char* f : {"Tolvex.ini", "data.db", "Tolvex.inf", "UltimoTicket.dat", "REPORTE.xlsx"})
        QVERIFY2(modo(QLatin1String(f)) == 0640, f);
}

// Workstations prepared at the same moment on one new database: every one
// succeeds, each table is created once, the counter has one row. Several
// rounds, each on a database of its own: a race lost once would show.
void TstInstalacion::sharedPostgresDatabase()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG not set");
    const QString setupExe = qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-setup");
    QStringList puestos;
    for (int ronda = 1; ronda <= 5; ++ronda) {
        QString cs;
        const auto borra = baseNueva(pg, QStringLiteral("tolvex_setup_%1").arg(ronda), &cs);
        QVERIFY(!cs.isEmpty());
        QTemporaryDir dirs[4];
        QProcess setups[4];
        for (int i = 0; i < 4; ++i)
            setups[i].start(setupExe, {dirs[i].path(), QStringLiteral("--postgres"), cs});
        QStringList creadas;
        for (int i = 0; i < 4; ++i) {
            QVERIFY(setups[i].waitForFinished(60000));
            const QString out = QString::fromUtf8(setups[i].readAllStandardOutput());
            QVERIFY2(setups[i].exitCode() == 0, qPrintable(QStringLiteral("ronda %1: ").arg(ronda) + setups[i].readAllStandardError()));
            for (const QString& l : out.split(u'\n'))
                if (l.startsWith(QStringLiteral("creado: tabla ")))
                    creadas << l.mid(14);
            DirectorioDePrueba keep;
            QDir::setCurrent(dirs[i].path());
            puestos << Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Puesto"), QString());
        }
        creadas.sort();
        QCOMPARE(creadas, QStringList({Schema::kTablaComandos, Schema::kTablaGlobal, Schema::kTablaOperarios,
                                       Schema::kTablaReporte}));
        CDatos db;
        QVERIFY(db.AbrirBase(cs));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM %1").arg(Schema::kTablaGlobal)));
        QCOMPARE(std::pair(db.Cant_Registros(), db.Campo(QStringLiteral("VALOR")).toString()),
                 std::pair(1L, QStringLiteral("1")));
        // The reports table has its identity, and the text filters their
        // trigram indexes.
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM pg_indexes WHERE tablename = 'reporte' AND "
                                               "indexdef LIKE 'CREATE UNIQUE INDEX % (idlote)'")));
        QCOMPARE(db.Cant_Registros(), 1L);
        QVERIFY(db.AbreRegistro(QStringLiteral(
            "SELECT indexname FROM pg_indexes WHERE tablename = 'reporte' AND indexdef LIKE '%gin_trgm_ops%'")));
        QCOMPARE(db.Cant_Registros(), 6L);
        if (ronda == 1) {
            // A workstation prepared later finds everything there.
            QTemporaryDir otro;
            const auto r = setup({otro.path(), QStringLiteral("--postgres"), cs});
            QVERIFY2(r.code == 0, qPrintable(r.err));
            QVERIFY(!r.out.contains(QStringLiteral("creado: tabla")));
            QVERIFY(!QFile::exists(otro.path() + QStringLiteral("/data.db")));
            DirectorioDePrueba keep;
            QDir::setCurrent(otro.path());
            Programa::leeVariables();
            QCOMPARE(Programa::DataCSGlobal, cs);
        }
    }
    // Every program directory is a workstation of its own.
    QCOMPARE(QSet<QString>(puestos.cbegin(), puestos.cend()).size(), puestos.size());
    QVERIFY2(!puestos.contains(QString()), qPrintable(puestos.join(u' ')));

    // A database that cannot be reached is a clear failure, exit 1.
    QTemporaryDir c;
    const auto rc = setup({c.path(), QStringLiteral("--postgres"),
                                QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=y")});
    QCOMPARE(rc.code, 1);
    QVERIFY(rc.err.contains(QStringLiteral("No se pudo abrir la base de datos")));
}

void TstInstalacion::startUpStopsWithoutSettingsFile()
{
    QTemporaryDir programDir;
    DirectorioDePrueba work;
    // The file in the working directory does not count: the check looks in
    // the program directory.
    QVERIFY(escribeArchivo(work.file(QStringLiteral("Tolvex.ini")), "[global]\r\n"));
    qputenv("TOLVEX_HOME", programDir.path().toUtf8());
    QCOMPARE(Arranque::ejecutar(), 1);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const auto box = MessageBox::mostrados().first();
    QCOMPARE(QStringList({box.titulo, box.texto}),
             QStringList({"Error", "No se encuentra tolvex.ini o la ruta de trabajo no es correcta.\n\n"}));
    QCOMPARE(std::pair(box.icono, box.botones), std::pair(MessageBox::Critico, QMessageBox::StandardButtons(QMessageBox::Ok)));
    const auto ventanas = QApplication::topLevelWidgets();
    QVERIFY(std::none_of(ventanas.cbegin(), ventanas.cend(), [](QWidget* w) { return w->isVisible(); }));
}

void TstInstalacion::fullDiskNeverClaimsAFile_data()
{
    QTest::addColumn<int>("libreKib");
    QTest::newRow("lleno") << 0;
    QTest::newRow("4 KiB libres") << 4;
    QTest::newRow("12 KiB libres") << 12;
    QTest::newRow("64 KiB libres") << 64;
}

void TstInstalacion::fullDiskNeverClaimsAFile()
{
    QFETCH(int, libreKib);
    DiscoLleno disco(1024);
    if (!disco.ok())
        QSKIP("no se puede montar un tmpfs aquí (hace falta root)");
    disco.llena();
    QFile lastre(disco.file(QStringLiteral(".lastre")));
    QVERIFY(lastre.resize(std::max<qint64>(0, lastre.size() - libreKib * 1024)));
    const QString dir = disco.file(QStringLiteral("planta"));
    const auto r = setup({dir});
    QVERIFY2(r.code == 1, qPrintable(r.out + r.err));
    QVERIFY(r.err.contains(QStringLiteral("tolvex-setup: ")));
    // Whatever it says it created is there, whole.
    const QRegularExpression creado(QStringLiteral("^creado: (\\S+)$"), QRegularExpression::MultilineOption);
    for (auto it = creado.globalMatch(r.out); it.hasNext();) {
        const QString f = it.next().captured(1);
        const QByteArray b = leeArchivo(dir + u'/' + f);
        QVERIFY2(!b.isEmpty(), qPrintable(f));
        if (f == u"Tolvex.ini")
            QVERIFY(b.startsWith("[BaseDeDatos]\r\n") && b.endsWith("\r\n"));
        if (f == u"Tolvex.inf")
            QCOMPARE(b, QByteArray("Tolvex\r\n"));
    }
}

void TstInstalacion::startUpNotesReadableSettings_data()
{
    QTest::addColumn<int>("modo");
    QTest::addColumn<bool>("nota");
    QTest::newRow("0644") << 0644 << true;
    QTest::newRow("0604") << 0604 << true;
    QTest::newRow("0640") << 0640 << false;
    QTest::newRow("0600") << 0600 << false;
}

void TstInstalacion::startUpNotesReadableSettings()
{
    QFETCH(int, modo);
    QFETCH(bool, nota);
    QTemporaryDir programDir;
    const QString ini = programDir.path() + QStringLiteral("/Tolvex.ini");
    QVERIFY(escribeArchivo(ini, "[global]\r\n"));
    QVERIFY(::chmod(QFile::encodeName(ini).constData(), mode_t(modo)) == 0);
    qputenv("TOLVEX_HOME", programDir.path().toUtf8());
    QCOMPARE(Arranque::notaPermisos(), nota);
    const QByteArray log = leeArchivo(programDir.path() + QStringLiteral("/Datos.log"));
    QCOMPARE(log.contains("chmod o-rwx"), nota);
    if (nota)
        QVERIFY(log.contains(QByteArray::number(modo, 8)));
}

QTEST_MAIN(TstInstalacion)
#include "tst_instalacion.moc"
