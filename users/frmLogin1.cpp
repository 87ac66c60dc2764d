#include "frmLogin1.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "CDatos.h"
#include "Claves.h"
#include "Config.h"
#include "MessageBox.h"
#include "Niveles.h"
#include "SqlDialect.h"

namespace {

// A master password as the settings file keeps it, in upper case. A missing
// one is empty, and an empty password matches nothing.
QString clave(const QString& nombre)
{
    return Config::CodificaTexto(Config::LeeConfig(QStringLiteral("Global"), nombre, QString()))
        .toUpper();
}

} // namespace

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
    CDatos db;
    if (!db.AbrirBase(m_contexto.DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT OPERADOR FROM ") + m_contexto.DataTbOperarios +
                         QStringLiteral(" ORDER BY OPERADOR ")))
        return false;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        DBCombo_Operarrio->addItem(db.Campo(QStringLiteral("OPERADOR")).toString());
    return true;
}

void frmLogin1::aceptar()
{
    const QString p1 = clave(QStringLiteral("Pass1"));
    QString p2 = clave(QStringLiteral("Pass2"));
    QString operador = QStringLiteral("Maestro");
    QString nivel; // a master password alone leaves no level

    const QString nombre = DBCombo_Operarrio->currentText();
    if (!nombre.isEmpty()) {
        CDatos db;
        if (!db.AbrirBase(m_contexto.DataCSOperarios) ||
            !db.AbreRegistro(QStringLiteral("SELECT * FROM ") + m_contexto.DataTbOperarios +
                             QStringLiteral(" WHERE OPERADOR = ") + SqlDialect::texto(nombre))) {
            // Without the operator's row the password cannot be checked.
            MessageBox::mostrar(this, MessageBox::Exclamacion, QApplication::applicationName(),
                                kSinConexion);
            return;
        }
        if (db.Existe_Registro()) {
            // The operator's own password takes the supervisors' place.
            p2 = Config::CodificaTexto(db.Campo(QStringLiteral("PASSWORD")).toString()).toUpper();
            nivel = db.Campo(QStringLiteral("JERARQUIA")).toString();
        }
        operador = nombre;
    }

    // Typed text passes through the code page the passwords are kept in.
    const QString tecleada = Claves::comoSeGuarda(txtPassword->text()).toUpper();
    const bool esP1 = !tecleada.isEmpty() && tecleada == p1;
    const bool esP2 = !tecleada.isEmpty() && tecleada == p2;
    if (!esP1 && !esP2) {
        MessageBox::mostrar(this, MessageBox::Ninguno, QStringLiteral("Inicio de sesión"),
                            kIncorrecta);
        txtPassword->setFocus();
        txtPassword->selectAll();
        return;
    }
    m_contexto.OperadorActual = operador;
    m_contexto.NivelActual = nivel;
    m_contexto.TipoAcceso = esP2 ? 2 : 1;
    Aceptado = true;
    hide();
}

void frmLogin1::cancelar()
{
    Aceptado = false;
    hide();
}
