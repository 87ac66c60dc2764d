// Why a whole-state read failed, as the link reports it with the reading:
// each kind produced by a real peer (the simulator with its faults over TCP
// and a pseudo-terminal, a port nobody listens on, a peer that hangs up,
// pymodbus refusing an address it does not serve).
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "Indicador.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"
#include "Trama.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

constexpr int kRespuesta = 200;
constexpr int kSilencio = 50;

ConfigEnlace tcp(quint16 puerto)
{
    return {.comunicacion = 1, .host = QStringLiteral("127.0.0.1"), .puerto = puerto, .id = 1,
            .esperaMs = kRespuesta, .silencioMs = kSilencio};
}

// One whole-state read through an Enlace (worker thread, transport,
// register algorithms), as the station polls; the reading it delivers.
LecturaPeso leeUna(Enlace& enlace)
{
    QSignalSpy lista(&enlace, &Enlace::lecturaLista);
    if (!enlace.leer(1) || !lista.wait(kEspera))
        return {};
    return lista.at(0).at(0).value<LecturaPeso>();
}

LecturaPeso leeUna(const ConfigEnlace& c)
{
    Enlace enlace;
    enlace.abrir(c);
    return leeUna(enlace);
}

// The link's settings for the simulator, on TCP or its pseudo-terminal.
ConfigEnlace config(const SimuladorEnHilo& sim)
{
    ConfigEnlace c = tcp(sim.puerto());
    if (!sim.dispositivo().isEmpty()) {
        c.comunicacion = 0;
        c.dispositivo = sim.dispositivo();
    }
    return c;
}

} // namespace

Q_DECLARE_METATYPE(FallosSimulados)

class TstLinkFallas : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void delSimulador_data();
    void delSimulador();
    void sinConexion();
    void pymodbusRechazaLaDireccion();
};

void TstLinkFallas::delSimulador_data()
{
    QTest::addColumn<bool>("pty");
    QTest::addColumn<FallosSimulados>("fallos");
    QTest::addColumn<int>("fallo");
    QTest::addColumn<int>("dato");
    QTest::addColumn<QString>("texto");
    for (const bool pty : {false, true}) {
        const char* n = pty ? "pty" : "tcp";
        QTest::addRow("silencio %s", n) << pty << FallosSimulados{.mudo = true} << int(Trama::Fallo::SinRespuesta)
                                        << 0 << QStringLiteral("sin respuesta");
        QTest::addRow("crc %s", n) << pty << FallosSimulados{.corrupcion = 1} << int(Trama::Fallo::Crc) << 0
                                   << QStringLiteral("CRC incorrecto");
        QTest::addRow("otro id %s", n) << pty << FallosSimulados{.otroId = 5} << int(Trama::Fallo::Esclavo) << 5
                                       << QStringLiteral("respondió el id 5");
        QTest::addRow("excepción %s", n) << pty << FallosSimulados{.excepcion = 2} << int(Trama::Fallo::Excepcion)
                                         << 2 << QStringLiteral("excepción 2, dirección no válida");
    }
    QTest::addRow("excepción sin nombre") << false << FallosSimulados{.excepcion = 11}
                                          << int(Trama::Fallo::Excepcion) << 11 << QStringLiteral("excepción 11");
}

// The kind comes with the failed reading and leaves with the next good one.
void TstLinkFallas::delSimulador()
{
    QFETCH(bool, pty);
    QFETCH(FallosSimulados, fallos);
    QFETCH(int, fallo);
    QFETCH(int, dato);
    QFETCH(QString, texto);
    SimuladorEnHilo sim(IndicadorSimulado::Parametros{.dispersion = 0}, 1, pty);
    QVERIFY(sim.ok());
    Enlace enlace;
    enlace.abrir(config(sim));
    QVERIFY(leeUna(enlace).valida());
    sim.fallos(fallos);
    const LecturaPeso mala = leeUna(enlace);
    QVERIFY(!mala.valida());
    QCOMPARE((std::pair{int(mala.falla.fallo), mala.falla.dato}), (std::pair{fallo, dato}));
    QCOMPARE(mala.falla.texto(), texto);
    sim.fallos({});
    const LecturaPeso buena = leeUna(enlace);
    QVERIFY(buena.valida());
    QVERIFY2(!buena.falla.hay(), qPrintable(buena.falla.texto()));
}

// TCP without an indicator behind it: refused, or accepted and hung up at
// once (a gateway whose serial side is down does that). Neither is taken for
// a silent indicator.
void TstLinkFallas::sinConexion()
{
    quint16 libre = 0;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        libre = s.serverPort();
    }
    LecturaPeso l = leeUna(tcp(libre));
    QVERIFY(!l.valida());
    QCOMPARE(l.falla.fallo, Trama::Fallo::ConexionRechazada);
    QCOMPARE(l.falla.texto(), QStringLiteral("conexión rechazada"));

    QTcpServer cuelga;
    QVERIFY(cuelga.listen(QHostAddress::LocalHost, 0));
    int aceptadas = 0;
    connect(&cuelga, &QTcpServer::newConnection, &cuelga, [&] {
        while (QTcpSocket* s = cuelga.nextPendingConnection()) {
            ++aceptadas;
            s->close();
            s->deleteLater();
        }
    });
    l = leeUna(tcp(cuelga.serverPort()));
    QVERIFY(!l.valida());
    QVERIFY(aceptadas > 0);
    QCOMPARE(l.falla.fallo, Trama::Fallo::ConexionCerrada);
    QCOMPARE(l.falla.texto(), QStringLiteral("conexión cerrada"));
}

// An indicator nobody here wrote: pymodbus serving registers up to 14300
// refuses the block at 14379 with exception 2; the blocks before it are read.
void TstLinkFallas::pymodbusRechazaLaDireccion()
{
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess esclavo;
    esclavo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    esclavo.start(python, {QStringLiteral(TOLVEX_TESTS_DIR "/link_pymodbus_corto.py"), QStringLiteral("0"),
                           QStringLiteral("14300")});
    QDeadlineTimer limite(kEspera);
    while (!esclavo.canReadLine() && esclavo.state() != QProcess::NotRunning && !limite.hasExpired())
        esclavo.waitForReadyRead(100);
    const QString linea = QString::fromUtf8(esclavo.readLine()).trimmed();
    if (!linea.startsWith(QLatin1String("tcp ")))
        QSKIP("pymodbus does not start here");
    const LecturaPeso l = leeUna(tcp(quint16(linea.section(u' ', 1).toUInt())));
    esclavo.terminate();
    esclavo.waitForFinished(5000);
    QVERIFY(!l.valida());
    QCOMPARE((std::pair{l.falla.fallo, l.falla.dato}), (std::pair{Trama::Fallo::Excepcion, 2}));
    // The dispatch preset (14204, 14205) was read before the refusal.
    QCOMPARE(l.Despacho, double(quint32(quint16(14204 * 7 + 3)) | quint32(quint16(14205 * 7 + 3)) << 16));
}

QTEST_GUILESS_MAIN(TstLinkFallas)
#include "tst_link_fallas.moc"
