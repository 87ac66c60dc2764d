// The station window: the operator's guide and the screens at a wide size.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>

#include "Capturas.h"
#include "Estacion.h"
#include "FrmDatos.h"
#include "Instalacion.h"
#include "PanelLineas.h"
#include "frmMain.h"
#include "Tendencia.h"
#include "Tolva.h"
#include "tst_station_comun.h"

namespace {

class CapturasEstacion : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void manual();
    void pantallas();
    void lineas();
};

// The operator's guide: one shift at the window's own size, a continuous run,
// a new program, a dispatch to its end, the error that follows, the lost link.
void CapturasEstacion::manual()
{
    const QString destino = Capturas::destino();
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    const QStringList nombres = {"Patente:", "Cliente:", "Producto:", "Destino:", "Remito:", "Observ.:"};
    const QStringList datos = {"AB 123 CD", "Cereales del Sur", "Maiz", "Puerto", "R-0046", ""};
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), nombres[i]);
    {
        FrmDatos d;
        for (int i = 0; i < 6; ++i)
            d.findChild<QLineEdit*>(QStringLiteral("Txt_Dato_%1").arg(i))->setText(datos[i]);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QTest::qWait(200);
        QVERIFY(d.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-datos.png"))));
    }
    b.ind().programa(0, 900, 1000);
    QPointer<frmPeso> w = b.abre(datos);
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    const QSize natural = w->size();
    auto guarda = [&](QWidget* x, const char* nombre) {
        QVERIFY(b.esperaLecturas(3));
        QTest::qWait(600); // the chart redraws twice a second
        QCOMPARE(w->size(), natural);
        QVERIFY(x->grab().save(QDir(destino).absoluteFilePath(QLatin1String(nombre))));
    };
    // The process at three times real speed, until it reaches estado (or
    // for segundos of its own time).
    auto marcha = [&](double segundos, int estado = -1) {
        for (double t = 0; t < segundos || (estado >= 0 && b.ind().estado() != estado); t += 0.3) {
            b.ind().avanza(0.3);
            QTest::qWait(100);
            if (t > 600)
                break;
        }
    };
    auto clic = [&](const char* nombre) {
        auto* c = b.control<QPushButton>(QLatin1String(nombre));
        QVERIFY(c && c->isEnabled());
        c->click();
    };

    // Continuous work: the dispatch frames are grey.
    b.ind().comando('V');
    marcha(15, 3); // few cycles: two digits do not fit the Ciclos frame
    marcha(0, 1);
    marcha(3);
    guarda(w, "manual-estacion-carga.png");
    b.ind().comando('V'); // stops at the end of the cycle
    marcha(0, 0);

    // Editing the program in stand-by.
    clic("Cmd_ProgEdit");
    b.control<QLineEdit>(QStringLiteral("Txt_dat_0"))->setText(QStringLiteral("5000"));
    guarda(w, "manual-estacion-editar.png");
    clic("Cmd_ProgCancel");
    b.ind().programa(5000, 900, 1000);

    // A dispatch of five batches, photographed while the third discharges.
    b.ind().comando('V');
    marcha(0, 3);
    marcha(0, 1);
    marcha(0, 3);
    marcha(0, 1);
    marcha(0, 3);
    marcha(1);
    guarda(w, "manual-estacion-despacho.png");
    marcha(0, 0);
    QVERIFY(!b.ind().enMarcha());

    // The general reset enabled.
    auto* habilitar = b.control<QCheckBox>(QStringLiteral("Chk_Habilitar"));
    QVERIFY(habilitar && habilitar->isEnabled());
    habilitar->setChecked(true);
    guarda(b.control<QGroupBox>(QStringLiteral("Fra_Arranque")), "manual-estacion-reset.png");
    habilitar->setChecked(false);

    // Starting again without a new dispatch.
    b.ind().comando('V');
    QTRY_VERIFY_WITH_TIMEOUT(textoDe(b, "Panel1").startsWith(QStringLiteral("ERROR 5")), 5000);
    guarda(w, "manual-estacion-error.png");
    b.ind().comando('C');
    QTRY_VERIFY_WITH_TIMEOUT(textoDe(b, "Panel1").isEmpty(), 5000);

    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, 15000);
    QTest::qWait(600);
    QCOMPARE(w->size(), natural);
    QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-estacion-sin-conexion.png"))));
    b.sim().fallos({});
}

// The window at a wide size: stand-by, loading, an error, the link lost.
void CapturasEstacion::pantallas()
{
    const QString destino = Capturas::destino();
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    b.ind().setValor32(Indicador::kUlTotal, 12500);
    b.ind().programa(20000, 900, 1000);
    QPointer<frmPeso> w = b.abre({QStringLiteral("Cliente")});
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    w->resize(1360, 820);
    auto foto = [&](const char* nombre) {
        QVERIFY(b.esperaLecturas(3));
        QTest::qWait(600); // the chart redraws twice a second
        QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QLatin1String(nombre))));
    };
    // Two cycles for the trend, at three times real speed.
    w->findChild<Tendencia*>()->setSegundos(10);
    b.ind().comando('V');
    for (int i = 0; i < 100; ++i) {
        b.ind().avanza(0.3);
        QTest::qWait(100);
    }
    b.ind().comando('X');
    b.ind().avanza(0.1);
    foto("station-standby.png");
    b.ind().comando('V');
    b.ind().avanza(5.5);
    foto("station-loading.png");
    b.ind().comando('X');
    b.ind().setRegistro(Indicador::kCError, 3);
    foto("station-error.png");
    b.ind().setRegistro(Indicador::kCError, 0);
    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    // While the six reads are still being tried the screen says the values
    // are no longer live, then gives up with the red lamp.
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEspera, 15000);
    QCOMPARE(textoDe(b, "Panel1"), frmPeso::kSinRespuesta);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, 15000);
    QTest::qWait(600);
    QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("station-link-down.png"))));
    b.sim().fallos({});
}

// Four lines of one workstation at 1024x768: lines 1 and 2 on one bus (one
// running, one in stand-by), line 3 silent, line 4 closed; the main window's
// overview and a station with the lines above it.
void CapturasEstacion::lineas()
{
    const QString destino = Capturas::destino();
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    IndicadorSimulado otro(BancoEstacion::parametros(0));
    otro.setReloj(false);
    QMetaObject::invokeMethod(&b.sim().servidor(), [&] { b.sim().servidor().agrega(otro, 2); },
                              Qt::BlockingQueuedConnection);
    SimuladorEnHilo tercero(BancoEstacion::parametros(0));
    tercero.indicador().setReloj(false);
    const QString nombres[] = {"Tolva A", "Tolva B", "Molino 2", "Mezcladora"};
    const quint16 puertos[] = {b.sim().puerto(), b.sim().puerto(), tercero.puerto(), 1};
    QString error;
    for (int n = 1; n <= 4; ++n) {
        LineaInstalada l;
        l.numero = n;
        l.nombre = nombres[n - 1];
        if (n > 1) {
            l.tcp = QStringLiteral("127.0.0.1:%1").arg(puertos[n - 1]);
            l.id = n == 2 ? 2 : 1;
        }
        QVERIFY2(InstalacionLineas::agrega(b.dir().path(), l, &error), qPrintable(error));
    }
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QStringLiteral("100"));
    b.ind().setValor32(Indicador::kUlTotal, 12500);
    b.ind().programa(20000, 900, 1000);
    otro.setValor32(Indicador::kUlTotal, 4300);
    frmMain principal;
    principal.carga();
    for (int n = 1; n <= 3; ++n) {
        rellenaDatosAlAbrir({QStringLiteral("Cliente")});
        Estacion::abrir(&principal, Contexto::programa(), n);
        QTRY_VERIFY_WITH_TIMEOUT(Estacion::ventana(n) && Estacion::ventana(n)->iniciada(), 10000);
    }
    b.ind().comando('V');
    for (int i = 0; i < 30; ++i) {
        b.ind().avanza(0.3);
        QTest::qWait(100);
    }
    FallosSimulados mudo;
    mudo.mudo = true;
    tercero.fallos(mudo);
    QTRY_VERIFY_WITH_TIMEOUT(!Estacion::estacion(3)->estado().conectado, 15000);
    QWidget* ventana = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == u"frmPeso_2")
            ventana = w;
    QVERIFY(ventana);
    ventana->resize(1024, 740);
    QTest::qWait(800);
    QVERIFY(ventana->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-lineas-estacion.png"))));
    principal.show();
    QTest::qWait(600);
    QVERIFY(principal.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-lineas-principal.png"))));
    tercero.fallos({});
    Estacion::cerrar();
}

} // namespace

std::unique_ptr<QObject> Capturas::estacion()
{
    return std::make_unique<CapturasEstacion>();
}

#include "estacion.moc"
