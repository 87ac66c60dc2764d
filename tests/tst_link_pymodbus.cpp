// The link against an independent Modbus RTU slave (pymodbus) on TCP and on a
// pseudo-terminal pair made by socat.
#include "ConfigEnlace.h"
#include "Enlace.h"
#include "Indicador.h"
#include "TestSupport.h"
#include "Trama.h"
#include "TransporteSerie.h"
#include "TransporteTcp.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

quint16 valorDe(int i, int id = 1)
{
    return quint16((i * 7 + 3 + 1000 * (id - 1)) & 0xFFFF);
}

QString script()
{
    return QStringLiteral(TOLVEX_TESTS_DIR "/link_pymodbus_slave.py");
}

bool hayPymodbus()
{
    QProcess p;
    p.start(kPython, {QStringLiteral("-c"), QStringLiteral("import pymodbus.server")});
    return p.waitForFinished(kEspera) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Starts the slave and waits for the line that says it serves (and where).
QString arranca(QProcess& esclavo, const QStringList& args)
{
    esclavo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    esclavo.start(kPython, QStringList{script()} + args);
    QDeadlineTimer limite(kEspera);
    while (!esclavo.canReadLine() && esclavo.state() != QProcess::NotRunning && !limite.hasExpired())
        esclavo.waitForReadyRead(100);
    return QString::fromUtf8(esclavo.readLine()).trimmed();
}

void detiene(QProcess& p)
{
    if (p.state() != QProcess::NotRunning) {
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
}

// pymodbus serving several slave ids on one port: over TCP, or over one end
// of a pseudo-terminal pair made by socat. config reaches it (id 1).
struct BusPymodbus
{
    // False (after a failed check or a skip) when it could not be started.
    bool arranca(bool serie, const QString& ids)
    {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (serie && socat.isEmpty()) {
            QTest::qSkip("socat is not installed", __FILE__, __LINE__);
            return false;
        }
        QStringList donde;
        if (serie) {
            const QString a = dir.filePath(QStringLiteral("esclavo"));
            config.dispositivo = dir.filePath(QStringLiteral("maestro"));
            par.start(socat, {QStringLiteral("pty,raw,echo=0,link=") + a,
                              QStringLiteral("pty,raw,echo=0,link=") + config.dispositivo});
            QDeadlineTimer limite(kEspera);
            while (!(QFile::exists(a) && QFile::exists(config.dispositivo)) && !limite.hasExpired())
                QTest::qWait(20);
            donde = {QStringLiteral("--serial"), a};
        } else {
            donde = {QStringLiteral("--tcp"), QStringLiteral("0")};
        }
        const QString sirve = ::arranca(esclavo, donde + QStringList{QStringLiteral("--ids"), ids});
        if (sirve.isEmpty()) {
            QTest::qFail("the slave did not start", __FILE__, __LINE__);
            return false;
        }
        if (!serie) {
            config.comunicacion = 1;
            config.host = QStringLiteral("127.0.0.1");
            config.puerto = sirve.section(u' ', 1).toUShort();
        }
        config.id = 1;
        return true;
    }
    // One order on its standard input ("mudo 2"), once it has taken it.
    bool ordena(const QString& orden)
    {
        esclavo.write((orden + u'\n').toUtf8());
        QDeadlineTimer limite(kEspera);
        while (!esclavo.canReadLine() && !limite.hasExpired())
            esclavo.waitForReadyRead(100);
        return esclavo.readLine().trimmed() == "ok";
    }
    ~BusPymodbus()
    {
        detiene(esclavo);
        detiene(par);
    }
    QTemporaryDir dir;
    QProcess par;
    QProcess esclavo;
    ConfigEnlace config;
};

} // namespace

class TstLinkPymodbus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void tcp();
    void pty();
    void bus_data();
    void bus();
    void busConMudos_data();
    void busConMudos();

private:
    void compruebaIndicador(Transporte& t);
};

void TstLinkPymodbus::initTestCase()
{
    if (!QFile::exists(kPython) || !hayPymodbus())
        QSKIP("pymodbus cannot be imported (python3-pymodbus, python3-serial)");
}

void TstLinkPymodbus::compruebaIndicador(Transporte& t)
{
    Indicador ind(t, 1, 0);
    // The slave may still be starting: the first whole-state read may need retries.
    LecturaPeso l;
    l.Peso = LecturaPeso::kSinRespuesta;
    for (int i = 0; i < 50 && !l.valida(); ++i) {
        t.reconectar();
        l.Peso = LecturaPeso::kSinRespuesta;
        ind.LeePeso(l);
    }
    QVERIFY(l.valida());
    auto v32 = [](int r) { return quint32(valorDe(r)) | quint32(valorDe(r + 1)) << 16; };
    QCOMPARE((QList<double>{l.Peso, l.Despacho, l.CFino, l.UlTotal, l.TotalF}),
             (QList<double>{Indicador::pesoConSigno(v32(0), 0), double(v32(14204)), double(v32(14208)),
                            double(v32(14386)), double(v32(14402))}));
    QCOMPARE((QList<qint64>{l.CCiclos, l.CError, l.Modo, l.Entradas}),
             (QList<qint64>{v32(14383), valorDe(14385) & 0xFF, valorDe(14396) & 0xFF, valorDe(14401) & 0xFF}));

    QByteArray esperada;
    for (int r = 14379; r < 14390; ++r)
        esperada += Trama::cadena16(valorDe(r));
    QCOMPARE(ind.Leer(14379, 11), esperada);

    // Writes as the station programs: one function-06 write per register.
    const QByteArray v = Trama::cadena32(-2) + Trama::cadena32(70000);
    QCOMPARE(ind.Escribir(14204, v), v);
    QCOMPARE(ind.Leer(14204, 4), v);
    QCOMPARE(ind.Escribir(7, "Z"), Trama::cadena16('Z'));
    // Another slave id gets no answer.
    QVERIFY(ind.RxD(2, 0, 2).isEmpty());
}

void TstLinkPymodbus::tcp()
{
    QProcess esclavo;
    const QString sirve = arranca(esclavo, {QStringLiteral("--tcp"), QStringLiteral("0")});
    QVERIFY2(sirve.startsWith(u"tcp "), qPrintable(sirve));
    const quint16 puerto = sirve.section(u' ', 1).toUShort();

    // pymodbus's own reply frame, byte for byte, to our request.
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, puerto);
    QVERIFY(s.waitForConnected(kEspera));
    auto intercambio = [&s](const QByteArray& pedido, int largo) {
        s.write(pedido);
        QByteArray r;
        while (r.size() < largo && s.waitForReadyRead(kEspera))
            r += s.readAll();
        return r;
    };
    const QByteArray r = intercambio(QByteArray::fromHex("010300000002C40B"), 9);
    QCOMPARE(Trama::hex(r), Trama::hex(QByteArray::fromHex("01030400030 00A8A34")));
    QCOMPARE(Trama::verificaLectura(r, 1, 2).datos, QByteArray::fromHex("03000A00"));
    QCOMPARE(Trama::hex(intercambio(Trama::pedidoEscritura(1, 7, Trama::cadena16('Z')), 8)),
             QStringLiteral("01 06 00 07 00 5A B8 30"));
    s.abort();

    TransporteTcp t(QStringLiteral("127.0.0.1"), puerto);
    t.setEspera(1000);
    QVERIFY(t.abrir(nullptr));
    compruebaIndicador(t);
    detiene(esclavo);
}

void TstLinkPymodbus::pty()
{
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty())
        QSKIP("socat is not installed");
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("esclavo"));
    const QString b = dir.filePath(QStringLiteral("maestro"));
    QProcess par;
    par.start(socat, {QStringLiteral("pty,raw,echo=0,link=") + a, QStringLiteral("pty,raw,echo=0,link=") + b});
    QVERIFY(par.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(a) && QFile::exists(b), kEspera);

    QProcess esclavo;
    const QString sirve = arranca(esclavo, {QStringLiteral("--serial"), a});
    QVERIFY2(sirve.startsWith(u"serial "), qPrintable(sirve));

    TransporteSerie t(b, 19200);
    t.setEspera(1000);
    QString error;
    QVERIFY2(t.abrir(&error), qPrintable(error));
    compruebaIndicador(t);
    t.cerrar();
    detiene(esclavo);
    detiene(par);
}

void TstLinkPymodbus::bus_data()
{
    QTest::addColumn<bool>("serie");
    QTest::newRow("tcp") << false;
    QTest::newRow("pty") << true;
}

// Three slave contexts on one port, read through one shared bus: each
// Enlace gets its own slave's registers, a write reaches its slave only,
// and an id nobody serves fails without holding up the others.
void TstLinkPymodbus::bus()
{
    QFETCH(bool, serie);
    BusPymodbus bus;
    if (!bus.arranca(serie, QStringLiteral("1,2,3")))
        return;
    ConfigEnlace c = bus.config;
    c.esperaMs = 500;
    c.silencioMs = 100;

    const QList<quint8> ids{1, 2, 3, 9};
    std::vector<std::unique_ptr<Enlace>> enlaces;
    std::vector<std::unique_ptr<QSignalSpy>> lecturas;
    for (quint8 id : ids) {
        c.id = id;
        enlaces.push_back(std::make_unique<Enlace>());
        lecturas.push_back(std::make_unique<QSignalSpy>(enlaces.back().get(), &Enlace::lecturaLista));
        enlaces.back()->abrir(c);
    }
    QCOMPARE(enlaces[0]->indicadoresEnBus(), 4);
    auto v32 = [](int r, int id) { return double(quint32(valorDe(r, id)) | quint32(valorDe(r + 1, id)) << 16); };
    auto lee = [&](size_t k) {
        lecturas[k]->clear();
        LecturaPeso l;
        l.Peso = LecturaPeso::kSinRespuesta;
        // The slave may still be starting: a few polls.
        for (int i = 0; i < 20 && !l.valida(); ++i) {
            if (!enlaces[k]->leer(1) || !lecturas[k]->wait(kEspera))
                return l;
            l = lecturas[k]->takeFirst().at(0).value<LecturaPeso>();
        }
        return l;
    };
    for (size_t k = 0; k < 3; ++k) {
        const LecturaPeso l = lee(k);
        QVERIFY2(l.valida(), qPrintable(QStringLiteral("id %1").arg(ids[qsizetype(k)])));
        QCOMPARE((QList<double>{l.Despacho, l.CFino, l.TotalF}),
                 (QList<double>{v32(14204, k + 1), v32(14208, k + 1), v32(14402, k + 1)}));
    }
    QVERIFY(!lee(3).valida());
    QSignalSpy escrita(enlaces[1].get(), &Enlace::escrituraLista);
    enlaces[1]->escribir(Indicador::kDespacho, Trama::cadena32(4242), 1);
    QVERIFY(escrita.wait(kEspera));
    QVERIFY(escrita.at(0).at(1).toBool());
    QCOMPARE(lee(1).Despacho, 4242.0);
    QCOMPARE(lee(0).Despacho, v32(14204, 1));
    QCOMPARE(lee(2).Despacho, v32(14204, 3));
}

void TstLinkPymodbus::busConMudos_data()
{
    QTest::addColumn<bool>("serie");
    QTest::addColumn<QList<quint8>>("mudos");
    QTest::newRow("tcp, uno") << false << QList<quint8>{2};
    QTest::newRow("pty, uno") << true << QList<quint8>{2};
    QTest::newRow("tcp, dos") << false << QList<quint8>{2, 3};
}

// pymodbus's slaves switched off on a polled bus, with the station's reply
// wait: the one still on is read on and none of its readings fails; the
// ones off fail; once they are switched on again they are read again.
void TstLinkPymodbus::busConMudos()
{
    QFETCH(bool, serie);
    QFETCH(QList<quint8>, mudos);
    BusPymodbus bus;
    if (!bus.arranca(serie, QStringLiteral("1,2,3")))
        return;
    std::vector<std::unique_ptr<Enlace>> enlaces;
    std::vector<std::unique_ptr<QSignalSpy>> lecturas;
    for (quint8 id : {1, 2, 3}) {
        ConfigEnlace c = bus.config;
        c.id = id;
        enlaces.push_back(std::make_unique<Enlace>());
        lecturas.push_back(std::make_unique<QSignalSpy>(enlaces.back().get(), &Enlace::lecturaLista));
        enlaces.back()->abrir(c);
        enlaces.back()->sondea(100, 6);
    }
    auto ultima = [&](size_t k) {
        return !lecturas[k]->isEmpty() && lecturas[k]->last().at(0).value<LecturaPeso>().valida();
    };
    for (size_t k = 0; k < 3; ++k)
        QTRY_VERIFY_WITH_TIMEOUT(ultima(k), kEspera);
    const qsizetype desde = lecturas[0]->size();
    for (quint8 id : mudos)
        QVERIFY(bus.ordena(QStringLiteral("mudo %1").arg(id)));
    for (quint8 id : mudos)
        QTRY_VERIFY_WITH_TIMEOUT(!ultima(id - 1), kEspera);
    // Read on past a probe round of each (two reply waits and a probe's wait).
    QTRY_VERIFY_WITH_TIMEOUT(lecturas[0]->size() >= desde + 60, kEspera);
    for (quint8 id : mudos)
        QVERIFY(bus.ordena(QStringLiteral("habla %1").arg(id)));
    for (quint8 id : mudos)
        QTRY_VERIFY_WITH_TIMEOUT(ultima(id - 1), kEspera);
    for (qsizetype i = desde; i < lecturas[0]->size(); ++i)
        QVERIFY2(lecturas[0]->at(i).at(0).value<LecturaPeso>().valida(), qPrintable(QString::number(i - desde)));
    if (mudos.size() == 1) {
        QVERIFY(ultima(2));
        for (qsizetype i = desde; i < lecturas[2]->size(); ++i)
            QVERIFY(lecturas[2]->at(i).at(0).value<LecturaPeso>().valida());
    }
}

QTEST_GUILESS_MAIN(TstLinkPymodbus)
#include "tst_link_pymodbus.moc"
