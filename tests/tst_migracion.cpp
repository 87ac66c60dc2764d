// The move from the older program, checked against mdbtools' own reading
// of the same Access files (mdb-export, a separate process).
#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLabel>
#include <QProcess>
#include <QSqlQuery>
#include <QtTest>
#include <csignal>
#include <optional>

#include "Acceso.h"
#include "Arranque.h"
#include "CDatos.h"
#include "Config.h"
#include "Contexto.h"
#include "LectorAccess.h"
#include "MessageBox.h"
#include "Migracion.h"
#include "NavegadorPrueba.h"
#include "SalidaPrueba.h"
#include "TestSupport.h"
#include "XlsxPlantilla.h"

namespace {

const QString kNulo = QStringLiteral("<NULO>");

QString fixtures()
{
    return QDir::cleanPath(qEnvironmentVariable("TOLVEX_FIXTURES") + QStringLiteral("/planta-anterior"));
}

QString bin(const QString& programa)
{
    return qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/") + programa;
}

// A CSV as mdb-export writes it: quotes doubled, line breaks inside quotes.
QList<QStringList> leeCsv(const QString& texto)
{
    QList<QStringList> filas;
    QStringList fila;
    QString campo;
    bool comillas = false, citado = false;
    for (qsizetype i = 0; i < texto.size(); ++i) {
        const QChar c = texto.at(i);
        if (comillas) {
            if (c == u'"' && i + 1 < texto.size() && texto.at(i + 1) == u'"') {
                campo += c;
                ++i;
            } else if (c == u'"') {
                comillas = false;
            } else {
                campo += c;
            }
        } else if (c == u'"') {
            comillas = citado = true;
        } else if (c == u',') {
            fila << campo;
            campo.clear();
            citado = false;
        } else if (c == u'\n') {
            fila << campo;
            filas << fila;
            fila.clear();
            campo.clear();
            citado = false;
        } else if (c != u'\r' || citado) {
            campo += c;
        }
    }
    if (!fila.isEmpty() || !campo.isEmpty())
        filas << (fila << campo);
    return filas;
}

// mdbtools' reading of a table: the header, then one row per record, NULL
// (and an empty text: mdbtools tells them no apart) as kNulo.
QList<QStringList> mdbExport(const QString& archivo, const QString& tabla)
{
    const SalidaProceso s = correProceso(QStringLiteral("mdb-export"),
                                         {QStringLiteral("-0"), kNulo, QStringLiteral("-D"), QStringLiteral("%Y-%m-%d %H:%M:%S"),
                                          QStringLiteral("-T"), QStringLiteral("%Y-%m-%d %H:%M:%S"), archivo, tabla});
    return s.code == 0 ? leeCsv(s.out) : QList<QStringList>();
}

// Name and content hash of every file below dir.
QMap<QString, QByteArray> huella(const QString& dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(QDir(dir).relativeFilePath(path), QCryptographicHash::hash(leeArchivo(path), QCryptographicHash::Sha256));
    }
    return out;
}

SalidaProceso setup(const QStringList& args)
{
    // No LibreOffice on the path: the template is kept, with how to convert it.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    return correProceso(bin(QStringLiteral("tolvex-setup")), args, QString(), env);
}

struct Dia
{
    qint64 filas = 0;
    double peso = 0, total = 0;
};

QSqlDatabase abreSqlite(const QString& archivo, const QString& nombre)
{
    QSqlDatabase db = QSqlDatabase::contains(nombre) ? QSqlDatabase::database(nombre, false)
                                                     : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), nombre);
    db.setDatabaseName(archivo);
    db.open();
    return db;
}

qint64 cuenta(const QString& archivo)
{
    QSqlDatabase db = abreSqlite(archivo, QStringLiteral("cuenta"));
    QSqlQuery q(db);
    const qint64 n = q.exec(QStringLiteral("SELECT COUNT(*) FROM Reporte")) && q.next() ? q.value(0).toLongLong() : -1;
    q.finish();
    db.close();
    return n;
}

// Every row Tolvex holds against mdbtools' reading of the older table;
// every older row must be there unless parcial. Returns the highest ticket.
qint64 comparaFilas(const QString& dbArchivo, const QList<QStringList>& mdb, bool parcial)
{
    const QStringList cab = mdb.value(0);
    auto col = [&](const char* n) { return int(cab.indexOf(QString::fromLatin1(n))); };
    QSqlDatabase db = abreSqlite(dbArchivo, QStringLiteral("compara"));
    QHash<qint64, QSqlRecord> nuestras;
    {
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT * FROM Reporte"));
        while (q.next())
            nuestras.insert(q.value(QStringLiteral("TICKET")).toLongLong(), q.record());
    }
    qint64 mayor = 0;
    QMap<QString, Dia> suyos, mios;
    int vistas = 0;
    for (qsizetype i = 1; i < mdb.size(); ++i) {
        const QStringList& f = mdb.at(i);
        const qint64 t = f.value(col("TICKET")).toLongLong();
        mayor = qMax(mayor, t);
        const QString dia = f.value(col("FECHA")).left(10);
        if (!nuestras.contains(t)) {
            if (!parcial)
                qWarning() << "falta el ticket" << t;
            if (!parcial)
                return -1;
            continue;
        }
        ++vistas;
        const QSqlRecord r = nuestras.value(t);
        Dia& s = suyos[dia];
        ++s.filas;
        s.peso += f.value(col("PESO")).toDouble();
        s.total += f.value(col("TOTAL")).toDouble();
        for (const char* n : {"AUX1", "AUX2", "AUX3", "AUX4", "AUX5", "AUX6", "INFO", "OPERADOR"}) {
            const QString suyo = f.value(col(n));
            const QVariant mio = r.value(QString::fromLatin1(n));
            const bool igual = suyo == kNulo ? (mio.isNull() || mio.toString().isEmpty()) : mio.toString() == suyo;
            if (!igual) {
                qWarning() << "ticket" << t << n << suyo << mio;
                return -1;
            }
        }
        // The date and time of day apart, as the older program meant them.
        const QString fecha = r.value(QStringLiteral("FECHA")).toString(), hora = r.value(QStringLiteral("HORA")).toString();
        const double peso = r.value(QStringLiteral("PESO")).toDouble();
        if (fecha != dia || hora != f.value(col("HORA")).mid(11, 8) || f.value(col("HORA")).left(10) != u"1899-12-30" ||
            qAbs(peso - f.value(col("PESO")).toDouble()) > 1e-4 || qAbs(peso * 10 - qRound64(peso * 10)) > 1e-7 ||
            r.value(QStringLiteral("TOTAL")).toDouble() != f.value(col("TOTAL")).toDouble() ||
            r.value(QStringLiteral("BACH")).toDouble() != f.value(col("BACH")).toDouble() ||
            r.value(QStringLiteral("PRESET")).toDouble() != f.value(col("PRESET")).toDouble() ||
            r.value(QStringLiteral("OPCION1")).toInt() != f.value(col("OPCION1")).toInt() ||
            r.value(QStringLiteral("LINEA")).toInt() != 1 || r.value(QStringLiteral("PUESTO")).toString().isEmpty()) {
            qWarning() << "ticket" << t << fecha << hora << peso << f;
            return -1;
        }
    }
    // Per day on both sides, Tolvex's side summed by the database.
    {
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT FECHA, COUNT(*), SUM(PESO), SUM(TOTAL) FROM Reporte GROUP BY FECHA"));
        while (q.next())
            mios.insert(q.value(0).toString(), {q.value(1).toLongLong(), q.value(2).toDouble(), q.value(3).toDouble()});
    }
    db.close();
    if (vistas != nuestras.size()) {
        qWarning() << "filas de más:" << nuestras.size() - vistas;
        return -1;
    }
    for (auto it = suyos.cbegin(); it != suyos.cend(); ++it) {
        const Dia m = mios.value(it.key());
        if (m.filas != it->filas || qAbs(m.peso - it->peso) > 0.01 || qAbs(m.total - it->total) > 1e-6 * qAbs(it->total)) {
            qWarning() << "día" << it.key() << it->filas << m.filas << it->peso << m.peso;
            return -1;
        }
    }
    return mayor;
}

QString leeTicket(const QString& dbArchivo)
{
    QSqlDatabase db = abreSqlite(dbArchivo, QStringLiteral("ticket"));
    QSqlQuery q(db);
    const QString v = q.exec(QStringLiteral("SELECT VALOR FROM Global WHERE VARIABLE = 'Ticket'")) && q.next()
                          ? q.value(0).toString()
                          : QString();
    q.finish();
    db.close();
    return v;
}

} // namespace

class TstMigracion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        MessageBox::setScripted(true);
        if (!QFileInfo::exists(fixtures()))
            QSKIP(qPrintable(QStringLiteral("No están los archivos de prueba en %1").arg(fixtures())));
    }
    void init() { MessageBox::limpiar(); }
    void cleanup()
    {
        qunsetenv("TOLVEX_HOME");
        frmPLANILLA::setEligeArchivo({});
        frmPLANILLA::setEligeImpresora({});
    }

    void plantaEntera_data();
    void plantaEntera();
    void muertaConKill();
    void filaQueNoSeToma();
    void unDiaEnLosReportes();
    void byteDeCifrado();
    void archivosDeAccess_data();
    void archivosDeAccess();
    void directorioSinMover();
};

void TstMigracion::plantaEntera_data()
{
    QTest::addColumn<QString>("carpeta");
    QTest::addColumn<QString>("archivo");
    QTest::addColumn<QString>("tabla");
    QTest::addColumn<QStringList>("maestras");
    QTest::addColumn<QStringList>("ajustes"); // key=value read back from the new settings
    QTest::newRow("jet4") << "jet4" << "data.mdb" << "Reporte" << QStringList{"OPER1", "SUPER1"}
                          << QStringList{"ID_1=0", "Decimales_1=0", "Comm_1=2", "Baudios_1=4", "Tiempo=200",
                                         "Dato4= ", "Dato5=Observación:", "Usuario=Molino Ñandú"};
    QTest::newRow("ace") << "ace" << "data.accdb" << "Pesadas" << QStringList{"OPERADOR", "SUPERVISOR"}
                         << QStringList{"ID_1=3", "Decimales_1=1", "Comunicacion_1=1", "Host_1=192.168.0.10",
                                        "Port_1=3000", "Dato0=Patente:", "Organización=Planta Norte"};
}

// A whole directory of the older program: rows as mdbtools reads them, the
// counter past the highest ticket, settings, operators signing in with the
// passwords they had (kept unreadable), journal and log as they were, the
// template kept with how to convert it; the older directory untouched. Run
// again it takes nothing twice, and brings back the rows Tolvex lacks.
void TstMigracion::plantaEntera()
{
    QFETCH(QString, carpeta);
    QFETCH(QString, archivo);
    QFETCH(QString, tabla);
    QFETCH(QStringList, maestras);
    QFETCH(QStringList, ajustes);
    const QString viejo = fixtures() + u'/' + carpeta;
    const auto antes = huella(viejo);
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("planta"));
    const QString base = dir + QStringLiteral("/data.db");

    SalidaProceso s = setup({dir, QStringLiteral("--desde"), viejo});
    QVERIFY2(s.code == 0, qPrintable(s.out + s.err));
    QVERIFY(s.out.contains(QStringLiteral("Directorio de programa listo")));
    const QList<QStringList> mdb = mdbExport(viejo + u'/' + archivo, tabla);
    QVERIFY(mdb.size() > 1000);
    QVERIFY(s.out.contains(QStringLiteral("Tabla %1: %2 leídas, %2 escritas, 0 ya estaban, 0 rechazadas").arg(tabla).arg(mdb.size() - 1)));
    const qint64 mayor = comparaFilas(base, mdb, false);
    QVERIFY(mayor > 0);
    QCOMPARE(leeTicket(base), QString::number(mayor + 1));
    QVERIFY(!s.out.contains(QStringLiteral("distinto")));
    // mdbtools prints a NULL and an empty text alike; the fixtures hold both
    // in AUX1, and Tolvex keeps them apart.
    {
        const int c = int(mdb.at(0).indexOf(QStringLiteral("AUX1")));
        qint64 vacias = 0;
        for (const QStringList& f : mdb)
            vacias += f.value(c) == kNulo ? 1 : 0;
        QSqlDatabase db = abreSqlite(base, QStringLiteral("nulos"));
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT SUM(AUX1 IS NULL), SUM(AUX1 = '') FROM Reporte")) && q.next());
        QVERIFY(q.value(0).toLongLong() > 0 && q.value(1).toLongLong() > 0);
        QCOMPARE(q.value(0).toLongLong() + q.value(1).toLongLong(), vacias);
        q.finish();
        db.close();
    }

    // Settings and passwords, read in the new directory as Tolvex reads them.
    {
        const QString antesDir = QDir::currentPath();
        QDir::setCurrent(dir);
        for (const QString& a : ajustes) {
            const qsizetype eq = a.indexOf(u'=');
            QCOMPARE(Config::LeeConfig(QStringLiteral("global"), a.left(eq), QStringLiteral("?")), a.mid(eq + 1));
        }
        Contexto x;
        x.DataCSOperarios = Config::LeeConfig(QStringLiteral("BaseDeDatos"), QStringLiteral("DataCSOperarios"), {}, true);
        x.DataTbOperarios = Config::LeeConfig(QStringLiteral("BaseDeDatos"), QStringLiteral("DataTbOperarios"), {}, true);
        CDatos::setDirectorioBase(dir);
        const QList<QStringList> operarios = {{"José", "CLAVE1", "Superior"},
                                              {"Operario 1", "ABC", "Operador"},
                                              {"D'Angelo", "ÑANDÚ", "Operador"},
                                              {"Gerente", "GERENCIA!", "Gerencia"},
                                              {"Instalador", "INST", "Instalador"}};
        QByteArray guardadas;
        {
            QSqlDatabase db = abreSqlite(base, QStringLiteral("claves"));
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("SELECT OPERADOR, PASSWORD FROM Operarios")));
            while (q.next())
                guardadas += q.value(0).toString().toUtf8() + '\t' + q.value(1).toString().toUtf8() + '\n';
            q.finish();
            db.close();
        }
        for (const QStringList& o : operarios) {
            const Acceso::Resultado r = Acceso::verifica(x, o.at(0), o.at(1));
            QVERIFY2(r.aceptado && r.tipoAcceso == 2, qPrintable(o.at(0)));
            QCOMPARE(r.nivel, o.at(2));
            QVERIFY(!Acceso::verifica(x, o.at(0), o.at(1) + u'X').aceptado);
            // Hashed; a short password would turn up by chance in the hashes'
            // random text, so the search for a readable form is for the long ones.
            QVERIFY2(guardadas.contains(o.at(0).toUtf8() + "\t$argon2id$"), qPrintable(o.at(0)));
            QVERIFY2(o.at(1).size() < 6 || !guardaRecuperable(guardadas, o.at(1)), qPrintable(o.at(0)));
        }
        QCOMPARE(Acceso::verifica(x, QString(), maestras.at(0)).tipoAcceso, 1);
        QCOMPARE(Acceso::verifica(x, QString(), maestras.at(1)).tipoAcceso, 2);
        const QByteArray ini = leeArchivo(dir + QStringLiteral("/Tolvex.ini"));
        for (const QString& m : maestras)
            QVERIFY2(!guardaRecuperable(ini, m), qPrintable(m));
        QDir::setCurrent(antesDir);
    }
    // The master passwords came along: no first-run definition is asked for.
    QVERIFY(!QFile::exists(dir + QStringLiteral("/Tolvex.inf")));
    for (const QString& f : {QStringLiteral("Transac.dat"), QStringLiteral("Datos.log")}) {
        if (QFile::exists(viejo + u'/' + f))
            QCOMPARE(leeArchivo(dir + u'/' + f), leeArchivo(viejo + u'/' + f));
    }
    if (QFile::exists(viejo + QStringLiteral("/REPORTE.xls"))) {
        QCOMPARE(leeArchivo(dir + QStringLiteral("/REPORTE.xls")), leeArchivo(viejo + QStringLiteral("/REPORTE.xls")));
        QVERIFY(s.out.contains(QStringLiteral("porque LibreOffice no está instalado")));
        QVERIFY(s.out.contains(QStringLiteral("soffice --headless --convert-to xlsx")));
    }

    // Again: nothing twice.
    s = setup({dir, QStringLiteral("--desde"), viejo});
    QVERIFY2(s.code == 0, qPrintable(s.out + s.err));
    QVERIFY(s.out.contains(QStringLiteral("%1 leídas, 0 escritas, %1 ya estaban").arg(mdb.size() - 1)));
    QCOMPARE(comparaFilas(base, mdb, false), mayor);

    // Rows Tolvex lacks (a first run that stopped early) come back, the
    // others stay as they are, and the counter is not moved back.
    {
        QSqlDatabase db = abreSqlite(base, QStringLiteral("borra"));
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("DELETE FROM Reporte WHERE TICKET % 7 = 3 OR TICKET > %1").arg(mayor - 50)));
        QVERIFY(q.exec(QStringLiteral("UPDATE Global SET VALOR = '%1' WHERE VARIABLE = 'Ticket'").arg(mayor + 40)));
        db.close();
    }
    const qint64 quedan = cuenta(base);
    s = setup({dir, QStringLiteral("--desde"), viejo});
    QVERIFY2(s.code == 0, qPrintable(s.out + s.err));
    QVERIFY(s.out.contains(QStringLiteral("%1 escritas, %2 ya estaban").arg(mdb.size() - 1 - quedan).arg(quedan)));
    QCOMPARE(comparaFilas(base, mdb, false), mayor);
    QCOMPARE(leeTicket(base), QString::number(mayor + 40));
    QCOMPARE(huella(viejo), antes);
}

// kill -9 in the middle of a move: Tolvex's database holds whole batches of
// rows only, each as the older table has it, the counter past them; the
// next run completes it.
void TstMigracion::muertaConKill()
{
    const QString viejo = fixtures() + QStringLiteral("/jet4");
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("planta"));
    const QString base = dir + QStringLiteral("/data.db");
    QProcess p;
    p.start(bin(QStringLiteral("tolvex-setup")), {dir, QStringLiteral("--desde"), viejo});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning || (QFile::exists(base) && cuenta(base) > 0), 4 * kEspera);
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished();
    const QList<QStringList> mdb = mdbExport(viejo + QStringLiteral("/data.mdb"), QStringLiteral("Reporte"));
    const qint64 n = cuenta(base);
    QVERIFY(n == mdb.size() - 1 || n % Migracion::kLote == 0);
    QVERIFY(comparaFilas(base, mdb, true) > 0);
    {
        QSqlDatabase db = abreSqlite(base, QStringLiteral("mayor"));
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT MAX(TICKET) FROM Reporte")) && q.next());
        QVERIFY(leeTicket(base).toLongLong() > q.value(0).toLongLong());
        q.finish();
        db.close();
    }
    const SalidaProceso s = setup({dir, QStringLiteral("--desde"), viejo});
    QVERIFY2(s.code == 0, qPrintable(s.out + s.err));
    QCOMPARE(leeTicket(base), QString::number(comparaFilas(base, mdb, false) + 1));
}

// An older row whose ticket a Tolvex row already has is not taken: it is
// listed with its reason, its day shows both sides apart, the exit status
// says so, and the Tolvex row stays as it was.
void TstMigracion::filaQueNoSeToma()
{
    const QString viejo = fixtures() + QStringLiteral("/ace");
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("planta"));
    QVERIFY(setup({dir}).code == 0);
    const QString base = dir + QStringLiteral("/data.db");
    {
        QSqlDatabase db = abreSqlite(base, QStringLiteral("propia"));
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("INSERT INTO Reporte (TICKET, TOTAL, PESO, OPCION1, IDLOTE) VALUES "
                                      "(1000, 7, 7, 0, '0123456789abcdef0123456789abcdef')")));
        db.close();
    }
    const SalidaProceso s = setup({dir, QStringLiteral("--desde"), viejo});
    QCOMPARE(s.code, 3);
    QVERIFY2(s.out.contains(QRegularExpression(QStringLiteral("rechazada: Pesadas fila \\d+ \\(ticket 1000\\): el ticket 1000 ya lo "
                                                              "tiene una fila de Tolvex\n"))),
             qPrintable(s.out));
    QCOMPARE(s.out.count(QStringLiteral("<- distinto")), 1);
    QVERIFY(s.out.contains(QStringLiteral("Directorio de programa listo, con 1 fila(s) rechazada(s)")));
    QSqlDatabase db = abreSqlite(base, QStringLiteral("propia"));
    QSqlQuery q(db);
    QVERIFY(q.exec(QStringLiteral("SELECT TOTAL, IDLOTE FROM Reporte WHERE TICKET = 1000")) && q.next());
    QCOMPARE(q.value(0).toDouble(), 7.0);
    q.finish();
    db.close();
    const QList<QStringList> mdb = mdbExport(viejo + QStringLiteral("/data.accdb"), QStringLiteral("Pesadas"));
    QCOMPARE(cuenta(base), mdb.size() - 1);
}

// The moved rows of one day (the busiest in mdbtools' reading) filtered by
// date in the record browser, printed and exported: exactly that day's
// tickets, each with its time of day, in the browser, in the listing as
// pdftotext reads it and in the workbook as openpyxl reads it.
void TstMigracion::unDiaEnLosReportes()
{
    const QString viejo = fixtures() + QStringLiteral("/jet4");
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("planta"));
    const SalidaProceso s = setup({dir, QStringLiteral("--desde"), viejo});
    QVERIFY2(s.code == 0, qPrintable(s.out + s.err));

    // The day with the most rows (the earliest of equals), ticket -> time.
    const QList<QStringList> mdb = mdbExport(viejo + QStringLiteral("/data.mdb"), QStringLiteral("Reporte"));
    QVERIFY(mdb.size() > 1000);
    const int cTicket = int(mdb.at(0).indexOf(QStringLiteral("TICKET"))), cFecha = int(mdb.at(0).indexOf(QStringLiteral("FECHA"))),
              cHora = int(mdb.at(0).indexOf(QStringLiteral("HORA")));
    QMap<QString, QMap<qint64, QString>> porDia;
    for (qsizetype i = 1; i < mdb.size(); ++i) {
        const QStringList& f = mdb.at(i);
        QVERIFY2(f.value(cHora).startsWith(QStringLiteral("1899-12-30 ")), qPrintable(f.value(cHora)));
        porDia[f.value(cFecha).left(10)].insert(f.value(cTicket).toLongLong(), f.value(cHora).mid(11, 8));
    }
    QString elegido;
    for (auto it = porDia.cbegin(); it != porDia.cend(); ++it)
        if (elegido.isEmpty() || it->size() > porDia.value(elegido).size())
            elegido = it.key();
    const QMap<qint64, QString> horas = porDia.value(elegido);
    const QDate dia = QDate::fromString(elegido, Qt::ISODate);
    QVERIFY(dia.isValid() && horas.size() > 100);
    const auto sinSegundos = [](QMap<qint64, QString> m) {
        for (QString& h : m)
            h.truncate(5);
        return m;
    };

    // The program started in the moved directory, as an operator finds it.
    struct Vuelve
    {
        QString d = QDir::currentPath();
        ~Vuelve() { QDir::setCurrent(d); }
    } vuelve;
    QVERIFY(QDir::setCurrent(dir));
    Programa::leeVariables();
    QVERIFY(openpyxl({QStringLiteral("--plantilla"), dir + u'/' + XlsxPlantilla::kArchivo}));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    QCOMPARE(b.cantidad(), int(mdb.size() - 1));
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b, kEspera));

    fechasEnDialogo(dia, dia);
    dobleClic(b, QStringLiteral("Lbl_Dato_5"));
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Fecha y Hora = %1)").arg(dia.toString(u"dd/MM/yyyy")));
    QCOMPARE(b.cantidad(), int(horas.size()));
    QMap<qint64, QString> vistas;
    QString anterior;
    for (int i = 0; i < b.cantidad(); ++i) {
        b.mover(i);
        const auto dato = [&b](int n) { return b.findChild<QLabel*>(QStringLiteral("Lbl_Dato_%1").arg(n))->text(); };
        QCOMPARE(dato(5), dia.toString(u"dd/MM/yyyy"));
        const QString hora = dato(6);
        QVERIFY2(hora >= anterior, qPrintable(hora)); // sorted by time of day
        anterior = hora;
        vistas.insert(dato(0).toLongLong(), hora);
    }
    QCOMPARE(vistas, horas);

    // The listing: one line per ticket, with its date and time to the minute.
    const QString pdf = dir + QStringLiteral("/dia.pdf");
    imprimeEn(pdf);
    pulsa(b, QStringLiteral("cmd_Imprimir"), QMessageBox::Ok);
    QVERIFY(QFile::exists(pdf));
    QMap<qint64, QString> impresas;
    static const QRegularExpression renglon(QStringLiteral("^\\s*(\\d+) (\\d\\d/\\d\\d/\\d{4}) (\\d\\d:\\d\\d)(\\s|$)"));
    const QString fechaListado = dia.toString(u"dd/MM/yyyy");
    for (const QString& l : pdfTexto(pdf).split(u'\n')) {
        const auto m = renglon.match(l);
        if (!m.hasMatch())
            continue;
        QVERIFY2(m.captured(2) == fechaListado && !impresas.contains(m.captured(1).toLongLong()), qPrintable(l));
        impresas.insert(m.captured(1).toLongLong(), m.captured(3));
    }
    QCOMPARE(impresas, sinSegundos(horas));

    // The workbook from the plant's template: from row 8 a ticket, its date
    // and its time of day as date cells, and nothing else below them.
    const QString xlsx = dir + QStringLiteral("/dia.xlsx");
    frmPLANILLA::setEligeArchivo([&xlsx](QWidget*, const QString&, const QString&) { return xlsx; });
    pulsa(b, QStringLiteral("Cmd_Exportar"), QMessageBox::Yes);
    QVERIFY2(QFile::exists(xlsx), qPrintable(cajas()));
    const QJsonObject c = libro(xlsx).value(QStringLiteral("cells")).toObject();
    QMap<qint64, QString> exportadas;
    int fila = 8;
    for (QString r = QStringLiteral("8"); celda(c, u'A' + r).startsWith(QStringLiteral("n:")); r = QString::number(++fila)) {
        QCOMPARE(celda(c, u'B' + r), QStringLiteral("d:") + elegido);
        const QString hora = celda(c, u'C' + r);
        QVERIFY2(hora.startsWith(QStringLiteral("t:")), qPrintable(hora));
        exportadas.insert(celda(c, u'A' + r).mid(2).toLongLong(), hora.mid(2));
    }
    QCOMPARE(fila - 8, int(horas.size()));
    QCOMPARE(exportadas, horas);
}

// The scrambling byte is found from the file: the one under which every
// BaseDeDatos value reads as a connection string or a table name; none or
// several is refused before anything is written.
void TstMigracion::byteDeCifrado()
{
    for (const auto& [carpeta, byte] : {std::pair{"jet4", 0x5A}, {"ace", 0x1F}, {"grande", 0x5A}}) {
        IniAnterior ini;
        QString e;
        QVERIFY(ini.carga(fixtures() + u'/' + QString::fromLatin1(carpeta) + QStringLiteral("/Tolvex.ini"), &e));
        QCOMPARE(ini.bytesPosibles(), QList<int>{byte});
    }
    auto cifra = [](const QByteArray& t, quint8 b) {
        QByteArray x = t;
        for (char& c : x)
            c = char(quint8(c) ^ b);
        return x;
    };
    const QList<std::pair<QByteArray, QString>> casos = {
        // A scrambled line break inside a value does not end it.
        {"[BaseDeDatos]\r\nDataCSReporte=" + cifra("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\P\\data.mdb", 0x5A) +
             ".\r\nDataTbReporte=" + cifra("Reporte", 0x5A) + ".\r\n",
         QStringLiteral("data.mdb")},
        {"[BaseDeDatos]\r\nDataCSReporte=\x01\x02\x03\xFE.\r\nDataTbReporte=" + cifra("Reporte", 0x33) + ".\r\n",
         QStringLiteral("con ningún byte")},
        {"[BaseDeDatos]\r\nDataTbReporte=" + cifra("Ab", 0x44) + ".\r\n", QStringLiteral("más de un byte")},
        {"[global]\r\nID_1=1.\r\n", QStringLiteral("con ningún byte")}};
    for (const auto& [texto, motivo] : casos) {
        QTemporaryDir tmp;
        QVERIFY(escribeArchivo(tmp.filePath(QStringLiteral("Tolvex.ini")), texto));
        const QString dir = tmp.filePath(QStringLiteral("nuevo"));
        const SalidaProceso s = setup({dir, QStringLiteral("--desde"), tmp.path()});
        QCOMPARE(s.code, 1);
        QVERIFY2(s.err.contains(motivo), qPrintable(s.err));
        QVERIFY(!QFileInfo::exists(dir));
    }
}

void TstMigracion::archivosDeAccess_data()
{
    QTest::addColumn<QString>("archivo");
    for (const char* f : {"access/testV1997.mdb", "access/test2V2003.mdb", "access/testV2010.accdb", "ace/data.accdb"})
        QTest::newRow(f) << QString::fromLatin1(f);
}

// Files made by Access itself (97, 2003, 2010): every table, every row,
// every column type reads as mdbtools reads it.
void TstMigracion::archivosDeAccess()
{
    QFETCH(QString, archivo);
    const QString ruta = fixtures() + u'/' + archivo;
    LectorAccess l;
    QString e;
    QVERIFY2(l.abre(ruta, &e), qPrintable(e));
    const SalidaProceso t = correProceso(QStringLiteral("mdb-tables"), {QStringLiteral("-1"), ruta});
    QStringList suyas = t.out.split(u'\n', Qt::SkipEmptyParts), mias = l.tablas();
    suyas.sort();
    mias.sort();
    QCOMPARE(mias, suyas);
    int celdas = 0;
    for (const QString& tabla : std::as_const(mias)) {
        QVERIFY2(l.abreTabla(tabla, &e), qPrintable(e));
        const QList<QStringList> mdb = mdbExport(ruta, tabla);
        QCOMPARE(l.columnas(), mdb.value(0));
        QVariantList fila;
        for (qsizetype i = 1; i < mdb.size(); ++i) {
            QVERIFY(l.siguiente(&fila));
            for (int c = 0; c < fila.size(); ++c) {
                const QString suyo = mdb.at(i).value(c);
                const QVariant& mio = fila.at(c);
                ++celdas;
                if (suyo == kNulo) {
                    QVERIFY2(mio.isNull() || mio.toString().isEmpty(), qPrintable(tabla + u' ' + mio.toString()));
                } else if (mio.typeId() == QMetaType::QByteArray) {
                    // An OLE object: mdb-export prints its bytes as they are.
                    QVERIFY(!mio.toByteArray().isEmpty());
                } else if (mio.typeId() == QMetaType::QDateTime) {
                    QCOMPARE(mio.toDateTime().toString(u"yyyy-MM-dd HH:mm:ss"), suyo);
                } else if (mio.typeId() == QMetaType::Double || mio.typeId() == QMetaType::LongLong) {
                    QVERIFY2(qAbs(mio.toDouble() - suyo.toDouble()) <= 1e-4 * qMax(1.0, qAbs(suyo.toDouble())),
                             qPrintable(QStringLiteral("%1.%2: %3 / %4").arg(tabla, l.columnas().at(c), mio.toString(), suyo)));
                } else if (mio.typeId() == QMetaType::Bool) {
                    QCOMPARE(mio.toBool() ? QStringLiteral("1") : QStringLiteral("0"), suyo);
                } else {
                    QCOMPARE(mio.toString(), suyo);
                }
            }
        }
        QVERIFY(!l.siguiente(&fila));
    }
    QVERIFY(celdas > 0);
}

// A directory whose settings still name the older engine: the start-up,
// tolvex-report and tolvex-setup without --desde say what to run.
void TstMigracion::directorioSinMover()
{
    for (const char* carpeta : {"jet4", "ace"}) {
        const QString viejo = fixtures() + u'/' + QString::fromLatin1(carpeta);
        const QString orden = QStringLiteral("tolvex-setup NUEVO_DIRECTORIO --desde \"%1\"").arg(viejo);
        QTemporaryDir tmp;
        const SalidaProceso r = correProceso(bin(QStringLiteral("tolvex-report")),
                                             {QStringLiteral("--dir"), viejo, QStringLiteral("--xlsx"), tmp.filePath(QStringLiteral("x.xlsx"))});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(orden), qPrintable(r.err));
        const SalidaProceso s = setup({viejo});
        QCOMPARE(s.code, 1);
        QVERIFY2(s.err.contains(orden), qPrintable(s.err));

        QVERIFY(QFile::copy(viejo + QStringLiteral("/Tolvex.ini"), tmp.filePath(QStringLiteral("Tolvex.ini"))));
        qputenv("TOLVEX_HOME", tmp.path().toUtf8());
        MessageBox::limpiar();
        QCOMPARE(Arranque::ejecutar(), 1);
        QCOMPARE(MessageBox::mostrados().size(), 1);
        QVERIFY2(MessageBox::mostrados().first().texto.contains(QStringLiteral("tolvex-setup NUEVO_DIRECTORIO --desde \"%1\"").arg(tmp.path())),
                 qPrintable(MessageBox::mostrados().first().texto));
    }
    // A Tolvex directory is not taken for one.
    QTemporaryDir nuevo;
    QVERIFY(setup({nuevo.path()}).code == 0);
    QCOMPARE(Migracion::avisoAnterior(nuevo.path()), QString());
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TstMigracion t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_migracion.moc"
