#include <QPageSetupDialog>
#include <QPrinter>
#include <QtTest>
#include <QtWidgets>

#include <pwd.h>
#include <functional>
#include <unistd.h>

#include "Arranque.h"
#include "CDatos.h"
#include "Config.h"
#include "Dialogos.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "PlantaPrueba.h"
#include "Secreto.h"
#include "TestSupport.h"
#include "frmAbout.h"
#include "frmAyuda.h"
#include "frmCContrasenias.h"
#include "frmOPERARIO.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmMain.h"
#include "frmPreparar.h"
#include "frmOptions.h"
#include "tst_station_comun.h"

namespace {

const QString kPass1 = QStringLiteral("Op1");
const QString kPass2 = QStringLiteral("Sup2");

// Drives the modal dialogs in turn: each step gets the dialog that was
// opened; the names of the dialogs are recorded.
struct Guion
{
    QList<std::function<void(QDialog&)>> pasos;
    QStringList abiertos;

    Guion()
    {
        Dialogos::setEjecutor([this](QDialog& d) {
            abiertos << d.objectName();
            d.show();
            if (!pasos.isEmpty())
                pasos.takeFirst()(d);
        });
    }
    ~Guion() { Dialogos::setEjecutor({}); }
};

void ingresaMaestra(QDialog& d, const QString& clave)
{
    auto& l = dynamic_cast<frmLogin1&>(d);
    l.txtPassword->setText(clave);
    l.cmdOK->click();
}

// The text of the one message shown, or how many were shown instead.
QString unMensaje()
{
    const auto m = MessageBox::mostrados();
    return m.size() == 1 ? m.first().texto : QStringLiteral("%1 mensajes").arg(m.size());
}

bool ventanasVisibles()
{
    const auto v = QApplication::topLevelWidgets();
    return std::any_of(v.cbegin(), v.cend(), [](QWidget* w) { return w->isVisible(); });
}

} // namespace

// Stands in for the desktop's viewer: records what it was asked to open.
class VisorDePrueba : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> abiertas;
public Q_SLOTS:
    void abre(const QUrl& u) { abiertas << u; }
};

class TstApp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { preparaPrograma(m_config); }
    void cleanup();

    void arranquePrimeraVez();

    void niveles_data();
    void niveles();
    void ayudaYUbicacion();

    void copiaBase();

    void opciones();

    void estacionTamanio_data();
    void estacionTamanio();
    void dialogosEnCastellano();
    void cuentaNueva();
    void reportesSoloLectura_data();
    void reportesSoloLectura();

private:
    QTemporaryDir m_config;
};

void TstApp::cleanup()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        w->hide();
}

// The first run, the settings file named in capitals: left unfinished it
// comes back; completed, it stores the passwords and the next starts go
// straight to the login.
void TstApp::arranquePrimeraVez()
{
    Planta p;
    Guion g;
    {
        // The settings file in the program directory only, its name in any
        // case: start-up passes the check, every setting is its default.
        QVERIFY(QFile::rename(p.dir.file(QStringLiteral("Tolvex.ini")), p.dir.file(QStringLiteral("TOLVEX.ini"))));
        DirectorioDePrueba trabajo;
        g.pasos << [](QDialog& d) { dynamic_cast<frmLogin2&>(d).cmdCancel->click(); };
        frmMain v;
        QCOMPARE(Arranque::iniciar(v), Arranque::Resultado::PrimeraVezSalir);
        QVERIFY(MessageBox::mostrados().isEmpty());
        QCOMPARE(Programa::DataTbOperarios, QString());
        QVERIFY(!ventanasVisibles());
    }
    // Salir in the password step, or the dialog closed any other way: the
    // marker stays, the login never comes.
    g.pasos << [](QDialog& d) {
        auto& f = dynamic_cast<frmLogin2&>(d);
        f.cmdOK->click();
        f.txtPassword1->setText(kPass2);
        f.cmdCancel->click();
    } << [](QDialog& d) { d.reject(); };
    for (int i = 0; i < 2; ++i) {
        frmMain v;
        QCOMPARE(Arranque::iniciar(v), Arranque::Resultado::PrimeraVezSalir);
        QVERIFY(QFile::exists(p.marca()));
        QVERIFY(!ventanasVisibles());
    }
    QCOMPARE(g.abiertos, QStringList({"frmLogin2", "frmLogin2", "frmLogin2"}));

    g.pasos << [](QDialog& d) {
        auto& f = dynamic_cast<frmLogin2&>(d);
        f.txtUserName->setText(QStringLiteral("Ana Núñez"));
        f.txtPassword->setText(QStringLiteral("Molinos O'Higgins"));
        f.cmdOK->click();
        f.txtPassword1->setText(kPass2);
        f.txtPassword2->setText(kPass2);
        f.txtPassword3->setText(kPass1);
        f.txtPassword4->setText(kPass1);
        MessageBox::setNextAnswer(QMessageBox::Yes);
        f.cmdOK->click();
    } << [](QDialog& d) { ingresaMaestra(d, kPass1.toLower()); };
    frmMain v;
    QCOMPARE(Arranque::iniciar(v), Arranque::Resultado::Continuar);
    QCOMPARE(g.abiertos.mid(3), QStringList({"frmLogin2", "frmLogin1"}));
    QVERIFY(!QFile::exists(p.marca()));
    QVERIFY(v.isVisible());
    QCOMPARE(v.findChild<QLabel*>(QStringLiteral("sbPanel1"))->text(), QStringLiteral("Nivel:  (Maestro)"));
    QCOMPARE(Programa::TipoAcceso, 1);
    // Only the main window is left: the dialogs and the splash are gone.
    for (QWidget* w : QApplication::topLevelWidgets())
        QVERIFY2(!w->isVisible() || w == &v, qPrintable(w->objectName()));
    v.close();
    QVERIFY(!ventanasVisibles());

    // The About box shows what the first run stored.
    frmAbout a;
    QCOMPARE(QStringList({a.lblUsuario->text(), a.lblOrganizacion->text()}), QStringList({"Ana Núñez", "Molinos O'Higgins"}));

    // The next start goes straight to the login.
    g.pasos << [](QDialog& d) { ingresaMaestra(d, kPass2); };
    frmMain w;
    QCOMPARE(Arranque::iniciar(w), Arranque::Resultado::Continuar);
    QCOMPARE(g.abiertos.mid(5), QStringList({"frmLogin1"}));
    QCOMPARE(Programa::TipoAcceso, 2);
    w.close();

    // The login cancelled: nobody signed in, the end.
    g.pasos << [](QDialog& d) { dynamic_cast<frmLogin1&>(d).cmdCancel->click(); };
    MessageBox::limpiar();
    Programa::OperadorActual.clear();
    frmMain x;
    QCOMPARE(Arranque::iniciar(x), Arranque::Resultado::SinIngreso);
    QCOMPARE(g.abiertos.mid(6), QStringList({"frmLogin1"}));
    QVERIFY(MessageBox::mostrados().isEmpty());
    QCOMPARE(Programa::OperadorActual, QString());
    QVERIFY(!ventanasVisibles());
}

void TstApp::niveles_data()
{
    QTest::addColumn<QString>("nivel");
    QTest::addColumn<QStringList>("menusOcultos");
    QTest::addColumn<QString>("barra"); // "|" a separator, hidden ones in brackets
    QTest::addColumn<QStringList>("abiertos"); // by options, operators, own password, options button
    const QStringList todos = {"frmOptions", "frmOPERARIO", "frmCContrasenias", "frmOptions"};
    const QString entera = QStringLiteral("reporte | Pesar | opciones | copiarbase | acerca");
    QTest::newRow("Operador") << "Operador" << QStringList{"mnuViewOptions", "mnuCopiarBase", "operarios"}
                              << "reporte | Pesar (|) (opciones) (|) (copiarbase) | acerca" << QStringList{"frmCContrasenias"};
    QTest::newRow("Superior") << "Superior" << QStringList{"mnuViewOptions"}
                              << "reporte | Pesar (|) (opciones) | copiarbase | acerca" << todos;
    QTest::newRow("Gerencia") << "Gerencia" << QStringList{"pesar", "mnuViewOptions", "mnuCopiarBase", "operarios"}
                              << "reporte (|) (Pesar) (|) (opciones) (|) (copiarbase) | acerca"
                              << QStringList{"frmOPERARIO", "frmCContrasenias"};
    QTest::newRow("Instalador") << "Instalador" << QStringList{} << entera << todos;
    QTest::newRow("maestra") << "" << QStringList{} << entera << todos;
    QTest::newRow("nivel desconocido") << "gerencia" << QStringList{} << entera << todos;
}

void TstApp::niveles()
{
    QFETCH(QString, nivel);
    QFETCH(QStringList, menusOcultos);
    QFETCH(QString, barra);
    QFETCH(QStringList, abiertos);
    Planta p;
    Programa::NivelActual = nivel;
    Programa::OperadorActual = QStringLiteral("Lía");
    frmMain v;
    v.carga();
    const QStringList menus = {"mnuCopiarBase", "mnuFilePageSetup", "mnuFileExit", "pesar", "operarios", "mnuContrasenias",
                               "mnuViewDataPLANILLA", "mnuViewToolbar", "mnuViewStatusBar", "mnuViewOptions",
                               "mnuHelpContents", "mnuHelpSearch", "mnuHelpAbout"};
    for (const QString& m : menus) {
        QAction* a = v.accion(m);
        QVERIFY2(a, qPrintable(m));
        QCOMPARE(a->isVisible(), !menusOcultos.contains(m));
    }
    // A separator shows only before a visible button; every button has its icon.
    QStringList acciones;
    for (QAction* a : v.findChild<QToolBar*>(QStringLiteral("tbToolBar"))->actions()) {
        QVERIFY(a->isSeparator() || !a->icon().isNull());
        const QString t = a->isSeparator() ? QStringLiteral("|") : a->data().toString();
        acciones << (a->isVisible() ? t : u'(' + t + u')');
    }
    QCOMPARE(acciones.join(u' '), barra);
    QCOMPARE(v.findChild<QLabel*>(QStringLiteral("sbPanel1"))->text(), QStringLiteral("Nivel: %1 (Lía)").arg(nivel));

    // Commands check the level again when chosen, whatever is visible; a
    // refusal shows nothing. "Maestro" is told where its passwords change.
    Guion g;
    for (const char* m : {"mnuViewOptions", "operarios", "mnuContrasenias"})
        v.accion(QLatin1String(m))->trigger();
    v.botonToolbar(QStringLiteral("opciones"));
    QCOMPARE(g.abiertos, abiertos);
    QVERIFY(MessageBox::mostrados().isEmpty());
    Programa::OperadorActual = QStringLiteral("Maestro");
    v.accion(QStringLiteral("mnuContrasenias"))->trigger();
    QCOMPARE(unMensaje(), QStringLiteral("  Para cambiar la contraseña debe ir a la\nventana opciones en la solapa Seguridad."));
    QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("Marbo"));
    QCOMPARE(g.abiertos, abiertos);
    v.close();
}

// The guide: not installed, a message says so; built beside the programs, it
// opens in the program's own window from the menu and from the "?" button,
// its pictures and links all there, whether or not the desktop has a browser
// that starts. The window's placement is kept between runs.
void TstApp::ayudaYUbicacion()
{
    Planta p;
    QSettings().remove(QStringLiteral("Settings"));
    Guion g;
    frmMain v;
    v.carga();
    QCOMPARE(v.geometry().topLeft(), QPoint(67, 67)); // 1000 twips, the client area's corner
    QCOMPARE(v.height(), qMax(109, v.minimumSizeHint().height()));
    frmMain::setRutaManual(p.dir.file(QStringLiteral("no-instalado/manual.html")));
    v.botonToolbar(QStringLiteral("acerca"));
    v.accion(QStringLiteral("mnuHelpSearch"))->trigger();
    frmMain::setRutaManual(QString());
    QCOMPARE(MessageBox::mostrados().size(), 2);
    for (const auto& m : MessageBox::mostrados()) {
        QCOMPARE(m.texto, frmMain::kMensajeAyuda);
        QCOMPARE(m.titulo, QStringLiteral("Tolvex"));
        QCOMPARE(m.icono, MessageBox::Informacion);
    }
    QVERIFY(g.abiertos.isEmpty());

    const QString manual = QDir::cleanPath(frmMain::rutaManual());
    QVERIFY2(QFileInfo(manual).isFile(), qPrintable(manual));
    const QString html = QString::fromUtf8(leeArchivo(manual));
    QVERIFY(html.contains(QStringLiteral("<h2 id=\"4-la-estación-de-pesaje\">")));
    static const QRegularExpression img(QStringLiteral("<img[^>]* src=\"([^\"]+)\""));
    int imagenes = 0;
    for (const auto& m : img.globalMatch(html)) {
        QVERIFY2(QImage(QFileInfo(manual).dir().filePath(m.captured(1))).width() > 0, qPrintable(m.captured(1)));
        ++imagenes;
    }
    QVERIFY(imagenes >= 10);
    // Its contents list every section, in order; what comes before them is
    // for the operator (how the pictures are made is not).
    static const QRegularExpression seccion(QStringLiteral("<h2 id=\"([^\"]+)\">"));
    static const QRegularExpression enlace(QStringLiteral("<a href=\"#([^\"]+)\">"));
    QStringList secciones, contenido;
    for (const auto& m : seccion.globalMatch(html))
        secciones << m.captured(1);
    const QString indice = html.section(QStringLiteral("Contenido:"), 1).section(QStringLiteral("<h2"), 0, 0);
    for (const auto& m : enlace.globalMatch(indice))
        contenido << m.captured(1);
    QVERIFY(secciones.size() >= 19);
    QCOMPARE(contenido, secciones);
    const QString antes = html.section(QStringLiteral("Contenido:"), 0, 0);
    QVERIFY(!antes.contains(QStringLiteral("build-test")) && !antes.contains(QStringLiteral("xvfb-run")));
    // A desktop whose browser does not start (the handler cannot be called).
    VisorDePrueba visor;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &visor, "noExiste");
    const auto quita = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });
    MessageBox::limpiar();
    v.botonToolbar(QStringLiteral("acerca"));
    v.accion(QStringLiteral("mnuHelpContents"))->trigger();
    QVERIFY(MessageBox::mostrados().isEmpty());
    const auto ayudas = v.findChildren<frmAyuda*>();
    QCOMPARE(ayudas.size(), 1);
    frmAyuda& a = *ayudas.first();
    QVERIFY(a.isVisible());
    QVERIFY(a.txtManual->toPlainText().contains(QStringLiteral("4. La estación de pesaje")));
    QVERIFY(a.txtManual->toPlainText().startsWith(QStringLiteral("Tolvex: manual del operador")));
    QCOMPARE(a.txtManual->verticalScrollBar()->value(), 0);
    QVERIFY(a.lblRuta->text().endsWith(manual));
    // Its pictures are there, no wider than the page.
    const QString imagen = img.match(html).captured(1);
    const QImage mostrada = a.txtManual->document()
                                ->resource(QTextDocument::ImageResource, QUrl(imagen))
                                .value<QImage>();
    QVERIFY2(mostrada.width() > 0 && mostrada.width() <= a.txtManual->viewport()->width(), qPrintable(imagen));
    a.cmdNavegador->click();
    QCOMPARE(unMensaje(), QStringLiteral("No se pudo abrir el navegador del escritorio. El manual está en %1").arg(manual));
    // A browser that starts gets the guide.
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &visor, "abre");
    a.cmdNavegador->click();
    QCOMPARE(visor.abiertas, QList<QUrl>({QUrl::fromLocalFile(manual)}));
    a.cmdCerrar->click();
    QVERIFY(!a.isVisible());

    g.pasos << [](QDialog& d) {
        auto& a = dynamic_cast<frmAbout&>(d);
        QCOMPARE(a.lblUsuario->text(), QStringLiteral("        ")); // never registered
        a.cmdOK->click();
    };
    v.accion(QStringLiteral("mnuHelpAbout"))->trigger();
    QCOMPARE(g.abiertos, QStringList{"frmAbout"});

    // Toolbar and status bar switches.
    auto* barra = v.accion(QStringLiteral("mnuViewToolbar"));
    barra->trigger();
    QVERIFY(!v.findChild<QToolBar*>(QStringLiteral("tbToolBar"))->isVisible());
    barra->trigger();
    QVERIFY(v.findChild<QToolBar*>(QStringLiteral("tbToolBar"))->isVisible());
    v.accion(QStringLiteral("mnuViewStatusBar"))->trigger();
    QVERIFY(!v.statusBar()->isVisible());

    v.setGeometry(QRect(QPoint(100, 150), v.size())); // inside the 800x600 offscreen screen
    v.accion(QStringLiteral("mnuFileExit"))->trigger();
    QVERIFY(!v.isVisible());
    QSettings s;
    QCOMPARE(s.value(QStringLiteral("Settings/MainLeft")).toString(), QStringLiteral("1500"));
    QCOMPARE(s.value(QStringLiteral("Settings/MainTop")).toString(), QStringLiteral("2250"));
    QVERIFY(s.value(QStringLiteral("Settings/MainWidth")).toInt() > 0);
    frmMain w;
    w.carga();
    QCOMPARE(w.geometry().topLeft(), QPoint(100, 150));
    // Closing while minimised leaves the stored placement alone.
    w.move(10, 10);
    w.setWindowState(Qt::WindowMinimized);
    w.close();
    QCOMPARE(QSettings().value(QStringLiteral("Settings/MainLeft")).toString(), QStringLiteral("1500"));
}

void TstApp::copiaBase()
{
    Planta p;
    // A committed row, then another connection holding a transaction open meanwhile.
    CDatos abierta;
    QVERIFY(abierta.AbrirBase(Programa::DataCSReporte));
    QVERIFY(abierta.Ejecuta(QStringLiteral("INSERT INTO Operarios (OPERADOR) VALUES ('Ana')")));
    QVERIFY(abierta.IniciaTransaccion());
    QVERIFY(abierta.Ejecuta(QStringLiteral("INSERT INTO Operarios (OPERADOR) VALUES ('sin confirmar')")));

    frmMain v;
    QString inicial;
    QString destino = p.dir.file(QStringLiteral("copia con 'comilla'.db"));
    v.eligeDestino = [&](const QString& i) {
        inicial = i;
        return destino;
    };
    auto copia = [&v] {
        MessageBox::limpiar();
        v.copiarBase();
        return unMensaje();
    };
    Programa::TipoAcceso = 1;
    v.copiarBase();
    QVERIFY(inicial.isEmpty());
    QVERIFY(!QFile::exists(destino));

    Programa::TipoAcceso = 2;
    QVERIFY(escribeArchivo(destino, "basura que se reemplaza"));
    QCOMPARE(copia(), QStringLiteral("0 mensajes"));
    QCOMPARE(inicial, p.dir.file(QStringLiteral("data.db")));
    QVERIFY(abierta.Deshace());
    CDatos c;
    QVERIFY2(c.AbrirBase(ConnectionString::sqlite(destino)), qPrintable(c.ultimoError()));
    QVERIFY(c.AbreRegistro(QStringLiteral("SELECT * FROM Operarios")));
    QCOMPARE(c.filas(), 1); // the committed row only
    QCOMPARE(c.Campo(QStringLiteral("OPERADOR")).toString(), QStringLiteral("Ana"));
    QCOMPARE(QDir(p.dir.path()).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden).size(), 0);

    // Cancelled: nothing, silently.
    destino.clear();
    QCOMPARE(copia(), QStringLiteral("0 mensajes"));

    // A destination that cannot be written is reported.
    destino = p.dir.file(QStringLiteral("no/existe/copia.db"));
    QVERIFY(copia().startsWith(QStringLiteral("No se pudo copiar la base de datos")));
    // The database itself as the destination, by its name or through a link.
    const QByteArray antes = leeArchivo(p.dir.file(QStringLiteral("data.db")));
    QVERIFY(QFile::link(p.dir.file(QStringLiteral("data.db")), p.dir.file(QStringLiteral("enlace.db"))));
    for (const char* nombre : {"data.db", "enlace.db"}) {
        destino = p.dir.file(QString::fromLatin1(nombre));
        QCOMPARE(copia(), QStringLiteral("No se pudo copiar la base de datos: El destino es la misma base de datos."));
        QCOMPARE(leeArchivo(p.dir.file(QStringLiteral("data.db"))), antes);
    }

    // Refused before a destination is asked: a network terminal, a server database.
    inicial.clear();
    Programa::Fecha_Chr = QStringLiteral("'");
    QCOMPARE(copia(), QStringLiteral("La utilidad no está disponible para una terminal en red."));
    QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("Atención!"));
    Programa::Fecha_Chr = QStringLiteral("#");
    Programa::DataCSReporte = QStringLiteral("Driver=PostgreSQL;Host=srv;Database=tolvex;User=u");
    QCOMPARE(copia(), QStringLiteral("La copia sólo está disponible para la base de datos local data.db; la base "
                                     "de datos de esta planta está en un servidor."));
    QVERIFY(inicial.isEmpty());

    // Working directory other than the program's: message, then the end.
    Programa::leeVariables();
    v.carga();
    DirectorioDePrueba otro;
    destino = otro.file(QStringLiteral("copia.db"));
    QVERIFY(copia().startsWith(QStringLiteral("No se encuentra data.db o la ruta de trabajo no es correcta.\n")));
    QVERIFY(MessageBox::ultimoTexto().contains(QFileInfo(otro.path()).canonicalFilePath().toUpper()));
    QVERIFY(QFile::exists(destino));
    QVERIFY(!v.isVisible());
}

void TstApp::opciones()
{
    Planta p;
    // Aceptar on the dialog shown again, `si` questions answered Yes; the one message shown.
    auto acepta = [](frmOptions& f, int si) {
        f.Aceptado = false;
        f.show();
        MessageBox::limpiar();
        for (int i = 0; i < si; ++i)
            MessageBox::setNextAnswer(QMessageBox::Yes);
        f.cmdOK->click();
        return unMensaje();
    };
    frmOptions f;
    f.show();
    // The values the station uses for a link never configured.
    QCOMPARE(QStringList({f.ListaPuerto->currentText(), f.ListaBaudios->currentText(), f.Txt_TCP_RemotePort->text(),
                          f.Txt_TCP_RemoteHost->text(), f.Lbl_tiempo->text(), f.LabelId0->text(), f.Txt_Dato[3]->text()}),
             QStringList({"Com2", "19200", "3000", "192.168.0.1", "100", "0", "Dato 3:"}));
    QVERIFY(f.optSerie->isChecked());
    QVERIFY(f.fraSerie->isEnabledTo(f.picOptions[0]) && !f.FraTCP->isEnabledTo(f.picOptions[0]));
    // No master password yet: Aceptar waits for both.
    QVERIFY(!f.cmdOK->isEnabled());
    f.HScrollId0->setValue(17);
    f.vsc_tiempo->setValue(250);
    QCOMPARE(QStringList({f.LabelId0->text(), QString::number(f.vsc_tiempo->value()), f.Lbl_tiempo->text()}),
             QStringList({"17", "300", "300"}));

    // Everything changed and saved.
    f.HScrollId0->setValue(7);
    f.HScroll_DB->setValue(2);
    f.ListaPuerto->setCurrentText(QStringLiteral("Com3"));
    f.ListaBaudios->setCurrentText(QStringLiteral("9600"));
    f.optTCP->click();
    QVERIFY(!f.fraSerie->isEnabled() && f.FraTCP->isEnabled());
    f.Txt_TCP_RemoteHost->setText(QStringLiteral("10.0.0.5"));
    f.Txt_TCP_RemotePort->setText(QStringLiteral("502"));
    f.vsc_tiempo->setValue(500);
    f.Txt_Dato[0]->setText(QStringLiteral("Cliente 'Ñ':"));
    f.Txt_Dato[5]->setText(QString());
    f.txtPassword3->setText(QStringLiteral("op"));
    QVERIFY(!f.cmdOK->isEnabled());
    f.txtPassword4->setText(QStringLiteral("op"));
    QVERIFY(!f.cmdOK->isEnabled());
    f.txtPassword1->setText(QStringLiteral("sup"));
    f.txtPassword2->setText(QStringLiteral("sup"));
    QVERIFY(f.cmdOK->isEnabled());
    // The default answer is No: nothing saved, the dialog stays, the
    // second question is not reached.
    QCOMPARE(acepta(f, 0), frmOptions::kPreguntaOperario);
    QCOMPARE(MessageBox::mostrados().at(0).porDefecto, QMessageBox::No);
    QCOMPARE(MessageBox::mostrados().at(0).titulo, QStringLiteral("Atencion"));
    QVERIFY(f.isVisible());
    QVERIFY(!leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))).contains("ID_1"));

    QCOMPARE(acepta(f, 1), QStringLiteral("2 mensajes"));
    QCOMPARE(MessageBox::mostrados().at(1).texto, frmOptions::kPreguntaSupervisor);
    QVERIFY(f.isVisible());
    QVERIFY(!leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))).contains("ID_1"));

    acepta(f, 2);
    QVERIFY(f.Aceptado);
    QVERIFY(!f.isVisible());

    QStringList claves;
    static const QRegularExpression clave(QStringLiteral("^([^=\r\n]+)="), QRegularExpression::MultilineOption);
    for (const auto& m : clave.globalMatch(QString::fromLatin1(leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))))))
        claves << m.captured(1);
    const QStringList orden = {"ID_1", "Decimales_1", "Comm_1", "Baudios_1", "Comunicacion_1", "Host_1", "Port_1",
                               "Tiempo", "Dato0", "Dato1", "Dato2", "Dato3", "Dato4", "Dato5", "Pass1", "Pass2"};
    QCOMPARE(claves.mid(claves.indexOf(QStringLiteral("ID_1"))), orden);

    // What the station reads back.
    const QString g = QStringLiteral("global");
    QStringList leidos;
    for (const QString& k : orden.mid(0, orden.size() - 2))
        leidos << Config::LeeConfig(g, k, QStringLiteral("?"));
    QCOMPARE(leidos, QStringList({"7", "2", "3", "3", "1", "10.0.0.5", "502", "500", "Cliente 'Ñ':", "Dato 1:",
                                  "Dato 2:", "Dato 3:", "Dato 4:", ""}));
    // The master passwords hashed, as the sign-in checks them.
    QVERIFY(Secreto::esCifrada(Secreto::leeMaestra(Secreto::kPass1)));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), QStringLiteral("OP")));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass2), QStringLiteral("sup")));

    // Reopened over keys edited by hand: a device path is kept, values out of
    // range fall back to the defaults, the rest shows what was saved.
    const QString ini = p.dir.file(QStringLiteral("Tolvex.ini"));
    QVERIFY(escribeArchivo(ini, leeArchivo(ini)
                                    .replace("Comm_1=3.", "Comm_1=/dev/ttyUSB7.")
                                    .replace("ID_1=7.", "ID_1=248.")
                                    .replace("Tiempo=500.", "Tiempo=abc.")));
    frmOptions h;
    h.show();
    QVERIFY(h.optTCP->isChecked());
    QCOMPARE(QStringList({h.ListaPuerto->currentText(), h.LabelId0->text(), h.Lbl_tiempo->text(),
                          h.ListaBaudios->currentText(), h.txtPassword3->text(), h.txtPassword2->text()}),
             QStringList({"/dev/ttyUSB7", "0", "100", "9600", "", ""}));
    QVERIFY(h.cmdOK->isEnabled());
    // Only the supervisors' password changed: one question.
    h.txtPassword1->setText(QStringLiteral("s2"));
    QVERIFY(!h.cmdOK->isEnabled());
    h.txtPassword2->setText(QStringLiteral("s2"));
    QCOMPARE(acepta(h, 1), frmOptions::kPreguntaSupervisor);
    QVERIFY(h.Aceptado);
    QCOMPARE(Config::LeeConfig(g, QStringLiteral("Comm_1"), QString()), QStringLiteral("/dev/ttyUSB7"));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass2), QStringLiteral("s2")));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), QStringLiteral("op")));

    // Only the port changed: nothing asked, everything stored again.
    h.optSerie->click();
    h.ListaPuerto->setCurrentText(QStringLiteral("Com8"));
    QCOMPARE(acepta(h, 0), QStringLiteral("0 mensajes"));
    QVERIFY(h.Aceptado);
    QCOMPARE(Config::LeeEntero(g, QStringLiteral("Comm_1"), 2), 8);
    QCOMPARE(Config::LeeEntero(g, QStringLiteral("Comunicacion_1"), 1), 0);

    // A character Tolvex.ini cannot hold is refused, and nothing is written.
    for (QLineEdit* e : {h.txtPassword3, h.txtPassword4})
        e->setText(QStringLiteral("Ωmega"));
    QVERIFY(acepta(h, 0).contains(QStringLiteral("«Ω»")));
    QVERIFY(!h.Aceptado);
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), QStringLiteral("op")));
    // The login takes the new master password.
    frmLogin1 l;
    l.txtPassword->setText(QStringLiteral("S2"));
    l.cmdOK->click();
    QVERIFY(l.Aceptado);
}

void TstApp::estacionTamanio_data()
{
    QTest::addColumn<QString>("nivel");
    for (const char* n : {"Operador", "Superior", "Instalador", ""})
        QTest::newRow(*n ? n : "maestra") << QString::fromLatin1(n);
}

// The station fits a 1024x768 screen less a desktop panel and the window's
// frame, whatever the level shows; its programming fields at that size.
void TstApp::estacionTamanio()
{
    QFETCH(QString, nivel);
    BancoEstacion b;
    QVERIFY(b.instalado());
    Programa::NivelActual = nivel;
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->isVisible(), kEspera);
    QVERIFY(b.esperaLecturas()); // the commands wait for a reading
    const QSize m = w->minimumSizeHint().expandedTo(w->minimumSize());
    QVERIFY2(m.width() <= 1000 && m.height() <= 680, qPrintable(QStringLiteral("%1x%2").arg(m.width()).arg(m.height())));
    w->resize(m);
    QTRY_COMPARE_WITH_TIMEOUT(w->size(), m, kEspera);
    auto* reset = b.control<QPushButton>(QStringLiteral("Cmd_Reset"));
    QCOMPARE(reset->isVisible(), nivel == u"Superior" || nivel == u"Instalador");
    QVERIFY(b.control<QStatusBar>(QStringLiteral("sbStatusBar"))->isVisible());
    // At that size the small displays still show the values a shift reaches whole.
    for (const auto& [nombre, valor] : {std::pair{"Label_Preset", "20000"}, std::pair{"Label_Resto", "19000"},
                                        std::pair{"Label_Ciclos", "1234"}, std::pair{"Label_Caudal", "1250"}}) {
        auto* l = b.control<QLabel>(QLatin1String(nombre));
        l->setText(QLatin1String(valor));
        const int texto = l->fontMetrics().horizontalAdvance(l->text());
        QVERIFY2(texto <= l->contentsRect().width(),
                 qPrintable(QStringLiteral("%1: %2 > %3").arg(QLatin1String(nombre)).arg(texto).arg(l->contentsRect().width())));
        QVERIFY2(l->geometry().right() < l->parentWidget()->width(), nombre);
    }

    // The programming fields take digits and one decimal separator, however
    // they arrive, and leave the editing keys alone.
    b.control<QPushButton>(QStringLiteral("Cmd_ProgEdit"))->click();
    auto* t = b.control<QLineEdit>(QStringLiteral("Txt_dat_0"));
    QVERIFY(t->isVisible());
    t->clear();
    QTest::keyClicks(t, QStringLiteral("123"));
    QTest::keyClick(t, Qt::Key_Left);
    QTest::keyClicks(t, QStringLiteral("9"));
    QTest::keyClick(t, Qt::Key_Home);
    QTest::keyClicks(t, QStringLiteral("7"));
    QTest::keyClick(t, Qt::Key_Delete);
    QCOMPARE(t->text(), QStringLiteral("7293"));
    QTest::keyClicks(t, QStringLiteral("x-e ,5.1"));
    QCOMPARE(t->text(), QStringLiteral("7.51293"));
    QTest::keyClick(t, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(t, QStringLiteral("4"));
    QCOMPARE(t->text(), QStringLiteral("4"));
    QTest::keyClick(t, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(t->text(), QStringLiteral("7.51293"));

    // Pasted: refused whole, or taken with the comma as the point.
    const char* const pegados[][2] = {{"12ab", ""}, {"1e5", ""}, {"٣", ""}, {"1.2.3", ""}, {"2500,5", "2500.5"}};
    for (const auto& [pegado, queda] : pegados) {
        t->clear();
        QGuiApplication::clipboard()->setText(QString::fromUtf8(pegado));
        t->paste();
        QCOMPARE(t->text(), QString::fromUtf8(queda));
    }
}

// Message boxes show Spanish buttons with or without Qt's translation; the
// platform's file and page-setup dialogs take that translation.
void TstApp::dialogosEnCastellano()
{
    MessageBox::setScripted(false);
    const auto vuelve = qScopeGuard([] { MessageBox::setScripted(true); });
    auto botones = [](QMessageBox::StandardButtons b) {
        QStringList textos;
        QTimer::singleShot(0, [&textos] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            for (QAbstractButton* b : box->buttons())
                textos << b->text().remove(u'&');
            box->buttons().constFirst()->click();
        });
        MessageBox::mostrar(nullptr, MessageBox::Pregunta, QStringLiteral("T"), QStringLiteral("?"), b);
        textos.sort();
        return textos;
    };
    QCOMPARE(botones(QMessageBox::Yes | QMessageBox::No), QStringList({"No", "Sí"}));
    QCOMPARE(botones(QMessageBox::Ok | QMessageBox::Cancel), QStringList({"Aceptar", "Cancelar"}));
    QCOMPARE(botones(QMessageBox::Save | QMessageBox::Close | QMessageBox::Retry),
             QStringList({"Cerrar", "Guardar", "Reintentar"}));

    if (!MessageBox::cargaTraduccionQt())
        QSKIP("Qt's Spanish translation (qt6-translations-l10n) is not installed");
    QFileDialog f(nullptr, QString(), QString(), QStringLiteral("Libros (*.xlsx)"));
    f.setOption(QFileDialog::DontUseNativeDialog);
    f.setAcceptMode(QFileDialog::AcceptSave);
    auto* caja = f.findChild<QDialogButtonBox*>();
    QVERIFY(caja);
    QCOMPARE(caja->button(QDialogButtonBox::Save)->text().remove(u'&'), QStringLiteral("Guardar"));
    QCOMPARE(caja->button(QDialogButtonBox::Cancel)->text().remove(u'&'), QStringLiteral("Cancelar"));
    QPrinter impresora;
    QPageSetupDialog pagina(&impresora);
    QCOMPARE(pagina.windowTitle(), QStringLiteral("Configuración de página"));
}

void TstApp::reportesSoloLectura_data()
{
    QTest::addColumn<int>("caso");
    QTest::newRow("cerrada") << 0;
    QTest::newRow("escritor abierto") << 1;
    QTest::newRow("diario sin memoria compartida") << 2; // cannot be read
}

// A program directory this user cannot write (a plant's shared install):
// the reports still read the database, or say why not and what to do.
void TstApp::reportesSoloLectura()
{
    QFETCH(int, caso);
    Planta p;
    QVERIFY(p.ok);
    const QString sql = QStringLiteral("INSERT INTO %1 (TICKET, AUX1, TOTAL, PESO, BACH, PRESET, FECHA, HORA, "
                                       "OPERADOR) VALUES (?, ?, 100, 50, 50, 1000, ?, ?, 'juan')")
                            .arg(Programa::DataTbReporte);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(db.Ejecuta(sql, {i, QStringLiteral("Cliente-%1").arg(i), QDate(2026, 3, 1), QTime(8, i)}));
    }
    // A workstation still writing: its last row only in the journal beside the file.
    CDatos escritor;
    QString dir = p.dir.path();
    QTemporaryDir copia;
    if (caso > 0) {
        QVERIFY(escritor.AbrirBase(Programa::DataCSReporte));
        QVERIFY(escritor.Ejecuta(QStringLiteral("PRAGMA wal_autocheckpoint=0")));
        QVERIFY(escritor.Ejecuta(sql, {4, QStringLiteral("Pendiente-WAL"), QDate(2026, 3, 1), QTime(9, 0)}));
        QVERIFY(QFileInfo(p.dir.file(QStringLiteral("data.db-wal"))).size() > 0);
    }
    if (caso == 2) {
        // Copied as it stood: the journal without its shared-memory file.
        dir = copia.path();
        for (const char* n : {"Tolvex.ini", "REPORTE.xlsx", "data.db", "data.db-wal"})
            QVERIFY(QFile::copy(p.dir.file(QLatin1String(n)), copia.filePath(QLatin1String(n))));
    }
    const QStringList antes = QDir(dir).entryList(QDir::Files);
    QTemporaryDir salida;
    QFile::setPermissions(salida.path(), QFileDevice::Permissions(0x7777));
    QFile::setPermissions(dir, QFileDevice::Permissions(0x5055)); // r-x for owner, group and others
    const auto restaura = qScopeGuard([&] { QFile::setPermissions(dir, QFileDevice::Permissions(0x7700)); });

    // Root ignores permission bits: the program then runs as another user.
    QString programa = qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-report");
    QStringList args{QStringLiteral("--dir"), dir, QStringLiteral("--pdf"), salida.filePath(QStringLiteral("l.pdf"))};
    if (::geteuid() == 0) {
        // That user reads the directory as the plant's operators do: through its group.
        const struct passwd* nadie = ::getpwnam("nobody");
        QVERIFY(nadie);
        for (const QString& n : QStringList{QString()} + antes)
            QVERIFY(::chown(QFile::encodeName(QDir(dir).filePath(n)).constData(), uid_t(-1), nadie->pw_gid) == 0);
        args = QStringList{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"), programa} + args;
        programa = QStringLiteral("runuser");
    }
    const auto r = correProceso(programa, args);
    QCOMPARE(QDir(dir).entryList(QDir::Files), antes);
    if (caso == 2) {
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(QStringLiteral("data.db-wal")) && r.err.contains(QStringLiteral("permiso de escritura")),
                 qPrintable(r.err));
        QVERIFY(!QFile::exists(salida.filePath(QStringLiteral("l.pdf"))));
        return;
    }
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const auto t = correProceso(QStringLiteral("pdftotext"), {salida.filePath(QStringLiteral("l.pdf")), QStringLiteral("-")});
    QVERIFY2(t.code == 0, qPrintable(t.err));
    QVERIFY2(t.out.contains(QStringLiteral("Cliente-3")), qPrintable(t.out));
    QCOMPARE(t.out.contains(QStringLiteral("Pendiente-WAL")), caso == 1);

    if (caso == 0 && ::geteuid() != 0) {
        // The data layer itself: reads, and a write is refused, not lost silently.
        CDatos db;
        QVERIFY2(db.AbrirBase(ConnectionString::sqlite(QDir(dir).filePath(QStringLiteral("data.db")))),
                 qPrintable(db.ultimoError()));
        QVERIFY(db.soloLectura());
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT * FROM ") + Programa::DataTbReporte));
        QCOMPARE(db.filas(), 3);
        QVERIFY(!db.Ejecuta(sql, {9, QStringLiteral("x"), QDate(2026, 3, 1), QTime(9, 0)}));
        QVERIFY(!db.ultimoError().isEmpty());
    }
}

// A fresh account: the menu entry's launcher hands the missing directory to
// Tolvex, which offers to prepare it with the indicator's connection, or says
// where it goes and which command prepares it.
void TstApp::cuentaNueva()
{
    QTemporaryDir casa;
    const QString dir = casa.filePath(QStringLiteral("Tolvex"));
    QTemporaryDir bin;
    QVERIFY(QFile::copy(QStringLiteral(TOLVEX_SOURCE_DIR "/resources/tolvex-inicio"), bin.filePath(QStringLiteral("tolvex-inicio"))));
    QVERIFY(escribeArchivo(bin.filePath(QStringLiteral("tolvex")), "#!/bin/sh\necho \"$PWD|$TOLVEX_HOME|$*\"\n"));
    QFile::setPermissions(bin.filePath(QStringLiteral("tolvex")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), casa.path());
    env.remove(QStringLiteral("TOLVEX_HOME"));
    auto lanza = [&] {
        const auto r = correProceso(QStringLiteral("sh"), {bin.filePath(QStringLiteral("tolvex-inicio"))}, casa.path(), env);
        return r.out.trimmed();
    };
    QCOMPARE(lanza(), QStringLiteral("%1||--preparar %2").arg(casa.path(), dir));

    Guion g;
    Programa::leeVariables();
    // Declined: nothing is created, and the message names the folder and the command.
    g.pasos << [](QDialog& d) { dynamic_cast<frmPreparar&>(d).cmdSalir->click(); };
    MessageBox::limpiar();
    QVERIFY(!Arranque::preparaDirectorio(dir));
    QVERIFY(!QFileInfo::exists(dir));
    QVERIFY(unMensaje().contains(QStringLiteral("tolvex-setup ") + dir));

    // Accepted: a connection without a port is refused first, then corrected.
    g.pasos << [](QDialog& d) {
        auto& f = dynamic_cast<frmPreparar&>(d);
        f.txtTCP->setText(QStringLiteral("indicador.planta"));
        f.cmdPreparar->click();
        QVERIFY(f.isVisible());
        f.txtTCP->setText(QStringLiteral("10.1.2.3:5020"));
        f.spnId->setValue(7);
        f.cmdPreparar->click();
    };
    MessageBox::limpiar();
    const QString antes = QDir::currentPath();
    QVERIFY(Arranque::preparaDirectorio(dir));
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(QDir::currentPath(), QDir(dir).canonicalPath());
    QCOMPARE(qEnvironmentVariable("TOLVEX_HOME"), dir);
    QVERIFY(Arranque::hayArchivoConfig());
    QCOMPARE(Config::LeeConfig(QStringLiteral("Global"), QStringLiteral("Host_1"), QString()), QStringLiteral("10.1.2.3"));
    QCOMPARE(Config::LeeEntero(QStringLiteral("Global"), QStringLiteral("ID_1"), 0), 7);
    QVERIFY(QFileInfo::exists(QDir(dir).filePath(QStringLiteral("Tolvex.inf")))); // the first run comes next
    QDir::setCurrent(antes);

    // Prepared: the launcher starts Tolvex there, as before.
    QCOMPARE(lanza(), QStringLiteral("%1|%1|").arg(dir));
}

QTEST_MAIN(TstApp)
#include "tst_app.moc"
