// Frames, CRC, register access and conversions, byte for byte, against an
// in-memory peer.
#include "Config.h"
#include "ConfigEnlace.h"
#include "Conversiones.h"
#include "Indicador.h"
#include "TestSupport.h"
#include "Trama.h"
#include "TransporteFalso.h"
#include "TransporteSerie.h"

#include <QHash>
#include <QRandomGenerator>
#include <QtTest>
#include <optional>
#include <utility>

namespace {

QByteArray h(const char* hex)
{
    return QByteArray::fromHex(hex);
}

QByteArray conCrc(const char* hex)
{
    return h(hex) + Trama::crc16(h(hex));
}

// A register map answering functions 03 and 06, with a hook to fail chosen requests.
struct Esclavo
{
    QHash<quint16, quint16> regs;
    std::function<bool(const QByteArray&)> falla = [](const QByteArray&) { return false; };

    QByteArray responde(const QByteArray& p)
    {
        if (falla(p) || p.size() != 8)
            return {};
        const quint16 dir = quint16(quint8(p[2]) << 8 | quint8(p[3]));
        QByteArray r;
        if (p[1] == 0x03) {
            const int n = quint8(p[5]);
            r = p.left(2) + char(2 * n);
            for (int i = 0; i < n; ++i) {
                const quint16 v = regs.value(quint16(dir + i));
                r += char(v >> 8);
                r += char(v & 0xFF);
            }
        } else {
            regs[dir] = quint16(quint8(p[4]) << 8 | quint8(p[5]));
            r = p.left(6);
        }
        return r + Trama::crc16(r);
    }
    void set32(quint16 dir, quint32 v)
    {
        regs[dir] = quint16(v & 0xFFFF);
        regs[dir + 1] = quint16(v >> 16);
    }
};

} // namespace

class TstLinkTrama : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void crc_data();
    void crc();
    void pedidos_data();
    void pedidos();
    void lectura_data();
    void lectura();
    void escritura_data();
    void escritura();
    void cadenas();
    void fuzzVerificador();
    void leerPorBloquesEscribirPorRegistro();
    void desfaseEIdAprendido();
    void leePeso_data();
    void leePeso();
    void leePesoFallaAMedias();
    void kval_data();
    void kval();
    void ktxtKint();
    void configEnlace_data();
    void configEnlace();
};

void TstLinkTrama::crc_data()
{
    QTest::addColumn<QByteArray>("mensaje");
    QTest::addColumn<QByteArray>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << h("374B");
    QTest::newRow("empty") << QByteArray() << h("FFFF");
    QTest::newRow("read reply") << h("01030412345678") << h("8107");
    QTest::newRow("exception") << h("018302") << h("C0F1");
    QTest::newRow("write 0x5B") << h("01060007005B") << h("79F0");
}

void TstLinkTrama::crc()
{
    QFETCH(QByteArray, mensaje);
    QFETCH(QByteArray, crc);
    QCOMPARE(Trama::crc16(mensaje), crc);
}

void TstLinkTrama::pedidos_data()
{
    QTest::addColumn<QByteArray>("trama");
    QTest::addColumn<QByteArray>("esperada");
    QTest::newRow("read 2 at 0") << Trama::pedidoLectura(1, 0, 2) << h("010300000002C40B");
    QTest::newRow("read 6 at 14204") << Trama::pedidoLectura(1, 14204, 6) << h("0103377C00060A64");
    QTest::newRow("read 8 at 14379") << Trama::pedidoLectura(1, 14379, 8) << h("0103382B00083964");
    QTest::newRow("read 3 at 14387") << Trama::pedidoLectura(1, 14387, 3) << h("0103383300 03F8A4");
    QTest::newRow("read 8 at 14396") << Trama::pedidoLectura(1, 14396, 8) << h("0103383C00088960");
    QTest::newRow("write Z at 7") << Trama::pedidoEscritura(1, 7, QByteArray("Z\0", 2))
                                  << h("01060007005AB830");
    QTest::newRow("write odd value") << Trama::pedidoEscritura(1, 7, h("5B00")) << h("01060007005B79F0");
}

void TstLinkTrama::pedidos()
{
    QFETCH(QByteArray, trama);
    QFETCH(QByteArray, esperada);
    QCOMPARE(Trama::hex(trama), Trama::hex(esperada));
}

void TstLinkTrama::lectura_data()
{
    QTest::addColumn<QByteArray>("respuesta");
    QTest::addColumn<int>("cantidad");
    QTest::addColumn<QByteArray>("datos");
    QTest::addColumn<int>("fallo");
    const QByteArray buena = h("010304123456788107");
    QTest::newRow("good") << buena << 2 << h("34127856") << int(Trama::Fallo::Ninguno);
    QTest::newRow("crc swapped") << h("010304123456780781") << 2 << QByteArray()
                                 << int(Trama::Fallo::Crc);
    QTest::newRow("exception") << h("018302C0F1") << 2 << QByteArray() << int(Trama::Fallo::Excepcion);
    QTest::newRow("exception of another function") << conCrc("018602") << 2 << QByteArray()
                                                   << int(Trama::Fallo::Longitud);
    QTest::newRow("exception of another slave") << conCrc("028302") << 2 << QByteArray()
                                                << int(Trama::Fallo::Longitud);
    QTest::newRow("other slave id") << conCrc("11030412345678") << 2 << QByteArray()
                                    << int(Trama::Fallo::Esclavo);
    QTest::newRow("other function") << conCrc("01040412345678") << 2 << QByteArray()
                                    << int(Trama::Fallo::Funcion);
    QTest::newRow("byte count of another request") << conCrc("01030612345678") << 2 << QByteArray()
                                                   << int(Trama::Fallo::Cuenta);
    QTest::newRow("surplus byte") << buena + char(0) << 2 << QByteArray() << int(Trama::Fallo::Longitud);
    QTest::newRow("short") << buena.left(8) << 2 << QByteArray() << int(Trama::Fallo::Longitud);
    QTest::newRow("nothing") << QByteArray() << 2 << QByteArray() << int(Trama::Fallo::SinRespuesta);
    QTest::newRow("wrong count for request") << buena << 3 << QByteArray()
                                             << int(Trama::Fallo::Longitud);
}

void TstLinkTrama::lectura()
{
    QFETCH(QByteArray, respuesta);
    QFETCH(int, cantidad);
    QFETCH(QByteArray, datos);
    QFETCH(int, fallo);
    const auto r = Trama::verificaLectura(respuesta, 1, cantidad);
    QCOMPARE(int(r.fallo), fallo);
    if (r.fallo == Trama::Fallo::Excepcion)
        QCOMPARE(r.excepcion, 2);
    QCOMPARE(r.datos, datos);
}

void TstLinkTrama::escritura_data()
{
    QTest::addColumn<QByteArray>("respuesta");
    QTest::addColumn<QByteArray>("eco");
    QTest::newRow("echo") << h("01060007005AB830") << h("5A00");
    QTest::newRow("different value, right crc") << h("01060007005B79F0") << h("5B00");
    QTest::newRow("bad crc") << h("01060007005AB831") << QByteArray();
    QTest::newRow("seven bytes") << h("01060007005AB8") << QByteArray();
    QTest::newRow("nine bytes") << h("01060007005AB83000") << QByteArray();
    QTest::newRow("other slave id") << conCrc("02060007005A") << QByteArray();
    QTest::newRow("other address") << conCrc("01060008005A") << QByteArray();
    QTest::newRow("exception") << conCrc("018601") << QByteArray();
}

void TstLinkTrama::escritura()
{
    QFETCH(QByteArray, respuesta);
    QFETCH(QByteArray, eco);
    QCOMPARE(Trama::verificaEscritura(respuesta, Trama::pedidoEscritura(1, 7, h("5A00")), 1).datos,
             eco);
}

void TstLinkTrama::cadenas()
{
    QCOMPARE(
        (QList<QByteArray>{Trama::cadena32(0x12345678), Trama::cadena32(-1), Trama::cadena32(-2),
                           Trama::cadena32(125), Trama::cadena16(0x005A)}),
        (QList<QByteArray>{h("78563412"), h("FFFFFFFF"), h("FEFFFFFF"), h("7D000000"), h("5A00")}));
    // Reading past the end gives zero bytes, never a crash.
    QCOMPARE((QList<quint32>{Trama::valor32(h("0000000078563412"), 4),
                             Trama::valor32(h("00000080"), 0), Trama::valor32(h("01"), 0)}),
             (QList<quint32>{0x12345678u, 0x80000000u, 1u}));
}

// Random bytes, truncations and bit flips of good replies: the checker never
// crashes and never accepts a frame whose length or CRC is wrong.
void TstLinkTrama::fuzzVerificador()
{
    QRandomGenerator rng(20240611);
    int aceptadas = 0;
    for (int caso = 0; caso < 200000; ++caso) {
        const int cantidad = rng.bounded(1, 9);
        QByteArray bytes(rng.bounded(0, 32), '\0');
        for (auto& b : bytes)
            b = char(rng.bounded(256));
        if (caso % 4 == 0 && bytes.size() >= 5) { // a plausible frame with a good CRC
            if (caso % 8 == 0)
                bytes.replace(0, 3, QByteArray{"\x01\x03"} + char(bytes.size() - 5));
            bytes = bytes.left(bytes.size() - 2) + Trama::crc16(bytes.left(bytes.size() - 2));
        }
        const auto l = Trama::verificaLectura(bytes, 1, cantidad);
        const auto e = Trama::verificaEscritura(bytes, Trama::pedidoEscritura(1, 7, h("5A00")), 1);
        const bool crcBien = bytes.size() >= 2 && Trama::crc16(bytes.left(bytes.size() - 2)) == bytes.right(2);
        if (l.ok()) {
            ++aceptadas;
            QVERIFY(bytes.size() == Trama::largoLectura(cantidad) && crcBien);
            QCOMPARE(bytes.left(3), (QByteArray{"\x01\x03"} + char(2 * cantidad)));
            QCOMPARE(l.datos.size(), 2 * cantidad);
        }
        if (e.ok())
            QVERIFY(bytes.size() == 8 && crcBien);
    }
    QVERIFY(aceptadas > 0);

    Esclavo esclavo;
    for (int i = 0; i < 8; ++i)
        esclavo.regs[quint16(100 + i)] = quint16(rng.generate());
    const QByteArray buena = esclavo.responde(Trama::pedidoLectura(1, 100, 8));
    QVERIFY(Trama::verificaLectura(buena, 1, 8).ok());
    for (int n = 0; n < buena.size(); ++n)
        QVERIFY(!Trama::verificaLectura(buena.left(n), 1, 8).ok());
    for (int bit = 0; bit < 8 * buena.size(); ++bit) {
        QByteArray mala = buena;
        mala[bit / 8] = char(mala[bit / 8] ^ (1 << (bit % 8)));
        QVERIFY2(!Trama::verificaLectura(mala, 1, 8).ok(), qPrintable(QString::number(bit)));
    }
}

void TstLinkTrama::leerPorBloquesEscribirPorRegistro()
{
    Esclavo esclavo;
    for (int i = 0; i < 11; ++i)
        esclavo.regs[quint16(14379 + i)] = quint16(0x0100 * i + i);
    TransporteFalso t([&](const QByteArray& p) { return esclavo.responde(p); });
    Indicador ind(t, 1, 0);

    const QByteArray s = ind.Leer(14379, 11);
    QCOMPARE(s.size(), 22);
    QCOMPARE(t.pedidos(), (QList<QByteArray>{Trama::pedidoLectura(1, 14379, 8),
                                             Trama::pedidoLectura(1, 14387, 3)}));
    QCOMPARE(s.mid(20, 2), h("0A0A"));

    // The second block fails three times: nothing is returned, and each retry
    // waits for the transport to recover from the failed exchange (a new TCP
    // connection, a quiet serial line); no request but the block's own goes out.
    t.limpia();
    esclavo.falla = [](const QByteArray& p) { return p == Trama::pedidoLectura(1, 14387, 3); };
    QVERIFY(ind.Leer(14379, 11).isEmpty());
    QCOMPARE(
        t.pedidos(),
        (QList<QByteArray>{Trama::pedidoLectura(1, 14379, 8), Trama::pedidoLectura(1, 14387, 3),
                           Trama::pedidoLectura(1, 14387, 3), Trama::pedidoLectura(1, 14387, 3)}));
    QCOMPARE(t.recobros(), 2);
    QVERIFY(ind.desfasado());

    // The next read recovers before it goes out, and after its own failure.
    t.limpia();
    int fallos = 1;
    esclavo.falla = [&](const QByteArray&) { return fallos-- > 0; };
    QCOMPARE(ind.Leer(14379, 3).size(), 6);
    QCOMPARE(t.pedidos(), (QList<QByteArray>(2, Trama::pedidoLectura(1, 14379, 3))));
    QCOMPARE(t.recobros(), 4);
    QVERIFY(!ind.desfasado());

    // Writes, one register at a time.
    t.limpia();
    QCOMPARE(ind.Escribir(7, "Z"), h("5A00"));
    QCOMPARE(t.pedidos(), QList<QByteArray>{h("01060007005AB830")});

    t.limpia();
    const QByteArray doce = Trama::cadena32(1000) + Trama::cadena32(900) + Trama::cadena32(1000);
    QCOMPARE(ind.Escribir(14204, doce), doce);
    QList<QByteArray> seis;
    for (int i = 0; i < 6; ++i)
        seis << Trama::pedidoEscritura(1, quint16(14204 + i), doce.mid(2 * i, 2));
    QCOMPARE(t.pedidos(), seis);
    QCOMPARE((QList<quint16>{esclavo.regs.value(14204), esclavo.regs.value(14206)}),
             (QList<quint16>{1000, 900}));

    // The third register fails three times: empty result, the first two stay written.
    t.limpia();
    esclavo.regs.clear();
    esclavo.falla = [](const QByteArray& p) { return quint8(p[3]) == (14206 & 0xFF); };
    QVERIFY(ind.Escribir(14204, Trama::cadena32(0x00020001) + Trama::cadena32(7)).isEmpty());
    QCOMPARE(t.pedidos().size(), 2 + 3);
    QCOMPARE(esclavo.regs, (QHash<quint16, quint16>{{14204, 1}, {14205, 2}}));
}

// Out of step: a refusal answered the request and needs no recovery; a write
// goes out at once (its transport's recovery may wait) and takes only its
// exact echo. Id 0: the id of the first good reply is the only one taken from
// then on.
void TstLinkTrama::desfaseEIdAprendido()
{
    Esclavo esclavo;
    esclavo.regs[14380] = 0x1234;
    std::optional<QByteArray> forzada; // the next reply instead of the slave's
    std::optional<quint8> propio;      // the id the slave answers with
    TransporteFalso t([&](const QByteArray& p) {
        if (forzada)
            return *std::exchange(forzada, std::nullopt);
        QByteArray r = esclavo.responde(p);
        if (propio && !r.isEmpty()) {
            r[0] = char(*propio);
            r = r.left(r.size() - 2) + Trama::crc16(r.left(r.size() - 2));
        }
        return r;
    });
    Indicador ind(t, 1, 0);
    forzada = conCrc("018302");
    QCOMPARE(ind.Leer(14379, 2), h("00003412"));
    QCOMPARE(t.pedidos().size(), 2);
    QCOMPARE(t.recobros(), 0);

    forzada = QByteArray();
    QVERIFY(ind.RxD(1, 14379, 2).isEmpty());
    QVERIFY(ind.desfasado());
    t.limpia();
    forzada = conCrc("01060007005B"); // an echo of another value
    QCOMPARE(ind.Escribir(7, "Z"), h("5A00"));
    QCOMPARE(t.pedidos(), (QList<QByteArray>(2, h("01060007005AB830"))));
    QCOMPARE(t.recobros(), 0);
    QVERIFY(ind.desfasado());

    Indicador cero(t, 0, 0);
    propio = 1;
    QCOMPARE(cero.Leer(14379, 2), h("00003412"));
    QCOMPARE(cero.idEsperado(0), Trama::IdEsperado(1));
    propio = 2;
    forzada = QByteArray();
    QVERIFY(cero.RxD(0, 14379, 2).isEmpty());
    // Out of step, a write takes only an echo from the learned id.
    QVERIFY(cero.Escribir(7, "Z").isEmpty());
    QCOMPARE(cero.ultimoFallo(), Trama::Fallo::Esclavo);
    propio = 1;
    QCOMPARE(cero.Escribir(7, "Z"), h("5A00"));
    propio = 2;
    QVERIFY(cero.Leer(14379, 2).isEmpty());
    QCOMPARE(cero.ultimoFallo(), Trama::Fallo::Esclavo);
    QCOMPARE(t.pedidos().last(), Trama::pedidoLectura(0, 14379, 2));
}

void TstLinkTrama::leePeso_data()
{
    QTest::addColumn<quint32>("bruto");
    QTest::addColumn<int>("decimales");
    QTest::addColumn<double>("peso");
    QTest::newRow("-0.2") << 0xFFFFFFFEu << 1 << -0.2;
    QTest::newRow("128^4 stays positive") << 268435456u << 0 << 268435456.0;
    QTest::newRow("128^4 + 1") << 268435457u << 0 << 268435457.0 - 4294967296.0;
    QTest::newRow("1234.5") << 12345u << 1 << 1234.5;
}

void TstLinkTrama::leePeso()
{
    QFETCH(quint32, bruto);
    QFETCH(int, decimales);
    QFETCH(double, peso);
    Esclavo e;
    for (const auto& [r, v] : {std::pair<quint16, quint32>{0, bruto}, {14204, 5000}, {14206, 900}, {14208, 1000},
                               {14379, 123}, {14381, 456}, {14383, 4000000000u}, {14386, 0x80000000u}, {14388, 1001},
                               {14398, 77}, {14402, 6000}})
        e.set32(r, v);
    e.regs[14385] = 0x1203; // only the low byte counts
    e.regs[14396] = 0xFF01;
    e.regs[14397] = 2;
    e.regs[14400] = 0x0182;
    e.regs[14401] = 0x00A0;
    TransporteFalso t([&](const QByteArray& p) { return e.responde(p); });
    Indicador ind(t, 1, decimales);
    LecturaPeso l;
    ind.LeePeso(l);
    // Five requests, and the first accumulator read again in one request.
    QCOMPARE(t.pedidos().size(), 6);
    QCOMPARE(t.pedidos().at(4), Trama::pedidoLectura(1, 14383, 7));
    QVERIFY(l.valida());
    QCOMPARE(l.Peso, peso);
    const double d = std::pow(10.0, decimales);
    QCOMPARE((QList<double>{l.Despacho, l.CGrueso, l.CFino, l.Caudal, l.Resto, l.UlTotal, l.UlBatch, l.Total, l.TotalF}),
             (QList<double>{5000 / d, 900 / d, 1000 / d, 123 / d, 456 / d, 2147483648.0 / d, 1001 / d, 77 / d, 6000 / d}));
    QCOMPARE((QList<qint64>{l.CCiclos, l.CError, l.Modo, l.SPFin, l.Salidas, l.Entradas}),
             (QList<qint64>{4000000000, 3, 1, 2, 0x82, 0xA0}));

    // The same accumulator again: the five requests alone.
    t.limpia();
    l.CError = 0;
    ind.LeePeso(l);
    QCOMPARE(t.pedidos().size(), 5);
    QCOMPARE(l.CError, 3); // now from the block's own byte
    // A batch ends between the block's two requests (low word 0xFFFF before,
    // high word 1 after): the reading carries the accumulator read whole.
    e.set32(14386, 0x0000FFFFu);
    ind.LeePeso(l);
    t.limpia();
    t.setRespuesta([&](const QByteArray& p) {
        const QByteArray r = e.responde(p);
        if (p == Trama::pedidoLectura(1, 14379, 8)) {
            e.set32(14386, 0x000103E7u);
            e.set32(14383, 4000000001u);
        }
        return r;
    });
    ind.LeePeso(l);
    QCOMPARE(l.UlTotal, 0x000103E7u / d);
    QCOMPARE(l.CCiclos, 4000000001u); // the count of the same moment
}

void TstLinkTrama::leePesoFallaAMedias()
{
    Esclavo e;
    e.set32(0, 42);
    e.set32(14204, 5000);
    e.set32(14379, 7);
    TransporteFalso t([&](const QByteArray& p) { return e.responde(p); });
    Indicador ind(t, 1, 0);

    // The first read answers, the second does not.
    e.falla = [](const QByteArray& p) { return p == Trama::pedidoLectura(1, 14204, 6); };
    LecturaPeso l;
    l.Despacho = 11;
    l.Caudal = 22;
    ind.LeePeso(l);
    QCOMPARE((QList<double>{l.Peso, l.Despacho, l.Caudal}), (QList<double>{-999999.0, 11, 22}));
    QCOMPARE(t.pedidos().size(), 1 + 3);

    // The third fails: the second's fields keep their new values.
    e.falla = [](const QByteArray& p) { return p == Trama::pedidoLectura(1, 14379, 8); };
    ind.LeePeso(l);
    QVERIFY(!l.valida());
    QCOMPARE((QList<double>{l.Despacho, l.Caudal}), (QList<double>{5000, 22}));
}

void TstLinkTrama::kval_data()
{
    QTest::addColumn<QVariant>("entrada");
    QTest::addColumn<QVariant>("salida");
    QTest::newRow("12.5") << QVariant(QStringLiteral("12.5")) << QVariant(12.5);
    QTest::newRow("-0.25") << QVariant(QStringLiteral("-0.25")) << QVariant(-0.25);
    QTest::newRow(".5") << QVariant(QStringLiteral(".5")) << QVariant(0.5);
    QTest::newRow("1 2.5") << QVariant(QStringLiteral("1 2.5")) << QVariant(12.5);
    QTest::newRow("125 unchanged") << QVariant(QStringLiteral("125")) << QVariant(QStringLiteral("125"));
    QTest::newRow("number") << QVariant(3.75) << QVariant(3.75);
    // Every character after the point counts as a decimal place.
    QTest::newRow("stops at letter") << QVariant(QStringLiteral("7.5kg")) << QVariant(0.075);
    QTest::newRow("nothing readable") << QVariant(QStringLiteral("abc.d")) << QVariant(0.0);
    QTest::newRow("exponent") << QVariant(QStringLiteral("1.5e2")) << QVariant(1.5) /* "15e2" / 10^3 */;
}

void TstLinkTrama::kval()
{
    QFETCH(QVariant, entrada);
    QFETCH(QVariant, salida);
    const QVariant r = KVal(entrada);
    if (salida.typeId() == QMetaType::QString) {
        QCOMPARE(r.typeId(), int(QMetaType::QString));
        QCOMPARE(r.toString(), salida.toString());
    } else {
        QCOMPARE(r.toDouble(), salida.toDouble());
    }
}

void TstLinkTrama::ktxtKint()
{
    QCOMPARE((QStringList{Ktxt(QStringLiteral("1,250 kg")), Ktxt(QStringLiteral("abc")),
                          Ktxt(QStringLiteral("-3.5"))}),
             (QStringList{QStringLiteral("1.250"), QString(), QStringLiteral("-3.5")}));
    // Value, decimals, integer sent. The floor is taken, not the nearest: a
    // value is never sent one unit up.
    const std::tuple<QVariant, int, std::optional<qint64>> casos[] = {
        {"-1.5", 0, -2},       {"12.5", 2, 1250},        {"1.15", 2, 115}, {"12.5", 1, 125},
        {"125", 0, 125},       {"2.675", 2, 267},        {"-1.4", 0, -2},  {"9.99", 1, 99},
        {"", 0, std::nullopt}, {"abc", 2, std::nullopt}, {3.75, 2, 375}};
    for (const auto& [valor, decimales, entero] : casos)
        QVERIFY2(KInt(valor, decimales) == entero, qPrintable(valor.toString()));
}

void TstLinkTrama::configEnlace_data()
{
    QTest::addColumn<QStringList>("ajustes"); // key=value pairs
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("resumen");
    QTest::newRow("defaults") << QStringList() << true << "serie /dev/ttyS1 19200 id 0";
    QTest::newRow("Baudios_1 3") << QStringList{"Baudios_1=3"} << true << "serie /dev/ttyS1 9600 id 0";
    QTest::newRow("Comm_1 path") << QStringList{"Comm_1=/dev/ttyUSB0", "ID_1=2.5"} << true
                                 << "serie /dev/ttyUSB0 19200 id 2";
    QTest::newRow("ID_1 3.5 to even") << QStringList{"ID_1=3.5"} << true << "serie /dev/ttyS1 19200 id 4";
    QTest::newRow("tcp defaults") << QStringList{"Comunicacion_1=1"} << true << "tcp 192.168.0.1:3000 id 0";
    QTest::newRow("tcp") << QStringList{"Comunicacion_1=1", "Host_1=127.0.0.1", "Port_1=5020", "ID_1=7"}
                         << true << "tcp 127.0.0.1:5020 id 7";
    QTest::newRow("ID_1 text") << QStringList{"ID_1=uno"} << false << "ID_1";
    QTest::newRow("ID_1 300") << QStringList{"ID_1=300"} << false << "ID_1";
    QTest::newRow("Port_1 text") << QStringList{"Comunicacion_1=1", "Port_1=x"} << false << "Port_1";
    QTest::newRow("Comunicacion_1 text") << QStringList{"Comunicacion_1=tcp"} << false
                                         << "Comunicacion_1";
    QTest::newRow("Comm_1 text") << QStringList{"Comm_1=COMx"} << false << "Comm_1";
}

void TstLinkTrama::configEnlace()
{
    QFETCH(QStringList, ajustes);
    QFETCH(bool, ok);
    QFETCH(QString, resumen);
    DirectorioDePrueba dir;
    for (const QString& a : ajustes)
        QVERIFY(Config::GuardaConfig(QStringLiteral("global"), a.section(u'=', 0, 0), a.section(u'=', 1)));
    QString error, detalle;
    const auto c = ConfigEnlace::lee(&error, &detalle);
    QCOMPARE(c.has_value(), ok);
    if (!ok) {
        QCOMPARE(error, QStringLiteral("No se pudo abrir el puerto."));
        QCOMPARE(detalle, resumen);
        return;
    }
    const QString r = c->esTcp() ? QStringLiteral("tcp %1:%2 id %3").arg(c->host).arg(c->puerto).arg(c->id)
                                 : QStringLiteral("serie %1 %2 id %3").arg(c->dispositivo).arg(c->baudios).arg(c->id);
    QCOMPARE(r, resumen);
    if (!c->esTcp() && c->baudios == 9600)
        QCOMPARE(TransporteSerie(c->dispositivo, c->baudios).textoAjustes(), QStringLiteral("9600,n,8,1"));
}

QTEST_GUILESS_MAIN(TstLinkTrama)
#include "tst_link_trama.moc"
