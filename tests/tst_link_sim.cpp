// The link against the simulated indicator speaking real RTU frames over TCP
// on loopback and over a pseudo-terminal.
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "Indicador.h"
#include "LinkWorker.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"
#include "TestSupport.h"
#include "Trama.h"
#include "TransporteSerie.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {

// Short waits keep the fault tests quick; one test uses the real 2000 ms.
constexpr int kRespuesta = 200;
constexpr int kSilencio = 100;

// The simulator on its own thread, so that blocking link code in the test
// thread can talk to it.
class Banco
{
public:
    explicit Banco(bool pty, IndicadorSimulado::Parametros p = {}, quint8 id = 1, QList<quint8> otros = {},
                   int baudios = 0)
        : m_indicador(p)
    {
        m_servidor = new ServidorRtu(m_indicador, id);
        for (quint8 n : otros) {
            m_otros.push_back({n, std::make_unique<IndicadorSimulado>(p)});
            m_servidor->agrega(*m_otros.back().second, n);
        }
        m_servidor->setBaudios(baudios);
        m_servidor->moveToThread(&m_hilo);
        m_hilo.start();
        enHilo([&] { m_ok = pty ? m_servidor->abrePty() : m_servidor->escuchaTcp(0); });
    }
    ~Banco()
    {
        enHilo([&] { delete m_servidor; });
        m_hilo.quit();
        m_hilo.wait();
    }
    bool ok() const { return m_ok; }
    void fallos(const FallosSimulados& f) { enHilo([&] { m_servidor->setFallos(f); }); }
    void desconecta() { enHilo([&] { m_servidor->desconectaClientes(); }); }
    template <typename F>
    void enHilo(F f)
    {
        QMetaObject::invokeMethod(m_servidor, f, Qt::BlockingQueuedConnection);
    }
    ServidorRtu& servidor() { return *m_servidor; }
    IndicadorSimulado& indicador() { return m_indicador; }
    IndicadorSimulado& indicador(quint8 id)
    {
        for (auto& [n, ind] : m_otros)
            if (n == id)
                return *ind;
        return m_indicador;
    }
    void fallosDe(quint8 id, const FallosSimulados& f) { enHilo([&] { m_servidor->setFallosDe(id, f); }); }

    ConfigEnlace config(quint8 id) const
    {
        ConfigEnlace c = config();
        c.id = id;
        return c;
    }
    ConfigEnlace config() const
    {
        ConfigEnlace c;
        if (m_servidor->dispositivo().isEmpty()) {
            c.comunicacion = 1;
            c.host = QStringLiteral("127.0.0.1");
            c.puerto = m_servidor->puerto();
        } else {
            c.dispositivo = m_servidor->dispositivo();
        }
        c.id = 1;
        c.decimales = 1;
        c.esperaMs = kRespuesta;
        c.silencioMs = kSilencio;
        return c;
    }
    std::unique_ptr<Transporte> transporte() const { return config().creaTransporte(); }

    // Distinct values in every field, with the process clock stopped.
    void cargaValores()
    {
        m_indicador.setReloj(false);
        m_indicador.setRegistro(Indicador::kCError, 0);
        const std::pair<quint16, quint32> valores[] = {
            {Indicador::kPeso, quint32(-125)}, {Indicador::kDespacho, 50000}, {Indicador::kCGrueso, 900},
            {Indicador::kCFino, 1000}, {Indicador::kCaudal, 321}, {Indicador::kResto, 4321},
            {Indicador::kCCiclos, 77}, {Indicador::kUlTotal, 0x80000001u}, {Indicador::kUlBatch, 1002},
            {Indicador::kTotal, 99999}, {Indicador::kTotalF, 123456}};
        for (const auto& [registro, valor] : valores)
            m_indicador.setValor32(registro, valor);
    }
    static void compruebaValores(const LecturaPeso& l)
    {
        QCOMPARE((QList<double>{l.Peso, l.Despacho, l.CGrueso, l.CFino, l.Caudal, l.Resto, l.UlTotal, l.UlBatch,
                                l.Total, l.TotalF}),
                 (QList<double>{-12.5, 5000, 90, 100, 32.1, 432.1, 214748364.9, 100.2, 9999.9, 12345.6}));
        QCOMPARE((QList<qint64>{l.CCiclos, l.Modo, l.Salidas}), (QList<qint64>{77, 0, 2}));
    }

private:
    IndicadorSimulado m_indicador;
    std::vector<std::pair<quint8, std::unique_ptr<IndicadorSimulado>>> m_otros;
    QThread m_hilo;
    ServidorRtu* m_servidor = nullptr;
    bool m_ok = false;
};

IndicadorSimulado::Parametros rapido(double velocidad, int decimales = 0)
{
    return {.decimales = decimales, .velocidad = velocidad};
}

} // namespace

Q_DECLARE_METATYPE(FallosSimulados)

class TstLinkSim : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lecturaYEscritura_data();
    void lecturaYEscritura();
    void fallos_data();
    void fallos();
    void enlaceColaYComandos();
    void sinIndicador();
    void indicadorMudo36s();
    void procesoDeLotes();
    void ultimoLoteAlResto_data();
    void ultimoLoteAlResto();
    void comandosDelIndicador();
    void busCompartido_data();
    void busCompartido();
    void busConMudo_data();
    void busConMudo();
    void dosMudos_data();
    void dosMudos();
    void busesEnParalelo();
    void escrituraEntreBloques();
    void busAlRitmo();
};

void TstLinkSim::lecturaYEscritura_data()
{
    QTest::addColumn<bool>("pty");
    QTest::newRow("tcp") << false;
    QTest::newRow("pty") << true;
}

void TstLinkSim::lecturaYEscritura()
{
    QFETCH(bool, pty);
    Banco banco(pty, rapido(1, 1));
    QVERIFY(banco.ok());
    banco.cargaValores();
    auto t = banco.transporte();
    QString error;
    QVERIFY2(t->abrir(&error), qPrintable(error));
    Indicador ind(*t, 1, 1);

    LecturaPeso l;
    ind.LeePeso(l);
    QVERIFY(l.valida());
    Banco::compruebaValores(l);
    // Five requests, and the first accumulator again in one request.
    QCOMPARE(ind.intercambios(), 6);
    ind.LeePeso(l);
    QVERIFY(l.valida());
    QCOMPARE(ind.intercambios(), 11);

    // Stale bytes left on the line before an exchange are discarded.
    QCOMPARE(ind.Escribir(Indicador::kTotalF, Trama::cadena32(-2)), Trama::cadena32(-2));
    QCOMPARE(banco.indicador().valor32(Indicador::kTotalF), 0xFFFFFFFEu);
    const QByteArray tres = Trama::cadena32(10) + Trama::cadena32(5) + Trama::cadena32(9);
    QCOMPARE(ind.Escribir(14204, tres), tres);
    QCOMPARE((QList<quint32>{banco.indicador().valor32(14204), banco.indicador().valor32(14206),
                             banco.indicador().valor32(14208)}), (QList<quint32>{10, 5, 9}));
    QCOMPARE(ind.Leer(14204, 6), tres);

    // Requests addressed to 0 are answered too; other ids are not.
    QVERIFY(!ind.RxD(0, 14204, 2).isEmpty());
    QVERIFY(ind.RxD(9, 14204, 2).isEmpty());

    // Noise on the line: a request with a bad CRC gets no answer, and the
    // good one after it is answered.
    QByteArray malo = Trama::pedidoLectura(1, 0, 2);
    malo[7] = char(malo[7] ^ 0x01);
    QVERIFY(t->intercambio(malo, Trama::largoLectura(2)).isEmpty());
    QVERIFY(Trama::verificaLectura(t->intercambio(Trama::pedidoLectura(1, 0, 2), Trama::largoLectura(2)), 1, 2).ok());
    // A read of no register is refused, as an indicator refuses it.
    const auto cero = Trama::verificaLectura(t->intercambio(Trama::pedidoLectura(1, 0, 0), Trama::largoLectura(0)), 1, 0);
    QCOMPARE(cero.fallo, Trama::Fallo::Excepcion);
    QCOMPARE(cero.excepcion, 3);
}

void TstLinkSim::fallos_data()
{
    QTest::addColumn<bool>("pty");
    QTest::addColumn<FallosSimulados>("f");
    const std::pair<const char*, FallosSimulados> modos[] = {{"drop", {.descarte = 0.3}},
                                                             {"corrupt", {.corrupcion = 0.3}},
                                                             {"late", {.tardia = 0.3}},
                                                             {"surplus", {.sobrante = true}},
                                                             {"split", {.partida = true}}};
    for (bool pty : {false, true})
        for (const auto& [modo, f] : modos)
            if (!pty || !f.partida)
                QTest::addRow("%s %s", pty ? "pty" : "tcp", modo) << pty << f;
}

// Whatever the fault, a read that is reported good holds exactly the
// indicator's values: blocks read at different addresses have different
// contents, so a late reply taken for a later request would show.
void TstLinkSim::fallos()
{
    QFETCH(bool, pty);
    QFETCH(FallosSimulados, f);
    Banco banco(pty, rapido(1, 1));
    banco.cargaValores();
    f.tardiaMs = kRespuesta + kSilencio / 2;
    banco.fallos(f);
    auto t = banco.transporte();
    QVERIFY(t->abrir(nullptr));
    Indicador ind(*t, 1, 1);

    int buenas = 0;
    const int lecturas = f.sobrante ? 2 : 12;
    for (int i = 0; i < lecturas; ++i) {
        LecturaPeso l;
        ind.LeePeso(l);
        if (l.valida()) {
            ++buenas;
            Banco::compruebaValores(l);
        }
    }
    if (f.sobrante) {
        QCOMPARE(buenas, 0);
        QCOMPARE(ind.ultimoFallo(), Trama::Fallo::Longitud);
    } else if (f.partida) {
        QCOMPARE(buenas, lecturas);
    } else {
        QVERIFY(buenas > 0);
        QVERIFY(ind.fallidos() > 0);
    }
    // Writes under the same faults: what is reported written is written.
    const QByteArray v = Trama::cadena32(0x00030004);
    if (!ind.Escribir(Indicador::kTotalF, v).isEmpty())
        QCOMPARE(banco.indicador().valor32(Indicador::kTotalF), 0x00030004u);
}

// One simulator on TCP: the link's queue and its commands; commands while
// most replies are dropped; readings while the connection keeps dropping.
void TstLinkSim::enlaceColaYComandos()
{
    Banco banco(false, rapido(1));
    {
        Enlace enlace;
        QSignalSpy abierto(&enlace, &Enlace::abierto);
        QSignalSpy lista(&enlace, &Enlace::lecturaLista);
        QSignalSpy escrita(&enlace, &Enlace::escrituraLista);
        enlace.abrir(banco.config());
        QVERIFY(abierto.wait(kEspera));
        QCOMPARE(abierto.at(0).at(0).toBool(), true);

        // A poll asked for while one is queued is skipped, not stacked.
        QVERIFY(enlace.leer());
        QVERIFY(!enlace.leer());
        const qint64 antes = banco.servidor().escrituras();
        for (int i = 0; i < 20; ++i)
            enlace.comando('C', i);
        enlace.escribir(Indicador::kDespacho, Trama::cadena32(777), 100);
        QTRY_COMPARE_WITH_TIMEOUT(escrita.size(), 21, kEspera);
        // The writes went out first; the one reading follows them.
        QTRY_COMPARE_WITH_TIMEOUT(lista.size(), 1, kEspera);
        QCOMPARE(lista.at(0).at(1).toInt(), 1);
        QVERIFY(lista.at(0).at(0).value<LecturaPeso>().valida());
        for (int i = 0; i < 21; ++i) {
            QCOMPARE(escrita.at(i).at(0).toInt(), i < 20 ? i : 100);
            QVERIFY(escrita.at(i).at(1).toBool());
        }
        // Each command written exactly once; the 32-bit value in two writes.
        QCOMPARE(banco.servidor().escrituras() - antes, 22);
        QCOMPARE(banco.indicador().valor32(Indicador::kDespacho), 777u);
        QVERIFY(enlace.leer());
        QVERIFY(lista.wait(kEspera));
        QCOMPARE(lista.at(1).at(0).value<LecturaPeso>().Despacho, 77.7);
    }
    // Polls kept long by the drops: every command still goes out before the
    // next exchange of the poll in progress.
    banco.fallos({.descarte = 0.6});
    {
        Enlace enlace;
        QSignalSpy lista(&enlace, &Enlace::lecturaLista);
        QSignalSpy escrita(&enlace, &Enlace::escrituraLista);
        enlace.abrir(banco.config());
        for (int i = 0; i < 5; ++i) {
            QTRY_VERIFY_WITH_TIMEOUT(!enlace.lecturaPendiente(), 60000);
            const qint64 antes = banco.servidor().pedidos();
            QVERIFY(enlace.leer());
            QTRY_VERIFY_WITH_TIMEOUT(banco.servidor().pedidos() > antes + 1, kEspera);
            const qint64 n0 = banco.servidor().pedidos();
            enlace.comando('C', i);
            // The exchange under way when it was queued (counted by now, or
            // not yet received) is the only one before it.
            const qint64 n1 = banco.servidor().pedidos();
            QTRY_COMPARE_WITH_TIMEOUT(escrita.size(), i + 1, kEspera);
            qint64 primera = 0;
            for (qint64 k : banco.servidor().ordenDeEscrituras())
                if (k > n0 && primera == 0)
                    primera = k;
            QVERIFY2(primera > n0 && primera <= n1 + 2,
                     qPrintable(QStringLiteral("%1 %2 %3").arg(n0).arg(n1).arg(primera)));
        }
    }
    // Connections dropped every 0.3 s: most readings come, all with the values.
    banco.cargaValores();
    banco.fallos({.desconectaCada = 0.3});
    Enlace enlace;
    QSignalSpy lista(&enlace, &Enlace::lecturaLista);
    enlace.abrir(banco.config());
    int buenas = 0;
    for (int i = 0; i < 15; ++i) {
        QVERIFY(enlace.leer());
        QVERIFY(lista.wait(30000));
        const auto l = lista.takeFirst().at(0).value<LecturaPeso>();
        if (l.valida()) {
            ++buenas;
            Banco::compruebaValores(l);
        }
    }
    QVERIFY(buenas >= 10);
}

// Nobody to talk to: a host that refuses the connection, a serial port that
// does not exist.
void TstLinkSim::sinIndicador()
{
    quint16 libre = 0;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        libre = s.serverPort();
    }
    ConfigEnlace c{.comunicacion = 1, .host = QStringLiteral("127.0.0.1"), .puerto = libre, .esperaMs = 100,
                   .silencioMs = 50};
    Enlace enlace;
    QSignalSpy abierto(&enlace, &Enlace::abierto);
    QSignalSpy lista(&enlace, &Enlace::lecturaLista);
    enlace.abrir(c);
    QVERIFY(enlace.leer(2));
    QVERIFY(lista.wait(kEspera));
    QCOMPARE(abierto.at(0).at(0).toBool(), true); // the station still loads
    QVERIFY(!lista.at(0).at(0).value<LecturaPeso>().valida());
    QCOMPARE(lista.at(0).at(1).toInt(), 2);

    ConfigEnlace serie;
    serie.dispositivo = QStringLiteral("/dev/tolvex-no-existe");
    Enlace sinPuerto;
    QSignalSpy fallido(&sinPuerto, &Enlace::abierto);
    sinPuerto.abrir(serie);
    QVERIFY(fallido.wait(kEspera));
    QCOMPARE(fallido.at(0).at(0).toBool(), false);
    QCOMPARE(fallido.at(0).at(1).toString(), QStringLiteral("No se pudo abrir el puerto."));
    QCOMPARE(fallido.at(0).at(2).toString(), QStringLiteral("/dev/tolvex-no-existe: el puerto no existe."));
    // Jobs after a failed opening fail at once instead of waiting.
    QSignalSpy escrita(&sinPuerto, &Enlace::escrituraLista);
    sinPuerto.comando('V', 7);
    QVERIFY(escrita.wait(kEspera));
    QCOMPARE(escrita.at(0).at(1).toBool(), false);
}

// A silent indicator with the real 2000 ms wait. A link closed during its
// first wait sends no retry. Six whole-state reads (about 36 s): the caller's
// event loop keeps running all along, a second poll is refused meanwhile, and
// a stop goes out right after the exchange in progress, its failure reported
// long before the poll ends.
void TstLinkSim::indicadorMudo36s()
{
    Banco banco(false);
    banco.fallos({.mudo = true});
    ConfigEnlace c = banco.config();
    c.esperaMs = 2000;
    c.silencioMs = 250;
    {
        Enlace cerrado;
        QSignalSpy leida(&cerrado, &Enlace::lecturaLista);
        cerrado.abrir(c);
        QVERIFY(cerrado.leer());
        QTRY_COMPARE_WITH_TIMEOUT(banco.servidor().pedidos(), 1, kEspera);
        cerrado.cerrar();
        // The stop cut the first wait short: no retry was sent, no result came.
        QCOMPARE(banco.servidor().pedidos(), 1);
        QVERIFY(!cerrado.activo());
        QVERIFY(!cerrado.leer());
        QCoreApplication::processEvents();
        QCOMPARE(leida.size(), 0);
    }
    Enlace enlace;
    QSignalSpy lista(&enlace, &Enlace::lecturaLista);
    QSignalSpy escrita(&enlace, &Enlace::escrituraLista);
    int lecturasAlFallar = -1;
    QElapsedTimer desdeElComando;
    connect(&enlace, &Enlace::escrituraLista, this, [&] {
        lecturasAlFallar = int(lista.size());
        qInfo("command failure reported after %lld ms", desdeElComando.elapsed());
    });
    enlace.abrir(c);
    int ticks = 0;
    int polls = 0;
    QVERIFY(enlace.leer());
    QTRY_COMPARE_WITH_TIMEOUT(banco.servidor().pedidos(), 1 + 2, kEspera); // the second exchange waits
    desdeElComando.start();
    enlace.comando('X', 1);
    QTimer reloj;
    connect(&reloj, &QTimer::timeout, this, [&] {
        ++ticks;
        if (enlace.leer())
            ++polls;
    });
    connect(&enlace, &Enlace::lecturaLista, &reloj, &QTimer::stop);
    reloj.start(100);
    QTRY_VERIFY_WITH_TIMEOUT(lista.size() == 1, 90000);
    QCOMPARE(banco.servidor().ordenDeEscrituras(), (QList<qint64>{1 + 3, 1 + 4, 1 + 5}));
    QCOMPARE(escrita.size(), 1);
    QCOMPARE(escrita.at(0).at(1).toBool(), false);
    QCOMPARE(lecturasAlFallar, 0);
    QCOMPARE(polls, 0);
    QVERIFY(!lista.at(0).at(0).value<LecturaPeso>().valida());
    QCOMPARE(lista.at(0).at(1).toInt(), 6);
    qInfo("poll ended after %lld ms", desdeElComando.elapsed());
    // Each of the six reads ends at its first block after 3 tries.
    QCOMPARE(banco.servidor().pedidos(), 1 + 18 + 3);
    QVERIFY2(ticks > 100, qPrintable(QString::number(ticks)));
}

void TstLinkSim::procesoDeLotes()
{
    Banco banco(false, rapido(500, 1));
    auto& sim = banco.indicador();
    Enlace enlace;
    QSignalSpy lista(&enlace, &Enlace::lecturaLista);
    QSignalSpy escrita(&enlace, &Enlace::escrituraLista);
    enlace.abrir(banco.config());
    // Programming as the station does it: preset, coarse, fine, then TotalF.
    enlace.escribir(Indicador::kDespacho, Trama::cadena32(200000) + Trama::cadena32(9000) +
                                              Trama::cadena32(10000), 1);
    enlace.escribir(Indicador::kTotalF, Trama::cadena32(200000), 2);
    enlace.comando('V', 3);
    QTRY_COMPARE_WITH_TIMEOUT(escrita.size(), 3, kEspera);
    for (const auto& e : escrita)
        QVERIFY(e.at(1).toBool());

    QSet<int> modos;
    LecturaPeso l;
    do {
        QVERIFY(enlace.leer());
        QVERIFY(lista.wait(kEspera));
        l = lista.takeLast().at(0).value<LecturaPeso>();
        QVERIFY(l.valida());
        modos.insert(l.Modo);
        QVERIFY(l.Modo >= 0 && l.Modo <= 4);
        // A batch is a full fine cut, or the dispatch's last one cut to what was
        // left (the blocks of one read may straddle that batch's end).
        QVERIFY2(l.UlBatch == 0 || qAbs(l.UlBatch - 1000.0) <= 10.0 || l.UlBatch <= l.Resto + 10.0 || l.Resto == 0,
                 qPrintable(QStringLiteral("%1 %2").arg(l.UlBatch).arg(l.Resto)));
    } while (sim.enMarcha() || modos.size() < 2);
    QVERIFY(!sim.enMarcha());
    QVERIFY(enlace.leer());
    QVERIFY(lista.wait(kEspera));
    l = lista.takeLast().at(0).value<LecturaPeso>();
    // Stopped in stand-by once the accumulator reached TotalF. (A slow run
    // may not have read stand-by before this read.)
    QCOMPARE(l.Modo, 0);
    modos.insert(l.Modo);
    QCOMPARE(modos, (QSet<int>{0, 1, 2, 3, 4}));
    QCOMPARE(l.Salidas & 0x82, 0x02);
    QCOMPARE((QList<double>{l.UlTotal, l.Total, l.Resto}), (QList<double>{20000, 20000, 0}));
    QCOMPARE(qint64(l.CCiclos), sim.lotes());
    QVERIFY(l.CCiclos >= 19 && l.CCiclos <= 21);
    QVERIFY(l.Caudal > 0);
    // Starting again: the dispatch is already done.
    sim.comando('V');
    QCOMPARE(sim.registro(Indicador::kCError), quint16(5));
    QVERIFY(!sim.enMarcha());
}

void TstLinkSim::ultimoLoteAlResto_data()
{
    QTest::addColumn<double>("despacho");
    QTest::addColumn<int>("decimales");
    QTest::newRow("3500") << 3500.0 << 0;
    QTest::newRow("4000 with 1 decimal") << 4000.0 << 1;
    QTest::newRow("2500.5") << 2500.5 << 1;
    QTest::newRow("below one batch") << 950.0 << 0;
}

// A dispatch delivers what was asked: the last batch is only the remainder.
void TstLinkSim::ultimoLoteAlResto()
{
    QFETCH(double, despacho);
    QFETCH(int, decimales);
    IndicadorSimulado sim(rapido(1, decimales));
    sim.setReloj(false);
    sim.programa(despacho, 900, 1000);
    sim.comando('V');
    for (int i = 0; i < 20000 && sim.enMarcha(); ++i)
        sim.avanza(0.5);
    QVERIFY(!sim.enMarcha());
    const double escala = std::pow(10.0, decimales);
    QCOMPARE(sim.valor32(Indicador::kUlTotal) / escala, despacho);
    const auto lotes = qint64(std::ceil(despacho / 1000));
    QVERIFY(sim.lotes() == lotes || sim.lotes() == lotes + 1); // the spread may leave a sliver
    QVERIFY(sim.valor32(Indicador::kUlBatch) / escala <= 1006);
    // A new dispatch carries on from the accumulator (it ends at preset +
    // accumulator); only a general reset brings the accumulator back to 0.
    sim.programa(despacho, 900, 1000);
    QCOMPARE(sim.valor32(Indicador::kUlTotal) / escala, despacho);
    sim.comando('V');
    for (int i = 0; i < 20000 && sim.enMarcha(); ++i)
        sim.avanza(0.5);
    QCOMPARE(sim.valor32(Indicador::kUlTotal) / escala, 2 * despacho);
}

void TstLinkSim::comandosDelIndicador()
{
    IndicadorSimulado sim;
    sim.setReloj(false);
    // Programs refused with their error code, cleared by "C".
    struct Caso { double despacho, grueso, fino; int error; };
    const Caso casos[] = {{0, 900, 60000, 1}, {0, 60000, 1000, 2}, {0, 1100, 1000, 3},
                          {0, 5, 10, 4}, {0, 900, 1000, 0}};
    for (const Caso& c : casos) {
        sim.programa(c.despacho, c.grueso, c.fino);
        sim.comando('V');
        QCOMPARE(int(sim.registro(Indicador::kCError)), c.error);
        QCOMPARE(sim.enMarcha(), c.error == 0);
        QCOMPARE(bool(sim.registro(Indicador::kSalidas) & 0x20), c.error != 0);
        sim.comando('X');
        sim.comando('C');
        QCOMPARE(int(sim.registro(Indicador::kCError)), 0);
    }
    sim.programa(0, 900, 1000);
    sim.comando('V');
    sim.avanza(3);
    QCOMPARE(sim.estado(), 1);
    QCOMPARE(sim.registro(Indicador::kSalidas) & 0x0C, 0x04); // coarse feed
    sim.avanza(2.5);
    QCOMPARE(sim.registro(Indicador::kSalidas) & 0x0C, 0x08); // fine feed
    // "X" stops at once, with the material in the hopper.
    sim.comando('X');
    QCOMPARE(sim.estado(), 0);
    QVERIFY(sim.peso() > 900);
    // "Z" takes zero in stand-by.
    sim.comando('Z');
    QCOMPARE(sim.valor32(Indicador::kPeso), 0u);
    // "W" shows the test weight for a while.
    sim.comando('W');
    QVERIFY(sim.registro(Indicador::kSalidas) & 0x40);
    QVERIFY(sim.valor32(Indicador::kPeso) > 0);
    sim.avanza(5);
    QVERIFY(!(sim.registro(Indicador::kSalidas) & 0x40));
    // "V" while running stops at the end of the cycle.
    sim.comando('V');
    sim.avanza(1);
    sim.comando('V');
    QVERIFY(sim.enMarcha());
    sim.avanza(60);
    QVERIFY(!sim.enMarcha());
    QCOMPARE(sim.lotes(), 1);
    QCOMPARE(sim.valor32(Indicador::kCCiclos), 1u);
}


namespace {

// Each indicator of a bus with values of its own: coarse cut 100 x id,
// TotalF 0.7 x id (one decimal).
void valoresPorId(Banco& banco, const QList<quint8>& ids)
{
    for (quint8 id : ids) {
        IndicadorSimulado& ind = banco.indicador(id);
        ind.setReloj(false);
        ind.setValor32(Indicador::kCGrueso, 1000u * id);
        ind.setValor32(Indicador::kTotalF, 7u * id);
    }
}

bool esDe(const LecturaPeso& l, quint8 id)
{
    return l.CGrueso == 100.0 * id && qFuzzyCompare(l.TotalF, 0.7 * id);
}

// The longest run of consecutive requests to one id, counted from the
// request by which every id of the bus had been asked once: before it, the
// lines whose polling had not started yet (the test's thread may be slow to
// start them) were not due, so one line alone on the bus may run.
int rachaMasLarga(const QList<quint8>& ids)
{
    qsizetype desde = 0;
    QSet<quint8> vistos;
    const QSet<quint8> todos(ids.begin(), ids.end());
    while (desde < ids.size() && vistos.size() < todos.size())
        vistos.insert(ids[desde++]);
    int racha = 0, maxima = 0;
    for (qsizetype i = desde; i < ids.size(); ++i) {
        racha = i > desde && ids[i] == ids[i - 1] ? racha + 1 : 1;
        maxima = std::max(maxima, racha);
    }
    return maxima;
}

// The requests to the ids of mudos, in the bus's order, from the n-th request on.
QList<quint8> pedidosA(const QList<quint8>& ids, qsizetype n, const QSet<quint8>& mudos)
{
    QList<quint8> r;
    for (qsizetype i = n; i < ids.size(); ++i)
        if (mudos.contains(ids[i]))
            r.push_back(ids[i]);
    return r;
}

// The first request from the n-th on to an id not in mudos: from there on no
// whole-state read begun before they fell silent is under way.
qsizetype primeroDeOtro(const QList<quint8>& ids, qsizetype n, const QSet<quint8>& mudos)
{
    while (n < ids.size() && mudos.contains(ids[n]))
        ++n;
    return n;
}

// Whether two requests to one of those ids ever came one after the other.
bool seguidos(const QList<quint8>& ids, qsizetype n, const QSet<quint8>& mudos)
{
    for (qsizetype i = std::max<qsizetype>(n, 1); i < ids.size(); ++i)
        if (mudos.contains(ids[i]) && ids[i] == ids[i - 1])
            return true;
    return false;
}

// Enlaces on one bus, one per id, with a spy on their readings.
struct Puestos
{
    Puestos(Banco& banco, const QList<quint8>& ids)
    {
        for (quint8 id : ids) {
            enlaces.push_back(std::make_unique<Enlace>());
            lecturas.push_back(std::make_unique<QSignalSpy>(enlaces.back().get(), &Enlace::lecturaLista));
            escrituras.push_back(std::make_unique<QSignalSpy>(enlaces.back().get(), &Enlace::escrituraLista));
            enlaces.back()->abrir(banco.config(id));
        }
    }
    int buenas(size_t k) const
    {
        int n = 0;
        for (const auto& a : *lecturas[k])
            n += a.at(0).value<LecturaPeso>().valida();
        return n;
    }
    std::vector<std::unique_ptr<Enlace>> enlaces;
    std::vector<std::unique_ptr<QSignalSpy>> lecturas;
    std::vector<std::unique_ptr<QSignalSpy>> escrituras;
};

} // namespace

void TstLinkSim::busCompartido_data()
{
    lecturaYEscritura_data(); // tcp, pty
}

// Three indicators on one bus, polled as fast as it goes: one transport for
// them all, each Enlace sees its own indicator's values only, the
// indicators take turns, and a command to any of them goes out before the
// next exchange on the bus and reaches that indicator only.
void TstLinkSim::busCompartido()
{
    QFETCH(bool, pty);
    const QList<quint8> ids{1, 2, 3};
    Banco banco(pty, rapido(1, 1), 1, {2, 3});
    QVERIFY(banco.ok());
    valoresPorId(banco, ids);
    Puestos p(banco, ids);
    for (const auto& e : p.enlaces) {
        QCOMPARE(e->indicadoresEnBus(), 3);
        e->sondea(1, 1);
    }
    for (size_t k = 0; k < 3; ++k)
        QTRY_VERIFY_WITH_TIMEOUT(p.buenas(k) >= 5, kEspera);
    // Turns: no indicator has two whole-state reads (five or six exchanges
    // each) in a row.
    const QList<quint8> turnos = banco.servidor().idsDePedidos();
    QVERIFY2(rachaMasLarga(turnos) <= 6, qPrintable(QString::number(rachaMasLarga(turnos))));

    for (int vez = 0; vez < 5; ++vez) {
        const size_t k = size_t(vez % 3);
        const qint64 n0 = banco.servidor().pedidos();
        p.enlaces[k]->escribir(Indicador::kDespacho, Trama::cadena32(5000 + vez), vez);
        const qint64 n1 = banco.servidor().pedidos();
        QTRY_COMPARE_WITH_TIMEOUT(p.escrituras[k]->size(), vez / 3 + 1, kEspera);
        QVERIFY(p.escrituras[k]->last().at(1).toBool());
        qint64 primera = 0;
        for (qint64 n : banco.servidor().ordenDeEscrituras())
            if (n > n0 && primera == 0)
                primera = n;
        QVERIFY2(primera > n0 && primera <= n1 + 2,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(n0).arg(n1).arg(primera)));
        QCOMPARE(banco.indicador(ids[qsizetype(k)]).valor32(Indicador::kDespacho), quint32(5000 + vez));
    }
    // The others kept their own dispatch.
    QCOMPARE(banco.indicador(3).valor32(Indicador::kDespacho), 5002u);
    QCOMPARE(banco.indicador(1).valor32(Indicador::kDespacho), 5003u);
    QCOMPARE(banco.indicador(2).valor32(Indicador::kDespacho), 5004u);
    const int total = int(p.lecturas[0]->size());
    QTRY_VERIFY_WITH_TIMEOUT(p.lecturas[0]->size() >= total + 3, kEspera);
    for (auto& e : p.enlaces)
        e->sondea(0);

    for (size_t k = 0; k < 3; ++k) {
        for (const auto& a : *p.lecturas[k]) {
            const auto l = a.at(0).value<LecturaPeso>();
            QVERIFY2(l.valida() && esDe(l, ids[qsizetype(k)]),
                     qPrintable(QStringLiteral("id %1: %2 %3").arg(ids[qsizetype(k)]).arg(l.CGrueso).arg(l.TotalF)));
        }
    }
    // Closing one leaves the others on the bus, still read.
    p.enlaces[1]->cerrar();
    QCOMPARE(p.enlaces[0]->indicadoresEnBus(), 2);
    // (A poll under way when polling stopped may still come.)
    const qsizetype antes = p.lecturas[2]->size();
    QVERIFY(p.enlaces[2]->leer());
    QTRY_VERIFY_WITH_TIMEOUT(p.lecturas[2]->size() > antes, kEspera);
    QVERIFY(esDe(p.lecturas[2]->last().at(0).value<LecturaPeso>(), 3));
}

void TstLinkSim::busConMudo_data()
{
    lecturaYEscritura_data(); // tcp, pty
}

// One of three indicators stops answering: the others go on being read
// and never fail, and the silent one costs the bus one exchange at a time:
// the poll that finds it silent ends at its first unanswered request and
// each probe is one request, with longer and longer pauses between probes.
// Late replies from one id, with other values, are never taken for
// another's. Once the silent one answers again it is read again, in turn.
void TstLinkSim::busConMudo()
{
    QFETCH(bool, pty);
    const QList<quint8> ids{4, 5, 6};
    Banco banco(pty, rapido(1, 1), 4, {5, 6});
    QVERIFY(banco.ok());
    valoresPorId(banco, ids);
    banco.fallosDe(6, {.tardia = 0.1, .tardiaMs = kRespuesta + kSilencio / 2});
    Puestos p(banco, ids);
    for (const auto& e : p.enlaces)
        e->sondea(20, 6);
    for (size_t k = 0; k < 3; ++k)
        QTRY_VERIFY_WITH_TIMEOUT(p.buenas(k) >= 3, kEspera);

    const qsizetype alCallar = banco.servidor().idsDePedidos().size();
    const int lecturas4 = int(p.lecturas[0]->size());
    QElapsedTimer reloj;
    reloj.start();
    banco.fallosDe(5, {.mudo = true});
    QTRY_VERIFY_WITH_TIMEOUT(!p.lecturas[1]->last().at(0).value<LecturaPeso>().valida(), kEspera);
    // The failed poll, the probe at its next turn, and one after ten failure
    // cycles (5 s here), each one request alone.
    auto desde = [&] { return primeroDeOtro(banco.servidor().idsDePedidos(), alCallar, {5}); };
    QTRY_VERIFY_WITH_TIMEOUT(pedidosA(banco.servidor().idsDePedidos(), desde(), {5}).size() >= 3, kEspera);
    const QList<quint8> orden = banco.servidor().idsDePedidos();
    QVERIFY(!seguidos(orden, desde(), {5}));
    // Then a pause of ten failure cycles at least: while id 4 is read a
    // hundred times more, no more probes than the time allows (a slow
    // machine only makes fewer).
    const int mas4 = p.buenas(0) + 100;
    QTRY_VERIFY_WITH_TIMEOUT(p.buenas(0) >= mas4, kEspera);
    const qint64 ms = reloj.elapsed();
    const qint64 pausa = 10 * (2 * kRespuesta + kSilencio);
    const qsizetype probes = pedidosA(banco.servidor().idsDePedidos(), desde(), {5}).size();
    QVERIFY2(probes <= 3 + ms / pausa, qPrintable(QStringLiteral("%1 requests in %2 ms").arg(probes).arg(ms)));
    for (size_t k : {size_t(0), size_t(2)})
        for (const auto& a : *p.lecturas[k]) {
            const auto l = a.at(0).value<LecturaPeso>();
            QVERIFY(!l.valida() || esDe(l, ids[qsizetype(k)]));
        }
    // Id 4 answers every request: none of its readings failed, not even
    // while its neighbour's first poll waited.
    for (qsizetype i = lecturas4; i < p.lecturas[0]->size(); ++i)
        QVERIFY(p.lecturas[0]->at(i).at(0).value<LecturaPeso>().valida());
    for (const auto& a : *p.lecturas[1]) {
        const auto l = a.at(0).value<LecturaPeso>();
        QVERIFY(!l.valida() || esDe(l, 5));
    }

    banco.fallosDe(5, {});
    QTRY_VERIFY_WITH_TIMEOUT(p.lecturas[1]->last().at(0).value<LecturaPeso>().valida(), kEspera);
    QVERIFY(esDe(p.lecturas[1]->last().at(0).value<LecturaPeso>(), 5));
    // Back in its turn, no longer only at probes.
    const int buenas5 = p.buenas(1), otras4 = p.buenas(0);
    QTRY_VERIFY_WITH_TIMEOUT(p.buenas(0) >= otras4 + 20, kEspera);
    QVERIFY2(p.buenas(1) >= buenas5 + 10, qPrintable(QString::number(p.buenas(1) - buenas5)));
}

void TstLinkSim::dosMudos_data()
{
    lecturaYEscritura_data(); // tcp, pty
}

// Two of three indicators silent at once: they are probed in turn (neither
// is forgotten while the other is probed), one request a probe; the one
// that answers keeps every reading; both are read again once they answer.
void TstLinkSim::dosMudos()
{
    QFETCH(bool, pty);
    const QList<quint8> ids{1, 2, 3};
    Banco banco(pty, rapido(1, 1), 1, {2, 3});
    QVERIFY(banco.ok());
    valoresPorId(banco, ids);
    Puestos p(banco, ids);
    for (const auto& e : p.enlaces)
        e->sondea(20, 6);
    for (size_t k = 0; k < 3; ++k)
        QTRY_VERIFY_WITH_TIMEOUT(p.buenas(k) >= 3, kEspera);

    const qsizetype alCallar = banco.servidor().idsDePedidos().size();
    const int lecturas1 = int(p.lecturas[0]->size());
    banco.fallosDe(2, {.mudo = true});
    banco.fallosDe(3, {.mudo = true});
    // Each: its failed poll, its probe at its next turn, one more probe
    // (the poll under way when they fell silent aside).
    auto desde = [&] { return primeroDeOtro(banco.servidor().idsDePedidos(), alCallar, {2, 3}); };
    QTRY_VERIFY_WITH_TIMEOUT(pedidosA(banco.servidor().idsDePedidos(), desde(), {2, 3}).size() >= 5, kEspera);
    const QList<quint8> orden = banco.servidor().idsDePedidos();
    QVERIFY(!seguidos(orden, desde(), {2, 3}));
    // In turn: the one due longest first, so the two alternate.
    const QList<quint8> aMudos = pedidosA(orden, desde(), {2, 3});
    for (qsizetype i = 1; i < aMudos.size(); ++i)
        QVERIFY2(aMudos[i] != aMudos[i - 1], qPrintable(QStringLiteral("%1").arg(i)));
    for (qsizetype i = lecturas1; i < p.lecturas[0]->size(); ++i)
        QVERIFY(p.lecturas[0]->at(i).at(0).value<LecturaPeso>().valida());

    banco.fallosDe(2, {});
    banco.fallosDe(3, {});
    for (size_t k : {size_t(1), size_t(2)}) {
        QTRY_VERIFY_WITH_TIMEOUT(p.lecturas[k]->last().at(0).value<LecturaPeso>().valida(), kEspera);
        QVERIFY(esDe(p.lecturas[k]->last().at(0).value<LecturaPeso>(), ids[qsizetype(k)]));
    }
}

// An operator's write landing between two blocks of a whole-state read (the
// bus paced at 9600 baud, the write sent once the dispatch's block has been
// asked for): the reading delivered is taken again whole after the write,
// never the dispatch from before it with the rest from after. Whether the
// write landed in the middle is judged by the bus's own order of requests.
void TstLinkSim::escrituraEntreBloques()
{
    Banco banco(true, rapido(1, 1), 1, {}, 9600);
    QVERIFY(banco.ok());
    banco.cargaValores();
    Enlace e;
    QSignalSpy lecturas(&e, &Enlace::lecturaLista);
    QSignalSpy escrituras(&e, &Enlace::escrituraLista);
    e.abrir(banco.config());
    // The first reading learns the accumulator: five requests a read from then on.
    QVERIFY(e.leer(1));
    QVERIFY(lecturas.wait(kEspera));
    QVERIFY(lecturas.takeFirst().at(0).value<LecturaPeso>().valida());
    int enMedio = 0;
    for (int vez = 0; vez < 20 && enMedio < 3; ++vez) {
        const qint64 n0 = banco.servidor().pedidos();
        QVERIFY(e.leer(1));
        // Peso, then the dispatch's block: the write goes before the next one.
        QTRY_VERIFY_WITH_TIMEOUT(banco.servidor().pedidos() >= n0 + 2, kEspera);
        e.escribir(Indicador::kDespacho, Trama::cadena32(60000 + vez), vez);
        QTRY_COMPARE_WITH_TIMEOUT(escrituras.size(), 1, kEspera);
        QVERIFY(escrituras.takeFirst().at(1).toBool());
        QTRY_COMPARE_WITH_TIMEOUT(lecturas.size(), 1, kEspera);
        const auto l = lecturas.takeFirst().at(0).value<LecturaPeso>();
        QVERIFY(l.valida());
        // Its two registers' writes: the first after two of the read's five
        // requests and before the last one.
        const QList<qint64> orden = banco.servidor().ordenDeEscrituras();
        const qint64 w = orden.last();
        if (orden.size() < 2 || orden[orden.size() - 2] < n0 + 3 || orden[orden.size() - 2] > n0 + 5)
            continue;
        ++enMedio;
        QCOMPARE(l.Despacho, 6000.0 + vez / 10.0);
        // The rest as before, from the same whole read.
        QCOMPARE((QList<double>{l.CGrueso, l.CFino, l.TotalF}), (QList<double>{90, 100, 12345.6}));
        // Read again whole: five requests after the write.
        QVERIFY2(banco.servidor().pedidos() - w >= 5,
                 qPrintable(QStringLiteral("%1 %2").arg(w).arg(banco.servidor().pedidos())));
    }
    QVERIFY(enMedio > 0);
}

// Two buses (two simulators): each has its own worker, so a silent
// indicator with the real reply wait on one does not hold up the other.
void TstLinkSim::busesEnParalelo()
{
    Banco mudo(false, rapido(1, 1));
    Banco vivo(true, rapido(1, 1), 7);
    mudo.fallos({.mudo = true});
    valoresPorId(vivo, {7});
    ConfigEnlace c = mudo.config();
    c.esperaMs = 2000;
    Enlace a, b;
    QSignalSpy la(&a, &Enlace::lecturaLista);
    QSignalSpy lb(&b, &Enlace::lecturaLista);
    a.abrir(c);
    b.abrir(vivo.config(7));
    QCOMPARE(a.indicadoresEnBus(), 1);
    QCOMPARE(b.indicadoresEnBus(), 1);
    QVERIFY(a.leer(1));
    for (int i = 0; i < 5; ++i) {
        QVERIFY(b.leer());
        QVERIFY(lb.wait(kEspera));
        QVERIFY(esDe(lb.last().at(0).value<LecturaPeso>(), 7));
    }
    // Three 2 s waits and their recoveries are still under way on the other.
    QCOMPARE(la.size(), 0);
    QVERIFY(a.lecturaPendiente());
}

// A bus paced as a 9600 baud line: three indicators polled every 10 ms
// cannot all be read that often; each Enlace reports the longer period the
// bus gives it, which is at least three whole-state reads' wire time.
void TstLinkSim::busAlRitmo()
{
    const QList<quint8> ids{1, 2, 3};
    Banco banco(true, rapido(1, 1), 1, {2, 3}, 9600);
    QVERIFY(banco.ok());
    valoresPorId(banco, ids);
    Puestos p(banco, ids);
    QSignalSpy cambio(p.enlaces[0].get(), &Enlace::periodoEfectivoCambiado);
    for (const auto& e : p.enlaces)
        e->sondea(10, 1);
    for (size_t k = 0; k < 3; ++k)
        QTRY_VERIFY_WITH_TIMEOUT(p.buenas(k) >= 4, kEspera);
    for (size_t k = 0; k < 3; ++k)
        for (const auto& a : *p.lecturas[k])
            QVERIFY(esDe(a.at(0).value<LecturaPeso>(), ids[qsizetype(k)]));
    // A whole-state read once the accumulator is known: five requests,
    // replies of 2, 6, 8, 3 and 8 registers, each frame with its gap.
    const ServidorRtu& s = banco.servidor();
    double lecturaUs = 0;
    for (int registros : {2, 6, 8, 3, 8})
        lecturaUs += s.tramaUs(8) + s.tramaUs(Trama::largoLectura(registros)) + 2 * s.silencioUs();
    QVERIFY(!cambio.isEmpty());
    QVERIFY2(p.enlaces[0]->periodoEfectivo() >= 3 * lecturaUs / 1000,
             qPrintable(QStringLiteral("%1 ms").arg(p.enlaces[0]->periodoEfectivo())));
    // Busy while polled flat out: the bus counted frames and gaps.
    QVERIFY(s.ocupadoUs() > 0);
}

QTEST_GUILESS_MAIN(TstLinkSim)
#include "tst_link_sim.moc"
