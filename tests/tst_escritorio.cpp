// The station and the main window on a real X desktop (tests/escritorio.sh:
// Xvfb at 1024x768 with openbox): decorated by the window manager beside a
// 24-pixel panel, each whole frame must lie inside what the desktop leaves,
// and the main window must come back where it was left.
#include <QProcess>
#include <functional>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

#include "Estacion.h"
#include "Lineas.h"
#include "PlantaPrueba.h"
#include "frmMain.h"
#include "tst_station_comun.h"

namespace {

constexpr int kPanel = 24;

QString texto(const QRect& r)
{
    return QStringLiteral("%1x%2%3%4%5%6")
        .arg(r.width())
        .arg(r.height())
        .arg(r.x() < 0 ? "" : "+")
        .arg(r.x())
        .arg(r.y() < 0 ? "" : "+")
        .arg(r.y());
}

QRect disponible()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

// Waits until the window manager has put its frame around w (a title bar
// above the client area).
bool decorada(QWidget* w)
{
    return QTest::qWaitFor([w] { return w && w->frameGeometry().top() < w->geometry().top(); }, kEspera);
}

// The whole screen, when TOLVEX_CAPTURAS names a folder.
void captura(const char* nombre)
{
    const QString dir = qEnvironmentVariable("TOLVEX_CAPTURAS");
    if (dir.isEmpty())
        return;
    QTest::qWait(700); // the chart redraws twice a second
    QProcess::execute(QStringLiteral("import"),
                      {QStringLiteral("-window"), QStringLiteral("root"), QDir(dir).absoluteFilePath(QLatin1String(nombre))});
}


} // namespace

class TstEscritorio : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void estacionCabe_data();
    void estacionCabe();
    void principalVuelveDondeEstaba();

private:
    void compruebaQueCabe(frmPeso* w);
    QTemporaryDir m_config;
    QWidget m_panel;
};

// A panel along the bottom that reserves its 24 pixels, as a taskbar does.
void TstEscritorio::initTestCase()
{
    if (QGuiApplication::platformName() != u"xcb")
        QSKIP("sin escritorio X: se corre con tests/escritorio.sh");
    preparaPrograma(m_config);
    const QRect pantalla = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(pantalla.size(), QSize(1024, 768));
    m_panel.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
    m_panel.setGeometry(0, pantalla.bottom() + 1 - kPanel, pantalla.width(), kPanel);
    m_panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_panel));
    const QString id = QString::number(m_panel.winId());
    for (const auto& [nombre, formato, valor] :
         {std::tuple{"_NET_WM_STRUT", "32c", QStringLiteral("0,0,0,%1").arg(kPanel)},
          std::tuple{"_NET_WM_STRUT_PARTIAL", "32c",
                     QStringLiteral("0,0,0,%1,0,0,0,0,0,0,0,%2").arg(kPanel).arg(pantalla.width() - 1)}})
        QCOMPARE(QProcess::execute(QStringLiteral("xprop"), {QStringLiteral("-id"), id, QStringLiteral("-f"),
                                                            QLatin1String(nombre), QLatin1String(formato),
                                                            QStringLiteral("-set"), QLatin1String(nombre), valor}),
                 0);
    QTRY_COMPARE_WITH_TIMEOUT(disponible(), pantalla.adjusted(0, 0, 0, -kPanel), kEspera);
}

// Decorated, the whole frame is inside the desktop at the size the window
// opens with, the status bar with it; at its minimum size, with the frame
// the window manager gave it, it would fit too.
void TstEscritorio::compruebaQueCabe(frmPeso* w)
{
    QVERIFY(decorada(w));
    const QRect libre = disponible();
    QTRY_VERIFY2_WITH_TIMEOUT(libre.contains(w->frameGeometry()),
                              qPrintable(texto(w->frameGeometry()) + QStringLiteral(" fuera de ") + texto(libre)),
                              kEspera);
    auto* barra = w->findChild<QStatusBar*>(QStringLiteral("sbStatusBar"));
    QVERIFY(barra && barra->isVisible());
    const QRect r(barra->mapToGlobal(QPoint(0, 0)), barra->size());
    QVERIFY2(libre.contains(r), qPrintable(QStringLiteral("barra de estado ") + texto(r)));
    const QSize marco = w->frameGeometry().size() - w->size();
    const QSize minimo = w->minimumSize().expandedTo(w->minimumSizeHint()) + marco;
    QVERIFY2(minimo.width() <= libre.width() && minimo.height() <= libre.height(),
             qPrintable(QStringLiteral("mínimo con el marco: %1x%2").arg(minimo.width()).arg(minimo.height())));
}

void TstEscritorio::estacionCabe_data()
{
    QTest::addColumn<int>("lineas");
    QTest::addColumn<QString>("nivel");
    QTest::newRow("una línea, Instalador") << 1 << QStringLiteral("Instalador");
    QTest::newRow("una línea, Operador") << 1 << QStringLiteral("Operador");
    QTest::newRow("tres líneas, Instalador") << 3 << QStringLiteral("Instalador");
}

void TstEscritorio::estacionCabe()
{
    QFETCH(int, lineas);
    QFETCH(QString, nivel);
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    // The other lines on the same indicator: only the overview they add to
    // the window matters here.
    for (int n = 2; n <= lineas; ++n)
        for (const QString& base : Lineas::clavesBase())
            Config::GuardaConfig(QStringLiteral("Global"), base + QStringLiteral("_%1").arg(n),
                                 Config::LeeConfig(QStringLiteral("Global"), base + QStringLiteral("_1"), QString()));
    QCOMPARE(Lineas::lista().size(), lineas);
    Programa::NivelActual = nivel;
    b.ind().setValor32(Indicador::kUlTotal, 12500);
    b.ind().programa(20000, 900, 1000);
    QPointer<frmPeso> w = b.abreListo({QStringLiteral("Cliente")});
    QVERIFY2(w, qPrintable(b.error()));
    compruebaQueCabe(w);
    if (lineas == 1 && nivel == u"Instalador") {
        w->resize(w->sizeHint());
        captura("manual-estacion-escritorio.png");
        b.sim().fallos({.mudo = true});
        QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Panel1"), EstadoEstacion::kSinConexion, kEspera);
        captura("manual-estacion-sin-conexion-escritorio.png");
        b.sim().fallos({});
    }
}


// Six starts with the placement saved at each close: the frame comes back
// where it was left. A placement saved off the screen comes back inside it.
void TstEscritorio::principalVuelveDondeEstaba()
{
    Planta p;
    QVERIFY(p.ok);
    Programa::OperadorActual = QStringLiteral("JUAN PÉREZ");
    Programa::NivelActual = QStringLiteral("Instalador");
    QSettings().remove(QStringLiteral("Settings"));
    // Started with the placement saved, framed, placed as bien wants it (at
    // once or once the window has brought itself inside), then closed: where
    // its frame was, or empty when it never got there.
    QStringList guardado;
    auto arranca = [&guardado](const std::function<bool(const QRect&)>& bien) {
        frmMain v;
        v.carga();
        const bool ok = decorada(&v) && QTest::qWaitFor([&] { return bien(v.frameGeometry()); }, kEspera);
        const QRect marco = v.frameGeometry();
        v.close();
        QSettings s;
        guardado = QStringList{s.value(QStringLiteral("Settings/MainLeft")).toString(),
                               s.value(QStringLiteral("Settings/MainTop")).toString()};
        return ok ? marco : QRect();
    };
    auto dentro = [](const QRect& r) { return disponible().contains(r); };
    const QRect primero = arranca(dentro);
    QVERIFY(primero.isValid());
    for (int i = 2; i <= 6; ++i) {
        const QStringList antes = guardado;
        QRect visto;
        const QRect r = arranca([&](const QRect& m) {
            visto = m;
            return m == primero;
        });
        QVERIFY2(r.isValid(), qPrintable(QStringLiteral("arranque %1: %2, el primero %3").arg(i).arg(texto(visto), texto(primero))));
        QCOMPARE(guardado, antes);
    }
    // Left above and to the right of the screen, or below the panel.
    for (const auto& [izquierda, arriba] : {std::pair{"30000", "-2925"}, std::pair{"-9000", "11400"}}) {
        QSettings().setValue(QStringLiteral("Settings/MainLeft"), QLatin1String(izquierda));
        QSettings().setValue(QStringLiteral("Settings/MainTop"), QLatin1String(arriba));
        QRect visto;
        const QRect r = arranca([&](const QRect& m) {
            visto = m;
            return dentro(m);
        });
        QVERIFY2(r.isValid(), qPrintable(texto(visto) + QStringLiteral(" fuera de ") + texto(disponible())));
    }
}

QTEST_MAIN(TstEscritorio)
#include "tst_escritorio.moc"
