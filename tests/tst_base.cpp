// Whole-or-nothing file replacement on a real full filesystem and with
// faults injected at each stage; dates and times as the plant reads them.
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

#include "ArchivoAtomico.h"
#include "FechaHora.h"
#include "TestSupport.h"

using ArchivoAtomico::Etapa;

class TstBase : public QObject
{
    Q_OBJECT

private slots:
    void replaceKeepsModeCreateNeverReplaces();
    void failureKeepsPreviousContent_data();
    void failureKeepsPreviousContent();
    void fullDiskKeepsPreviousContent();
    void publicaWholeOrNothing_data();
    void publicaWholeOrNothing();
    void fechaYHoraDeLaPlanta_data();
    void fechaYHoraDeLaPlanta();
};

void TstBase::replaceKeepsModeCreateNeverReplaces()
{
    DirectorioDePrueba dir;
    const QString f = dir.file(QStringLiteral("a.dat"));
    QString error;
    QVERIFY2(ArchivoAtomico::reemplaza(f, "uno", &error), qPrintable(error));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(f).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(ArchivoAtomico::ModoPorDefecto));
    QVERIFY(::chmod(QFile::encodeName(f).constData(), 0600) == 0);
    QVERIFY(ArchivoAtomico::reemplaza(f, "dos", &error));
    QCOMPARE(leeArchivo(f), QByteArray("dos"));
    QCOMPARE(::stat(QFile::encodeName(f).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));

    // Creating never replaces what is there.
    const QString ini = dir.file(QStringLiteral("Tolvex.ini"));
    QVERIFY(ArchivoAtomico::crea(ini, "primero"));
    QVERIFY(!ArchivoAtomico::crea(ini, "segundo", &error));
    QCOMPARE(leeArchivo(ini), QByteArray("primero"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"a.dat", "Tolvex.ini"}));
}

void TstBase::failureKeepsPreviousContent_data()
{
    QTest::addColumn<int>("etapa");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("apertura") << int(Etapa::Apertura) << qint64(0);
    QTest::newRow("escritura al empezar") << int(Etapa::Escritura) << qint64(0);
    QTest::newRow("escritura a mitad") << int(Etapa::Escritura) << qint64(5);
    QTest::newRow("sincronización") << int(Etapa::Sincronizacion) << qint64(0);
    QTest::newRow("renombrado") << int(Etapa::Renombrado) << qint64(0);
}

void TstBase::failureKeepsPreviousContent()
{
    QFETCH(int, etapa);
    QFETCH(qint64, bytes);
    DirectorioDePrueba dir;
    const QString f = dir.file(QStringLiteral("cola.dat"));
    QVERIFY(ArchivoAtomico::reemplaza(f, "anterior"));
    const FalloDeEscritura fallo(Etapa(etapa), bytes, 1);
    QString error;
    QVERIFY(!ArchivoAtomico::reemplaza(f, "contenido nuevo y más largo", &error));
    QVERIFY(error.contains(QStringLiteral("cola.dat")));
    QCOMPARE(leeArchivo(f), QByteArray("anterior"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("cola.dat")});
    // One fault only: the next replacement goes through.
    QVERIFY(ArchivoAtomico::reemplaza(f, "nuevo", &error));
    QCOMPARE(leeArchivo(f), QByteArray("nuevo"));
}

void TstBase::fullDiskKeepsPreviousContent()
{
    DiscoLleno disco;
    if (!disco.ok())
        QSKIP("no se puede montar un tmpfs aquí (hace falta root)");
    const QString f = disco.file(QStringLiteral("Pendientes.dat"));
    QVERIFY(ArchivoAtomico::reemplaza(f, QByteArray(1000, 'a')));
    disco.llena();
    QString error;
    QVERIFY(!ArchivoAtomico::reemplaza(f, QByteArray(64 * 1024, 'b'), &error));
    QVERIFY2(error.contains(QStringLiteral("disco lleno")), qPrintable(error));
    QCOMPARE(ArchivoAtomico::ultimoError(), ENOSPC);
    QCOMPARE(leeArchivo(f), QByteArray(1000, 'a'));
    disco.libera();
    QVERIFY(ArchivoAtomico::reemplaza(f, QByteArray(64 * 1024, 'b'), &error));
    QCOMPARE(leeArchivo(f).size(), 64 * 1024);
}

void TstBase::publicaWholeOrNothing_data()
{
    QTest::addColumn<int>("etapa");
    QTest::newRow("sin fallo") << int(Etapa::Ninguna);
    QTest::newRow("sincronización") << int(Etapa::Sincronizacion);
    QTest::newRow("renombrado") << int(Etapa::Renombrado);
}

// A file written by someone else is published under the target's name, or
// the target keeps what it had; the written file never stays behind.
void TstBase::publicaWholeOrNothing()
{
    QFETCH(int, etapa);
    DirectorioDePrueba dir;
    const QString f = dir.file(QStringLiteral("listado.pdf"));
    QVERIFY(ArchivoAtomico::reemplaza(f, "anterior"));
    const QString escrito = dir.file(QStringLiteral(".listado.pdf.part"));
    QVERIFY(escribeArchivo(escrito, "nuevo"));
    const FalloDeEscritura fallo(Etapa(etapa), 0, 1);
    QString error;
    const bool ok = ArchivoAtomico::publica(escrito, f, &error);
    QCOMPARE(ok, Etapa(etapa) == Etapa::Ninguna);
    QCOMPARE(leeArchivo(f), ok ? QByteArray("nuevo") : QByteArray("anterior"));
    QVERIFY(ok || error.contains(QStringLiteral("listado.pdf")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("listado.pdf")});
}

void TstBase::fechaYHoraDeLaPlanta_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("fecha"); // 8 December 2026
    QTest::addColumn<QString>("legible");
    // Qt's short dates for these carry a two-digit year and, for es_ES and
    // es_AR, a one-digit day and month; their clocks "(t)", "a. m.", "AM".
    for (const char* l : {"es_ES", "es_AR", "es_MX", "es_CO", "C", "ar_EG"})
        QTest::newRow(l) << QString::fromLatin1(l) << QStringLiteral("08/12/2026") << QStringLiteral("DD/MM/AAAA");
    QTest::newRow("en_US") << QStringLiteral("en_US") << QStringLiteral("12/08/2026") << QStringLiteral("MM/DD/AAAA");
    QTest::newRow("de_DE") << QStringLiteral("de_DE") << QStringLiteral("08.12.2026") << QStringLiteral("DD.MM.AAAA");
    QTest::newRow("hu_HU") << QStringLiteral("hu_HU") << QStringLiteral("2026. 12. 08")
                           << QStringLiteral("AAAA. MM. DD");
}

// The desktop's order and separator, four-digit years, 24-hour times with
// seconds and nothing after them; what is shown is read back.
void TstBase::fechaYHoraDeLaPlanta()
{
    QFETCH(QString, locale);
    QFETCH(QString, fecha);
    QFETCH(QString, legible);
    const QLocale antes;
    QLocale::setDefault(QLocale(locale));
    const auto vuelve = qScopeGuard([&antes] { QLocale::setDefault(antes); });
    const QDate d(2026, 12, 8);
    QCOMPARE(FechaHora::fecha(d), fecha);
    QCOMPARE(FechaHora::patronLegible(), legible);
    QCOMPARE(FechaHora::hora(QTime(7, 20, 18)) + u' ' + FechaHora::hora(QTime(18, 30, 1)),
             QStringLiteral("07:20:18 18:30:01"));
    QCOMPARE(FechaHora::leeFecha(fecha), d);
    QCOMPARE(FechaHora::leeFecha(QStringLiteral(" 2026-12-08 ")), d);
    QVERIFY(!FechaHora::leeFecha(QStringLiteral("2026-02-31")).isValid());
    QCOMPARE(FechaHora::fecha(QDate()) + FechaHora::hora(QTime()), QString());
}

QTEST_GUILESS_MAIN(TstBase)
#include "tst_base.moc"
