#include "frmOptions.h"

#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPortInfo>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "Claves.h"
#include "Config.h"
#include "ConfigMqtt.h"
#include "IdEsclavo.h"
#include "Lineas.h"
#include "MessageBox.h"
#include "Niveles.h"
#include "Programa.h"
#include "Puesto.h"
#include "Secreto.h"

namespace {

const QString g = QStringLiteral("global");
const QString G = QStringLiteral("Global");
constexpr int kComs = 8;

QString lee(const QString& seccion, const QString& clave, const QString& def)
{
    return Config::LeeConfig(seccion, clave, def);
}

// A whole-number setting within [min, max]; def when missing or unusable.
int leeEntero(const QString& seccion, const QString& clave, int def, int min, int max)
{
    const auto v = Config::LeeEntero(seccion, clave, def);
    return v && *v >= min && *v <= max ? *v : def;
}

QLineEdit* clave(QWidget* padre, const char* nombre)
{
    auto* e = new QLineEdit(padre);
    e->setObjectName(QString::fromLatin1(nombre));
    e->setEchoMode(QLineEdit::Password);
    return e;
}

// Serial ports of this machine that are not among Com1..Com8.
QStringList puertosDelSistema()
{
    QStringList r;
    for (const QSerialPortInfo& p : QSerialPortInfo::availablePorts()) {
        const QString ruta = p.systemLocation();
        bool esCom = false;
        for (int i = 0; i < kComs; ++i)
            esCom = esCom || ruta == QStringLiteral("/dev/ttyS%1").arg(i) ||
                    ruta.compare(QStringLiteral("COM%1").arg(i + 1), Qt::CaseInsensitive) == 0;
        if (!esCom && !ruta.isEmpty())
            r << ruta;
    }
    r.sort();
    return r;
}

} // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Opciones"));

    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    for (int i = 0; i < 3; ++i) {
        picOptions[i] = new QWidget;
        picOptions[i]->setObjectName(QStringLiteral("picOptions_%1").arg(i));
    }
    SSTab1->addTab(picOptions[0], QStringLiteral("Comunicacion"));
    SSTab1->addTab(picOptions[1], QStringLiteral("Datos"));
    SSTab1->addTab(picOptions[2], QStringLiteral("Seguridad"));

    // Comunicacion
    auto* fraTiempo = new QGroupBox(QStringLiteral("Tiempo"), picOptions[0]);
    vsc_tiempo = new QSpinBox(fraTiempo);
    vsc_tiempo->setObjectName(QStringLiteral("vsc_tiempo"));
    vsc_tiempo->setRange(100, 1000);
    vsc_tiempo->setSingleStep(100);
    vsc_tiempo->setKeyboardTracking(false);
    Lbl_tiempo = new QLabel(fraTiempo);
    Lbl_tiempo->setObjectName(QStringLiteral("Lbl_tiempo"));
    Lbl_tiempo->setMinimumWidth(40);
    auto* lt = new QHBoxLayout(fraTiempo);
    lt->addWidget(new QLabel(QStringLiteral("Tiempo de encuesta [ms]:"), fraTiempo));
    lt->addWidget(Lbl_tiempo);
    lt->addWidget(vsc_tiempo);

    auto* fraBalanza = new QGroupBox(QStringLiteral("Balanza"), picOptions[0]);
    HScrollId0 = new QSlider(Qt::Horizontal, fraBalanza);
    HScrollId0->setObjectName(QStringLiteral("HScrollId0"));
    HScrollId0->setRange(IdEsclavo::kPuntoAPunto, IdEsclavo::kMaximo);
    LabelId0 = new QLabel(fraBalanza);
    LabelId0->setObjectName(QStringLiteral("LabelId0"));
    LabelId0->setMinimumWidth(30);
    HScroll_DB = new QSlider(Qt::Horizontal, fraBalanza);
    HScroll_DB->setObjectName(QStringLiteral("HScroll_DB"));
    HScroll_DB->setRange(0, 4);
    HScroll_DB->setPageStep(1);
    HScroll_DB->setTickPosition(QSlider::TicksBelow);
    Label_DB = new QLabel(fraBalanza);
    Label_DB->setObjectName(QStringLiteral("Label_DB"));
    auto* lb = new QGridLayout(fraBalanza);
    lb->addWidget(new QLabel(QStringLiteral("Id (ModBus):"), fraBalanza), 0, 0);
    lb->addWidget(LabelId0, 0, 1);
    lb->addWidget(HScrollId0, 0, 2);
    lb->addWidget(new QLabel(QStringLiteral("Decimales:"), fraBalanza), 1, 0);
    lb->addWidget(Label_DB, 1, 1);
    lb->addWidget(HScroll_DB, 1, 2);

    auto* fraPuerto = new QGroupBox(QStringLiteral("Puerto"), picOptions[0]);
    optSerie = new QRadioButton(QStringLiteral("Serie"), fraPuerto);
    optSerie->setObjectName(QStringLiteral("optSerie"));
    optTCP = new QRadioButton(QStringLiteral("Ethernet (TCP/IP)"), fraPuerto);
    optTCP->setObjectName(QStringLiteral("optTCP"));
    fraSerie = new QGroupBox(fraPuerto);
    fraSerie->setObjectName(QStringLiteral("fraSerie"));
    ListaPuerto = new QComboBox(fraSerie);
    ListaPuerto->setObjectName(QStringLiteral("ListaPuerto"));
    ListaBaudios = new QComboBox(fraSerie);
    ListaBaudios->setObjectName(QStringLiteral("ListaBaudios"));
    auto* ls = new QFormLayout(fraSerie);
    ls->addRow(QStringLiteral("Puerto:"), ListaPuerto);
    ls->addRow(QStringLiteral("Baudios:"), ListaBaudios);
    FraTCP = new QGroupBox(fraPuerto);
    FraTCP->setObjectName(QStringLiteral("FraTCP"));
    Txt_TCP_RemoteHost = new QLineEdit(FraTCP);
    Txt_TCP_RemoteHost->setObjectName(QStringLiteral("Txt_TCP_RemoteHost"));
    Txt_TCP_RemotePort = new QLineEdit(FraTCP);
    Txt_TCP_RemotePort->setObjectName(QStringLiteral("Txt_TCP_RemotePort"));
    Txt_TCP_RemotePort->setValidator(new QIntValidator(1, 65535, Txt_TCP_RemotePort));
    auto* lc = new QFormLayout(FraTCP);
    lc->addRow(QStringLiteral("Remote Host:"), Txt_TCP_RemoteHost);
    lc->addRow(QStringLiteral("Remote Port:"), Txt_TCP_RemotePort);
    auto* lp = new QGridLayout(fraPuerto);
    lp->addWidget(optSerie, 0, 0);
    lp->addWidget(optTCP, 0, 1);
    lp->addWidget(fraSerie, 1, 0);
    lp->addWidget(FraTCP, 1, 1);

    ListaLinea = new QComboBox(picOptions[0]);
    ListaLinea->setObjectName(QStringLiteral("ListaLinea"));
    auto* fraLinea = new QWidget(picOptions[0]);
    auto* ll = new QHBoxLayout(fraLinea);
    ll->setContentsMargins(0, 0, 0, 0);
    ll->addWidget(new QLabel(QStringLiteral("Línea:"), fraLinea));
    ll->addWidget(ListaLinea, 1);
    // A single-line workstation sees the dialog as it always was.
    fraLinea->setVisible(Lineas::varias());

    auto* l0 = new QVBoxLayout(picOptions[0]);
    l0->addWidget(fraLinea);
    l0->addWidget(fraTiempo);
    l0->addWidget(fraBalanza);
    l0->addWidget(fraPuerto);

    // Datos
    auto* fraDatos = new QGroupBox(QStringLiteral("Datos"), picOptions[1]);
    auto* ld = new QFormLayout(fraDatos);
    for (int i = 0; i < 6; ++i) {
        Txt_Dato[i] = new QLineEdit(fraDatos);
        Txt_Dato[i]->setObjectName(QStringLiteral("Txt_Dato_%1").arg(i));
        ld->addRow(QStringLiteral("Codigo %1:").arg(i + 1), Txt_Dato[i]);
    }
    auto* l1 = new QVBoxLayout(picOptions[1]);
    l1->addWidget(fraDatos);
    l1->addStretch();

    // Seguridad
    auto* fraOp = new QGroupBox(QStringLiteral("Contraseña Operario Maestro"), picOptions[2]);
    txtPassword3 = clave(fraOp, "txtPassword3");
    txtPassword4 = clave(fraOp, "txtPassword4");
    auto* lo = new QFormLayout(fraOp);
    lo->addRow(QStringLiteral("Operario:"), txtPassword3);
    lo->addRow(QStringLiteral("Verificacion:"), txtPassword4);
    auto* fraSup = new QGroupBox(QStringLiteral("Contraseña Supervisor Maestro"), picOptions[2]);
    txtPassword1 = clave(fraSup, "txtPassword1");
    txtPassword2 = clave(fraSup, "txtPassword2");
    auto* lsu = new QFormLayout(fraSup);
    lsu->addRow(QStringLiteral("Supervisor:"), txtPassword1);
    lsu->addRow(QStringLiteral("Verificacion:"), txtPassword2);
    auto* l2 = new QVBoxLayout(picOptions[2]);
    l2->addWidget(fraOp);
    l2->addWidget(fraSup);
    l2->addStretch();

    if (Programa::NivelActual == Niveles::kInstalador)
        creaPaginaMqtt();

    cmdOK = new QPushButton(QStringLiteral("Aceptar"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancelar"), this);
    // Return must never leave the dialog when the default button is disabled.
    cmdCancel->setAutoDefault(false);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdOK);
    botones->addWidget(cmdCancel);
    auto* todo = new QVBoxLayout(this);
    todo->addWidget(SSTab1);
    todo->addLayout(botones);

    connect(vsc_tiempo, &QSpinBox::valueChanged, this, [this](int v) {
        const int redondo = qBound(100, (v + 50) / 100 * 100, 1000);
        if (redondo != v)
            vsc_tiempo->setValue(redondo);
        Lbl_tiempo->setNum(redondo);
    });
    connect(HScrollId0, &QSlider::valueChanged, LabelId0, qOverload<int>(&QLabel::setNum));
    connect(HScroll_DB, &QSlider::valueChanged, Label_DB, qOverload<int>(&QLabel::setNum));
    connect(optSerie, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            eligeConexion(false);
    });
    connect(optTCP, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            eligeConexion(true);
    });
    for (QLineEdit* e : {txtPassword1, txtPassword2, txtPassword3, txtPassword4})
        connect(e, &QLineEdit::textChanged, this, &frmOptions::revisaClaves);
    connect(SSTab1, &QTabWidget::currentChanged, this, &frmOptions::cambiaSolapa);
    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::aceptar);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    carga();
    SSTab1->setCurrentIndex(1);
    SSTab1->setCurrentIndex(0);
}

void frmOptions::creaPaginaMqtt()
{
    picMqtt = new QWidget;
    picMqtt->setObjectName(QStringLiteral("picMqtt"));
    SSTab1->addTab(picMqtt, QStringLiteral("MQTT"));
    auto campo = [this](const char* nombre) {
        auto* e = new QLineEdit(picMqtt);
        e->setObjectName(QLatin1String(nombre));
        return e;
    };
    txtMqttHost = campo("txtMqttHost");
    txtMqttHost->setPlaceholderText(QStringLiteral("Sin broker: no se publica"));
    txtMqttPuerto = campo("txtMqttPuerto");
    txtMqttPuerto->setValidator(new QIntValidator(1, 65535, txtMqttPuerto));
    txtMqttPuerto->setPlaceholderText(QStringLiteral("1883 (8883 con TLS)"));
    txtMqttCa = campo("txtMqttCa");
    txtMqttCa->setPlaceholderText(QStringLiteral("Sin certificado: sin TLS"));
    txtMqttUsuario = campo("txtMqttUsuario");
    txtMqttClave = campo("txtMqttClave");
    txtMqttClave->setEchoMode(QLineEdit::Password);
    txtMqttGrupo = campo("txtMqttGrupo");
    txtMqttGrupo->setPlaceholderText(QStringLiteral("Tolvex"));
    txtMqttNodo = campo("txtMqttNodo");
    auto* fraBroker = new QGroupBox(QStringLiteral("Broker"), picMqtt);
    auto* lb = new QFormLayout(fraBroker);
    lb->addRow(QStringLiteral("Servidor:"), txtMqttHost);
    lb->addRow(QStringLiteral("Puerto:"), txtMqttPuerto);
    lb->addRow(QStringLiteral("Certificado de la autoridad (TLS):"), txtMqttCa);
    lb->addRow(QStringLiteral("Usuario:"), txtMqttUsuario);
    lb->addRow(QStringLiteral("Contraseña:"), txtMqttClave);
    auto* fraSp = new QGroupBox(QStringLiteral("Sparkplug B"), picMqtt);
    auto* lsp = new QFormLayout(fraSp);
    lsp->addRow(QStringLiteral("Grupo:"), txtMqttGrupo);
    lsp->addRow(QStringLiteral("Nodo:"), txtMqttNodo);
    auto* l = new QVBoxLayout(picMqtt);
    l->addWidget(fraBroker);
    l->addWidget(fraSp);
    l->addWidget(new QLabel(QStringLiteral("Los cambios valen desde el próximo inicio del programa."), picMqtt));
    l->addStretch();
}

void frmOptions::cargaMqtt()
{
    if (!picMqtt)
        return;
    auto v = [](const char* clave, bool scrambled = false) {
        return Config::LeeConfig(ConfigMqtt::kSeccion, QLatin1String(clave), QString(), scrambled);
    };
    txtMqttHost->setText(v("Host").trimmed());
    txtMqttPuerto->setText(v("Puerto").trimmed());
    txtMqttCa->setText(v("CA").trimmed());
    txtMqttUsuario->setText(v("Usuario").trimmed());
    txtMqttClave->setText(v("Clave", true));
    txtMqttGrupo->setText(v("Grupo").trimmed());
    txtMqttNodo->setText(v("Nodo").trimmed());
    QString nombre = Puesto::nombre(QDir::currentPath()).trimmed();
    txtMqttNodo->setPlaceholderText(nombre.isEmpty() ? QStringLiteral("El nombre del puesto") : nombre);
}

ConfigMqtt frmOptions::leeMqtt() const
{
    ConfigMqtt c = ConfigMqtt::desde(txtMqttHost->text().trimmed(), txtMqttPuerto->text().trimmed(),
                                     txtMqttCa->text().trimmed(), txtMqttUsuario->text().trimmed(),
                                     txtMqttClave->text(), txtMqttGrupo->text().trimmed(),
                                     txtMqttNodo->text().trimmed(), QStringLiteral("-"));
    // A CA written as typed (relative to the program directory) stays so.
    c.ca = txtMqttCa->text().trimmed();
    if (!c.activo) {
        // Off: what was typed is kept for a later day, without a host.
        c.puerto = txtMqttPuerto->text().toUShort();
        c.usuario = txtMqttUsuario->text().trimmed();
        c.clave = txtMqttClave->text();
        c.grupo = txtMqttGrupo->text().trimmed();
        c.nodoPropio = txtMqttNodo->text().trimmed();
    }
    return c;
}

frmOptions::EnlaceLinea frmOptions::leeLinea(int n)
{
    const Linea l{n, {}};
    EnlaceLinea e;
    e.id = leeEntero(g, l.clave(QStringLiteral("ID")), 0, IdEsclavo::kPuntoAPunto, IdEsclavo::kMaximo);
    e.decimales = leeEntero(g, l.clave(QStringLiteral("Decimales")), 0, 0, 4);
    e.comm = lee(g, l.clave(QStringLiteral("Comm")), QString::number(kPuertoDefecto)).trimmed();
    e.baudios = leeEntero(g, l.clave(QStringLiteral("Baudios")), kBaudiosDefecto, 0, 10);
    e.tcp = leeEntero(G, l.clave(QStringLiteral("Comunicacion")), 0, INT_MIN, INT_MAX) != 0;
    e.host = lee(G, l.clave(QStringLiteral("Host")), QStringLiteral("192.168.0.1"));
    e.port = lee(G, l.clave(QStringLiteral("Port")), kPortDefecto);
    return e;
}

void frmOptions::muestraLinea(const EnlaceLinea& e)
{
    HScrollId0->setValue(e.id);
    LabelId0->setNum(HScrollId0->value());
    HScroll_DB->setValue(e.decimales);
    Label_DB->setNum(HScroll_DB->value());

    const QString& comm = e.comm;
    bool esNumero = false;
    const int n = comm.toInt(&esNumero);
    if (esNumero && n >= 1) {
        if (n > kComs && ListaPuerto->findText(QStringLiteral("Com%1").arg(n)) < 0)
            ListaPuerto->addItem(QStringLiteral("Com%1").arg(n));
        ListaPuerto->setCurrentText(QStringLiteral("Com%1").arg(n));
    } else if (!esNumero && !comm.isEmpty()) {
        // A device path: kept even when the port is not plugged in now.
        if (ListaPuerto->findText(comm) < 0)
            ListaPuerto->addItem(comm);
        ListaPuerto->setCurrentText(comm);
    } else {
        ListaPuerto->setCurrentIndex(kPuertoDefecto - 1);
    }
    for (int i = ListaBaudios->count(); i <= qMax(4, e.baudios); ++i)
        ListaBaudios->addItem(QString::number(1200 << i));
    ListaBaudios->setCurrentIndex(e.baudios);

    if (e.tcp)
        optTCP->setChecked(true);
    else
        optSerie->setChecked(true);
    eligeConexion(e.tcp);
    Txt_TCP_RemoteHost->setText(e.host);
    Txt_TCP_RemotePort->setText(e.port);
}

QString frmOptions::puertoElegido() const
{
    const int pos = ListaPuerto->currentIndex();
    QString puerto = ListaPuerto->currentText();
    if (pos >= 0 && pos < kComs)
        puerto = QString::number(pos + 1);
    else if (puerto.startsWith(QStringLiteral("Com")))
        puerto = puerto.mid(3);
    return puerto;
}

frmOptions::EnlaceLinea frmOptions::recogeLinea() const
{
    EnlaceLinea e;
    e.id = HScrollId0->value();
    e.decimales = HScroll_DB->value();
    e.comm = puertoElegido();
    e.baudios = ListaBaudios->currentIndex();
    e.tcp = optTCP->isChecked();
    e.host = Txt_TCP_RemoteHost->text();
    e.port = Txt_TCP_RemotePort->text();
    return e;
}

void frmOptions::carga()
{
    for (int i = 1; i <= kComs; ++i)
        ListaPuerto->addItem(QStringLiteral("Com%1").arg(i));
    ListaPuerto->addItems(puertosDelSistema());
    for (const Linea& l : Lineas::lista()) {
        m_lineas.insert(l.numero, leeLinea(l.numero));
        ListaLinea->addItem(QStringLiteral("%1 %2").arg(l.numero).arg(l.nombre), l.numero);
    }
    m_linea = 1;
    muestraLinea(m_lineas.value(1));
    connect(ListaLinea, &QComboBox::currentIndexChanged, this, [this](int i) {
        m_lineas[m_linea] = recogeLinea();
        m_linea = ListaLinea->itemData(i).toInt();
        muestraLinea(m_lineas.value(m_linea));
    });

    vsc_tiempo->setValue(leeEntero(G, QStringLiteral("Tiempo"), 100, 100, 1000));
    Lbl_tiempo->setNum(vsc_tiempo->value());
    for (int i = 0; i < 6; ++i)
        Txt_Dato[i]->setText(lee(g, QStringLiteral("Dato%1").arg(i),
                                 QStringLiteral("Dato %1:").arg(i)));

    cargaMqtt();

    // The master passwords are kept hashed: the boxes stay empty, and a
    // password typed there replaces the stored one.
    for (QLineEdit* e : {txtPassword1, txtPassword2, txtPassword3, txtPassword4})
        e->setPlaceholderText(QStringLiteral("Sin cambios"));
    revisaClaves();

    for (QComboBox* c : {ListaPuerto, ListaBaudios, ListaLinea}) {
        c->setEditable(false);
        c->installEventFilter(this);
    }
}

void frmOptions::showEvent(QShowEvent* ev)
{
    QDialog::showEvent(ev);
    SSTab1->setCurrentIndex(1);
    SSTab1->setCurrentIndex(0);
}

bool frmOptions::eventFilter(QObject* obj, QEvent* ev)
{
    // The lists take no typing: an entry is chosen from the list only.
    if (ev->type() == QEvent::KeyPress) {
        const QString t = static_cast<QKeyEvent*>(ev)->text();
        if (!t.isEmpty() && t.at(0).isPrint())
            return true;
    }
    return QDialog::eventFilter(obj, ev);
}

void frmOptions::cambiaSolapa(int nueva)
{
    for (int i = 0; i < 3; ++i)
        picOptions[i]->setEnabled(i == nueva);
    if (picMqtt)
        picMqtt->setEnabled(SSTab1->indexOf(picMqtt) == nueva);
    m_solapa = nueva;
}

void frmOptions::eligeConexion(bool tcp)
{
    fraSerie->setEnabled(!tcp);
    FraTCP->setEnabled(tcp);
}

void frmOptions::revisaClaves()
{
    // An empty pair keeps its stored password, when there is one.
    auto lista = [](const QLineEdit* a, const QLineEdit* b, const QString& clave) {
        return a->text() == b->text() && (!a->text().isEmpty() || !Secreto::leeMaestra(clave).isEmpty());
    };
    cmdOK->setEnabled(lista(txtPassword1, txtPassword2, Secreto::kPass2) &&
                      lista(txtPassword3, txtPassword4, Secreto::kPass1));
}

void frmOptions::aceptar()
{
    if (!cmdOK->isEnabled())
        return;
    if (!Claves::aceptables(this, {txtPassword3->text(), txtPassword1->text()},
                            QStringLiteral("Atencion")))
        return;
    if (picMqtt) {
        const ConfigMqtt c = leeMqtt();
        if (!c.error.isEmpty()) {
            SSTab1->setCurrentWidget(picMqtt);
            MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Atencion"), c.error);
            return;
        }
    }
    // Asked only for a password that is not the one stored.
    auto nueva = [](const QLineEdit* e, const QString& clave) {
        return !e->text().isEmpty() && !Secreto::coincide(Secreto::leeMaestra(clave), e->text());
    };
    if (nueva(txtPassword3, Secreto::kPass1) &&
        !MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Atencion"), kPreguntaOperario))
        return;
    if (nueva(txtPassword1, Secreto::kPass2) &&
        !MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Atencion"), kPreguntaSupervisor))
        return;
    QString error;
    if (!guarda(&error)) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("No se pudieron guardar las opciones: ") + error);
        return;
    }
    Aceptado = true;
    accept();
}

bool frmOptions::guarda(QString* error)
{
    m_lineas[m_linea] = recogeLinea();
    for (auto it = m_lineas.cbegin(); it != m_lineas.cend(); ++it) {
        const Linea l{it.key(), {}};
        const EnlaceLinea& e = it.value();
        const QList<QPair<QString, QString>> valores = {
            {l.clave(QStringLiteral("ID")), QString::number(e.id)},
            {l.clave(QStringLiteral("Decimales")), QString::number(e.decimales)},
            {l.clave(QStringLiteral("Comm")), e.comm},
            {l.clave(QStringLiteral("Baudios")), QString::number(e.baudios)},
            {l.clave(QStringLiteral("Comunicacion")), e.tcp ? QStringLiteral("1") : QStringLiteral("0")},
            {l.clave(QStringLiteral("Host")), e.host},
            {l.clave(QStringLiteral("Port")), e.port},
        };
        for (const auto& [clave, valor] : valores) {
            if (!Config::GuardaConfig(G, clave, valor, false, false, error))
                return false;
        }
    }
    if (!Config::GuardaConfig(G, QStringLiteral("Tiempo"), QString::number(vsc_tiempo->value()), false, false,
                              error))
        return false;
    for (int i = 0; i < 6; ++i) {
        if (!Config::GuardaConfig(g, QStringLiteral("Dato%1").arg(i), Txt_Dato[i]->text(), false, false, error))
            return false;
    }
    if (picMqtt && !leeMqtt().guarda(error))
        return false;
    return (txtPassword3->text().isEmpty() || Secreto::guardaMaestra(Secreto::kPass1, txtPassword3->text(), error)) &&
           (txtPassword1->text().isEmpty() || Secreto::guardaMaestra(Secreto::kPass2, txtPassword1->text(), error));
}
