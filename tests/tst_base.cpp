// Whole-or-nothing file replacement on a real full filesystem and with
// faults injected at each stage.
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>

#include "ArchivoAtomico.h"
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

QTEST_GUILESS_MAIN(TstBase)
#include "tst_base.moc"
