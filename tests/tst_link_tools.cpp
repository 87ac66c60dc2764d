// The tolvex-sim and tolvex-diag programs, run as an installer would.
#include "Config.h"
#include "TestSupport.h"

#include <QProcess>
#include <QtTest>

namespace {

QString programa(const char* nombre)
{
    return qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/") + QLatin1String(nombre);
}

struct Salida
{
    int codigo = -1;
    QString out;
    QString err;
};

Salida diag(const QStringList& args, const QString& dir = {})
{
    QProcess p;
    if (!dir.isEmpty())
        p.setWorkingDirectory(dir);
    p.start(programa("tolvex-diag"), args);
    Salida s;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return s;
    }
    s.codigo = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    s.out = QString::fromUtf8(p.readAllStandardOutput());
    s.err = QString::fromUtf8(p.readAllStandardError());
    return s;
}

// A tolvex-sim process; its first line says where it listens.
class Simulador
{
public:
    explicit Simulador(const QStringList& args)
    {
        m_p.start(programa("tolvex-sim"), args);
        if (m_p.waitForStarted() && m_p.waitForReadyRead(10000))
            m_primera = QString::fromUtf8(m_p.readLine()).trimmed();
    }
    ~Simulador()
    {
        m_p.kill();
        m_p.waitForFinished();
    }
    QString primera() const { return m_primera; }
    QString destino() const { return QStringLiteral("127.0.0.1:") + m_primera.section(u' ', 1); }
    QProcess& proceso() { return m_p; }

private:
    QProcess m_p;
    QString m_primera;
};

const QStringList kNombres = {"Peso", "Despacho", "CGrueso", "CFino", "Caudal", "Resto",
                              "CCiclos", "CError", "UlTotal", "UlBatch", "Modo", "SPFin",
                              "Total", "Salidas", "Entradas", "TotalF"};

QString valor(const QString& salida, const QString& nombre)
{
    for (const QString& l : salida.split(u'\n'))
        if (l.startsWith(nombre + QStringLiteral(": ")))
            return l.mid(nombre.size() + 2);
    return {};
}

} // namespace

class TstLinkTools : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void leeYEscribeTcp();
    void serie();
    void watch();
    void sinRespuesta();
    void argumentosMalos_data();
    void argumentosMalos();
    void ajustesDeTolvexIni();
    void cuentaDeLotes();
};

void TstLinkTools::leeYEscribeTcp()
{
    Simulador sim({"--tcp", "0", "--decimals", "1"});
    QVERIFY2(sim.primera().startsWith(QLatin1String("port ")), qPrintable(sim.primera()));
    const QStringList base = {"--tcp", sim.destino(), "--id", "1", "--decimals", "1"};

    Salida s = diag(base + QStringList{"read"});
    QCOMPARE(s.codigo, 0);
    const QStringList lineas = s.out.trimmed().split(u'\n');
    QCOMPARE(lineas.size(), 16);
    for (int i = 0; i < 16; ++i)
        QVERIFY2(lineas[i].startsWith(kNombres[i] + QStringLiteral(": ")), qPrintable(lineas[i]));
    QCOMPARE(valor(s.out, "CFino"), QStringLiteral("1000.0"));
    QCOMPARE(valor(s.out, "Modo"), QStringLiteral("0"));

    QCOMPARE(diag(base + QStringList{"write32", "14204", "5000"}).codigo, 0);
    QCOMPARE(diag(base + QStringList{"write", "14402", "0x1234"}).codigo, 0);
    s = diag(base + QStringList{"--trace", "read"});
    QCOMPARE(valor(s.out, "Despacho"), QStringLiteral("500.0"));
    QCOMPARE(valor(s.out, "TotalF"), QStringLiteral("466.0"));
    QVERIFY2(s.err.contains(QLatin1String("tx 01 03 00 00 00 02 C4 0B")), qPrintable(s.err));
    QVERIFY(s.err.contains(QLatin1String("rx 01 03 04")));

    QCOMPARE(diag(base + QStringList{"command", "V"}).codigo, 0);
    s = diag(base + QStringList{"read"});
    QCOMPARE(valor(s.out, "Modo"), QStringLiteral("1"));
}

void TstLinkTools::serie()
{
    Simulador sim({"--pty", "--id", "3"});
    QVERIFY2(sim.primera().startsWith(QLatin1String("/dev/")), qPrintable(sim.primera()));
    Salida s = diag({"--serial", sim.primera(), "--baud", "9600", "--id", "3", "read"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(valor(s.out, "CGrueso"), QStringLiteral("900"));
    QCOMPARE(diag({"--serial", sim.primera(), "--id", "3", "command", "w"}).codigo, 0);
    QCOMPARE(valor(diag({"--serial", sim.primera(), "--id", "3", "read"}).out, "Salidas"),
             QString::number(0x02 | 0x40));
}

void TstLinkTools::watch()
{
    Simulador sim({"--tcp", "0"});
    const Salida s = diag({"--tcp", sim.destino(), "--id", "1", "watch", "--period", "20", "--count", "3"});
    QCOMPARE(s.codigo, 0);
    const QStringList bloques = s.out.trimmed().split(QStringLiteral("\n\n"));
    QCOMPARE(bloques.size(), 4);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(bloques[i].split(u'\n').size(), 16);
    QVERIFY2(bloques[3].startsWith(QLatin1String("lecturas: 3  fallos: 0  mediana: ")), qPrintable(bloques[3]));
    QVERIFY(bloques[3].contains(QLatin1String(" p99: ")));
}

void TstLinkTools::sinRespuesta()
{
    Simulador sim({"--tcp", "0", "--silent"});
    Salida s = diag({"--tcp", sim.destino(), "--id", "1", "--timeout", "100", "read"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.out.isEmpty());
    QVERIFY2(s.err.contains(QLatin1String("El indicador no responde")), qPrintable(s.err));
    s = diag({"--tcp", sim.destino(), "--id", "1", "--timeout", "100", "command", "Z"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.err.contains(QStringLiteral("No se pudo realizar la operación")));
    s = diag({"--serial", "/dev/tolvex-no-existe", "read"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.err.contains(QLatin1String("No se pudo abrir el puerto.")));
}

void TstLinkTools::argumentosMalos_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{"--tcp", "127.0.0.1:1"};
    QTest::newRow("unknown command") << QStringList{"--tcp", "127.0.0.1:1", "borrar"};
    QTest::newRow("bad letter") << QStringList{"--tcp", "127.0.0.1:1", "command", "Q"};
    QTest::newRow("two letters") << QStringList{"--tcp", "127.0.0.1:1", "command", "VZ"};
    QTest::newRow("no port") << QStringList{"--tcp", "localhost", "read"};
    QTest::newRow("port text") << QStringList{"--tcp", "localhost:abc", "read"};
    QTest::newRow("id 256") << QStringList{"--id", "256", "read"};
    QTest::newRow("write 16 too big") << QStringList{"write", "7", "65536"};
    QTest::newRow("write32 too big") << QStringList{"write32", "14204", "4294967296"};
    QTest::newRow("write missing value") << QStringList{"write", "7"};
    QTest::newRow("address text") << QStringList{"write", "siete", "1"};
    QTest::newRow("unknown option") << QStringList{"--turbo", "read"};
    QTest::newRow("option without value") << QStringList{"read", "--period"};
}

void TstLinkTools::argumentosMalos()
{
    QFETCH(QStringList, args);
    const Salida s = diag(args);
    QCOMPARE(s.codigo, 2);
    QVERIFY(s.err.contains(QLatin1String("uso: tolvex-diag")));
}

void TstLinkTools::ajustesDeTolvexIni()
{
    Simulador sim({"--tcp", "0", "--id", "5"});
    DirectorioDePrueba dir;
    const QString g = QStringLiteral("global");
    Config::GuardaConfig(g, QStringLiteral("Comunicacion_1"), QStringLiteral("1"));
    Config::GuardaConfig(g, QStringLiteral("Host_1"), QStringLiteral("127.0.0.1"));
    Config::GuardaConfig(g, QStringLiteral("Port_1"), sim.primera().section(u' ', 1));
    Config::GuardaConfig(g, QStringLiteral("ID_1"), QStringLiteral("5"));
    Config::GuardaConfig(g, QStringLiteral("Decimales_1"), QStringLiteral("2"));
    Salida s = diag({"read"}, dir.path());
    QCOMPARE(s.codigo, 0);
    QCOMPARE(valor(s.out, "CFino"), QStringLiteral("10.00"));

    Config::GuardaConfig(g, QStringLiteral("Port_1"), QStringLiteral("tres mil"));
    s = diag({"read"}, dir.path());
    QCOMPARE(s.codigo, 1);
    QVERIFY2(s.err.contains(QLatin1String("No se pudo abrir el puerto.")), qPrintable(s.err));
}

void TstLinkTools::cuentaDeLotes()
{
    Simulador sim({"--tcp", "0", "--speed", "2000"});
    QCOMPARE(diag({"--tcp", sim.destino(), "--id", "1", "command", "V"}).codigo, 0);
    QProcess& p = sim.proceso();
    qint64 lotes = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            p.write("lotes\n");
            p.waitForReadyRead(1000);
            const QString l = QString::fromUtf8(p.readAll()).trimmed().section(u'\n', -1);
            lotes = l.section(u' ', 1).toLongLong();
            return lotes >= 5;
        }(),
        30000);
    const Salida s = diag({"--tcp", sim.destino(), "--id", "1", "read"});
    QVERIFY(valor(s.out, "CCiclos").toLongLong() >= lotes);
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    const QString fin = QString::fromUtf8(p.readAll()).trimmed();
    QVERIFY2(fin.startsWith(QLatin1String("lotes ")), qPrintable(fin));
    QVERIFY(fin.section(u' ', 1).toLongLong() >= lotes);
}

QTEST_GUILESS_MAIN(TstLinkTools)
#include "tst_link_tools.moc"
