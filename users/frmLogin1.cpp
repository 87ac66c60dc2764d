#include "frmLogin1.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Acceso.h"
#include "MessageBox.h"
#include "Niveles.h"

frmLogin1::frmLogin1(QWidget* parent, Contexto& contexto) : QDialog(parent), m_contexto(contexto)
{
    setObjectName(QStringLiteral("frmLogin1"));
    setWindowTitle(QStringLiteral("Inicio de sesión"));

    DBCombo_Operarrio = new QComboBox(this);
    DBCombo_Operarrio->setObjectName(QStringLiteral("DBCombo_Operarrio"));
    DBCombo_Operarrio->setEditable(false);
    DBCombo_Operarrio->setMinimumWidth(220);
    Niveles::soloLista(DBCombo_Operarrio);

    txtPassword = new QLineEdit(this);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    txtPassword->setEchoMode(QLineEdit::Password);

    cmdOK = new QPushButton(QStringLiteral("Aceptar"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancelar"), this);
    // Return must never leave the dialog when the default button is disabled.
    cmdCancel->setAutoDefault(false);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Nombre:"), DBCombo_Operarrio);
    form->addRow(QStringLiteral("Contraseña:"), txtPassword);
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdOK);
    botones->addWidget(cmdCancel);
    auto* todo = new QVBoxLayout(this);
    todo->addLayout(form);
    todo->addLayout(botones);

    connect(cmdOK, &QPushButton::clicked, this, &frmLogin1::aceptar);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLogin1::cancelar);

    // An empty first entry: a master password alone needs no operator.
    DBCombo_Operarrio->addItem(QString());
    if (!cargaOperarios())
        MessageBox::mostrar(this, MessageBox::Exclamacion, QApplication::applicationName(),
                            kSinConexion);
    DBCombo_Operarrio->setCurrentIndex(0);
    txtPassword->setFocus();
}

bool frmLogin1::cargaOperarios()
{
    QStringList nombres;
    const bool ok = Acceso::operarios(m_contexto, &nombres);
    DBCombo_Operarrio->addItems(nombres);
    return ok;
}

void frmLogin1::aceptar()
{
    const Acceso::Resultado r = Acceso::verifica(m_contexto, DBCombo_Operarrio->currentText(), txtPassword->text());
    if (r.sinBase) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QApplication::applicationName(),
                            kSinConexion);
        return;
    }
    if (!r.aceptado) {
        MessageBox::mostrar(this, MessageBox::Ninguno, QStringLiteral("Inicio de sesión"),
                            kIncorrecta);
        txtPassword->setFocus();
        txtPassword->selectAll();
        return;
    }
    m_contexto.OperadorActual = r.operador;
    m_contexto.NivelActual = r.nivel;
    m_contexto.TipoAcceso = r.tipoAcceso;
    Aceptado = true;
    hide();
}

void frmLogin1::cancelar()
{
    Aceptado = false;
    hide();
}
