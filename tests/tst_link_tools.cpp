// The tolvex-sim and tolvex-diag programs, run as an installer would, and
// the link against the misbehaving peer tests/link_peer_rtu.py.
#include "Config.h"
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "Indicador.h"
#include "TestSupport.h"
#include "TransporteTcp.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

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

// A helper program whose first line says where it listens.
class Proceso
{
public:
    Proceso(const QString& programa, const QStringList& args)
    {
        m_p.start(programa, args);
        QDeadlineTimer limite(kEspera);
        if (m_p.waitForStarted())
            while (!m_p.canReadLine() && !limite.hasExpired() && m_p.state() == QProcess::Running)
                m_p.waitForReadyRead(100);
        m_primera = QString::fromUtf8(m_p.readLine()).trimmed();
        if (m_primera.isEmpty())
            qWarning() << m_p.readAllStandardError();
    }
    ~Proceso()
    {
        m_p.kill();
        m_p.waitForFinished();
    }
    QString primera() const { return m_primera; }
    QString destino() const { return QStringLiteral("127.0.0.1:") + m_primera.section(u' ', 1); }
    bool listo() const { return !m_primera.isEmpty(); }
    QProcess& proceso() { return m_p; }

private:
    QProcess m_p;
    QString m_primera;
};

// tolvex-sim, and the misbehaving peer of link_peer_rtu.py with the fault given.
struct Simulador : Proceso
{
    explicit Simulador(const QStringList& args) : Proceso(programa("tolvex-sim"), args) {}
};
struct Par : Proceso
{
    explicit Par(const QStringList& args)
        : Proceso(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral(TOLVEX_TESTS_DIR "/link_peer_rtu.py")} + args)
    {
    }
};

const QStringList kNombres = {"Peso", "Despacho", "CGrueso", "CFino", "Caudal", "Resto",
                              "CCiclos", "CError", "UlTotal", "UlBatch", "Modo", "SPFin",
                              "Total", "Salidas", "Entradas", "TotalF"};

QList<double> campos(const LecturaPeso& l)
{
    return {l.Peso,    l.Despacho,        l.CGrueso,          l.CFino,
            l.Caudal,  l.Resto,           double(l.CCiclos),  double(l.CError),
            l.UlTotal, l.UlBatch,         double(l.Modo),     double(l.SPFin),
            l.Total,   double(l.Salidas), double(l.Entradas), l.TotalF};
}

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
    void sinRespuesta();
    void argumentosMalos_data();
    void argumentosMalos();
    void cuentaDeLotes();
    void respuestasAjenas();
    void enlaceConElPar();
    void scan();
    void scanDeUnBus();
    void simArgumentosMalos_data();
    void simArgumentosMalos();
    void demoConPuertoOcupado();
    void lineaDeUnDirectorio();
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

    s = diag(base + QStringList{"command", "V"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(s.out, QStringLiteral("El indicador aceptó el comando V.\n"));
    // Id 0: the indicator answers with its own id, which is named.
    s = diag({"--tcp", sim.destino(), "--id", "0", "--decimals", "1", "read"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(valor(s.out, "Modo"), QStringLiteral("1"));
    QCOMPARE(s.err,
             QStringLiteral("Id 0 (enlace punto a punto): el indicador responde con el id 1.\n"));

    // Watching: three readings, then the summary.
    s = diag(base + QStringList{"watch", "--period", "20", "--count", "3"});
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
    const Salida w = diag({"--tcp", sim.destino(), "--id", "1", "--timeout", "50", "watch", "--period",
                           "0", "--count", "2"});
    QCOMPARE(w.codigo, 1);
    QVERIFY2(w.out.contains(QLatin1String("lecturas: 2  fallos: 2")), qPrintable(w.out));
    QVERIFY2(w.err.contains(QLatin1String("2 de 2 lecturas fallaron")), qPrintable(w.err));
    Salida s = diag({"--tcp", sim.destino(), "--id", "1", "--timeout", "100", "read"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.out.isEmpty());
    QVERIFY2(s.err.contains(QLatin1String("El indicador no responde")), qPrintable(s.err));
    s = diag({"--tcp", sim.destino(), "--id", "1", "--timeout", "100", "command", "Z"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.err.contains(QStringLiteral("No se pudo realizar la operación")));
    // Nobody listening: said as such, not as a silent indicator.
    quint16 libre = 0;
    {
        QTcpServer t;
        QVERIFY(t.listen(QHostAddress::LocalHost, 0));
        libre = t.serverPort();
    }
    s = diag({"--tcp", QStringLiteral("127.0.0.1:%1").arg(libre), "--id", "1", "--timeout", "100",
              "read"});
    QCOMPARE(s.codigo, 1);
    QCOMPARE(s.err,
             QStringLiteral("No hay conexión con 127.0.0.1:%1 (conexión rechazada).\n").arg(libre));
    s = diag({"--serial", "/dev/tolvex-no-existe", "--id", "1", "read"});
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
    QTest::newRow("id 248") << QStringList{"--tcp", "127.0.0.1:1", "--id", "248", "read"};
    QTest::newRow("write 16 too big") << QStringList{"write", "7", "65536"};
    QTest::newRow("write32 too big") << QStringList{"write32", "14204", "4294967296"};
    QTest::newRow("write missing value") << QStringList{"write", "7"};
    QTest::newRow("address text") << QStringList{"write", "siete", "1"};
    QTest::newRow("unknown option") << QStringList{"--turbo", "read"};
    QTest::newRow("option without value") << QStringList{"read", "--period"};
    QTest::newRow("tcp and serial") << QStringList{"--tcp", "127.0.0.1:1", "--serial", "/dev/null", "--id", "1", "read"};
    QTest::newRow("serial and tcp") << QStringList{"--serial", "/dev/null", "--tcp", "127.0.0.1:1", "--id", "1", "scan"};
    QTest::newRow("tcp without id") << QStringList{"--tcp", "127.0.0.1:1", "read"};
    QTest::newRow("serial without id") << QStringList{"--serial", "/dev/null", "command", "X"};
    QTest::newRow("no settings file, no link") << QStringList{"--id", "1", "read"};
    QTest::newRow("ids reversed") << QStringList{"--tcp", "127.0.0.1:1", "--ids", "9-3", "scan"};
    QTest::newRow("ids 0") << QStringList{"--tcp", "127.0.0.1:1", "--ids", "0-3", "scan"};
    QTest::newRow("ids 248") << QStringList{"--tcp", "127.0.0.1:1", "--ids", "1-248", "scan"};
    QTest::newRow("ids text") << QStringList{"--tcp", "127.0.0.1:1", "--ids", "todos", "scan"};
    QTest::newRow("linea 0") << QStringList{"--linea", "0", "read"};
    QTest::newRow("linea text") << QStringList{"--linea", "tres", "read"};
    QTest::newRow("linea with tcp") << QStringList{"--tcp", "127.0.0.1:1", "--id", "1", "--linea", "2", "read"};
}

void TstLinkTools::argumentosMalos()
{
    QFETCH(QStringList, args);
    DirectorioDePrueba vacio; // no Tolvex.ini there
    const Salida s = diag(args, vacio.path());
    QCOMPARE(s.codigo, 2);
    QVERIFY(s.err.contains(QLatin1String("uso: tolvex-diag")));
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
            lotes = l.section(u' ', 1, 1).toLongLong();
            return lotes >= 5;
        }(),
        30000);
    const Salida s = diag({"--tcp", sim.destino(), "--id", "1", "read"});
    QVERIFY(valor(s.out, "CCiclos").toLongLong() >= lotes);
    p.terminate();
    QVERIFY(p.waitForFinished(kEspera));
    const QString fin = QString::fromUtf8(p.readAll()).trimmed();
    QVERIFY2(fin.startsWith(QLatin1String("lotes ")), qPrintable(fin));
    QVERIFY(fin.section(u' ', 1, 1).toLongLong() >= lotes);
    // Then the kilos accumulated, all indicators and each one: "lotes N kg K id1 N K".
    const QStringList f = fin.split(u' ');
    QCOMPARE(f.size(), 7);
    QCOMPARE(f[2], QStringLiteral("kg"));
    QCOMPARE(f[4], QStringLiteral("id1"));
    QCOMPARE(f[5], f[1]);
    QCOMPARE(f[6], f[3]);
    QVERIFY(f[3].toDouble() > 0);
}

// Late replies and replies that answer something else: a read either fails or
// shows exactly what a clean read of the same peer shows, never other values.
void TstLinkTools::respuestasAjenas()
{
    const QStringList bloques = {"0", "14204", "14379", "14387", "14396"};
    struct Caso
    {
        QStringList fallo;
        std::unique_ptr<Par> par;
        std::unique_ptr<QProcess> diag;
    };
    std::vector<Caso> casos;
    casos.push_back({{"none", "0"}, {}, {}});
    for (const QString& b : bloques) {
        for (const char* f : {"id", "function", "count", "exception"})
            casos.push_back({{QLatin1String(f), b}, {}, {}});
        for (const char* demora : {"2.1", "4.4", "10"})
            casos.push_back({{"late", b, QLatin1String(demora)}, {}, {}});
    }
    for (Caso& c : casos) { // all at once: the late ones take seconds each
        c.par = std::make_unique<Par>(c.fallo);
        QVERIFY2(c.par->listo(), qPrintable(c.fallo.join(u' ')));
        c.diag = std::make_unique<QProcess>();
        c.diag->start(programa("tolvex-diag"), {"--tcp", c.par->destino(), "--id", "1", "read"});
    }
    for (Caso& c : casos)
        QVERIFY(c.diag->waitForFinished(120000));
    const QString limpia = QString::fromUtf8(casos[0].diag->readAllStandardOutput());
    QCOMPARE(casos[0].diag->exitCode(), 0);
    QCOMPARE(valor(limpia, "Peso"), QString::number(3 | 10 << 16));
    for (size_t i = 1; i < casos.size(); ++i) {
        Caso& c = casos[i];
        const QString nombre = c.fallo.join(u' ');
        const QString out = QString::fromUtf8(c.diag->readAllStandardOutput());
        const QString err = QString::fromUtf8(c.diag->readAllStandardError());
        if (c.fallo[0] == QLatin1String("exception")) {
            QVERIFY2(c.diag->exitCode() == 1 && out.isEmpty(), qPrintable(nombre));
            QVERIFY2(err.contains(QStringLiteral("El indicador rechaza la petición (excepción 2).")), qPrintable(err));
        } else if (c.fallo[0] != QLatin1String("late")) {
            // A retry after regaining step gets the real answer.
            QVERIFY2(c.diag->exitCode() == 0, qPrintable(nombre + u' ' + err));
        }
        if (c.diag->exitCode() == 0)
            QVERIFY2(out == limpia, qPrintable(nombre + u'\n' + out));
        else
            QVERIFY2(c.diag->exitCode() == 1 && out.isEmpty(), qPrintable(nombre));
    }
}

// The link polling as the station does, with the real 2000 ms reply wait,
// against the peer on TCP and on a pseudo-terminal, every case at once:
// - one request answered 2.1 to 10 s late at every block in turn, its late
//   reply carrying other values and the requests after it answered
//   meanwhile: no late reply is ever taken (TCP: a connection whose exchange
//   timed out is not used again; a serial line is left quiet for a whole
//   reply wait). A serial slave answers in order: 5 and 10 s late come
//   before the answers to the requests sent after them;
// - an indicator that ignores reads of one register: the link recovers with
//   the map's own reads;
// - id 0 on a point-to-point line: the indicator answers with its own id,
//   which is learned; a later reply from another slave is refused.
// Every reading shown holds exactly the peer's values; each case ends once
// two readings came after its late reply went out.
void TstLinkTools::enlaceConElPar()
{
    LecturaPeso referencia;
    {
        Par limpio({"none", "0"});
        QVERIFY(limpio.listo());
        TransporteTcp t(QStringLiteral("127.0.0.1"),
                        quint16(limpio.primera().section(u' ', 1).toUInt()));
        QVERIFY(t.abrir(nullptr));
        t.reconectar();
        Indicador ind(t, 1, 0);
        ind.LeePeso(referencia);
        QVERIFY(referencia.valida());
    }
    struct Caso
    {
        Caso(QStringList a, quint8 i = 1) : args(std::move(a)), id(i) {}
        QStringList args;
        quint8 id;
        std::unique_ptr<Par> par;
        std::unique_ptr<Enlace> enlace;
        bool tardiaEnviada = false;
        int buenas = 0; // readings after the late reply went out
        int lecturas = 0;
        QStringList malas; // readings with other values
        QString nombre() const { return args.join(u' ') + QStringLiteral(" id %1").arg(id); }
        bool listo() const { return tardiaEnviada && buenas >= 2; }
    };
    std::vector<Caso> casos;
    const QStringList bloques = {"0", "14204", "14379", "14387", "14396"};
    for (const QString& b : bloques) {
        for (const char* d : {"2.1", "2.4", "2.6", "3", "5", "10"})
            casos.emplace_back(QStringList{"late-apart", b, QLatin1String(d)});
        for (const char* d : {"2.1", "2.4", "2.6", "3"})
            casos.emplace_back(QStringList{"--pty", "late-apart", b, QLatin1String(d)});
        for (const char* d : {"5", "10"})
            casos.emplace_back(QStringList{"--pty", "late", b, QLatin1String(d)});
    }
    for (const QString pty : {"", "--pty"}) {
        casos.emplace_back(QStringList{pty, "--ignore-single", "late", "14204", "2.1"});
        casos.emplace_back(QStringList{pty, "id", "14204"}, 0);
    }
    int n = 0;
    for (Caso& c : casos) {
        c.args.removeAll(QString());
        // Replies 30 to 70 ms apart: a late reply comes while a request waits,
        // at a different point of the poll from case to case.
        c.par = std::make_unique<Par>(
            QStringList{"--latency", QString::number(30 + 20 * (n++ % 3))} + c.args);
        QVERIFY2(c.par->listo(), qPrintable(c.nombre()));
        c.tardiaEnviada = !c.args.contains(QLatin1String("late")) &&
                          !c.args.contains(QLatin1String("late-apart"));
        ConfigEnlace config;
        if (c.args.contains(QLatin1String("--pty"))) {
            config.dispositivo = c.par->primera();
        } else {
            config.comunicacion = 1;
            config.host = QStringLiteral("127.0.0.1");
            config.puerto = quint16(c.par->primera().section(u' ', 1).toUInt());
        }
        config.id = c.id;
        c.enlace = std::make_unique<Enlace>();
        connect(c.enlace.get(), &Enlace::lecturaLista, this,
                [&c, &referencia](const LecturaPeso& l) {
                    ++c.lecturas;
                    if (!l.valida())
                        return;
                    if (campos(l) != campos(referencia)) {
                        QStringList v;
                        for (double x : campos(l))
                            v << QString::number(x);
                        c.malas << QStringLiteral("lectura %1: ").arg(c.lecturas) + v.join(u' ');
                    } else if (c.tardiaEnviada)
                        ++c.buenas;
                });
        c.enlace->abrir(config);
        c.enlace->sondea(100, 6);
    }
    const auto listos = [&] {
        bool todos = true;
        for (Caso& c : casos) {
            if (!c.tardiaEnviada && c.par->proceso().readAllStandardOutput().contains("late sent"))
                c.tardiaEnviada = true;
            todos = todos && c.listo();
        }
        return todos;
    };
    const bool terminaron = QTest::qWaitFor(listos, 60000);
    QStringList problemas;
    for (Caso& c : casos) {
        c.enlace.reset();
        if (!c.malas.isEmpty())
            problemas << c.nombre() + u'\n' + c.malas.join(u'\n');
        if (!terminaron && !c.listo())
            problemas << c.nombre() + QStringLiteral(": %1 lecturas, %2 buenas tras la tardía")
                                          .arg(c.lecturas)
                                          .arg(c.buenas);
    }
    QVERIFY2(problemas.isEmpty(), qPrintable(problemas.join(u'\n')));
}

// Finding the indicator: only the id that answers is named, on TCP and on a
// serial line (where the first speed that answers ends the search); then
// reading it by that id.
void TstLinkTools::scan()
{
    Simulador tcp({"--tcp", "0", "--id", "7"});
    Salida s = diag({"--tcp", tcp.destino(), "--ids", "1-12", "scan"});
    QCOMPARE(s.codigo, 0);
    QVERIFY2(s.out.contains(QLatin1String("Explorando ids 1 a 12 (12 pruebas, como mucho ")), qPrintable(s.out));
    QCOMPARE(s.out.count(QLatin1String("Responde")), 1);
    QVERIFY2(s.out.contains(QLatin1String("Responde el id 7.")), qPrintable(s.out));

    s = diag({"--tcp", tcp.destino(), "--ids", "1-3", "scan"});
    QCOMPARE(s.codigo, 1);
    QVERIFY(s.err.contains(QStringLiteral("Ningún id respondió.")));
    s = diag({"--tcp", tcp.destino(), "--ids", "7-7", "scan"});
    QVERIFY2(s.codigo == 0 && s.out.contains(QLatin1String("Responde el id 7.")), qPrintable(s.out + s.err));

    // The id found, named in a program directory's Tolvex.ini: read with no
    // link arguments; a port that is not a number refused.
    DirectorioDePrueba dir;
    const QString g = QStringLiteral("global");
    for (const auto& [clave, valor] : {std::pair<const char*, QString>{"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"},
                                       {"Port_1", tcp.primera().section(u' ', 1)}, {"ID_1", "7"}, {"Decimales_1", "2"}})
        Config::GuardaConfig(g, QLatin1String(clave), valor);
    s = diag({"read"}, dir.path());
    QCOMPARE(s.codigo, 0);
    QCOMPARE(valor(s.out, "CFino"), QStringLiteral("10.00"));
    Config::GuardaConfig(g, QStringLiteral("Port_1"), QStringLiteral("tres mil"));
    s = diag({"read"}, dir.path());
    QCOMPARE(s.codigo, 1);
    QVERIFY2(s.err.contains(QLatin1String("No se pudo abrir el puerto.")), qPrintable(s.err));

    // An indicator that refuses the read has answered all the same.
    Par rechaza({"exception", "0"});
    QVERIFY(rechaza.listo());
    s = diag({"--tcp", rechaza.destino(), "--ids", "1-1", "scan"});
    QCOMPARE(s.codigo, 0);
    QVERIFY2(s.out.contains(QStringLiteral("Responde el id 1 (excepción 2, dirección no válida).")),
             qPrintable(s.out));

    Simulador pty({"--pty", "--id", "3"});
    QVERIFY2(pty.primera().startsWith(QLatin1String("/dev/")), qPrintable(pty.primera()));
    s = diag({"--serial", pty.primera(), "--ids", "2-4", "scan"});
    QCOMPARE(s.codigo, 0);
    QVERIFY2(s.out.contains(QLatin1String("a 6 velocidades")), qPrintable(s.out));
    QCOMPARE(s.out.count(QLatin1String("Responde")), 1);
    QVERIFY2(s.out.contains(QLatin1String("Responde el id 3 a 19200 baudios.")), qPrintable(s.out));

    // The id found, read and commanded over that serial line.
    s = diag({"--serial", pty.primera(), "--baud", "9600", "--id", "3", "read"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(valor(s.out, "CGrueso"), QStringLiteral("900"));
    QCOMPARE(diag({"--serial", pty.primera(), "--id", "3", "command", "w"}).codigo, 0);
    QCOMPARE(valor(diag({"--serial", pty.primera(), "--id", "3", "read"}).out, "Salidas"),
             QString::number(0x02 | 0x40));
}

// A bus of three indicators on one simulator: scan names exactly those that
// answer, on TCP and on a serial line; a silent one is not named, and id 0
// (a broadcast on a bus of several) gets no reply.
void TstLinkTools::scanDeUnBus()
{
    Simulador tcp({"--tcp", "0", "--ids", "2,5-6"});
    Salida s = diag({"--tcp", tcp.destino(), "--ids", "1-9", "scan"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(s.out.count(QLatin1String("Responde el id")), 3);
    for (const char* id : {"2", "5", "6"})
        QVERIFY2(s.out.contains(QStringLiteral("Responde el id %1.").arg(QLatin1String(id))), qPrintable(s.out));
    QVERIFY2(s.out.contains(QStringLiteral("Ids que responden: 2, 5, 6. Exploración de ")), qPrintable(s.out));
    s = diag({"--tcp", tcp.destino(), "--id", "5", "read"});
    QCOMPARE(s.codigo, 0);
    s = diag({"--tcp", tcp.destino(), "--id", "0", "--timeout", "100", "read"});
    QCOMPARE(s.codigo, 1);

    Simulador pty({"--pty", "--ids", "3-5", "--silent-ids", "4"});
    QVERIFY2(pty.primera().startsWith(QLatin1String("/dev/")), qPrintable(pty.primera()));
    s = diag({"--serial", pty.primera(), "--baud", "19200", "--ids", "1-8", "scan"});
    QCOMPARE(s.codigo, 0);
    QCOMPARE(s.out.count(QLatin1String("Responde el id")), 2);
    QVERIFY2(s.out.contains(QStringLiteral("Ids que responden: 3, 5. Exploración de ")), qPrintable(s.out));
}

void TstLinkTools::simArgumentosMalos_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mensaje");
    for (const char* v : {"nan", "inf", "-inf", "-1", "0", "1e9", "rapido"})
        QTest::addRow("speed %s", v) << QStringList{"--tcp", "0", "--speed", v}
                                     << "--speed espera un factor mayor que 0 y hasta 100000";
    QTest::newRow("unknown option")
        << QStringList{"--tcp", "0", "--bogus"} << "opción desconocida: --bogus";
    QTest::newRow("no value") << QStringList{"--tcp"} << "--tcp espera un puerto de 0 a 65535";
    QTest::newRow("id 248") << QStringList{"--pty", "--id", "248"}
                            << "--id espera un número de 1 a 247";
    QTest::newRow("tcp and pty") << QStringList{"--tcp", "0", "--pty"}
                                 << "indique --tcp PUERTO o --pty";
    QTest::newRow("extra") << QStringList{"--pty", "sobra"} << "sobra un argumento: sobra";
    for (const char* v : {"0", "248", "3-1", "1,,2", "1-2-3", "uno"})
        QTest::addRow("ids %s", v) << QStringList{"--pty", "--ids", v}
                                   << "--ids espera ids de 1 a 247 como 1,2,5 o 1-4";
    QTest::newRow("silent id not simulated")
        << QStringList{"--pty", "--ids", "1-3", "--silent-ids", "4"} << "el id 4 no está entre los simulados";
    QTest::newRow("baud 0") << QStringList{"--pty", "--baud", "0"} << "--baud espera una velocidad de 50 a 4000000";
    QTest::newRow("exception 0") << QStringList{"--pty", "--exception", "0"} << "--exception espera un código de 1 a 255";
    QTest::newRow("reply id 248") << QStringList{"--pty", "--reply-id", "248"} << "--reply-id espera un id de 1 a 247";
    QTest::newRow("help") << QStringList{"--tcp", "0", "--help"} << QString();
}

// Usage errors exit 2 and say what was wrong, in Spanish, before the help;
// the help alone exits 0.
void TstLinkTools::simArgumentosMalos()
{
    QFETCH(QStringList, args);
    QFETCH(QString, mensaje);
    QProcess p;
    p.start(programa("tolvex-sim"), args);
    QVERIFY(p.waitForFinished(kEspera));
    if (mensaje.isEmpty()) {
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().startsWith("uso: tolvex-sim (--tcp PUERTO | --pty)"));
        return;
    }
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.startsWith(QStringLiteral("tolvex-sim: ") + mensaje +
                            QStringLiteral("\n\nuso: tolvex-sim ")),
             qPrintable(err));
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

// The demo with its port taken by another program stops and says so; it
// never prepares a program directory pointing at that program.
void TstLinkTools::demoConPuertoOcupado()
{
    QTcpServer otro;
    QVERIFY(otro.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir tmp;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TOLVEX_DEMO_PORT", QString::number(otro.serverPort()));
    env.insert("TOLVEX_DEMO_PREFIX", qEnvironmentVariable("TOLVEX_BIN_DIR"));
    env.insert("TOLVEX_DEMO_DIR", tmp.filePath("planta"));
    env.insert("TOLVEX_DEMO_SKIP_BUILD", "1");
    env.insert("DISPLAY", ":99");
    p.setProcessEnvironment(env);
    // Its own process group, so that nothing it started outlives a failure.
    p.setChildProcessModifier([] { ::setsid(); });
    // The demo's error output once it has stopped on its own, or nothing.
    auto demo = [&p]() -> std::optional<QString> {
        p.start("/bin/sh", {QStringLiteral(TOLVEX_TESTS_DIR "/../scripts/demo.sh")});
        p.waitForFinished(60000);
        if (p.state() == QProcess::NotRunning)
            return QString::fromUtf8(p.readAllStandardError());
        ::kill(-pid_t(p.processId()), SIGKILL);
        p.waitForFinished();
        return std::nullopt;
    };
    const QString err = demo().value_or(QStringLiteral("<sin terminar>"));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY2(err.contains(QStringLiteral("no pudo escuchar en 127.0.0.1:%1").arg(otro.serverPort())),
             qPrintable(err));
    QVERIFY2(err.contains(QLatin1String("TOLVEX_DEMO_PORT=")), qPrintable(err));
    QVERIFY(!QFileInfo::exists(tmp.filePath("planta/Tolvex.ini")));

    // A directory prepared for another port is not pointed at this one.
    QProcess setup;
    setup.start(programa("tolvex-setup"), {tmp.filePath("planta"), "--tcp", "127.0.0.1:15999", "--id", "1"});
    QVERIFY(setup.waitForFinished(60000));
    QCOMPARE(setup.exitCode(), 0);
    otro.close();
    const QString err2 = demo().value_or(QStringLiteral("<sin terminar>"));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY2(err2.contains(QStringLiteral("ya está preparado para el puerto 15999")), qPrintable(err2));
    QVERIFY2(err2.contains(QLatin1String("TOLVEX_DEMO_PORT=15999")), qPrintable(err2));
}

QTEST_GUILESS_MAIN(TstLinkTools)
#include "tst_link_tools.moc"

// A line of a program directory's Tolvex.ini, named by --linea and --dir from
// anywhere: the tool says which line and link it read, and why the indicator
// did not answer; a line that is not in the file is refused.
void TstLinkTools::lineaDeUnDirectorio()
{
    Simulador bueno({"--tcp", "0", "--id", "7"});
    Simulador otro5({"--tcp", "0", "--reply-id", "5"});
    QVERIFY(bueno.listo() && otro5.listo());
    DirectorioDePrueba dir;
    const QString g = QStringLiteral("global");
    for (const auto& [clave, valor] :
         {std::pair<const char*, QString>{"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"},
          {"Port_1", otro5.primera().section(u' ', 1)}, {"ID_1", "1"}, {"Comunicacion_3", "1"},
          {"Host_3", "127.0.0.1"}, {"Port_3", bueno.primera().section(u' ', 1)}, {"ID_3", "7"},
          {"Decimales_3", "2"}, {"Nombre_3", "Molino"}})
        QVERIFY(Config::GuardaConfig(g, QLatin1String(clave), valor));
    DirectorioDePrueba otro; // run from elsewhere

    Salida s = diag({"--dir", dir.path(), "--linea", "3", "read"}, otro.path());
    QVERIFY2(s.codigo == 0, qPrintable(s.err));
    QCOMPARE(valor(s.out, "CFino"), QStringLiteral("10.00"));
    QVERIFY2(s.err.startsWith(QStringLiteral("Línea 3 (Molino) de ")) &&
                 s.err.endsWith(QStringLiteral("Tolvex.ini: TCP %1, id 7.\n").arg(bueno.destino())),
             qPrintable(s.err));

    s = diag({"--dir", dir.path(), "read"}, otro.path());
    QCOMPARE(s.codigo, 1);
    QVERIFY2(s.err.startsWith(QStringLiteral("Línea 1 de ")) &&
                 s.err.contains(QStringLiteral("Tolvex.ini: TCP %1, id 1.\n").arg(otro5.destino())) &&
                 s.err.endsWith(QStringLiteral("El indicador no responde (respondió el id 5).\n")),
             qPrintable(s.err));

    for (const char* n : {"2", "17"}) {
        s = diag({"--linea", QLatin1String(n), "read"}, dir.path());
        QCOMPARE(s.codigo, 2);
        QVERIFY2(s.err.contains(QStringLiteral("la línea %1 no existe en ").arg(QLatin1String(n))) &&
                     s.err.endsWith(QStringLiteral("Tolvex.ini (líneas: 1, 3).\n")) && s.out.isEmpty(),
                 qPrintable(s.err));
    }
    s = diag({"--dir", dir.file(QStringLiteral("no-existe")), "read"}, otro.path());
    QCOMPARE(s.codigo, 2);
    QVERIFY2(s.err.contains(QStringLiteral("no existe el directorio")), qPrintable(s.err));
}
