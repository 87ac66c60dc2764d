#include "frmLogin2.h"

#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Claves.h"
#include "Config.h"
#include "MessageBox.h"
#include "Secreto.h"

namespace {

QLineEdit* claveBox(QWidget* parent, const char* nombre, const QString& ayuda)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(nombre));
    e->setEchoMode(QLineEdit::Password);
    e->setToolTip(ayuda);
    return e;
}

} // namespace

frmLogin2::frmLogin2(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmLogin2"));
    setWindowTitle(QStringLiteral("Primera vez"));

    Label2 = new QLabel(QStringLiteral("Bienvenido a ") + QApplication::applicationName(), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont f = Label2->font();
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.3);
    Label2->setFont(f);
    Label3 = new QLabel(
        QStringLiteral(
            "Antes de correr Tolvex por primera vez, es necesario definir dos claves de ingreso: "
            "una contraseña para Supervisor y una contraseña para Operario."),
        this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setWordWrap(true);

    Frame1 = new QGroupBox(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Label1 = new QLabel(QStringLiteral("Ingrese su nombre y organización:"), Frame1);
    Label1->setObjectName(QStringLiteral("Label1"));
    txtUserName = new QLineEdit(Frame1);
    txtUserName->setObjectName(QStringLiteral("txtUserName"));
    txtPassword = new QLineEdit(Frame1);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    auto* f1 = new QFormLayout;
    f1->addRow(QStringLiteral("Usuario:"), txtUserName);
    f1->addRow(QStringLiteral("Organización"), txtPassword);
    auto* l1 = new QVBoxLayout(Frame1);
    l1->addWidget(Label1);
    l1->addLayout(f1);

    Frame2 = new QGroupBox(QStringLiteral("Supervisor"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    txtPassword1 = claveBox(Frame2, "txtPassword1", QStringLiteral("Contraseña de Supervisor"));
    txtPassword2 = claveBox(Frame2, "txtPassword2", QStringLiteral("Reingrese la contraseña de Supervisor"));
    auto* f2 = new QFormLayout(Frame2);
    f2->addRow(QStringLiteral("Contraseña Supervisor:"), txtPassword1);
    f2->addRow(QStringLiteral("Verificacion:"), txtPassword2);

    Frame3 = new QGroupBox(QStringLiteral("Operario"), this);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    txtPassword3 = claveBox(Frame3, "txtPassword3", QStringLiteral("Contraseña de Operario"));
    txtPassword4 = claveBox(Frame3, "txtPassword4", QStringLiteral("Reingrese la contraseña de Operario"));
    auto* f3 = new QFormLayout(Frame3);
    f3->addRow(QStringLiteral("Contraseña Operario:"), txtPassword3);
    f3->addRow(QStringLiteral("Verificacion:"), txtPassword4);

    cmdOK = new QPushButton(QStringLiteral("Continuar"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Salir"), this);
    // Return must never leave the dialog when the default button is disabled.
    cmdCancel->setAutoDefault(false);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    auto* claves = new QHBoxLayout;
    claves->addWidget(Frame2);
    claves->addWidget(Frame3);
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdOK);
    botones->addWidget(cmdCancel);
    auto* todo = new QVBoxLayout(this);
    todo->addWidget(Label2);
    todo->addWidget(Label3);
    todo->addWidget(Frame1);
    todo->addLayout(claves);
    todo->addLayout(botones);

    for (QLineEdit* e : {txtPassword1, txtPassword2, txtPassword3, txtPassword4})
        connect(e, &QLineEdit::textChanged, this, &frmLogin2::revisaClaves);
    connect(cmdOK, &QPushButton::clicked, this, &frmLogin2::continuar);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLogin2::salir);

    pasoNombre();
}

bool frmLogin2::enPasoClaves() const
{
    return m_pasoClaves;
}

void frmLogin2::pasoNombre()
{
    // The welcome stays readable in both steps: it is the first thing read.
    m_pasoClaves = false;
    Frame1->setEnabled(true);
    Frame2->setEnabled(false);
    Frame3->setEnabled(false);
    cmdOK->setEnabled(true);
    txtUserName->setFocus();
}

void frmLogin2::pasoClaves()
{
    m_pasoClaves = true;
    Frame1->setEnabled(false);
    Frame2->setEnabled(true);
    Frame3->setEnabled(true);
    revisaClaves();
    txtPassword1->setFocus();
}

void frmLogin2::revisaClaves()
{
    if (!enPasoClaves())
        return;
    cmdOK->setEnabled(txtPassword1->text() == txtPassword2->text() &&
                      txtPassword3->text() == txtPassword4->text() &&
                      !txtPassword1->text().isEmpty() && !txtPassword3->text().isEmpty());
}

void frmLogin2::continuar()
{
    const QString g = QStringLiteral("Global");
    QString error;
    if (!enPasoClaves()) {
        if (!Config::GuardaConfig(g, QStringLiteral("Usuario"), txtUserName->text(), false, false, &error) ||
            !Config::GuardaConfig(g, QStringLiteral("Organización"), txtPassword->text(), false, false,
                                  &error)) {
            MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                                QStringLiteral("No se pudo escribir Tolvex.ini: ") + error);
            return;
        }
        pasoClaves();
        return;
    }
    if (!cmdOK->isEnabled())
        return;
    if (!Claves::aceptables(this, {txtPassword1->text(), txtPassword3->text()},
                            QStringLiteral("Atencion")))
        return;
    if (!MessageBox::pregunta(this, MessageBox::Informacion, QStringLiteral("Atencion"), kPregunta))
        return;
    // Stored hashed; without both the marker stays and this comes again.
    if (!Secreto::guardaMaestra(Secreto::kPass1, txtPassword3->text(), &error) ||
        !Secreto::guardaMaestra(Secreto::kPass2, txtPassword1->text(), &error)) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("No se pudieron guardar las contraseñas: ") + error);
        return;
    }
    Aceptado = true;
    hide();
}

void frmLogin2::salir()
{
    Aceptado = false;
    hide();
}
