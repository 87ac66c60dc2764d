// Why the indicator failed, where an installer looks: the station window's
// status bar, the state the web monitor and the plant's table serve, and
// Datos.log; against the simulated indicator over TCP with its faults.
#include <QJsonObject>
#include <QLabel>

#include "Diario.h"
#include "EstadoJson.h"
#include "Reloj.h"
#include "tst_station_comun.h"

class TstStationFallas : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { Reloj::detiene(false); }
    void causaALaVista();
};

// The described texts stay as they are ("Error de conexion" in the status
// bar and the state's textoError, "Sin respuesta del indicador" as the
// reason); the kind comes beside them, follows the fault while the link is
// down and goes with the first good reading. The log hears of the failure
// once, not once a poll, and a link that comes and goes at most once a
// minute (of the program's clock, which only the test moves here).
void TstStationFallas::causaALaVista()
{
    Reloj::detiene(true);
    BancoEstacion b;
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    auto* falla = b.control<QLabel>(QStringLiteral("PanelFalla"));
    QVERIFY(falla && falla->isHidden());
    EstadoEstacion ultimo;
    connect(w->estacion(), &EstacionPesaje::estadoCambiado, this, [&](const EstadoEstacion& e) { ultimo = e; });
    const auto web = [&] {
        const QJsonObject o = EstadoJson::completo(ultimo, EstadoJson::vigente(ultimo), EstadoJson::motivo(ultimo));
        return std::pair(o.value(QStringLiteral("textoError")).toString(), o.value(QStringLiteral("motivo")).toString());
    };
    const auto registros = [&] {
        QStringList r;
        for (const QString& reg : b.archivo(Diario::kLog).split(QStringLiteral("\r\n\r\n"), Qt::SkipEmptyParts))
            if (reg.contains(QStringLiteral("Timer1_Timer")))
                r << reg;
        return r;
    };
    QVERIFY(b.esperaLecturas());
    QCOMPARE(web(), std::pair(QString(), QString()));

    b.sim().fallos({.corrupcion = 1});
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, kEspera);
    QCOMPARE(textoDe(b, "Panel1"), QStringLiteral("Error de conexion"));
    QCOMPARE(textoDe(b, "PanelFalla"), QStringLiteral("CRC incorrecto"));
    QVERIFY(!falla->isHidden());
    QCOMPARE(web(), std::pair(QStringLiteral("Error de conexion"),
                              QStringLiteral("Sin respuesta del indicador: CRC incorrecto")));
    QVERIFY(b.esperaLecturas(3));
    QStringList r = registros();
    QCOMPARE(r.size(), 1);
    const QStringList lineas = r[0].split(QStringLiteral("\r\n"));
    QCOMPARE(lineas.size(), 6);
    QCOMPARE((QStringList{lineas[0], lineas[2], lineas[4], lineas[5]}),
             (QStringList{QStringLiteral("******************* Nuevo Error *******************"), QStringLiteral("422"),
                          QStringLiteral("Error de conexion: CRC incorrecto"),
                          QStringLiteral("Rutina: Timer1_Timer (Formulario frmPeso)")}));
    QVERIFY2(lineas[3].startsWith(QStringLiteral("Fecha y Hora: ")), qPrintable(lineas[3]));

    // Another fault while the link stays down: the bar and the reason follow it.
    b.sim().fallos({.otroId = 5});
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "PanelFalla"), QStringLiteral("respondió el id 5"), kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(web().second, QStringLiteral("Sin respuesta del indicador: respondió el id 5"), kEspera);
    // Silence is what the reason already says.
    b.sim().fallos({.mudo = true});
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "PanelFalla"), QStringLiteral("sin respuesta"), kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(web().second, QStringLiteral("Sin respuesta del indicador"), kEspera);
    QCOMPARE(textoDe(b, "Panel1"), QStringLiteral("Error de conexion"));
    QCOMPARE(registros().size(), 1);

    b.sim().fallos({});
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida, kEspera);
    QVERIFY(falla->isHidden());
    QCOMPARE(web(), std::pair(QString(), QString()));
    QCOMPARE(ultimo.falla, Trama::Falla{});

    // Down again within the minute: shown, not logged; a minute on, logged.
    const auto cae = [&](const FallosSimulados& f) {
        b.sim().fallos(f);
        const bool rojo = QTest::qWaitFor(
            [&] { return colorDe(b, QStringLiteral("Shape_Estado")) == Lampara::kFalla; }, kEspera);
        b.sim().fallos({});
        return rojo && QTest::qWaitFor(
                           [&] { return colorDe(b, QStringLiteral("Shape_Estado")) == Lampara::kEncendida; },
                           kEspera);
    };
    QVERIFY(cae({.excepcion = 4}));
    QCOMPARE(registros().size(), 1);
    Reloj::adelanta(EstacionPesaje::kFallaAnotadaMs);
    b.sim().fallos({.excepcion = 4});
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, kEspera);
    r = registros();
    QCOMPARE(r.size(), 2);
    QVERIFY2(r[1].contains(QStringLiteral("\r\nError de conexion: excepción 4, falla del indicador\r\n")),
             qPrintable(r[1]));
    // Still down a minute later: the same failure, not logged again.
    Reloj::adelanta(EstacionPesaje::kFallaAnotadaMs);
    QVERIFY(b.esperaLecturas(3));
    QCOMPARE(registros().size(), 2);
}

QTEST_MAIN(TstStationFallas)
#include "tst_station_fallas.moc"
