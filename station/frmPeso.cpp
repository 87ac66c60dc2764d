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

#include "Config.h"
#include "Conversiones.h"
#include "Diario.h"
#include "FrmDatos.h"
#include "Indicador.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Registrador.h"
#include "Tendencia.h"
#include "Tolva.h"

namespace {

std::function<void(ConfigEnlace&)> g_ajusteEnlace;

const QString kRutinaRegistro = QStringLiteral("Rutina: saveReporte (Formulario frmPeso)");
const QString kRutinaDiario = QStringLiteral("Rutina: saveTxt (Formulario frmPeso)");
const QString kFallo = QStringLiteral("No se pudo realizar la operación");
const QString kNoStandBy = QStringLiteral("El equipo no esta en Std. By");

const char* const kSalidas[8] = {"Hold",       "Stand By", "Carga Grueso", "Carga Fino",
                                 "Descarga",   "Alarma",   "Test Weigth",  "Run"};
const char* const kEntradas[8] = {"Sensor Desc. 1", "Sensor Desc. 2",  "Sensor Carga. 1",
                                  "Sensor Carga. 2", "Hold",           "Arranque / Par.",
                                  "By Pass",        "Tension Auxiliar"};

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

QPushButton* boton(const char* nombre, const QString& texto)
{
    auto* b = new QPushButton(texto);
    b->setObjectName(QLatin1String(nombre));
    b->setMinimumHeight(40);
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

frmPeso::Estado& frmPeso::estado()
{
    static Estado e;
    return e;
}

void frmPeso::setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste)
{
    g_ajusteEnlace = std::move(ajuste);
}

bool frmPeso::preguntaSinGuardar(QWidget* parent, const Registrador* registrador)
{
    const int n = registrador ? registrador->sinGuardar() : 0;
    if (n == 0)
        return true;
    return MessageBox::pregunta(
        parent, MessageBox::Exclamacion, QStringLiteral("Registros sin guardar"),
        QStringLiteral("Hay %1 registro(s) que no se pudieron guardar en disco (%2).\n"
                       "Sólo están en memoria: si el programa se cierra, se perderán.\n"
                       "Desea cerrar de todos modos?")
            .arg(n)
            .arg(registrador->causaSinGuardar()),
        true);
}

frmPeso::frmPeso(QWidget* ventanaPrincipal, Registrador* registrador)
    : QMainWindow(nullptr), m_principal(ventanaPrincipal), m_registrador(registrador)
{
    setObjectName(QStringLiteral("frmPeso"));
    setWindowTitle(QStringLiteral("Pesar"));
    construye();
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    connect(&m_timer1, &QTimer::timeout, this, &frmPeso::tick);
    connect(&m_enlace, &Enlace::abierto, this, &frmPeso::alAbrir);
    connect(&m_enlace, &Enlace::lecturaLista, this,
            [this](const LecturaPeso& l, int intentos) {
                m_intentos = intentos;
                alLeer(l);
            });
    connect(&m_enlace, &Enlace::escrituraLista, this, &frmPeso::alEscribir);
    m_plazoCierre.setSingleShot(true);
    connect(&m_plazoCierre, &QTimer::timeout, this, [this] {
        // A silent indicator must not hold the close for a whole poll.
        if (m_cerrar && !m_descargada)
            close();
    });
    if (m_registrador) {
        connect(m_registrador, &Registrador::estado, this, [this](int n) {
            m_pendientes = n;
            actualizaPanelRegistros();
        });
        connect(m_registrador, &Registrador::fallo, this,
                [this](const QString& d, const QString& e) {
                    escribeLog(d + u' ' + QString(e).replace(u'\n', u' ').simplified(),
                               kRutinaRegistro);
                });
        m_pendientes = m_registrador->pendientes();
    }
    m_reloj.setInterval(1000);
    auto fechaHora = [this] {
        const QDateTime ahora = QDateTime::currentDateTime();
        m_panel[1]->setText(Diario::fecha(ahora.date()));
        m_panel[2]->setText(Diario::hora(ahora.time()));
    };
    connect(&m_reloj, &QTimer::timeout, this, fechaHora);
    fechaHora();
    m_reloj.start();
    actualizaPanelRegistros();
}

frmPeso::~frmPeso()
{
    m_enlace.cerrar();
}

void frmPeso::construye()
{
    auto* central = new QWidget;
    central->setObjectName(QStringLiteral("Fondo"));
    setCentralWidget(central);
    setStyleSheet(QStringLiteral(
        "QMainWindow, #Fondo { background: #d9dde2; }"
        "QGroupBox { font: bold 11pt 'DejaVu Sans'; color: #1d2a38; border: 1px solid #8a939c;"
        " border-radius: 5px; margin-top: 12px; background: #eceff2; }"
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
        "QStatusBar QLabel { font: 10pt 'DejaVu Sans'; padding: 2px 6px; }"));

    // Weight and accumulator.
    auto* fraPeso = marco("Fra_Peso", QStringLiteral("Peso"));
    Label_Peso = etiqueta(QStringLiteral("Label_Peso"), QStringLiteral("Error !   "));
    Label_Peso->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label_Peso->setStyleSheet(estiloDisplay(56, "#3dff6e"));
    Label_Peso->setMinimumWidth(340);
    Shape_Estado = new Lampara(nullptr, 26);
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
    Label_Total = etiqueta(QStringLiteral("Label_Total"), QStringLiteral("0"));
    Label_Total->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label_Total->setStyleSheet(estiloDisplay(34, "#ffc83d"));
    {
        auto* l = new QHBoxLayout(fraTotal);
        l->addWidget(Label_Total, 1);
        auto* kg = etiqueta(QStringLiteral("Lbl_KgTotal"), QStringLiteral("kg"));
        kg->setStyleSheet(QStringLiteral("font: bold 14pt 'DejaVu Sans';"));
        l->addWidget(kg, 0, Qt::AlignBottom);
    }

    auto pequeno = [](const char* nombreMarco, const QString& titulo, const QString& nombre,
                      QLabel** destino, QGroupBox** marcoDestino, int digitos) {
        auto* g = marco(nombreMarco, titulo);
        *destino = etiqueta(nombre, QStringLiteral("0"));
        (*destino)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        (*destino)->setStyleSheet(estiloDisplay(24, "#7fd7ff").replace(QStringLiteral("padding: 2px 10px"),
                                                                       QStringLiteral("padding: 2px 6px")));
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

    auto* principal = new QHBoxLayout(central);
    principal->addLayout(izquierda, 0);
    principal->addLayout(medio, 1);
    principal->addLayout(derecha, 0);

    // Status bar: state and error, date, time, pending records.
    sbStatusBar = new QStatusBar;
    sbStatusBar->setObjectName(QStringLiteral("sbStatusBar"));
    sbStatusBar->setSizeGripEnabled(false);
    setStatusBar(sbStatusBar);
    for (int i = 0; i < 4; ++i) {
        m_panel[i] = etiqueta(QStringLiteral("Panel%1").arg(i + 1), QString());
        m_panel[i]->setFrameShape(QFrame::StyledPanel);
        m_panel[i]->setFrameShadow(QFrame::Sunken);
        m_panel[i]->installEventFilter(this);
    }
    m_panel[0]->setStyleSheet(QStringLiteral("font: bold 11pt 'DejaVu Sans'; color: #b00000;"));
    sbStatusBar->addWidget(m_panel[0], 1);
    sbStatusBar->addPermanentWidget(m_panel[3]);
    sbStatusBar->addPermanentWidget(m_panel[1]);
    sbStatusBar->addPermanentWidget(m_panel[2]);

    connect(Cmd_Run, &QPushButton::clicked, this, [this] {
        const auto bach = KValNumero(Lbl_ing[2]->text());
        if (!bach || *bach == 0) {
            MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"),
                                QStringLiteral("Error en el valor de Bach"));
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
    m_cerrar = true;
    QStringList aux;
    if (!FrmDatos::PideDatos(m_principal, &aux)) {
        close();
        return;
    }
    m_aux = aux;
    Label_Peso->setText(QStringLiteral("Error !   "));
    QString error;
    auto config = ConfigEnlace::lee(&error);
    if (!config) {
        errorManager(ConfigEnlace::mensajeError());
        close();
        return;
    }
    if (g_ajusteEnlace)
        g_ajusteEnlace(*config);
    m_esperaMs = config->esperaMs;
    m_enlace.abrir(*config);
}

void frmPeso::alAbrir(bool ok, const QString& mensaje, const QString& detalle)
{
    if (m_descargada)
        return;
    if (!ok) {
        errorManager(mensaje.isEmpty() ? ConfigEnlace::mensajeError() : mensaje, detalle);
        close();
        return;
    }
    for (int k = 0; k < 8; ++k) {
        Shape_Entrada[k]->setColor(Lampara::kApagada);
        Shape_Salida[k]->setColor(Lampara::kApagada);
    }
    m_modo = 0;
    m_tolva->setEstado(0);
    m_tolva->setChorro(false);

    const auto decimales = ConfigEnlace::leeDecimales();
    const auto tiempo = Config::LeeEntero(QStringLiteral("global"), QStringLiteral("Tiempo"), 100);
    if (!decimales || !tiempo || *tiempo <= 0) {
        errorManager(QStringLiteral("La referencia de datos es incorrecta."));
        close();
        return;
    }
    m_decimales = *decimales;
    m_formato = m_decimales == 0 ? QStringLiteral("#####0")
                                 : QStringLiteral("#####0.") + QString(m_decimales, u'0');
    estado().TotalAnterior = -1;
    escribeDiario(Diario::cabecera(m_aux, estado().DecimoFino, m_decimales, Lbl_ing[2]->text(),
                                   KValNumero(Lbl_ing[0]->text()).value_or(0), Lbl_ing[0]->text(),
                                   QDateTime::currentDateTime()),
                  QStringLiteral("Rutina: openTxt (Formulario frmPeso)"));

    m_cerrar = false;
    m_iniciada = true;
    m_timer1.setInterval(*tiempo);
    m_timer1.start();
    m_panel[0]->setText(QStringLiteral("Conectando..."));
    const QString nivel = Programa::NivelActual;
    Fra1->setVisible(nivel == u"Instalador" || nivel == u"Superior");

    adjustSize();
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
    show();
    if (m_principal)
        m_principal->hide();
    Q_EMIT abierta();
}

void frmPeso::errorManager(const QString& msg, const QString& detalle)
{
    escribeLog(msg, Diario::kRutinaCarga);
    QString texto = QStringLiteral("Error de validacion Nº %1.\n%2").arg(estado().NroError).arg(msg);
    if (!detalle.isEmpty())
        texto += u'\n' + detalle;
    MessageBox::mostrar(m_principal, MessageBox::Critico, QStringLiteral("Error!!!"), texto);
}

void frmPeso::escribeLog(const QString& msg, const QString& rutina)
{
    QString e;
    if (!Diario::agrega(Diario::kLog,
                        Diario::registroError(estado().NroError, msg, rutina,
                                              QDateTime::currentDateTime()),
                        &e)) {
        m_errorDiario = QStringLiteral("Error al escribir Datos.log");
        actualizaPanelRegistros();
    }
}

void frmPeso::escribeDiario(const QString& texto, const QString& rutina)
{
    QString e;
    if (Diario::agrega(Diario::kJournal, texto, &e))
        return;
    m_errorDiario = QStringLiteral("Error al escribir Transac.dat");
    actualizaPanelRegistros();
    escribeLog(QStringLiteral("No se pudo escribir Transac.dat: ") + e, rutina);
}

void frmPeso::actualizaPanelRegistros()
{
    QStringList partes;
    if (const int n = m_registrador ? m_registrador->sinGuardar() : 0)
        partes << QStringLiteral("Registros sin guardar en disco: %1 (%2)")
                      .arg(n)
                      .arg(m_registrador->causaSinGuardar());
    if (m_pendientes > 0)
        partes << QStringLiteral("Registros pendientes: %1").arg(m_pendientes);
    if (!m_errorDiario.isEmpty())
        partes << m_errorDiario;
    m_panel[3]->setText(partes.join(QStringLiteral(" - ")));
    m_panel[3]->setStyleSheet(partes.isEmpty()
                                  ? QString()
                                  : QStringLiteral("background: #c62828; color: white; font-weight: bold;"));
    m_panel[3]->setVisible(!partes.isEmpty());
}

// ------------------------------------------------------------------ polling

void frmPeso::tick()
{
    if (m_enlace.leer(6)) {
        m_lecturaDesde.start();
        return;
    }
    ++m_omitidos; // the previous poll is still running
    // The indicator has missed a reply: the values on screen are no longer
    // live, and the six reads may take half a minute to end. Say so, unless
    // the link is already known to be down: that stays red.
    if (!m_sinRespuesta && !m_enlaceCaido && m_lecturaDesde.isValid() &&
        m_lecturaDesde.elapsed() > m_esperaMs + 500) {
        m_sinRespuesta = true;
        Shape_Estado->setColor(Lampara::kEspera);
        m_panel[0]->setText(kSinRespuesta);
    }
}

QString frmPeso::textoError(int codigo)
{
    if (codigo == 0)
        return {};
    QString sufijo;
    switch (codigo) {
    case 1: sufijo = QStringLiteral(" - PROGRAMA: Fino > Cap Max"); break;
    case 2: sufijo = QStringLiteral(" - PROGRAMA: Grueso > Cap Max"); break;
    case 3: sufijo = QStringLiteral(" - PROGRAMA: Grueso > Fino"); break;
    case 4: sufijo = QStringLiteral(" - PROGRAMA: Fino < Banda Cero"); break;
    case 5: sufijo = QStringLiteral(" - PROGRAMA: Ya despachado"); break;
    case 10:
    case 40: sufijo = QStringLiteral(" - Compuerta de Descarga Abierta"); break;
    case 11:
    case 20:
    case 30: sufijo = QStringLiteral(" - Compuerta de Carga Abierta"); break;
    case 31: sufijo = QStringLiteral(" - Compuerta de Descarga Cerrada"); break;
    case 50: sufijo = QStringLiteral(" - Falla Tension auxiliar"); break;
    case 60: sufijo = QStringLiteral(" - Ciclo Lento"); break;
    default: break;
    }
    return QStringLiteral("ERROR %1").arg(codigo) + sufijo;
}

void frmPeso::alLeer(const LecturaPeso& l)
{
    if (!m_iniciada || m_descargada)
        return;
    m_sinRespuesta = false;
    m_enlaceCaido = !l.valida();
    if (!l.valida()) {
        Shape_Estado->setColor(Lampara::kFalla);
        m_panel[0]->setText(QStringLiteral("Error de conexion"));
        m_tendencia->sinDatos();
    } else {
        Shape_Estado->setColor(Lampara::kEncendida);
        estado().NroError = 422;
        const int d = m_decimales;
        Label_Peso->setText(Diario::muestra(l.Peso, d));
        Label_Total->setText(Diario::muestra(l.UlTotal, d));
        Label_Caudal->setText(Diario::muestra(l.Caudal, d));
        Label_Ciclos->setText(QString::number(l.CCiclos));
        Label_Preset->setText(Diario::muestra(l.Despacho, d));
        Label_Resto->setText(Diario::muestra(l.Resto, d));
        const bool conPreset = l.Despacho != 0;
        for (QWidget* w : {static_cast<QWidget*>(Label_Preset), static_cast<QWidget*>(Fra_Preset),
                           static_cast<QWidget*>(Label_Resto), static_cast<QWidget*>(Fra_Resto)})
            w->setEnabled(conPreset);
        Lbl_ing[0]->setText(Diario::muestra(l.Despacho, d));
        Lbl_ing[1]->setText(Diario::muestra(l.CGrueso, d));
        Lbl_ing[2]->setText(Diario::muestra(l.CFino, d));

        m_pesoActual = l.Peso;
        m_totalActual = l.UlTotal;
        estado().DecimoFino = 0.1 * l.CFino;
        m_tolva->setNivel(DibujoTolva::nivel(m_pesoActual, l.CFino));

        for (int k = 0; k < 8; ++k) {
            Shape_Entrada[k]->setColor((l.Entradas >> k) & 1 ? Lampara::kEncendida : Lampara::kApagada);
            Shape_Salida[k]->setColor((l.Salidas >> k) & 1 ? Lampara::kEncendida : Lampara::kApagada);
        }
        if (l.Modo == 0 || l.Modo == 1)
            guardardatos(l);
        if (l.Modo >= 0 && l.Modo <= 4) {
            m_modo = l.Modo;
            m_tolva->setEstado(l.Modo);
        }
        m_tolva->setChorro(l.Modo == 1);

        const bool sb = standBy();
        for (QWidget* w : {static_cast<QWidget*>(Cmd_Cero), static_cast<QWidget*>(Cmd_Test),
                           static_cast<QWidget*>(Cmd_ProgEdit), static_cast<QWidget*>(Chk_Habilitar)})
            w->setEnabled(sb);
        if (!sb)
            Chk_Habilitar->setChecked(false);
        m_panel[0]->setText(textoError(l.CError));
        m_tendencia->agrega(l.Peso, l.Caudal);
    }
    if (m_registrador)
        m_registrador->reintenta();
    Q_EMIT lecturaProcesada(l);
    if (m_cerrar) {
        m_timer1.stop();
        close();
    }
}

bool frmPeso::standBy() const
{
    return Shape_Salida[1]->color() == Lampara::kEncendida;
}

void frmPeso::guardardatos(const LecturaPeso& l)
{
    Estado& s = estado();
    if (m_totalActual == 0)
        s.TotalAnterior = 0;
    if (s.TotalAnterior == -1) {
        s.TotalAnterior = m_totalActual;
        m_ciclosPrevios = l.CCiclos;
        avisaAcumulador();
        return;
    }
    if (s.TotalAnterior == m_totalActual)
        return;
    s.PesoBatch = m_totalActual - s.TotalAnterior;
    if (m_ciclosPrevios && l.CCiclos > *m_ciclosPrevios + 1 && m_totalActual > s.TotalAnterior)
        m_fusionados += l.CCiclos - *m_ciclosPrevios - 1;
    m_ciclosPrevios = l.CCiclos;

    const QDateTime ahora = QDateTime::currentDateTime();
    Pendiente p;
    p.tipo = Pendiente::Lote;
    p.fecha = ahora.date();
    p.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
    p.operador = Programa::OperadorActual;
    p.aux = m_aux;
    p.total = Diario::redondea(m_totalActual, m_decimales);
    p.peso = Diario::redondea(s.PesoBatch, m_decimales);
    p.bach = KValNumero(Lbl_ing[2]->text()).value_or(0);
    p.preset = KValNumero(Lbl_ing[0]->text()).value_or(0);
    p.pTotal = p.total;
    if (m_registrador) {
        QString e;
        if (!m_registrador->agrega(p, &e))
            escribeLog(e, kRutinaRegistro);
    }
    // The journal follows the queue: a batch the journal names is never
    // one a kill could take from the queue.
    escribeDiario(Diario::lote(s.PesoBatch, m_totalActual, m_decimales, ahora), kRutinaDiario);
    s.TotalAnterior = m_totalActual;
    Q_EMIT loteRegistrado(p.total, p.peso);
}

// Batches while the station was closed give no row, but never pass unsaid.
void frmPeso::avisaAcumulador()
{
    const auto ultimo = m_registrador ? m_registrador->ultimoTotal() : std::nullopt;
    const double total = Diario::redondea(m_totalActual, m_decimales);
    if (!ultimo || total <= *ultimo)
        return;
    const QString aviso = QStringLiteral("El acumulador aumentó %1 kg con la estación cerrada")
                              .arg(Diario::muestra(total - *ultimo, m_decimales));
    escribeLog(aviso + QStringLiteral(" (último TOTAL registrado %1, acumulador al abrir %2).")
                           .arg(Diario::muestra(*ultimo, m_decimales), Diario::muestra(total, m_decimales)),
               QStringLiteral("Rutina: guardardatos (Formulario frmPeso)"));
    if (!m_aviso) {
        m_aviso = new QLabel(this);
        m_aviso->setObjectName(QStringLiteral("Lbl_Aviso"));
        m_aviso->setFrameShape(QFrame::StyledPanel);
        m_aviso->setFrameShadow(QFrame::Sunken);
        m_aviso->setStyleSheet(QStringLiteral("background: #ffd54f; color: black; font-weight: bold;"));
        m_aviso->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        sbStatusBar->insertPermanentWidget(0, m_aviso, 1);
    }
    m_aviso->setText(aviso);
    m_aviso->setToolTip(aviso);
}

// ------------------------------------------------------------------ closing

void frmPeso::closeEvent(QCloseEvent* e)
{
    if (m_descargada) {
        e->accept();
        return;
    }
    if (!m_cerrar) {
        m_timer1.stop();
        if (!preguntaSinGuardar(this, m_registrador)) {
            e->ignore();
            m_timer1.start();
            return;
        }
        if (MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Salir"),
                                 QStringLiteral("Desea cerrar la ventana?"), true)) {
            escribeDiario(Diario::cierre(), QStringLiteral("Rutina: closeTxt (Formulario frmPeso)"));
            m_cerrar = true;
            m_plazoCierre.start(std::max(1000, 3 * m_timer1.interval()));
        }
        e->ignore();
        m_timer1.start();
        return;
    }
    descarga();
    e->accept();
}

void frmPeso::cierraYa()
{
    m_cerrar = true;
    close();
    descarga();
}

void frmPeso::descarga()
{
    if (m_descargada)
        return;
    m_descargada = true;
    m_timer1.stop();
    m_plazoCierre.stop();
    m_enlace.cerrar();
    if (m_registrador) {
        Pendiente p;
        p.tipo = Pendiente::Cierre;
        const QDateTime ahora = QDateTime::currentDateTime();
        p.fecha = ahora.date();
        p.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
        p.operador = Programa::OperadorActual;
        p.pTotal = 0;
        QString e;
        if (!m_registrador->agrega(p, &e))
            escribeLog(e, kRutinaRegistro);
    }
    if (m_principal)
        m_principal->show();
    Q_EMIT cerrada();
    deleteLater();
}

// ----------------------------------------------------------------- commands

int frmPeso::nuevaOperacion(const Operacion& op)
{
    const int id = m_siguienteOperacion++;
    m_operaciones.insert(id, op);
    return id;
}

int frmPeso::envia(quint16 direccion, const QByteArray& datos, int operacion)
{
    const int tag = m_siguienteTag++;
    m_tagOperacion.insert(tag, operacion);
    m_enlace.escribir(direccion, datos, tag);
    return tag;
}

void frmPeso::comandoLetra(char letra, const QString& titulo, const QString& pregunta,
                           const QString& nombre)
{
    if (!MessageBox::pregunta(this, MessageBox::Pregunta, titulo, pregunta, false))
        return;
    Operacion op;
    op.comando = QString(QLatin1Char(letra)) + u' ' + nombre;
    const QDateTime ahora = QDateTime::currentDateTime();
    op.fecha = ahora.date();
    op.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
    envia(Indicador::kComando, QByteArray(1, letra), nuevaOperacion(op));
}

void frmPeso::fallaOperacion()
{
    MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"), kFallo);
}

void frmPeso::alEscribir(int tag, bool ok)
{
    const auto it = m_tagOperacion.find(tag);
    if (it == m_tagOperacion.end())
        return;
    const int id = it.value();
    m_tagOperacion.erase(it);
    auto op = m_operaciones.find(id);
    if (op == m_operaciones.end())
        return;
    op->ok = op->ok && ok;
    const bool ultimo = --op->pendientes == 0;
    const Operacion copia = *op;
    if (ultimo)
        m_operaciones.erase(op);
    if (ultimo) {
        // Audit first: the failure box below may hold this handler.
        if (m_registrador) {
            Pendiente p;
            p.tipo = Pendiente::Comando;
            p.fecha = copia.fecha;
            p.hora = copia.hora;
            p.operador = Programa::OperadorActual;
            p.comando = copia.comando;
            p.valores = copia.valores;
            p.resultado = copia.ok ? QStringLiteral("Aceptado") : QStringLiteral("No aceptado");
            QString e;
            if (!m_registrador->agrega(p, &e))
                escribeLog(e, kRutinaRegistro);
        }
        if (copia.liberaArranque)
            Fra_Arranque->setEnabled(true);
        if (copia.terminaEdicion)
            cancelarEdicion();
    }
    if (!ok)
        fallaOperacion();
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

std::optional<qint64> frmPeso::valorEntero(const QString& texto, int decimales)
{
    if (Ktxt(texto).isEmpty())
        return std::nullopt;
    const auto v = KValNumero(texto);
    if (!v)
        return std::nullopt;
    return KInt(Ktxt(QString::number(*v, 'f', decimales)), decimales);
}

QByteArray frmPeso::cuatroBytes(quint32 v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
    return b;
}

bool frmPeso::valida(QLineEdit* campo, const QString& nombre, quint32* valor)
{
    const auto v = valorEntero(campo->text(), m_decimales);
    QString msg;
    if (!v)
        msg = QStringLiteral("Ingrese un valor para %1").arg(nombre);
    else if (*v < 0 || *v > 0xFFFFFFFFLL)
        msg = QStringLiteral("El valor de %1 es demasiado grande para el equipo (máximo %2 kg)")
                  .arg(nombre, Diario::muestra(double(0xFFFFFFFFLL) / std::pow(10.0, m_decimales),
                                               m_decimales));
    if (!msg.isEmpty()) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"), msg);
        campo->setFocus();
        return false;
    }
    *valor = quint32(*v);
    return true;
}

void frmPeso::programar()
{
    if (!standBy()) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"), kNoStandBy);
        return;
    }
    quint32 p = 0, g = 0, f = 0;
    if (!valida(Txt_dat[0], QStringLiteral("Despacho (Preset)"), &p) ||
        !valida(Txt_dat[1], QStringLiteral("Corte Grueso"), &g) ||
        !valida(Txt_dat[2], QStringLiteral("Corte Fino (Batch)"), &f))
        return;
    const auto t = valorEntero(Label_Total->text(), m_decimales);
    const qint64 fin = qint64(p) + t.value_or(0);
    if (!t || fin < 0 || fin > 0xFFFFFFFFLL) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"),
                            QStringLiteral("El fin del despacho (Preset + Acumulador) no cabe en "
                                           "el equipo"));
        return;
    }
    if (!MessageBox::pregunta(this, MessageBox::Pregunta, QStringLiteral("Programación"),
                              QStringLiteral("Desea programar Bach y Preset?"), false))
        return;
    Fra_Arranque->setEnabled(false);
    Operacion op;
    op.comando = QStringLiteral("Programar");
    op.valores = QStringLiteral("Despacho=%1 CGrueso=%2 CFino=%3 TotalF=%4")
                     .arg(p)
                     .arg(g)
                     .arg(f)
                     .arg(fin);
    const QDateTime ahora = QDateTime::currentDateTime();
    op.fecha = ahora.date();
    op.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
    op.pendientes = 2;
    op.liberaArranque = true;
    op.terminaEdicion = true;
    const int id = nuevaOperacion(op);
    envia(Indicador::kDespacho, cuatroBytes(p) + cuatroBytes(g) + cuatroBytes(f), id);
    envia(Indicador::kTotalF, cuatroBytes(quint32(fin)), id);
}

void frmPeso::reset()
{
    if (!standBy()) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Error"), kNoStandBy);
        return;
    }
    if (!MessageBox::pregunta(
            this, MessageBox::Pregunta, QStringLiteral("Reset"),
            QStringLiteral("Desea Resetear el indicador y poner a Cero el Totalizador y el Preset?"),
            false))
        return;
    Fra_Arranque->setEnabled(false);
    Operacion op;
    op.comando = QStringLiteral("Reset");
    const QDateTime ahora = QDateTime::currentDateTime();
    op.fecha = ahora.date();
    op.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
    op.pendientes = 4;
    op.liberaArranque = true;
    const int id = nuevaOperacion(op);
    envia(Indicador::kDespacho, QByteArray(4, '\0'), id);
    envia(Indicador::kResto, QByteArray(8, '\0'), id);
    envia(Indicador::kUlTotal, QByteArray(4, '\0'), id);
    envia(Indicador::kTotal, QByteArray(8, '\0'), id);
}

bool frmPeso::eventFilter(QObject* o, QEvent* e)
{
    if (e->type() == QEvent::MouseButtonPress) {
        for (QLabel* p : m_panel) {
            if (o == p) {
                if (MessageBox::pregunta(this, MessageBox::Pregunta, QStringLiteral("Error"),
                                         QStringLiteral("Desea cancelar el Error?"), false)) {
                    Operacion op;
                    op.comando = QStringLiteral("C Cancelar error");
                    const QDateTime ahora = QDateTime::currentDateTime();
                    op.fecha = ahora.date();
                    op.hora = QTime(ahora.time().hour(), ahora.time().minute(), ahora.time().second());
                    envia(Indicador::kComando, QByteArray(1, 'C'), nuevaOperacion(op));
                }
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(o, e);
}
