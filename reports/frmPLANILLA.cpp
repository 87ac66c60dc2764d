#include "frmPLANILLA.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPaintEngine>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>

#include "Config.h"
#include "Exportacion.h"
#include "Schema.h"
#include "Listado.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "Programa.h"
#include "XlsxPlantilla.h"
#include "frmComandos.h"
#include "frmDataGrid.h"
#include "frmFiltro.h"

namespace {
frmPLANILLA::EligeArchivo g_eligeArchivo;
frmPLANILLA::EligeImpresora g_eligeImpresora;

const QString kErrorDatos = QStringLiteral("La referencia de datos es incorrecta.");

QString eligeArchivoPorDefecto(QWidget* parent, const QString& carpeta, const QString& filtro)
{
    QFileDialog dlg(parent, QString(), carpeta, filtro);
    dlg.setObjectName(QStringLiteral("Dialogo"));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(QStringLiteral("xlsx"));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().constFirst();
}

bool eligeImpresoraPorDefecto(QWidget* parent, QPrinter* printer, const std::function<void(QPrinter*)>& imprime)
{
    QPrintPreviewDialog preview(printer, parent);
    preview.setWindowTitle(QStringLiteral("Imprimir"));
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, parent, imprime);
    preview.resize(1000, 700);
    return preview.exec() == QDialog::Accepted;
}

QString carpetaInicial()
{
    for (auto lugar : {QStandardPaths::DesktopLocation, QStandardPaths::DocumentsLocation}) {
        const QString d = QStandardPaths::writableLocation(lugar);
        if (!d.isEmpty() && QFileInfo(d).isDir())
            return d;
    }
    return QDir::homePath();
}
} // namespace

EtiquetaCampo::EtiquetaCampo(int indice, QWidget* parent) : QLabel(parent), m_indice(indice) {}

void EtiquetaCampo::mouseDoubleClickEvent(QMouseEvent* e)
{
    Q_EMIT dobleClic(m_indice, e->modifiers());
}

void frmPLANILLA::setEligeArchivo(EligeArchivo f)
{
    g_eligeArchivo = std::move(f);
}

void frmPLANILLA::setEligeImpresora(EligeImpresora f)
{
    g_eligeImpresora = std::move(f);
}

frmPLANILLA::frmPLANILLA(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPLANILLA"));
    setModal(true);
    m_modelo = new ModeloReporte(this);
    if (Lineas::varias())
        m_lineas = Lineas::lista();

    auto* principal = new QVBoxLayout(this);
    auto* datos = new QGridLayout;
    principal->addLayout(datos);

    const auto par = [this](int indice, const QString& texto) {
        auto* cap = new EtiquetaCampo(indice, this);
        cap->setObjectName(QStringLiteral("lbl_campo_%1").arg(indice));
        cap->setText(texto);
        cap->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        auto* val = new EtiquetaCampo(indice, this);
        val->setObjectName(QStringLiteral("Lbl_Dato_%1").arg(indice));
        val->setFrameShape(QFrame::Panel);
        val->setFrameShadow(QFrame::Sunken);
        val->setMinimumWidth(140);
        val->setTextInteractionFlags(Qt::NoTextInteraction);
        m_captions.insert(indice, cap);
        m_valores.insert(indice, val);
        connect(cap, &EtiquetaCampo::dobleClic, this, [this](int i, Qt::KeyboardModifiers) { ordenar(i); });
        connect(val, &EtiquetaCampo::dobleClic, this, [this](int i, Qt::KeyboardModifiers m) {
            filtrar(i, m_shift || (m & Qt::ShiftModifier));
        });
    };
    const auto kg = [this] {
        auto* l = new QLabel(QStringLiteral("kg"), this);
        return l;
    };

    par(0, QStringLiteral("Ticket:"));
    par(1, QStringLiteral("Total:"));
    par(2, QStringLiteral("Peso:"));
    par(3, QStringLiteral("Bach:"));
    par(4, QStringLiteral("Preset:"));
    par(5, QStringLiteral("Fecha y Hora:"));
    par(6, QString());
    par(20, QStringLiteral("Operador:"));
    par(21, QStringLiteral("Línea:"));
    for (int i = 0; i < 6; ++i)
        par(7 + i, QStringLiteral("Dato %1:").arg(i));

    int fila = 0;
    for (int i : {0, 1, 2, 3, 4}) {
        datos->addWidget(m_captions[i], fila, 0);
        datos->addWidget(m_valores[i], fila, 1);
        if (i > 0)
            datos->addWidget(kg(), fila, 2);
        ++fila;
    }
    datos->addWidget(m_captions[5], fila, 0);
    auto* fechaHora = new QHBoxLayout;
    fechaHora->addWidget(m_valores[5]);
    fechaHora->addWidget(m_valores[6]);
    m_captions[6]->hide();
    datos->addLayout(fechaHora, fila, 1, 1, 2);
    ++fila;
    datos->addWidget(m_captions[20], fila, 0);
    datos->addWidget(m_valores[20], fila, 1, 1, 2);
    for (int i = 0; i < 6; ++i) {
        datos->addWidget(m_captions[7 + i], i, 3);
        datos->addWidget(m_valores[7 + i], i, 4);
    }
    // The line beside the operator; a single line's plant sees the screen
    // as it always was.
    if (!m_lineas.isEmpty()) {
        datos->addWidget(m_captions[21], 6, 3);
        datos->addWidget(m_valores[21], 6, 4);
    } else {
        m_captions[21]->hide();
        m_valores[21]->hide();
    }
    datos->setColumnMinimumWidth(2, 24);
    datos->setColumnStretch(1, 1);
    datos->setColumnStretch(4, 1);

    m_info = new QLineEdit(this);
    m_info->setObjectName(QStringLiteral("txt_Dato_0"));
    m_info->installEventFilter(this);
    principal->addWidget(m_info);

    auto* comandosFila = new QHBoxLayout;
    m_chkTotal = new QCheckBox(QStringLiteral("Totales"), this);
    m_chkTotal->setObjectName(QStringLiteral("Chk_Total"));
    comandosFila->addWidget(m_chkTotal);
    // Says how the last export ended, without a box to close.
    m_aviso = new QLabel(this);
    m_aviso->setObjectName(QStringLiteral("Lbl_Aviso"));
    m_aviso->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    comandosFila->addWidget(m_aviso, 1);
    const auto boton = [this, comandosFila](const QString& nombre, const QString& texto, const QString& ayuda) {
        auto* b = new QPushButton(texto, this);
        b->setObjectName(nombre);
        b->setToolTip(ayuda);
        b->setAutoDefault(false);
        comandosFila->addWidget(b);
        return b;
    };
    m_cmdDelete = boton(QStringLiteral("cmdDelete"), QStringLiteral("E&liminar"),
                        QStringLiteral("Eliminar hasta este reporte"));
    auto* cmdImprimir = boton(QStringLiteral("cmd_Imprimir"), QStringLiteral("Imprimir"),
                              QStringLiteral("Imprimir los reporte"));
    auto* cmdGrid = boton(QStringLiteral("cmdGrid"), QStringLiteral("Cua&drícula"),
                          QStringLiteral("Tabla de reportes"));
    auto* cmdExportar = boton(QStringLiteral("Cmd_Exportar"), QStringLiteral("E&xportar"),
                              QStringLiteral("Exportar a formato texto"));
    auto* cmdComandos = boton(QStringLiteral("cmdComandos"), QStringLiteral("Co&mandos"),
                              QStringLiteral("Comandos de los operarios"));
    principal->addLayout(comandosFila);
    // Deleting is for installers: Ctrl+E reveals the button.
    m_cmdDelete->setVisible(false);

    m_cuadro = new QFrame(this);
    m_cuadro->setObjectName(QStringLiteral("CUADRO"));
    m_cuadro->setFrameShape(QFrame::StyledPanel);
    auto* cuadro = new QHBoxLayout(m_cuadro);
    cuadro->addWidget(new QLabel(QStringLiteral("Exportando:"), m_cuadro));
    m_barra = new QProgressBar(m_cuadro);
    m_barra->setObjectName(QStringLiteral("BARRA"));
    cuadro->addWidget(m_barra, 1);
    m_cuadro->hide();
    principal->addWidget(m_cuadro);

    auto* nav = new QFrame(this);
    nav->setObjectName(QStringLiteral("Data1"));
    nav->setFrameShape(QFrame::StyledPanel);
    auto* navLayout = new QHBoxLayout(nav);
    navLayout->setContentsMargins(2, 2, 2, 2);
    const auto navBoton = [nav, navLayout](const QString& nombre, Qt::ArrowType flecha, const QString& texto) {
        auto* b = new QToolButton(nav);
        b->setObjectName(nombre);
        if (texto.isEmpty())
            b->setArrowType(flecha);
        else
            b->setText(texto);
        navLayout->addWidget(b);
        return b;
    };
    auto* bPrimero = navBoton(QStringLiteral("Data1_Primero"), Qt::NoArrow, QStringLiteral("|◀"));
    auto* bAnterior = navBoton(QStringLiteral("Data1_Anterior"), Qt::LeftArrow, {});
    m_navegador = new QLabel(nav);
    m_navegador->setObjectName(QStringLiteral("Data1_Caption"));
    m_navegador->setAlignment(Qt::AlignCenter);
    navLayout->addWidget(m_navegador, 1);
    auto* bSiguiente = navBoton(QStringLiteral("Data1_Siguiente"), Qt::RightArrow, {});
    auto* bUltimo = navBoton(QStringLiteral("Data1_Ultimo"), Qt::NoArrow, QStringLiteral("▶|"));
    principal->addWidget(nav);

    connect(bPrimero, &QToolButton::clicked, this, [this] { primero(); });
    connect(bAnterior, &QToolButton::clicked, this, [this] { mover(std::max(0, m_pos - 1)); });
    connect(bSiguiente, &QToolButton::clicked, this, [this] { mover(std::min(cantidad() - 1, m_pos + 1)); });
    connect(bUltimo, &QToolButton::clicked, this, [this] { ultimo(); });
    connect(m_chkTotal, &QCheckBox::toggled, this, &frmPLANILLA::cambiaTotales);
    connect(m_cmdDelete, &QPushButton::clicked, this, &frmPLANILLA::eliminar);
    connect(cmdImprimir, &QPushButton::clicked, this, &frmPLANILLA::imprimir);
    connect(cmdGrid, &QPushButton::clicked, this, &frmPLANILLA::grilla);
    connect(cmdExportar, &QPushButton::clicked, this, &frmPLANILLA::exportar);
    connect(cmdComandos, &QPushButton::clicked, this, &frmPLANILLA::comandos);

    qApp->installEventFilter(this);
    m_cargado = carga();
    resize(760, sizeHint().height());
}

frmPLANILLA::~frmPLANILLA()
{
    qApp->removeEventFilter(this);
    // The model holds the connection that m_datos closes.
    delete m_modelo;
    m_modelo = nullptr;
}

bool frmPLANILLA::carga()
{
    m_sel = Filtros::Seleccion();
    setWindowTitle(QStringLiteral("Reporte General de Pesadas realizadas"));
    for (int i = 0; i < 6; ++i)
        m_captions[7 + i]->setText(Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i),
                                                     QStringLiteral("Dato %1:").arg(i)));
    m_tabla = Programa::DataTbReporte;
    bool ok = !m_tabla.isEmpty() && m_datos.AbrirBase(Programa::DataCSReporte);
    if (ok)
        Schema::aseguraIndicesReporte(m_datos.base(), m_tabla);
    m_modelo->muestraLineas(m_lineas);
    QString error;
    ok = ok && m_modelo->selecciona(m_datos.base(), m_datos.motor(), m_tabla, m_sel.filtro, m_sel.ordenCompleto(),
                                    m_sel.ordenCompleto(true), &error);
    if (!ok) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
        return false;
    }
    mover(0);
    return true;
}

QString frmPLANILLA::sentencia() const
{
    return m_sel.sentencia(m_tabla);
}

int frmPLANILLA::cantidad() const
{
    return m_modelo->rowCount();
}

QString frmPLANILLA::textoNavegador() const
{
    return m_navegador->text();
}

QString frmPLANILLA::caption(int indice) const
{
    const EtiquetaCampo* c = m_captions.value(indice);
    return c ? c->text() : QString();
}

bool frmPLANILLA::aplicaSeleccion(const Filtros::Seleccion& nueva)
{
    return aplica(nueva);
}

bool frmPLANILLA::aplica(const Filtros::Seleccion& nueva)
{
    if (!guardaInfo())
        return false;
    QString error;
    if (!m_modelo->selecciona(m_datos.base(), m_datos.motor(), m_tabla, nueva.filtro, nueva.ordenCompleto(),
                              nueva.ordenCompleto(true), &error)) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
        return false;
    }
    m_sel = nueva;
    m_pos = -1;
    mover(0);
    return true;
}

void frmPLANILLA::mover(int fila)
{
    if (!guardaInfo())
        return;
    const int n = cantidad();
    m_pos = n == 0 ? -1 : std::clamp(fila, 0, n - 1);
    muestraRegistro();
}

void frmPLANILLA::muestraRegistro()
{
    QApplication::restoreOverrideCursor();
    const int n = cantidad();
    m_navegador->setText(QStringLiteral("Reporte: %1/%2  ").arg(m_pos + 1).arg(n) + m_sel.descFiltro);
    for (const Filtros::CampoBrowser& c : Filtros::camposBrowser()) {
        const int col = ModeloReporte::columna(c.campo);
        m_valores[c.indice]->setText(m_pos < 0 ? QString() : m_modelo->texto(m_pos, col));
    }
    m_infoOriginal = m_pos < 0 ? QString() : m_modelo->texto(m_pos, ModeloReporte::INFO);
    m_ticketInfo = m_pos < 0 ? QVariant() : m_modelo->valor(m_pos, ModeloReporte::TICKET);
    m_info->setText(m_infoOriginal);
    m_info->setCursorPosition(0);
    bloqueaInfo(true);
    const bool total = m_pos >= 0 && m_modelo->valor(m_pos, ModeloReporte::OPCION1).toInt() != 0;
    m_valores[1]->setStyleSheet(total ? QStringLiteral("color: rgb(255, 0, 0); font-weight: bold;")
                                      : QStringLiteral("color: rgb(0, 0, 255); font-weight: normal;"));
}

void frmPLANILLA::bloqueaInfo(bool bloquear)
{
    m_info->setReadOnly(bloquear);
    QPalette p = m_info->palette();
    p.setColor(QPalette::Base, bloquear ? palette().color(QPalette::Window) : QColor(255, 255, 192));
    m_info->setPalette(p);
}

bool frmPLANILLA::guardaInfo()
{
    if (!m_ticketInfo.isValid() || m_info->text() == m_infoOriginal)
        return true;
    if (!m_datos.Ejecuta(QStringLiteral("UPDATE %1 SET INFO = ? WHERE TICKET = ?").arg(m_tabla),
                         {m_info->text(), m_ticketInfo})) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
        return false;
    }
    m_infoOriginal = m_info->text();
    m_modelo->olvida();
    return true;
}

void frmPLANILLA::ordenar(int indice)
{
    const auto c = Filtros::campoBrowser(indice);
    if (!c || c->orden.isEmpty())
        return;
    Filtros::Seleccion nueva = m_sel;
    nueva.campoOrden = c->orden;
    aplica(nueva);
}

void frmPLANILLA::filtrar(int indice, bool shift)
{
    const auto c = Filtros::campoBrowser(indice);
    if (!c || c->tipoFiltro < 0)
        return;
    Filtros::Seleccion nueva = m_sel;
    nueva.campoOrden = c->orden;
    QString descripcion;
    const QString condicion = PideFiltro(this, c->campo, c->tipoFiltro, &descripcion);
    nueva.aplicaFiltro(condicion, descripcion, Filtros::nombreDeCaption(caption(indice)), shift);
    if (aplica(nueva))
        setWindowTitle(m_sel.tituloVentana());
}

void frmPLANILLA::cambiaTotales(bool marcado)
{
    Filtros::Seleccion nueva = m_sel;
    nueva.aplicaTotales(marcado);
    if (!aplica(nueva)) {
        const QSignalBlocker b(m_chkTotal);
        m_chkTotal->setChecked(!marcado);
    }
}

void frmPLANILLA::eliminar()
{
    const Filtros::Seleccion todo;
    if (sentencia() != todo.sentencia(m_tabla)) {
        // The first press shows every record in ticket order.
        if (aplica(todo)) {
            const QSignalBlocker b(m_chkTotal);
            m_chkTotal->setChecked(false);
            setWindowTitle(m_sel.tituloVentana());
        }
        return;
    }
    if (m_pos < 0 || !guardaInfo())
        return;
    const int p = m_pos + 1;
    const QVariant ticket = m_modelo->valor(m_pos, ModeloReporte::TICKET);
    if (!ticket.isValid())
        return;
    const auto r = MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Atencion"),
                                       QStringLiteral("Desea eliminar los reportes del 1 al %1 ? ").arg(p),
                                       QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (r != QMessageBox::Ok)
        return;
    // In ticket order the first p records are those up to this ticket.
    const bool ok = m_datos.IniciaTransaccion() &&
                    m_datos.Ejecuta(QStringLiteral("DELETE FROM %1 WHERE TICKET <= ?").arg(m_tabla), {ticket}) &&
                    m_datos.Confirma();
    if (!ok) {
        m_datos.Deshace();
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
    }
    m_ticketInfo = QVariant();
    QString error;
    m_modelo->refresca(&error);
    m_pos = -1;
    mover(0);
}

void frmPLANILLA::grilla()
{
    if (!guardaInfo())
        return;
    frmDataGrid grid(m_modelo, this);
    grid.setWindowTitle(QStringLiteral("Tabla de ") + windowTitle());
    grid.exec();
}

void frmPLANILLA::imprimir()
{
    const auto r = MessageBox::mostrar(this, MessageBox::Informacion, QStringLiteral("Atencion"),
                                       QStringLiteral("Desea imprimir un reporte? "),
                                       QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (r != QMessageBox::Ok || !guardaInfo())
        return;
    Listado listado;
    listado.titulo = windowTitle();
    listado.descFiltro = m_sel.descFiltro;
    listado.captions = Listado::captionsAuxiliares();
    listado.totales = m_chkTotal->isChecked();
    const int anterior = m_pos;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QVector<Listado::Linea> lineas = listado.lineas(*m_modelo);
    QApplication::restoreOverrideCursor();
    const auto imprime = [this, &lineas](QPrinter* printer) {
        // Printing to a file: the file is replaced whole or keeps what it had.
        if (printer->outputFormat() == QPrinter::PdfFormat && !printer->outputFileName().isEmpty() &&
            printer->paintEngine() && printer->paintEngine()->type() == QPaintEngine::Pdf) {
            QString error;
            if (!Listado::imprimirPdf(*printer, printer->outputFileName(), lineas, &error))
                MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("ERROR"),
                                    QStringLiteral("No se pudo imprimir el reporte: ") + error);
            return;
        }
        Listado::imprimir(*printer, lineas, nullptr);
    };
    if (g_eligeImpresora)
        g_eligeImpresora(this, &Listado::impresora(), imprime);
    else
        eligeImpresoraPorDefecto(this, &Listado::impresora(), imprime);
    mover(anterior);
}

void frmPLANILLA::exportar()
{
    if (!MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("ATENCION"),
                              QStringLiteral("¿Desea exportar los datos a formato Excel?"), false))
        return;
    if (!guardaInfo())
        return;
    m_barra->setValue(0);
    m_aviso->clear();
    // The progress panel makes room for itself; the window gets its size
    // back once the layout has let go of the panel.
    const QSize antes = size();
    auto ocultaCuadro = [this, antes] {
        m_cuadro->hide();
        layout()->activate();
        if (!isMaximized() && !isFullScreen())
            resize(antes);
    };
    m_cuadro->show();
    const QString filtro = QStringLiteral("Archivos Excel (*.xlsx)");
    QString archivo = g_eligeArchivo ? g_eligeArchivo(this, carpetaInicial(), filtro)
                                     : eligeArchivoPorDefecto(this, carpetaInicial(), filtro);
    if (archivo.isEmpty()) {
        ocultaCuadro();
        return;
    }
    if (QFileInfo(archivo).suffix().isEmpty())
        archivo += QStringLiteral(".xlsx");
    const QString plantilla = QDir(CDatos::directorioBase()).absoluteFilePath(XlsxPlantilla::kArchivo);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto r = Exportacion::exportar(Programa::DataCSReporte, m_tabla, m_sel, plantilla, archivo,
                                         [this](qint64 hecho, qint64 total) {
                                             if (hecho == 0) {
                                                 m_barra->setMaximum(static_cast<int>(std::max<qint64>(total, 1)));
                                                 m_barra->setValue(0);
                                             }
                                             if (hecho % 500 == 0 || hecho == total) {
                                                 m_barra->setValue(static_cast<int>(hecho));
                                                 QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
                                             }
                                             return true;
                                         },
                                         m_lineas);
    QApplication::restoreOverrideCursor();
    ocultaCuadro();
    if (!r.ok) {
        // The reason, on the line below, tells the plant what to correct.
        QString texto = QStringLiteral("No se pudo exportar los datos a formato Excel.");
        if (!r.error.isEmpty())
            texto += u'\n' + r.error;
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("ERROR"), texto);
        return;
    }
    const QString ruta = QDir::toNativeSeparators(QFileInfo(archivo).absoluteFilePath());
    m_aviso->setText((r.filas == 1 ? QStringLiteral("Exportado 1 registro a %1")
                                   : QStringLiteral("Exportados %2 registros a %1"))
                         .arg(ruta)
                         .arg(r.filas));
    m_aviso->setToolTip(ruta);
}

void frmPLANILLA::comandos()
{
    frmComandos dlg(Programa::DataCSReporte, this);
    dlg.exec();
}

bool frmPLANILLA::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_info) {
        if (event->type() == QEvent::MouseButtonDblClick) {
            bloqueaInfo(false);
        } else if (event->type() == QEvent::FocusOut) {
            bloqueaInfo(true);
        }
    }
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return QDialog::eventFilter(watched, event);
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || w->window() != this)
        return QDialog::eventFilter(watched, event);
    auto* k = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers mods = k->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (event->type() == QEvent::KeyPress) {
        if (mods == Qt::ShiftModifier)
            m_shift = true;
        if (k->key() == Qt::Key_E && mods == Qt::ControlModifier && !k->isAutoRepeat() &&
            Programa::NivelActual == QStringLiteral("Instalador"))
            m_cmdDelete->setVisible(true);
    } else if (mods != Qt::ShiftModifier || k->key() == Qt::Key_Shift) {
        // Letting go of Shift itself may still report it as held.
        m_shift = false;
    }
    return QDialog::eventFilter(watched, event);
}

void frmPLANILLA::closeEvent(QCloseEvent* e)
{
    QDialog::closeEvent(e);
}

void frmPLANILLA::done(int r)
{
    guardaInfo();
    QDialog::done(r);
}
