// The sign-in, users, main window, options and a 1024x768 station.
#include <QtTest>
#include <QtWidgets>

#include "CDatos.h"
#include "Capturas.h"
#include "Config.h"
#include "PlantaPrueba.h"
#include "Programa.h"
#include "frmAbout.h"
#include "frmAyuda.h"
#include "frmCContrasenias.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmMain.h"
#include "frmOPERARIO.h"
#include "frmOptions.h"
#include "tst_station_comun.h"

namespace {

class CapturasApp : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase() { preparaPrograma(m_config); }
    void cleanup()
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            w->hide();
    }
    void pantallas();
};

void CapturasApp::pantallas()
{
    const QString destino = Capturas::destino();
    {
        Planta p;
        frmLogin2 f;
        f.txtUserName->setText(QStringLiteral("Planta Norte"));
        f.show();
        QTest::qWait(200);
        QVERIFY(f.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("app-primera-vez-bienvenida.png"))));
    }
    {
        // The two steps of the first run as the guide describes them.
        Planta p;
        frmLogin2 f;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.txtUserName->setText(QStringLiteral("Juan Perez"));
        f.txtPassword->setText(QStringLiteral("Planta Norte"));
        QTest::qWait(200);
        QVERIFY(!f.enPasoClaves());
        QVERIFY(f.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-primera-vez-nombre.png"))));
        f.cmdOK->click();
        QVERIFY(f.enPasoClaves());
        QVERIFY(!f.cmdOK->isEnabled());
        f.txtPassword1->setText(QStringLiteral("norte"));
        f.txtPassword2->setText(QStringLiteral("norte"));
        f.txtPassword3->setText(QStringLiteral("pesa"));
        f.txtPassword4->setText(QStringLiteral("pesa"));
        QVERIFY(f.cmdOK->isEnabled());
        QTest::qWait(200);
        QVERIFY(f.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-primera-vez-claves.png"))));
    }
    {
        // Adding the first operator (top) and the list afterwards (bottom).
        Planta p;
        QVERIFY(p.ok);
        frmOPERARIO o;
        QVERIFY(o.cargado());
        o.show();
        QVERIFY(QTest::qWaitForWindowExposed(&o));
        o.cmdAgregar->click();
        QVERIFY(o.agregando());
        o.txt_Dato[0]->setText(QStringLiteral("Ana Gomez"));
        o.txt_Dato[1]->setText(QStringLiteral("pesa"));
        o.ListaJerarquias->setCurrentText(QStringLiteral("Superior"));
        QTest::qWait(200);
        const QPixmap arriba = o.grab();
        o.cmdAgregar->click();
        QVERIFY(!o.agregando());
        QCOMPARE(o.cantidad(), 1);
        QTest::qWait(200);
        const QPixmap abajo = o.grab();
        QImage ambas(std::max(arriba.width(), abajo.width()), arriba.height() + abajo.height(),
                     QImage::Format_RGB32);
        ambas.fill(o.palette().window().color());
        QPainter pintor(&ambas);
        pintor.drawPixmap(0, 0, arriba);
        pintor.drawPixmap(0, arriba.height(), abajo);
        pintor.end();
        QVERIFY(ambas.save(QDir(destino).absoluteFilePath(QStringLiteral("manual-operarios.png"))));
    }
    {
        // The main window as the master password and as a Superior see it.
        Planta p;
        QVERIFY(p.ok);
        const QList<std::pair<QString, QString>> ingresos = {
            {QString(), QStringLiteral("manual-principal-maestro.png")},
            {QStringLiteral("Superior"), QStringLiteral("manual-principal-superior.png")}};
        for (const auto& [nivel, archivo] : ingresos) {
            Programa::NivelActual = nivel;
            Programa::OperadorActual = nivel.isEmpty() ? QStringLiteral("Maestro") : QStringLiteral("Ana Gomez");
            frmMain v;
            v.carga();
            v.show();
            QVERIFY(QTest::qWaitForWindowExposed(&v));
            QTest::qWait(200);
            QVERIFY(v.grab().save(QDir(destino).absoluteFilePath(archivo)));
            v.close();
        }
        QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Usuario"), QStringLiteral("Juan Perez")));
        QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Organización"),
                                     QStringLiteral("Planta Norte")));
        frmAbout a;
        a.show();
        QVERIFY(QTest::qWaitForWindowExposed(&a));
        QTest::qWait(200);
        QVERIFY(a.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-acerca.png"))));
        a.close();

        // The guide in the program's own window, at the station's chapter, as
        // a plant sees it: the window names the manual's place, so the
        // picture is taken only with the package installed.
        const QString manual = QStringLiteral("/usr/share/doc/tolvex/manual.html");
        if (QFileInfo(manual).isFile()) {
            frmAyuda ayuda(manual);
            ayuda.show();
            QVERIFY(QTest::qWaitForWindowExposed(&ayuda));
            ayuda.txtManual->scrollToAnchor(QStringLiteral("4-la-estación-de-pesaje"));
            QTest::qWait(200);
            QVERIFY(ayuda.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-ayuda.png"))));
        } else {
            qInfo("manual-ayuda.png: sin el paquete instalado (%s), no se toma", qPrintable(manual));
        }

        // The sign-in with a named operator chosen.
        {
            CDatos db;
            QVERIFY(db.AbrirBase(Programa::DataCSOperarios));
            QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (OPERADOR) VALUES ('Ana Gomez')")
                                   .arg(Programa::DataTbOperarios)));
        }
        frmLogin1 l;
        const int ana = l.DBCombo_Operarrio->findText(QStringLiteral("Ana Gomez"));
        QVERIFY(ana > 0);
        l.DBCombo_Operarrio->setCurrentIndex(ana);
        l.txtPassword->setText(QStringLiteral("pesa"));
        l.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l));
        QTest::qWait(200);
        l.txtPassword->deselect();
        QVERIFY(l.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-login.png"))));
        l.close();

        // Ana changes her own password.
        Programa::OperadorActual = QStringLiteral("Ana Gomez");
        frmCContrasenias c;
        QVERIFY(c.cargado());
        c.txtCAnterior->setText(QStringLiteral("pesa"));
        c.txtCNueva->setText(QStringLiteral("sur7"));
        c.txtCCNueva->setText(QStringLiteral("sur7"));
        c.show();
        QVERIFY(QTest::qWaitForWindowExposed(&c));
        QTest::qWait(200);
        QVERIFY(c.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-cambio-clave.png"))));
        c.close();

        // Options, one picture per tab.
        const QStringList nombres = {"Patente:", "Cliente:", "Producto:", "Destino:", "Remito:", "Observ.:"};
        for (int i = 0; i < 6; ++i)
            Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), nombres[i]);
        // The indicator on Ethernet, as the simulator is reached.
        const QList<std::pair<const char*, const char*>> enlace = {
            {"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"}, {"Port_1", "15020"}, {"ID_1", "1"}};
        for (const auto& [clave, valor] : enlace)
            QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QLatin1String(clave), QLatin1String(valor)));
        frmOptions o;
        o.show();
        QVERIFY(QTest::qWaitForWindowExposed(&o));
        QStringList pestanas = {"comunicacion", "datos", "seguridad"};
        if (o.picMqtt) // the Instalador's page
            pestanas << QStringLiteral("mqtt");
        QCOMPARE(o.SSTab1->count(), pestanas.size());
        o.txtPassword1->setText(QStringLiteral("norte"));
        o.txtPassword2->setText(QStringLiteral("norte"));
        o.txtPassword3->setText(QStringLiteral("pesa"));
        o.txtPassword4->setText(QStringLiteral("pesa"));
        for (int i = 0; i < pestanas.size(); ++i) {
            o.SSTab1->setCurrentIndex(i);
            QTest::qWait(100);
            QVERIFY(o.grab().save(
                QDir(destino).absoluteFilePath(QStringLiteral("manual-opciones-%1.png").arg(pestanas[i]))));
        }
    }
    BancoEstacion b;
    QVERIFY(b.instalado());
    Programa::NivelActual = QStringLiteral("Superior");
    b.ind().programa(20000, 900, 1000);
    QPointer<frmPeso> w = b.abre({QStringLiteral("Cliente")});
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    // A 1024x768 screen less a 32-pixel panel and the window's title bar.
    w->resize(1024, 768 - 32 - 30);
    b.ind().comando('V');
    b.ind().avanza(5.5);
    QVERIFY(b.esperaLecturas(3));
    QTest::qWait(600);
    QCOMPARE(w->size(), QSize(1024, 706));
    QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("station-1024x768.png"))));
    b.ind().comando('X');
}

} // namespace

std::unique_ptr<QObject> Capturas::app()
{
    return std::make_unique<CapturasApp>();
}

#include "app.moc"
