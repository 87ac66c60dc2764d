// Settings store on real files: encoding, scrambling, case rules, bad input.
#include <QtTest>

#include "ArchivoAtomico.h"
#include "Config.h"
#include "Cp1252.h"
#include "IniFile.h"
#include "Puesto.h"
#include "Secreto.h"

#include <sodium.h>
#include "TestSupport.h"

using namespace Config;

namespace {
const QString g = QStringLiteral("global");
}

class TstSettings : public QObject
{
    Q_OBJECT

private slots:
    void everyPrintableCharacterSurvivesTheFile();
    void writeKeepsTheFileAndItsEncoding();
    void valuesFromAnyFile_data();
    void valuesFromAnyFile();
    void numbersReadSafely();
    void failedWriteKeepsTheOldFile();
    void fullDiskKeepsTheSettings_data();
    void fullDiskKeepsTheSettings();
    void fileParsedOncePerUse();
    void hashedPasswordsKeepTheCaseRules();
    void scrambledPasswordsOfEarlierVersions();
    void storedTextIsNeverAPassword();
    void masterPasswordStoredUnrecoverable();
    void workstationNameUpToItsLimit();
};

void TstSettings::everyPrintableCharacterSurvivesTheFile()
{
    // The code page itself: every byte round-trips, what it cannot hold is "?".
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(static_cast<char>(i));
    QCOMPARE(Cp1252::encode(Cp1252::decode(bytes)), bytes);
    QCOMPARE(Cp1252::decode("\x80\xF1"), QStringLiteral("€ñ"));
    QCOMPARE(Cp1252::encode(QStringLiteral("中")), QByteArray("?"));

    DirectorioDePrueba dir;
    // Every printable Windows-1252 character, each alone (so each is the first
    // and the last character of a value) and all together.
    QStringList values;
    QString all;
    for (int code = 0x20; code <= 0xFF; ++code) {
        if (code == 0x7F || code == 0x81 || code == 0x8D || code == 0x8F || code == 0x90 || code == 0x9D)
            continue;
        const QString c(Cp1252::character(static_cast<quint8>(code)));
        values << c;
        all += c;
    }
    values << all << QStringLiteral("  blancos al final  ");
    for (int i = 0; i < values.size(); ++i)
        QVERIFY(GuardaConfig(QStringLiteral("Global"), QStringLiteral("K%1").arg(i), values[i], true));
    for (int i = 0; i < values.size(); ++i) {
        const QString back = LeeConfig(g, QStringLiteral("K%1").arg(i), QString(), true);
        QVERIFY2(back == values[i], qPrintable(QStringLiteral("value %1 came back as %2").arg(values[i], back)));
    }
    // The file holds scrambled text, never the plain one, and one line per key.
    const QByteArray raw = leeArchivo(rutaArchivo());
    QVERIFY(!raw.contains(Cp1252::encode(all)));
    QCOMPARE(raw.count("\r\n"), values.size() + 1);
    // A default given for a scrambled key comes back scrambled.
    const QString plain = QStringLiteral("abc");
    QCOMPARE(LeeConfig(g, QStringLiteral("Pass1"), plain, true), CodificaTexto(plain));
    QCOMPARE(LeeConfig(g, QStringLiteral("Pass1"), CodificaTexto(plain), true), plain);
}

void TstSettings::writeKeepsTheFileAndItsEncoding()
{
    DirectorioDePrueba dir;
    const QByteArray before = "; configurado por el instalador\r\n"
                              "[BaseDeDatos]\r\nDataTbReporte=X.\r\n\r\n"
                              "[global]\r\nZeta=1.\r\nAlfa=2.\r\n; nota\r\n\r\n"
                              "[Otra]\r\nK=v.\r\n";
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")), before));
    QVERIFY(GuardaConfig(QStringLiteral("Global"), QStringLiteral("alfa"), QStringLiteral("20")));
    QVERIFY(GuardaConfig(QStringLiteral("global"), QStringLiteral("Nueva"), QStringLiteral("3")));
    QVERIFY(GuardaConfig(QStringLiteral("Seccion"), QStringLiteral("K"), QString()));
    const QByteArray after = "; configurado por el instalador\r\n"
                             "[BaseDeDatos]\r\nDataTbReporte=X.\r\n\r\n"
                             "[global]\r\nZeta=1.\r\nAlfa=20.\r\n; nota\r\nNueva=3.\r\n\r\n"
                             "[Otra]\r\nK=v.\r\n\r\n[Seccion]\r\nK=.\r\n";
    QCOMPARE(leeArchivo(dir.file(QStringLiteral("Tolvex.ini"))), after);

    // A new file is Windows-1252; keys match regardless of case, accented letters included.
    QVERIFY(QFile::remove(dir.file(kArchivo)));
    QVERIFY(GuardaConfig(QStringLiteral("Global"), QStringLiteral("Organización"), QStringLiteral("Molienda Ñandú")));
    QCOMPARE(leeArchivo(dir.file(QStringLiteral("Tolvex.ini"))), QByteArray("[Global]\r\nOrganizaci\xF3n=Molienda \xD1\x61nd\xFA.\r\n"));
    QCOMPARE(LeeConfig(g, QStringLiteral("ORGANIZACIÓN"), QString()), QStringLiteral("Molienda Ñandú"));

    // A UTF-8 file stays UTF-8.
    QVERIFY(escribeArchivo(dir.file(kArchivo), "\xEF\xBB\xBF[global]\r\nDato0=Ca\xC3\xB1" "a.\r\n"));
    QVERIFY(GuardaConfig(g, QStringLiteral("Dato1"), QStringLiteral("Año")));
    QCOMPARE(leeArchivo(dir.file(kArchivo)), QByteArray("\xEF\xBB\xBF[global]\r\nDato0=Ca\xC3\xB1" "a.\r\nDato1=A\xC3\xB1o.\r\n"));
}

// Values as stored, and files that hands and other programs left: read
// safely, never a crash.
void TstSettings::valuesFromAnyFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<QString>("expected");
    auto fila = [](const char* nombre, const QByteArray& c, const QString& e, const char* file = "Tolvex.ini") {
        QTest::newRow(nombre) << QString::fromLatin1(file) << c << e;
    };
    fila("stored value", "[global]\r\nTiempo=200.\r\n", "200");
    fila("empty value is empty, not default", "[global]\r\nTiempo=.\r\n", "");
    fila("nothing stored gives default", "[global]\r\nTiempo=\r\n", "100");
    fila("hand typed without dot loses a character", "[global]\r\nTiempo=200\r\n", "20");
    fila("trailing blanks kept", "[global]\r\nTiempo=ab  .\r\n", "ab  ");
    fila("blanks around key", "[global]\r\n  Tiempo  =300.\r\n", "300");
    fila("equals sign in value", "[global]\r\nTiempo=a=b.\r\n", "a=b");
    fila("no file", QByteArray(), "100");
    fila("file name in capitals", "[Global]\r\nTiempo=500.\r\n", "500", "TOLVEX.INI");
    fila("garbage lines", "\x01\x02garbage\r\n====\r\n[global]\r\nnonsense\r\nTiempo=300.\r\n", "300");
    fila("header without bracket hides its keys", "[global\r\nTiempo=300.\r\n", "100");
    fila("keys before any section", "Tiempo=300.\r\n[global]\r\n", "100");
    fila("LF only line ends", "[global]\nTiempo=300.\n", "300");
    fila("NUL bytes", QByteArray("[global]\r\nTiempo=3\0000.\r\n", 23), QString::fromLatin1("3\0000", 3));
    fila("UTF-8 BOM", "\xEF\xBB\xBF[global]\r\nTiempo=300.\r\n", "300");
    fila("empty file", "", "100");
    fila("no line end at all", "[global]\r\nTiempo=300.", "300");
    fila("key twice: the first counts", "[global]\r\nTiempo=300.\r\nTIEMPO=400.\r\n", "300");
}

void TstSettings::valuesFromAnyFile()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    DirectorioDePrueba dir;
    QVERIFY(content.isNull() || escribeArchivo(dir.file(file), content));
    QCOMPARE(LeeConfig(g, QStringLiteral("Tiempo"), QStringLiteral("100")), expected);
    // A write keeps what was there and adds the key, into that same file.
    QVERIFY(GuardaConfig(g, QStringLiteral("Otra"), QStringLiteral("1")));
    QCOMPARE(LeeConfig(g, QStringLiteral("Otra"), QString()), QStringLiteral("1"));
    QCOMPARE(LeeConfig(g, QStringLiteral("Tiempo"), QStringLiteral("100")), expected);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{file});
}

void TstSettings::numbersReadSafely()
{
    DirectorioDePrueba dir;
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")),
                           "[global]\r\nTiempo= 250 .\r\nID_1=abc.\r\nPort_1=99999999999.\r\nEspera=2.6.\r\n"));
    // Blanks trimmed, a missing key its default, garbage and overflow no number, decimals rounded.
    QCOMPARE(QList<std::optional<int>>({LeeEntero(g, QStringLiteral("Tiempo"), 100), LeeEntero(g, QStringLiteral("Baudios_1"), 4),
                                        LeeEntero(g, QStringLiteral("ID_1"), 0), LeeEntero(g, QStringLiteral("Port_1"), 3000),
                                        LeeEntero(g, QStringLiteral("Espera"), 0)}),
             QList<std::optional<int>>({250, 4, std::nullopt, std::nullopt, 3}));
}

void TstSettings::failedWriteKeepsTheOldFile()
{
    DirectorioDePrueba dir;
    // A settings "file" that is a directory: reads give defaults, writes fail
    // with a reason, nothing crashes.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Tolvex.ini")));
    QCOMPARE(LeeConfig(g, QStringLiteral("Tiempo"), QStringLiteral("100")), QStringLiteral("100"));
    QString error;
    QVERIFY(!GuardaConfig(g, QStringLiteral("Tiempo"), QStringLiteral("300"), false, false, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(dir.file(QStringLiteral("Tolvex.ini"))).isDir());
}

void TstSettings::fullDiskKeepsTheSettings_data()
{
    QTest::addColumn<bool>("discoReal");
    QTest::newRow("tmpfs lleno") << true;
    QTest::newRow("falla al sincronizar") << false;
}

void TstSettings::fullDiskKeepsTheSettings()
{
    QFETCH(bool, discoReal);
    DiscoLleno disco;
    DirectorioDePrueba dir;
    if (discoReal && !disco.ok())
        QSKIP("no se puede montar un tmpfs aquí (hace falta root)");
    const QString carpeta = discoReal ? disco.path() : dir.path();
    QDir::setCurrent(carpeta); // back to the start when `dir` goes, before the unmount
    const QByteArray antes = "[BaseDeDatos]\r\nDataCSReporte=" + QByteArray(3000, 'k') +
                             ".\r\n[global]\r\nTiempo=100.\r\n";
    QVERIFY(escribeArchivo(QDir(carpeta).absoluteFilePath(kArchivo), antes));
    std::optional<FalloDeEscritura> fallo;
    if (discoReal)
        disco.llena();
    else
        fallo.emplace(ArchivoAtomico::Etapa::Sincronizacion);
    QString error;
    QVERIFY(!GuardaConfig(g, QStringLiteral("Tiempo"), QStringLiteral("250"), false, false, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(leeArchivo(QDir(carpeta).absoluteFilePath(kArchivo)), antes);
    QCOMPARE(LeeConfig(g, QStringLiteral("Tiempo"), QString()), QStringLiteral("100"));
}

void TstSettings::fileParsedOncePerUse()
{
    DirectorioDePrueba dir;
    // A huge line another program left in the file does not make every key
    // read it again.
    QByteArray texto = "[global]\r\n; " + QByteArray(8 * 1024 * 1024, 'x') + "\r\n";
    for (int i = 0; i < 40; ++i)
        texto += "Dato" + QByteArray::number(i) + "=v" + QByteArray::number(i) + ".\r\n";
    QVERIFY(escribeArchivo(dir.file(kArchivo), texto));
    {
        QFile f(dir.file(kArchivo));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    const int antes = IniFile::loads();
    for (int i = 0; i < 40; ++i)
        QCOMPARE(LeeConfig(QStringLiteral("GLOBAL"), QStringLiteral("dato%1").arg(i), QString()), QStringLiteral("v%1").arg(i));
    QCOMPARE(IniFile::loads() - antes, 1);

    // Changed on disk (ours or another program's, same size): read again.
    QVERIFY(GuardaConfig(g, QStringLiteral("Dato3"), QStringLiteral("w3")));
    QCOMPARE(LeeConfig(g, QStringLiteral("Dato3"), QString()), QStringLiteral("w3"));
    texto.replace("Dato7=v7.", "Dato7=z7.");
    QVERIFY(escribeArchivo(dir.file(kArchivo), texto));
    QCOMPARE(LeeConfig(g, QStringLiteral("Dato7"), QString()), QStringLiteral("z7"));
}


void TstSettings::hashedPasswordsKeepTheCaseRules()
{
    const QString op = Secreto::cifra(QStringLiteral("Señal-7x"), Secreto::Forma::Operario);
    const QString ma = Secreto::cifra(QStringLiteral("Señal-7x"), Secreto::Forma::Maestra);
    QVERIFY(Secreto::esCifrada(op) && Secreto::esCifrada(ma));
    QVERIFY(op.contains(QStringLiteral("m=19456,t=2,p=1")));
    // Sign-in ignores letter case; the password change does not.
    for (const QString& h : {op, ma}) {
        QVERIFY(Secreto::coincide(h, QStringLiteral("Señal-7x")));
        QVERIFY(Secreto::coincide(h, QStringLiteral("SEÑAL-7X")));
        QVERIFY(Secreto::coincide(h, QStringLiteral("señal-7x")));
        QVERIFY(!Secreto::coincide(h, QStringLiteral("Señal-7x ")));
        QVERIFY(!Secreto::coincide(h, QStringLiteral("Senal-7x")));
        QVERIFY(!Secreto::coincide(h, QString()));
        QVERIFY(!Secreto::anticuada(h, Secreto::Forma::Maestra));
    }
    QVERIFY(Secreto::coincide(op, QStringLiteral("Señal-7x"), true));
    QVERIFY(!Secreto::coincide(op, QStringLiteral("SEÑAL-7X"), true));
    QVERIFY(!Secreto::anticuada(op, Secreto::Forma::Operario));
    // A master password's form has no exact part: an operator's needs one,
    // and without it case does not count.
    QVERIFY(Secreto::coincide(ma, QStringLiteral("SEÑAL-7X"), true));
    QVERIFY(Secreto::anticuada(ma, Secreto::Forma::Operario));
    // Salted: the same password never gives the same text twice.
    QVERIFY(Secreto::cifra(QStringLiteral("Señal-7x"), Secreto::Forma::Maestra) != ma);
    // A typed character outside the code page reads back as the stored "?".
    QVERIFY(Secreto::coincide(Secreto::cifra(QStringLiteral("a?b"), Secreto::Forma::Maestra), QStringLiteral("a中b")));

    // Hashed with a cheaper cost (an earlier setting): accepted, and due to
    // be written again.
    char barato[crypto_pwhash_STRBYTES];
    QCOMPARE(crypto_pwhash_str(barato, "CLAVE", 5, 1, std::size_t(8) << 20), 0);
    QVERIFY(Secreto::coincide(QString::fromLatin1(barato), QStringLiteral("clave")));
    QVERIFY(Secreto::anticuada(QString::fromLatin1(barato), Secreto::Forma::Maestra));
    QVERIFY(Secreto::renovada(QString::fromLatin1(barato), QStringLiteral("otra"), Secreto::Forma::Maestra).isEmpty());
    const QString renovada = Secreto::renovada(QString::fromLatin1(barato), QStringLiteral("Clave"), Secreto::Forma::Maestra);
    QVERIFY(renovada.contains(QStringLiteral("m=19456,t=2,")));
    QVERIFY(Secreto::coincide(renovada, QStringLiteral("clave")));
    QVERIFY(!Secreto::anticuada(renovada, Secreto::Forma::Maestra));
    QVERIFY(Secreto::renovada(renovada, QStringLiteral("clave"), Secreto::Forma::Maestra).isEmpty());
}

void TstSettings::scrambledPasswordsOfEarlierVersions()
{
    // As the earlier program stored them: each character's code XOR the key.
    const QString antigua = CodificaTexto(QStringLiteral("Vieja9é"));
    QVERIFY(!Secreto::esCifrada(antigua));
    QCOMPARE(Secreto::descifraAntigua(antigua), QStringLiteral("Vieja9é"));
    QVERIFY(Secreto::coincide(antigua, QStringLiteral("VIEJA9É")));
    QVERIFY(Secreto::coincide(antigua, QStringLiteral("Vieja9é"), true));
    QVERIFY(!Secreto::coincide(antigua, QStringLiteral("vieja9é"), true));
    QVERIFY(!Secreto::coincide(antigua, QStringLiteral("Vieja9")));
    QVERIFY(Secreto::anticuada(antigua, Secreto::Forma::Maestra));
    QVERIFY(!Secreto::anticuada(QString(), Secreto::Forma::Operario));
    // Rewritten from its own text, whatever was typed: exact part included.
    const QString nueva = Secreto::renovada(antigua, QStringLiteral("otra"), Secreto::Forma::Operario);
    QVERIFY(Secreto::coincide(nueva, QStringLiteral("Vieja9é"), true));
    QVERIFY(!Secreto::coincide(nueva, QStringLiteral("vieja9é"), true));
    QVERIFY(Secreto::coincide(nueva, QStringLiteral("vieja9É")));
    QVERIFY(Secreto::descifraAntigua(Secreto::cifra(QStringLiteral("x"), Secreto::Forma::Maestra)).isEmpty());
}

void TstSettings::storedTextIsNeverAPassword()
{
    const QString h = Secreto::cifra(QStringLiteral("abc"), Secreto::Forma::Operario);
    // Neither the stored text nor what unscrambling it gives is accepted.
    for (const QString& t : {h, CodificaTexto(h), h.section(u'|', 0, 0), h.section(u'|', 1, 1)}) {
        QVERIFY(!Secreto::coincide(h, t));
        QVERIFY(!Secreto::coincide(h, t, true));
    }
    // A damaged hash matches nothing, and is not read as a scrambled one.
    for (const QString& roto : {h.left(40), QStringLiteral("$argon2id$"), QStringLiteral("$argon2id$|$argon2id$")}) {
        QVERIFY(!Secreto::coincide(roto, QStringLiteral("abc")));
        QVERIFY(!Secreto::coincide(roto, CodificaTexto(roto)));
        QVERIFY(!Secreto::coincide(roto, QStringLiteral("abc"), true));
    }
}

void TstSettings::masterPasswordStoredUnrecoverable()
{
    DirectorioDePrueba dir;
    const QString clave = QStringLiteral("Maestra-1");
    QVERIFY(GuardaConfig(QStringLiteral("Global"), Secreto::kPass1, clave, true)); // the old way
    QVERIFY(guardaRecuperable(leeArchivo(dir.file(kArchivo)), clave));
    QString error;
    QVERIFY2(Secreto::guardaMaestra(Secreto::kPass1, clave, &error), qPrintable(error));
    const QByteArray archivo = leeArchivo(dir.file(kArchivo));
    QVERIFY(!guardaRecuperable(archivo, clave));
    QVERIFY(archivo.contains("Pass1=$argon2id$"));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), QStringLiteral("maestra-1")));
}

// A workstation's name: 60 characters are kept whole, one more is refused
// with the file left as it was.
void TstSettings::workstationNameUpToItsLimit()
{
    DirectorioDePrueba dir;
    QVERIFY(escribeArchivo(dir.file(kArchivo), "[Global]\r\nTiempo_1=100.\r\n"));
    QString error;
    const QString sesenta = QStringLiteral("Línea de envasado ").leftJustified(59, u'x') + u'Z';
    QCOMPARE(sesenta.size(), 60);
    QVERIFY2(Puesto::nombra(dir.path(), sesenta, &error), qPrintable(error));
    QCOMPARE(Puesto::nombre(dir.path()), sesenta);
    const QByteArray antes = leeArchivo(dir.file(kArchivo));
    QVERIFY(!Puesto::nombra(dir.path(), sesenta + u'!', &error));
    QVERIFY(error.contains(QStringLiteral("60")));
    QVERIFY(!Puesto::nombra(dir.path(), QStringLiteral("uno\ndos"), &error));
    QCOMPARE(leeArchivo(dir.file(kArchivo)), antes);
    QCOMPARE(Puesto::nombre(dir.path()), sesenta);
}

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
