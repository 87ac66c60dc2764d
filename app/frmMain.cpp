#include "frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>

#include "Colocacion.h"
#include "CopiaBase.h"
#include "Dialogos.h"
#include "Estacion.h"
#include "MessageBox.h"
#include "Niveles.h"
#include "PanelLineas.h"
#include "Programa.h"
#include "Reportes.h"
#include "frmAbout.h"
#include "frmAyuda.h"
#include "frmCContrasenias.h"
#include "frmOPERARIO.h"
#include "frmOptions.h"
#include "Listado.h"

static void registraIconos()
{
    Q_INIT_RESOURCE(iconos);
}

void frmMain::cargaIconos()
{
    static const bool hecho = (registraIconos(), true);
    Q_UNUSED(hecho);
}

namespace {

const QString kTitulo = QStringLiteral("Tolvex");

QAction* nueva(QObject* padre, const char* nombre, const QString& texto)
{
    auto* a = new QAction(texto, padre);
    a->setObjectName(QString::fromLatin1(nombre));
    return a;
}

QString enTwips(int pixeles)
{
    return QString::number(pixeles * frmMain::kTwipsPorPixel);
}

int dePixeles(const QVariant& twips, int def)
{
    bool ok = false;
    const double v = twips.toString().trimmed().toDouble(&ok);
    return qRound((ok ? v : def) / frmMain::kTwipsPorPixel);
}

} // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    cargaIconos();
    setWindowIcon(QIcon(QStringLiteral(":/iconos/pesar.png")));
    creaMenus();
    creaToolbar();
    auto* sb = statusBar();
    sb->setObjectName(QStringLiteral("sbStatusBar"));
    m_panel = new QLabel(sb);
    m_panel->setObjectName(QStringLiteral("sbPanel1"));
    sb->addWidget(m_panel, 1);
    auto* centro = new QWidget(this);
    centro->setMinimumHeight(0);
    setCentralWidget(centro);

    eligeDestino = [this](const QString& inicial) {
        return QFileDialog::getSaveFileName(this, QString(), inicial,
                                            QStringLiteral("Base de datos (*.db)"));
    };
}

frmMain::~frmMain() = default;

QAction* frmMain::accion(const QString& nombre) const
{
    return findChild<QAction*>(nombre);
}

void frmMain::creaMenus()
{
    QMenuBar* mb = menuBar();

    QMenu* archivo = mb->addMenu(QStringLiteral("&Archivo"));
    archivo->menuAction()->setObjectName(QStringLiteral("mnuFile"));
    auto* copiar = nueva(this, "mnuCopiarBase", QStringLiteral("Copiar Base de Datos"));
    auto* pagina = nueva(this, "mnuFilePageSetup", QStringLiteral("Co&nfigurar página..."));
    auto* salir = nueva(this, "mnuFileExit", QStringLiteral("&Salir"));
    archivo->addAction(copiar);
    archivo->addSeparator();
    archivo->addAction(pagina);
    archivo->addSeparator();
    archivo->addAction(salir);
    connect(copiar, &QAction::triggered, this, &frmMain::copiarBase);
    connect(pagina, &QAction::triggered, this, &frmMain::configurarPagina);
    connect(salir, &QAction::triggered, this, &QWidget::close);

    auto* pesa = nueva(this, "pesar", QStringLiteral("&Pesar"));
    mb->addAction(pesa);
    connect(pesa, &QAction::triggered, this, [this] { pesar(); });

    QMenu* ver = mb->addMenu(QStringLiteral("&Ver"));
    ver->menuAction()->setObjectName(QStringLiteral("mnuView"));
    QMenu* usuarios = ver->addMenu(QStringLiteral("Usuarios"));
    usuarios->menuAction()->setObjectName(QStringLiteral("mnuUsuarios"));
    auto* oper = nueva(this, "operarios", QStringLiteral("Operarios"));
    auto* claves = nueva(this, "mnuContrasenias", QStringLiteral("Contraseñas"));
    usuarios->addAction(oper);
    usuarios->addAction(claves);
    ver->addSeparator();
    auto* planilla = nueva(this, "mnuViewDataPLANILLA", QStringLiteral("Reporte"));
    ver->addAction(planilla);
    ver->addSeparator();
    auto* barra = nueva(this, "mnuViewToolbar", QStringLiteral("&Barra de herramientas"));
    auto* estado = nueva(this, "mnuViewStatusBar", QStringLiteral("Ba&rra de estado"));
    for (QAction* a : {barra, estado}) {
        a->setCheckable(true);
        a->setChecked(true);
        ver->addAction(a);
    }
    ver->addSeparator();
    auto* opc = nueva(this, "mnuViewOptions", QStringLiteral("&Opciones..."));
    ver->addAction(opc);
    connect(oper, &QAction::triggered, this, &frmMain::operarios);
    connect(claves, &QAction::triggered, this, &frmMain::contrasenias);
    connect(planilla, &QAction::triggered, this, &frmMain::reporte);
    connect(opc, &QAction::triggered, this, &frmMain::opciones);
    connect(barra, &QAction::toggled, this, [this](bool on) { tbToolBar->setVisible(on); });
    connect(estado, &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });

    QMenu* ayudaMenu = mb->addMenu(QStringLiteral("Ay&uda"));
    ayudaMenu->menuAction()->setObjectName(QStringLiteral("mnuHelp"));
    auto* contenido = nueva(this, "mnuHelpContents", QStringLiteral("&Contenido"));
    auto* buscar = nueva(this, "mnuHelpSearch", QStringLiteral("&Buscar Ayuda acerca de..."));
    auto* acerca = nueva(this, "mnuHelpAbout", QStringLiteral("&Acerca de ..."));
    ayudaMenu->addAction(contenido);
    ayudaMenu->addAction(buscar);
    ayudaMenu->addSeparator();
    ayudaMenu->addAction(acerca);
    connect(contenido, &QAction::triggered, this, &frmMain::ayuda);
    connect(buscar, &QAction::triggered, this, &frmMain::ayuda);
    connect(acerca, &QAction::triggered, this, &frmMain::acercaDe);
}

void frmMain::creaToolbar()
{
    tbToolBar = new QToolBar(QStringLiteral("Barra de herramientas"), this);
    tbToolBar->setObjectName(QStringLiteral("tbToolBar"));
    tbToolBar->setIconSize(QSize(32, 32));
    addToolBar(Qt::TopToolBarArea, tbToolBar);
    struct Boton
    {
        const char* clave;
        const char* icono;
        QString ayuda;
    };
    const Boton botones[] = {
        {"reporte", "reporte", QStringLiteral("Reporte")},
        {"Pesar", "pesar", QStringLiteral("Pesar")},
        {"opciones", "opciones", QStringLiteral("Opciones")},
        {"copiarbase", "copiarbase", QStringLiteral("Copiar Base de Datos")},
        {"acerca", "acerca", QStringLiteral("Ayuda")},
    };
    bool primero = true;
    for (const Boton& b : botones) {
        if (!primero)
            tbToolBar->addSeparator()->setObjectName(QStringLiteral("tbSeparador"));
        primero = false;
        const QString clave = QString::fromLatin1(b.clave);
        auto* a = new QAction(QIcon(QStringLiteral(":/iconos/%1.png").arg(QLatin1String(b.icono))),
                              b.ayuda, tbToolBar);
        a->setObjectName(QStringLiteral("tb_") + clave);
        a->setData(clave);
        a->setToolTip(b.ayuda);
        tbToolBar->addAction(a);
        connect(a, &QAction::triggered, this, [this, clave] { botonToolbar(clave); });
    }
    connect(tbToolBar, &QToolBar::topLevelChanged, this, &frmMain::guardaToolbar);
}

void frmMain::carga()
{
    setWindowTitle(kTitulo);
    QSettings s;
    s.beginGroup(QStringLiteral("Settings"));
    const int x = dePixeles(s.value(QStringLiteral("MainLeft")), 1000);
    const int y = dePixeles(s.value(QStringLiteral("MainTop")), 1000);
    s.endGroup();
    resize(9600 / kTwipsPorPixel, qMax(1635 / kTwipsPorPixel, minimumSizeHint().height()));
    // MainLeft and MainTop are the client area's corner, saved and restored
    // as that: the window is placed before the window manager frames it, so
    // a frame's corner restored there would climb one title bar per start.
    // Once framed, the whole frame is brought inside the screen.
    setGeometry(QRect(QPoint(x, y), size()));
    Colocacion::meteEnPantalla(this);
    Colocacion::alEnmarcarse(this, [this] { Colocacion::meteEnPantalla(this); });
    show();
    const QByteArray estado =
        QSettings().value(QStringLiteral("VB/") + kTitulo + QStringLiteral("/tbToolBar")).toByteArray();
    if (!estado.isEmpty())
        restoreState(estado);
    tbToolBar->setVisible(true); // the menu item starts checked
    ocultaPorNivel();
    // Several lines: their overview sits under the toolbar, a click opens one.
    if (Lineas::varias() && !m_lineas && Programa::NivelActual != Niveles::kGerencia) {
        m_lineas = new PanelLineas(0);
        connect(m_lineas, &PanelLineas::elegida, this, [this](int n) { pesar(n); });
        setCentralWidget(m_lineas);
        resize(std::max(width(), 130 * int(Lineas::lista().size())), minimumSizeHint().height());
    }
    m_panel->setText(QStringLiteral("Nivel: ") + Programa::NivelActual + QStringLiteral(" (") +
                     Programa::OperadorActual + QStringLiteral(")"));
    // The lines poll and record from sign-in on, whether or not a station is open.
    QString error;
    if (!Estacion::enServicio() && !Estacion::iniciaGrabador(Contexto::programa(), &error))
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Tolvex"), error);
}

void frmMain::ocultaPorNivel()
{
    const QString& n = Programa::NivelActual;
    QStringList menus, botones;
    if (n == Niveles::kOperador) {
        menus = {"mnuViewOptions", "mnuCopiarBase", "operarios"};
        botones = {"opciones", "copiarbase"};
    } else if (n == Niveles::kSuperior) {
        menus = {"mnuViewOptions"};
        botones = {"opciones"};
    } else if (n == Niveles::kGerencia) {
        menus = {"pesar", "mnuViewOptions", "mnuCopiarBase", "operarios"};
        botones = {"Pesar", "opciones", "copiarbase"};
    }
    for (const QString& m : std::as_const(menus))
        accion(m)->setVisible(false);
    // Buttons, and the separator before each hidden one so no two meet.
    const QList<QAction*> acciones = tbToolBar->actions();
    for (qsizetype i = 0; i < acciones.size(); ++i) {
        QAction* a = acciones.at(i);
        if (a->isSeparator())
            continue;
        const bool visible = !botones.contains(a->data().toString());
        a->setVisible(visible);
        if (i > 0)
            acciones.at(i - 1)->setVisible(visible || !acciones.at(i - 1)->isSeparator());
    }
}

void frmMain::botonToolbar(const QString& clave)
{
    if (clave == u"reporte")
        reporte();
    else if (clave == u"Pesar")
        pesar();
    else if (clave == u"opciones")
        opciones();
    else if (clave == u"copiarbase")
        copiarBase();
    else if (clave == u"acerca")
        ayuda();
}

void frmMain::pesar(int linea)
{
    if (Programa::NivelActual == Niveles::kGerencia)
        return;
    if (linea == 0 && Lineas::varias()) {
        QMenu menu(this);
        menu.setObjectName(QStringLiteral("mnuLineas"));
        for (const Linea& l : Lineas::lista())
            menu.addAction(QStringLiteral("&%1 %2").arg(l.numero).arg(l.nombre))->setData(l.numero);
        const QAction* a = menu.exec(QCursor::pos());
        if (!a)
            return;
        linea = a->data().toInt();
    }
    Estacion::abrir(this, Contexto::programa(), std::max(linea, 1));
}

void frmMain::reporte()
{
    Reportes::abrir(this);
}

void frmMain::opciones()
{
    if (Programa::NivelActual == Niveles::kGerencia || Programa::NivelActual == Niveles::kOperador)
        return;
    frmOptions f(this);
    Dialogos::ejecutar(f);
}

void frmMain::operarios()
{
    if (Programa::NivelActual == Niveles::kOperador)
        return;
    frmOPERARIO f(this);
    if (f.cargado())
        Dialogos::ejecutar(f);
}

void frmMain::contrasenias()
{
    if (Programa::OperadorActual == u"Maestro") {
        MessageBox::mostrar(this, MessageBox::Informacion, QStringLiteral("Marbo"),
                            QStringLiteral("  Para cambiar la contraseña debe ir a la\n"
                                           "ventana opciones en la solapa Seguridad."));
        return;
    }
    frmCContrasenias f(this);
    if (f.cargado())
        Dialogos::ejecutar(f);
}

void frmMain::configurarPagina()
{
    // The listing prints on this same printer.
    QPageSetupDialog d(&Listado::impresora(), this);
    Dialogos::ejecutar(d);
}

namespace {
QString g_rutaManual;
}

void frmMain::setRutaManual(const QString& ruta)
{
    g_rutaManual = ruta;
}

QString frmMain::rutaManual()
{
    if (!g_rutaManual.isEmpty())
        return g_rutaManual;
    // Installed beside the programs: PREFIX/bin and PREFIX/share/doc/tolvex.
    return QDir(QCoreApplication::applicationDirPath())
        .absoluteFilePath(QStringLiteral("../share/doc/tolvex/manual.html"));
}

void frmMain::ayuda()
{
    const QString manual = QDir::cleanPath(rutaManual());
    if (!QFileInfo(manual).isFile()) {
        MessageBox::mostrar(this, MessageBox::Informacion, windowTitle(), kMensajeAyuda);
        return;
    }
    // One window, kept beside the others while the operator works.
    if (!m_ayuda || m_ayuda->manual() != manual) {
        delete m_ayuda;
        m_ayuda = new frmAyuda(manual, this);
    }
    m_ayuda->show();
    m_ayuda->raise();
    m_ayuda->activateWindow();
}

void frmMain::acercaDe()
{
    frmAbout f(this);
    Dialogos::ejecutar(f);
}

void frmMain::copiarBase()
{
    if (Programa::Fecha_Chr != u"#") {
        MessageBox::mostrar(this, MessageBox::Informacion, QStringLiteral("Atención!"),
                            QStringLiteral("La utilidad no está disponible para una terminal en red."));
        return;
    }
    if (Programa::TipoAcceso != 2)
        return;
    QString error;
    const QString origen = CopiaBase::archivoDe(Programa::DataCSReporte, &error);
    if (origen.isEmpty()) {
        MessageBox::mostrar(this, MessageBox::Informacion, QStringLiteral("Atención!"), error);
        return;
    }
    const QString destino =
        eligeDestino(QDir(Programa::directorio()).absoluteFilePath(QFileInfo(origen).fileName()));
    if (destino.isEmpty())
        return;
    // A backup that silently failed would be worse than none: say so.
    if (!CopiaBase::copiar(origen, destino, &error)) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("No se pudo copiar la base de datos: ") + error);
        return;
    }
    const QString trabajo = QFileInfo(QDir::currentPath()).canonicalFilePath().toUpper();
    const QString programa = QFileInfo(Programa::directorio()).canonicalFilePath().toUpper();
    if (trabajo != programa) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("No se encuentra data.db o la ruta de trabajo no es correcta.\n") +
                                trabajo + u'\n' + programa);
        close();
    }
}

void frmMain::guardaToolbar()
{
    QSettings().setValue(QStringLiteral("VB/") + kTitulo + QStringLiteral("/tbToolBar"), saveState());
}

void frmMain::closeEvent(QCloseEvent* ev)
{
    if (!Estacion::confirmaCierre(this)) {
        ev->ignore();
        return;
    }
    if (!isMinimized()) {
        QSettings s;
        s.beginGroup(QStringLiteral("Settings"));
        s.setValue(QStringLiteral("MainLeft"), enTwips(geometry().x()));
        s.setValue(QStringLiteral("MainTop"), enTwips(geometry().y()));
        s.setValue(QStringLiteral("MainWidth"), enTwips(width()));
        s.setValue(QStringLiteral("MainHeight"), enTwips(height()));
        s.endGroup();
    }
    guardaToolbar();
    Estacion::cerrar();
    ev->accept();
    QCoreApplication::quit();
}
