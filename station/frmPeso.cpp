#include "frmPeso.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QValidator>
#include <QVBoxLayout>

#include "Colocacion.h"
#include "Diario.h"
#include "EstacionRemota.h"
#include "FechaHora.h"
#include "FrmDatos.h"
#include "MessageBox.h"
#include "PanelLineas.h"
#include "Contexto.h"
#include "Registrador.h"
#include "Tendencia.h"
#include "Tolva.h"
#include "Visor.h"

namespace {

const char* const kSalidas[8] = {"Hold",       "Stand By", "Carga Grueso", "Carga Fino",
                                 "Descarga",   "Alarma",   "Test Weigth",  "Run"};
const char* const kEntradas[8] = {"Sensor Desc. 1", "Sensor Desc. 2",  "Sensor Carga. 1",
                                  "Sensor Carga. 2", "Hold",           "Arranque / Par.",
                                  "By Pass",        "Tension Auxiliar"};

// Backgrounds of the window and of its frames; the displays paint them
// under their rounded boxes.
const QColor kFondoVentana(0xd9, 0xdd, 0xe2);
const QColor kFondoMarco(0xec, 0xef, 0xf2);

QString estiloDisplay(int px, const char* color)
{
    return QStringLiteral("QLabel { background: #0d1117; color: %1; border: 2px inset #4a525a;"
                          " border-radius: 3px; padding: 2px 10px;"
                          " font: bold %2px 'DejaVu Sans Mono'; }"
                          "QLabel:disabled { color: #4d5560; }")
        .arg(QLatin1String(color))
        .arg(px);
}

QGroupBox* marco(const char* nombre, const QString& titulo)
{
    auto* g = new QGroupBox(titulo);
    g->setObjectName(QLatin1String(nombre));
    return g;
}

QLabel* etiqueta(const QString& nombre, const QString& texto)
{
    auto* l = new QLabel(texto);
    l->setObjectName(nombre);
    return l;
}

// A display whose text changes with every reading.
Visor* visor(const QString& nombre, const QString& texto)
{
    auto* v = new Visor(texto);
    v->setObjectName(nombre);
    return v;
}

QPushButton* boton(const char* nombre, const QString& texto)
{
    auto* b = new QPushButton(texto);
    b->setObjectName(QLatin1String(nombre));
    b->setMinimumHeight(34);
    b->setFocusPolicy(Qt::StrongFocus);
    return b;
}

// Digits and one decimal separator, whether typed or pasted; a comma becomes
// a point. Editing keys are left to the field.
class ValidadorPrograma : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& texto, int&) const override
    {
        texto.replace(u',', u'.');
        if (texto.count(u'.') > 1)
            return Invalid;
        for (QChar c : std::as_const(texto)) {
            if (c != u'.' && (c < u'0' || c > u'9'))
                return Invalid;
        }
        return Acceptable;
    }
};

} // namespace

bool frmPeso::preguntaSinGuardar(QWidget* parent, const Registrador* registrador)
{
    return preguntaSinGuardar(parent, QVector<const Registrador*>{registrador});
}

bool frmPeso::preguntaSinGuardar(QWidget* parent, const QVector<const Registrador*>& registradores)
{
    QStringList falta;
    for (const Registrador* registrador : registradores)
        if (const int n = registrador ? registrador->sinGuardar() : 0)
            falta << QStringLiteral("Hay %1 registro(s) que no se pudieron guardar en disco (%2).")
                         .arg(n)
                         .arg(registrador->causaSinGuardar());
    QString causa;
    QStringList archivos;
    for (const Linea& l : Lineas::lista())
        archivos << l.archivo(Diario::kJournal);
    archivos << Diario::kLog;
    for (const QString& archivo : std::as_const(archivos)) {
        if (const int n = Diario::enEspera(archivo, &causa))
            falta << QStringLiteral("Hay %1 línea(s) de %2 que no se pudieron escribir (%3).").arg(n).arg(archivo, causa);
    }
    if (falta.isEmpty())
        return true;
    return MessageBox::pregunta(parent, MessageBox::Exclamacion, QStringLiteral("Registros sin guardar"),
                                falta.join(u'\n') +
                                    QStringLiteral("\nSólo están en memoria: si el programa se cierra, se perderán.\n"
                                                   "Desea cerrar de todos modos?"),
                                true);
}

frmPeso::frmPeso(QWidget* ventanaPrincipal, Registrador* registrador)
    : frmPeso(ventanaPrincipal, registrador, Contexto::programa())
{
}

frmPeso::frmPeso(QWidget* ventanaPrincipal, Registrador* registrador, const Contexto& contexto,
                 const Linea& linea)
    : QMainWindow(nullptr), m_principal(ventanaPrincipal), m_registrador(registrador),
      m_contexto(contexto), m_estacion(new EstacionPesaje(contexto, registrador, this, linea))
{
    m_propia = static_cast<EstacionPesaje*>(m_estacion);
    connect(m_propia, &EstacionPesaje::listoParaCerrar, this, [this] { close(); });
    conecta();
}

frmPeso::frmPeso(QWidget* ventanaPrincipal, EstacionBase* linea, const Contexto& contexto)
    : QMainWindow(nullptr), m_principal(ventanaPrincipal), m_contexto(contexto), m_estacion(linea)
{
    conecta();
}

void frmPeso::conecta()
{
    const Linea& linea = m_estacion->linea();
    setObjectName(linea.numero == 1 ? QStringLiteral("frmPeso") : QStringLiteral("frmPeso_%1").arg(linea.numero));
    // A single-line workstation shows no line anywhere.
    const bool varias = Lineas::varias();
    setWindowTitle(varias ? QStringLiteral("Pesar - %1").arg(linea.descripcion()) : QStringLiteral("Pesar"));
    construye();
    connect(m_estacion, &EstacionBase::abierta, this, [this] {
        if (!m_abierta && m_esperaApertura)
            alAbrir();
    });
    connect(m_estacion, &EstacionBase::fallo, this, &frmPeso::noAbre);
    // The line stopped under the view (the recorder ends): nothing more to show.
    connect(m_estacion, &EstacionBase::cerrada, this, [this] {
        if (!m_propia)
            cierraYa();
    });
    // Over another process's line, what it refuses is said here.
    if (auto* remota = qobject_cast<EstacionRemota*>(m_estacion))
        connect(remota, &EstacionRemota::rechazada, this, [this](int, const QString& mensaje) { error(mensaje); });
    if (!m_propia)
        connect(m_estacion, &QObject::destroyed, this, [this] {
            m_estacion = nullptr;
            m_descargada = true;
            deleteLater();
        });
    connect(m_estacion, &EstacionBase::estadoCambiado, this, [this](const EstadoEstacion& e) {
        muestra(e);
        // Painted now, in the same pass of the event loop as the reading,
        // instead of in one more pass woken for it.
        QCoreApplication::sendPostedEvents(window(), QEvent::UpdateRequest);
    });
    connect(m_estacion, &EstacionBase::lecturaProcesada, this, &frmPeso::lecturaProcesada);
    connect(m_estacion, &EstacionBase::loteRegistrado, this, &frmPeso::loteRegistrado);
    connect(m_estacion, &EstacionBase::sinRespuesta, this, [this] {
        Shape_Estado->setColor(Lampara::kEspera);
        m_panel[0]->setText(kSinRespuesta);
    });
    connect(m_estacion, &EstacionBase::registrosCambiados, this, &frmPeso::actualizaPanelRegistros);
    connect(m_estacion, &EstacionBase::operacionTerminada, this, &frmPeso::alTerminar);
    connect(m_estacion, &EstacionBase::escrituraFallida, this,
            [this] { error(EstacionBase::kFallo); });
    connect(m_estacion, &EstacionBase::periodoEfectivoCambiado, this, &frmPeso::muestraPeriodo);
    if (varias) {
        auto* panel = new PanelLineas(linea.numero);
        connect(panel, &PanelLineas::elegida, this, &frmPeso::lineaElegida);
        auto* caja = static_cast<QVBoxLayout*>(centralWidget()->layout());
        caja->insertWidget(0, panel);
    }
    m_reloj.setInterval(1000);
    auto fechaHora = [this] {
        const QDateTime ahora = QDateTime::currentDateTime();
        m_panel[1]->muestra(FechaHora::fecha(ahora.date()));
        m_panel[2]->muestra(FechaHora::hora(ahora.time()));
    };
    connect(&m_reloj, &QTimer::timeout, this, fechaHora);
    fechaHora();
    m_reloj.start();
    actualizaPanelRegistros();
}

frmPeso::~frmPeso() = default;

void frmPeso::construye()
{
    auto* central = new QWidget;
    central->setObjectName(QStringLiteral("Fondo"));
    setCentralWidget(central);
    setStyleSheet(QStringLiteral(
        "QMainWindow, #Fondo { background: %1; }"
        "QGroupBox { font: bold 11pt 'DejaVu Sans'; color: #1d2a38; border: 1px solid #8a939c;"
        " border-radius: 5px; margin-top: 12px; background: %2; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 4px; }"
        "QGroupBox:disabled { color: #8a939c; }"
        "QPushButton { font: bold 10pt 'DejaVu Sans'; background: qlineargradient(x1:0,y1:0,x2:0,y2:1,"
        " stop:0 #f7f9fa, stop:1 #c9d0d6); border: 1px solid #6c7680; border-radius: 4px;"
        " padding: 4px 10px; }"
        "QPushButton:pressed { background: #aab4bd; }"
        "QPushButton:disabled { color: #9aa3ab; background: #e0e3e6; border-color: #b5bcc2; }"
        "QLineEdit { font: bold 13pt 'DejaVu Sans Mono'; background: #fffbe0;"
        " border: 2px solid #c99a00; padding: 2px 4px; }"
        "QLabel { font: 10pt 'DejaVu Sans'; }"
        "QStatusBar QLabel { font: 10pt 'DejaVu Sans'; padding: 2px 6px; }")
                      .arg(kFondoVentana.name(), kFondoMarco.name()));

    // Weight and accumulator.
    auto* fraPeso = marco("Fra_Peso", QStringLiteral("Peso"));
    Label_Peso = visor(QStringLiteral("Label_Peso"), QStringLiteral("Error !   "));
    Label_Peso->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label_Peso->setStyleSheet(estiloDisplay(56, "#3dff6e"));
    Label_Peso->setMinimumWidth(340);
    Label_Peso->setFondo(kFondoMarco);
    Shape_Estado = new Lampara(nullptr, 26);
    Shape_Estado->setFondo(kFondoMarco);
    Shape_Estado->setObjectName(QStringLiteral("Shape_Estado"));
    {
        auto* l = new QHBoxLayout(fraPeso);
        l->addWidget(Shape_Estado, 0, Qt::AlignTop);
        l->addWidget(Label_Peso, 1);
        auto* kg = etiqueta(QStringLiteral("Lbl_KgPeso"), QStringLiteral("kg"));
        kg->setStyleSheet(QStringLiteral("font: bold 16pt 'DejaVu Sans';"));
        l->addWidget(kg, 0, Qt::AlignBottom);
    }
    auto* fraTotal = marco("Fra_Total", QStringLiteral("Acumulador"));
    Label_Total = visor(QStringLiteral("Label_Total"), QStringLiteral("0"));
    Label_Total->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label_Total->setStyleSheet(estiloDisplay(34, "#ffc83d"));
    Label_Total->setFondo(kFondoMarco);
    {
        auto* l = new QHBoxLayout(fraTotal);
        l->addWidget(Label_Total, 1);
        auto* kg = etiqueta(QStringLiteral("Lbl_KgTotal"), QStringLiteral("kg"));
        kg->setStyleSheet(QStringLiteral("font: bold 14pt 'DejaVu Sans';"));
        l->addWidget(kg, 0, Qt::AlignBottom);
    }

    auto pequeno = [](const char* nombreMarco, const QString& titulo, const QString& nombre,
                      Visor** destino, QGroupBox** marcoDestino, int digitos) {
        auto* g = marco(nombreMarco, titulo);
        *destino = visor(nombre, QStringLiteral("0"));
        (*destino)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        (*destino)->setStyleSheet(estiloDisplay(24, "#7fd7ff").replace(QStringLiteral("padding: 2px 10px"),
                                                                       QStringLiteral("padding: 2px 6px")));
        (*destino)->setFondo(kFondoMarco);
        // Room for the digits a value usually takes, whatever the title's width.
        QFont f(QStringLiteral("DejaVu Sans Mono"));
        f.setPixelSize(24);
        f.setBold(true);
        (*destino)->setMinimumWidth(QFontMetrics(f).horizontalAdvance(QString(digitos, u'0')) + 16);
        auto* l = new QVBoxLayout(g);
        l->setContentsMargins(6, l->contentsMargins().top(), 6, l->contentsMargins().bottom());
        l->addWidget(*destino);
        // Side by side these frames are narrow: never narrower than their title.
        g->setMinimumWidth(std::max(QFontMetrics(QFont(QStringLiteral("DejaVu Sans"), 11, QFont::Bold))
                                        .horizontalAdvance(titulo) + 24,
                                    g->minimumSizeHint().width()));
        if (marcoDestino)
            *marcoDestino = g;
        return g;
    };
    QGroupBox* fraCiclos = nullptr;
    QGroupBox* fraCaudal = nullptr;
    pequeno("Fra_Preset", QStringLiteral("Despacho [kg]"), QStringLiteral("Label_Preset"),
            &Label_Preset, &Fra_Preset, 5);
    pequeno("Fra_Resto", QStringLiteral("Resto [kg]"), QStringLiteral("Label_Resto"), &Label_Resto,
            &Fra_Resto, 5);
    pequeno("Fra_Ciclos", QStringLiteral("Ciclos"), QStringLiteral("Label_Ciclos"), &Label_Ciclos,
            &fraCiclos, 4);
    pequeno("Fra_Caudal", QStringLiteral("Caudal [tn/h]"), QStringLiteral("Label_Caudal"),
            &Label_Caudal, &fraCaudal, 4);

    // Batch program.
    auto* fraDatos = marco("Fra_Datos", QStringLiteral("Programa"));
    {
        static const char* const filas[3] = {"Despacho (Preset):", "Corte Grueso:",
                                             "Corte Fino (Batch):"};
        auto* g = new QGridLayout(fraDatos);
        for (int i = 0; i < 3; ++i) {
            g->addWidget(etiqueta(QStringLiteral("Lbl_ing2_%1").arg(i), QString::fromUtf8(filas[i])),
                         i, 0);
            Lbl_ing[i] = etiqueta(QStringLiteral("Lbl_ing_%1").arg(i), QStringLiteral("0"));
            Lbl_ing[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            Lbl_ing[i]->setMinimumWidth(110);
            Lbl_ing[i]->setStyleSheet(QStringLiteral(
                "QLabel { background: white; border: 1px solid #8a939c; padding: 3px 6px;"
                " font: bold 13pt 'DejaVu Sans Mono'; }"));
            g->addWidget(Lbl_ing[i], i, 1);
            Txt_dat[i] = new QLineEdit;
            Txt_dat[i]->setObjectName(QStringLiteral("Txt_dat_%1").arg(i));
            Txt_dat[i]->setAlignment(Qt::AlignRight);
            Txt_dat[i]->setMaximumWidth(130);
            Txt_dat[i]->setValidator(new ValidadorPrograma(Txt_dat[i]));
            Txt_dat[i]->hide();
            g->addWidget(Txt_dat[i], i, 2);
            g->addWidget(etiqueta(QStringLiteral("Lbl_KgIng_%1").arg(i), QStringLiteral("kg")), i, 3);
        }
        Cmd_ProgEdit = boton("Cmd_ProgEdit", QStringLiteral("Editar"));
        Cmd_Prog = boton("Cmd_Prog", QStringLiteral("Programar"));
        Cmd_ProgCancel = boton("Cmd_ProgCancel", QStringLiteral("Cancelar"));
        Cmd_Prog->hide();
        Cmd_ProgCancel->hide();
        auto* b = new QHBoxLayout;
        b->addWidget(Cmd_ProgEdit);
        b->addWidget(Cmd_Prog);
        b->addWidget(Cmd_ProgCancel);
        g->addLayout(b, 3, 0, 1, 4);
        g->setColumnStretch(2, 1);
    }

    // Run commands; Fra1 holds the general reset.
    Fra_Arranque = marco("Fra_Arranque", QString());
    Fra_Arranque->setTitle(QStringLiteral("Comandos"));
    {
        Cmd_Run = boton("Cmd_Run", QStringLiteral("Arranque Parada"));
        Cmd_Cero = boton("Cmd_Cero", QStringLiteral("Cero"));
        Cmd_Cancel = boton("Cmd_Cancel", QStringLiteral("Cancel"));
        Cmd_Test = boton("Cmd_Test", QStringLiteral("Test Weigth"));
        Cmd_Run->setStyleSheet(QStringLiteral(
            "QPushButton { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #7fe08f,"
            " stop:1 #2f9e44); color: #0b2810; }"
            "QPushButton:disabled { color: #9aa3ab; background: #e0e3e6; }"));
        Cmd_Cancel->setStyleSheet(QStringLiteral(
            "QPushButton { background: qlineargradient(x1:0,y1:0,x2:0,y2:1, stop:0 #ff9a8f,"
            " stop:1 #d63a2b); color: white; }"
            "QPushButton:disabled { color: #9aa3ab; background: #e0e3e6; }"));
        Fra1 = marco("Fra1", QString());
        Fra1->setStyleSheet(QStringLiteral("QGroupBox { margin-top: 2px; }")); // no title
        Cmd_Reset = boton("Cmd_Reset", QStringLiteral("Reset"));
        Cmd_Reset->setEnabled(false);
        Chk_Habilitar = new QCheckBox(QStringLiteral("Habilitar Borrado General"));
        Chk_Habilitar->setObjectName(QStringLiteral("Chk_Habilitar"));
        auto* l1 = new QHBoxLayout(Fra1);
        l1->addWidget(Chk_Habilitar, 1);
        l1->addWidget(Cmd_Reset);
        auto* g = new QGridLayout(Fra_Arranque);
        // Three columns keep the reset beside Test Weigth, not below it.
        g->addWidget(Cmd_Run, 0, 0);
        g->addWidget(Cmd_Cero, 0, 1);
        g->addWidget(Cmd_Cancel, 0, 2);
        g->addWidget(Cmd_Test, 1, 0);
        g->addWidget(Fra1, 1, 1, 1, 2);
    }

    // Outputs and inputs.
    auto lamparas = [](const char* nombreMarco, const QString& titulo, const char* prefijoLampara,
                       const char* prefijoEtiqueta, const char* const* textos, Lampara** destino) {
        auto* g = marco(nombreMarco, titulo);
        auto* l = new QGridLayout(g);
        l->setVerticalSpacing(6);
        for (int k = 0; k < 8; ++k) {
            destino[k] = new Lampara;
            destino[k]->setFondo(kFondoMarco);
            destino[k]->setObjectName(QStringLiteral("%1_%2").arg(QLatin1String(prefijoLampara)).arg(k));
            l->addWidget(destino[k], k, 0);
            l->addWidget(etiqueta(QStringLiteral("%1_%2").arg(QLatin1String(prefijoEtiqueta)).arg(k),
                                  QLatin1String(textos[k])),
                         k, 1);
        }
        l->setColumnStretch(1, 1);
        return g;
    };
    auto* fraSalidas = lamparas("Fra_Salidas", QStringLiteral("Salidas"), "Shape_Salida",
                                "Lbl_Salida", kSalidas, Shape_Salida);
    auto* fraEntradas = lamparas("Fra_Entradas", QStringLiteral("Entradas"), "Shape_Entrada",
                                 "Lbl_Entrada", kEntradas, Shape_Entrada);

    m_tolva = new DibujoTolva;
    m_tolva->setObjectName(QStringLiteral("Pic_Tolva"));
    m_tendencia = new Tendencia;

    // Left: values and commands; middle: hopper and trend; right: lamps.
    auto* izquierda = new QVBoxLayout;
    izquierda->addWidget(fraPeso);
    izquierda->addWidget(fraTotal);
    auto* fila = new QGridLayout;
    // One row, so that the column fits a 768-line screen.
    fila->setHorizontalSpacing(4);
    fila->addWidget(Fra_Preset, 0, 0);
    fila->addWidget(Fra_Resto, 0, 1);
    fila->addWidget(fraCiclos, 0, 2);
    fila->addWidget(fraCaudal, 0, 3);
    izquierda->addLayout(fila);
    izquierda->addWidget(fraDatos);
    izquierda->addWidget(Fra_Arranque);
    izquierda->addStretch(1);

    auto* medio = new QVBoxLayout;
    auto* fraTolva = marco("Fra_Tolva", QStringLiteral("Tolva"));
    auto* lt = new QHBoxLayout(fraTolva);
    lt->addStretch(1);
    lt->addWidget(m_tolva);
    lt->addStretch(1);
    medio->addWidget(fraTolva);
    auto* fraTendencia = marco("Fra_Tendencia", QStringLiteral("Tendencia"));
    auto* ltd = new QVBoxLayout(fraTendencia);
    ltd->setContentsMargins(4, 8, 4, 4);
    ltd->addWidget(m_tendencia);
    medio->addWidget(fraTendencia, 1);

    auto* derecha = new QVBoxLayout;
    derecha->addWidget(fraSalidas);
    derecha->addWidget(fraEntradas);
    derecha->addStretch(1);

    auto* caja = new QVBoxLayout(central);
    // Tight margins: framed by a window manager beside a desktop panel, the
    // whole window fits a 1024x768 screen.
    caja->setContentsMargins(6, 4, 6, 2);
    caja->setSpacing(4);
    auto* principal = new QHBoxLayout;
    caja->addLayout(principal, 1);
    principal->addLayout(izquierda, 0);
    principal->addLayout(medio, 1);
    principal->addLayout(derecha, 0);

    // Status bar: state and error, date, time, pending records.
    sbStatusBar = new QStatusBar;
    sbStatusBar->setObjectName(QStringLiteral("sbStatusBar"));
    sbStatusBar->setSizeGripEnabled(false);
    setStatusBar(sbStatusBar);
    for (int i = 0; i < 4; ++i) {
        m_panel[i] = visor(QStringLiteral("Panel%1").arg(i + 1), QString());
        m_panel[i]->setFrameShape(QFrame::StyledPanel);
        m_panel[i]->setFrameShadow(QFrame::Sunken);
        m_panel[i]->installEventFilter(this);
    }
    m_panel[1]->setFondo(kFondoVentana);
    m_panel[2]->setFondo(kFondoVentana);
    m_panel[0]->setStyleSheet(QStringLiteral("font: bold 11pt 'DejaVu Sans'; color: #b00000;"));
    sbStatusBar->addWidget(m_panel[0], 1);
    m_falla = new QLabel;
    m_falla->setObjectName(QStringLiteral("PanelFalla"));
    m_falla->setStyleSheet(QStringLiteral("font: 10pt 'DejaVu Sans'; color: #b00000;"));
    m_falla->hide();
    sbStatusBar->addWidget(m_falla);
    m_periodo = new QLabel;
    m_periodo->setObjectName(QStringLiteral("Lbl_Periodo"));
    m_periodo->setStyleSheet(QStringLiteral("background: #ffe0a0; color: black;"));
    m_periodo->hide();
    sbStatusBar->addPermanentWidget(m_periodo);
    sbStatusBar->addPermanentWidget(m_panel[3]);
    sbStatusBar->addPermanentWidget(m_panel[1]);
    sbStatusBar->addPermanentWidget(m_panel[2]);

    connect(Cmd_Run, &QPushButton::clicked, this, [this] {
        if (const QString e = m_estacion->compruebaArranque(); !e.isEmpty()) {
            error(e);
            return;
        }
        comandoLetra('V', QStringLiteral("Arranque / Parada"),
                     QStringLiteral("Desea enviar un Arranque / Parada al equipo?"),
                     QStringLiteral("Arranque / Parada"));
    });
    connect(Cmd_Cero, &QPushButton::clicked, this, [this] {
        comandoLetra('Z', QStringLiteral("Toma de Cero"), QStringLiteral("Desea tomar Cero?"),
                     QStringLiteral("Cero"));
    });
    connect(Cmd_Cancel, &QPushButton::clicked, this, [this] {
        comandoLetra('X', QStringLiteral("Cancel"),
                     QStringLiteral("Desea Cancelar el ciclo actual y parar el equipo?"),
                     QStringLiteral("Cancel"));
    });
    connect(Cmd_Test, &QPushButton::clicked, this, [this] {
        comandoLetra('W', QStringLiteral("Test Weigth"), QStringLiteral("Desea activar el Test Weigth?"),
                     QStringLiteral("Test Weigth"));
    });
    connect(Cmd_ProgEdit, &QPushButton::clicked, this, &frmPeso::editar);
    connect(Cmd_ProgCancel, &QPushButton::clicked, this, &frmPeso::cancelarEdicion);
    connect(Cmd_Prog, &QPushButton::clicked, this, &frmPeso::programar);
    connect(Cmd_Reset, &QPushButton::clicked, this, &frmPeso::reset);
    connect(Chk_Habilitar, &QCheckBox::toggled, Cmd_Reset, &QPushButton::setEnabled);
}

// ------------------------------------------------------------------ opening

void frmPeso::inicia()
{
    QStringList aux;
    // From another line's station the main window is hidden: the question
    // comes over the window the operator is in.
    QWidget* sobre = m_principal && m_principal->isVisible() ? m_principal : QApplication::activeWindow();
    if (!FrmDatos::PideDatos(sobre, &aux, m_estacion->linea())) {
        close();
        return;
    }
    Label_Peso->setText(QStringLiteral("Error !   "));
    m_esperaApertura = true;
    if (m_propia)
        m_propia->abre();
    m_estacion->abreVista(aux, m_contexto.OperadorActual);
    if (m_estacion->iniciada())
        alAbrir();
    else if (!m_propia && !m_estacion->falloApertura().isEmpty())
        noAbre(m_estacion->falloApertura());
}

void frmPeso::noAbre(const QString& texto)
{
    if (m_abierta || !m_esperaApertura)
        return;
    m_esperaApertura = false;
    MessageBox::mostrar(m_principal, MessageBox::Critico, QStringLiteral("Error!!!"), texto);
    close();
}

void frmPeso::alAbrir()
{
    m_esperaApertura = false;
    m_abierta = true;
    for (int k = 0; k < 8; ++k) {
        Shape_Entrada[k]->setColor(Lampara::kApagada);
        Shape_Salida[k]->setColor(Lampara::kApagada);
    }
    m_tolva->setEstado(0);
    m_tolva->setChorro(false);
    m_panel[0]->setText(QStringLiteral("Conectando..."));
    enVivo(false);
    const QString nivel = m_contexto.NivelActual;
    Fra1->setVisible(nivel == u"Instalador" || nivel == u"Superior");

    adjustSize();
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
    // Centred by its client area: framed, the title bar may stick out.
    Colocacion::alEnmarcarse(this, [this] { Colocacion::meteEnPantalla(this); });
    show();
    // Laid out now: the displays and the clock keep this size (or grow for
    // a wider text), so a new reading does not lay out the window again.
    for (Visor* v : {Label_Peso, Label_Total, Label_Preset, Label_Resto, Label_Ciclos, Label_Caudal}) {
        v->fija();
        // The frame's own minimum (its title's width) would now hold it
        // narrower than a grown display; the display's width holds it instead.
        v->parentWidget()->setMinimumWidth(0);
    }
    m_panel[1]->fija();
    m_panel[2]->fija();
    // A view opened over a line that polls already shows its last state now.
    if (m_estacion->estado().instante.isValid())
        muestra(m_estacion->estado());
    Q_EMIT abierta();
}

// The bus cannot carry the configured period: the operator sees how often
// the values really come. A timer's jitter (a few ms) is not worth saying.
// Without a reading the polls are retries of a silent indicator, not what
// the bus carries: said only while the values are live.
void frmPeso::muestraPeriodo(int ms)
{
    m_ultimoPeriodo = ms;
    const int configurado = m_estacion->periodoConfigurado();
    const bool lento = m_vivo && ms > 0 && configurado > 0 && ms * 10 > configurado * 11;
    m_periodo->setText(lento ? QStringLiteral("Lectura cada %1 ms (configurado %2 ms)").arg(ms).arg(configurado)
                             : QString());
    m_periodo->setVisible(lento);
}

void frmPeso::actualizaPanelRegistros()
{
    const QStringList partes = m_estacion->avisosRegistro();
    m_panel[3]->setText(partes.join(QStringLiteral(" - ")));
    m_panel[3]->setStyleSheet(partes.isEmpty()
                                  ? QString()
                                  : QStringLiteral("background: #c62828; color: white; font-weight: bold;"));
    m_panel[3]->setVisible(!partes.isEmpty());
}

// ------------------------------------------------------------------ showing

// Without a valid reading the values are the last ones read: grey, and
// nothing that needs the indicator can be asked for. Cancelling an edit and
// closing need no indicator and stay.
void frmPeso::enVivo(bool vivo)
{
    if (vivo != m_vivo) {
        m_vivo = vivo;
        muestraPeriodo(m_ultimoPeriodo);
    }
    for (QWidget* w : {static_cast<QWidget*>(Label_Peso), static_cast<QWidget*>(Label_Total),
                       static_cast<QWidget*>(Label_Ciclos), static_cast<QWidget*>(Label_Caudal),
                       static_cast<QWidget*>(Lbl_ing[0]), static_cast<QWidget*>(Lbl_ing[1]),
                       static_cast<QWidget*>(Lbl_ing[2]), static_cast<QWidget*>(Cmd_Run),
                       static_cast<QWidget*>(Cmd_Cancel), static_cast<QWidget*>(Cmd_Prog)})
        w->setEnabled(vivo);
    if (!vivo) {
        for (QWidget* w : {static_cast<QWidget*>(Label_Preset), static_cast<QWidget*>(Fra_Preset),
                           static_cast<QWidget*>(Label_Resto), static_cast<QWidget*>(Fra_Resto),
                           static_cast<QWidget*>(Cmd_Cero), static_cast<QWidget*>(Cmd_Test),
                           static_cast<QWidget*>(Cmd_ProgEdit), static_cast<QWidget*>(Chk_Habilitar)})
            w->setEnabled(false);
        Chk_Habilitar->setChecked(false);
    }
}

void frmPeso::muestra(const EstadoEstacion& e)
{
    m_panel[0]->setText(e.textoError);
    m_falla->setText(e.conectado ? QString() : e.falla.texto());
    m_falla->setVisible(!m_falla->text().isEmpty());
    if (!e.conectado) {
        Shape_Estado->setColor(Lampara::kFalla);
        m_tendencia->sinDatos();
        enVivo(false);
        return;
    }
    Shape_Estado->setColor(Lampara::kEncendida);
    enVivo(true);
    Label_Peso->muestra(e.muestra(e.Peso));
    Label_Total->muestra(e.muestra(e.Acumulado));
    Label_Caudal->muestra(e.muestra(e.Caudal));
    Label_Ciclos->muestra(QString::number(e.CCiclos));
    Label_Preset->muestra(e.muestra(e.Despacho));
    Label_Resto->muestra(e.muestra(e.Resto));
    const bool conPreset = e.Despacho != 0;
    for (QWidget* w : {static_cast<QWidget*>(Label_Preset), static_cast<QWidget*>(Fra_Preset),
                       static_cast<QWidget*>(Label_Resto), static_cast<QWidget*>(Fra_Resto)})
        w->setEnabled(conPreset);
    Lbl_ing[0]->setText(e.muestra(e.Despacho));
    Lbl_ing[1]->setText(e.muestra(e.CGrueso));
    Lbl_ing[2]->setText(e.muestra(e.CFino));
    m_tolva->setNivel(DibujoTolva::nivel(e.Peso, e.CFino));
    for (int k = 0; k < 8; ++k) {
        Shape_Entrada[k]->setColor((e.Entradas >> k) & 1 ? Lampara::kEncendida : Lampara::kApagada);
        Shape_Salida[k]->setColor((e.Salidas >> k) & 1 ? Lampara::kEncendida : Lampara::kApagada);
    }
    m_tolva->setEstado(e.Modo);
    m_tolva->setChorro(e.cargando);

    for (QWidget* w : {static_cast<QWidget*>(Cmd_Cero), static_cast<QWidget*>(Cmd_Test),
                       static_cast<QWidget*>(Cmd_ProgEdit), static_cast<QWidget*>(Chk_Habilitar)})
        w->setEnabled(e.standBy);
    if (!e.standBy)
        Chk_Habilitar->setChecked(false);
    m_tendencia->agrega(e.Peso, e.Caudal);
    if (!e.aviso.isEmpty()) {
        if (!m_aviso) {
            // Across the whole window above the status bar, wrapped when it
            // is longer than the window is wide: read whole, never cut.
            m_aviso = new QLabel;
            m_aviso->setObjectName(QStringLiteral("Lbl_Aviso"));
            m_aviso->setFrameShape(QFrame::StyledPanel);
            m_aviso->setFrameShadow(QFrame::Sunken);
            m_aviso->setStyleSheet(QStringLiteral(
                "background: #ffd54f; color: black; font: bold 10pt 'DejaVu Sans'; padding: 2px 6px;"));
            m_aviso->setWordWrap(true);
            m_aviso->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Minimum);
            static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(m_aviso);
        }
        m_aviso->setText(e.aviso);
        m_aviso->setToolTip(e.aviso);
    }
}

// A window that grew (a notice, a wider value) stays inside the screen.
void frmPeso::resizeEvent(QResizeEvent* e)
{
    QMainWindow::resizeEvent(e);
    if (isVisible() && Colocacion::enmarcada(this))
        Colocacion::meteEnPantalla(this);
}

// ------------------------------------------------------------------ closing

void frmPeso::closeEvent(QCloseEvent* e)
{
    if (m_descargada || !m_estacion) {
        e->accept();
        return;
    }
    if (!m_propia) {
        // The line records on: nothing is lost by closing the view.
        if (!m_abierta || MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Salir"),
                                               kPreguntaCierre, true)) {
            descarga();
            e->accept();
        } else
            e->ignore();
        return;
    }
    if (!m_propia->cerrarPedido()) {
        m_propia->pausa();
        if (!preguntaSinGuardar(this, m_registrador)) {
            e->ignore();
            m_propia->reanuda();
            return;
        }
        if (MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Salir"),
                                 QStringLiteral("Desea cerrar la ventana?"), true))
            m_propia->pideCierre();
        e->ignore();
        m_propia->reanuda();
        return;
    }
    descarga();
    e->accept();
}

void frmPeso::cierraYa()
{
    descarga();
    close();
}

void frmPeso::descarga()
{
    if (m_descargada)
        return;
    m_descargada = true;
    if (m_estacion && m_abierta)
        m_estacion->cierraVista(m_contexto.OperadorActual);
    if (m_propia)
        m_propia->cierra();
    m_abierta = false;
    Q_EMIT cerrada();
    deleteLater();
}

// ----------------------------------------------------------------- commands

void frmPeso::error(const QString& texto)
{
    MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"), texto);
}

void frmPeso::comandoLetra(char letra, const QString& titulo, const QString& pregunta,
                           const QString& nombre)
{
    if (MessageBox::pregunta(this, MessageBox::Pregunta, titulo, pregunta, false))
        m_estacion->comando(letra, nombre, m_contexto.OperadorActual);
}

void frmPeso::alTerminar(int operacion, bool)
{
    if (m_liberanArranque.remove(operacion))
        Fra_Arranque->setEnabled(true);
    if (operacion == m_programacion) {
        m_programacion = 0;
        cancelarEdicion();
    }
}

void frmPeso::editar()
{
    for (int i = 0; i < 3; ++i) {
        Txt_dat[i]->setText(Lbl_ing[i]->text());
        Txt_dat[i]->show();
    }
    Cmd_ProgEdit->hide();
    Cmd_Prog->show();
    Cmd_ProgCancel->show();
    Txt_dat[0]->setFocus();
    Txt_dat[0]->selectAll();
}

void frmPeso::cancelarEdicion()
{
    for (QLineEdit* t : Txt_dat)
        t->hide();
    Cmd_ProgEdit->show();
    Cmd_Prog->hide();
    Cmd_ProgCancel->hide();
}

void frmPeso::programar()
{
    const QString textos[3] = {Txt_dat[0]->text(), Txt_dat[1]->text(), Txt_dat[2]->text()};
    QString mensaje;
    int campo = -1;
    const auto p = m_estacion->compruebaProgramacion(textos, &mensaje, &campo);
    if (!p) {
        error(mensaje);
        if (campo >= 0)
            Txt_dat[campo]->setFocus();
        return;
    }
    if (!MessageBox::pregunta(this, MessageBox::Pregunta, QStringLiteral("Programación"),
                              QStringLiteral("Desea programar Bach y Preset?"), false))
        return;
    Fra_Arranque->setEnabled(false);
    m_programacion = m_estacion->programa(*p, m_contexto.OperadorActual);
    m_liberanArranque.insert(m_programacion);
}

void frmPeso::reset()
{
    if (const QString e = m_estacion->compruebaReset(); !e.isEmpty()) {
        error(e);
        return;
    }
    if (!MessageBox::pregunta(
            this, MessageBox::Pregunta, QStringLiteral("Reset"),
            QStringLiteral("Desea Resetear el indicador y poner a Cero el Totalizador y el Preset?"),
            false))
        return;
    Fra_Arranque->setEnabled(false);
    m_liberanArranque.insert(m_estacion->reset(m_contexto.OperadorActual));
}

bool frmPeso::eventFilter(QObject* o, QEvent* e)
{
    // Cancelling the indicator's error needs the indicator.
    if (e->type() == QEvent::MouseButtonPress && m_vivo) {
        for (QLabel* p : m_panel) {
            if (o == p) {
                if (MessageBox::pregunta(this, MessageBox::Pregunta, QStringLiteral("Error"),
                                         QStringLiteral("Desea cancelar el Error?"), false))
                    m_estacion->comando('C', QStringLiteral("Cancelar error"), m_contexto.OperadorActual);
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(o, e);
}
