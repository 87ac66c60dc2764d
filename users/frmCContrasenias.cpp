#include "frmCContrasenias.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "CDatos.h"
#include "Claves.h"
#include "Config.h"
#include "MessageBox.h"
#include "Secreto.h"
#include "SqlDialect.h"

frmCContrasenias::frmCContrasenias(QWidget* parent, Contexto& contexto) : QDialog(parent), m_contexto(contexto)
{
    setObjectName(QStringLiteral("frmCContrasenias"));
    setWindowTitle(QStringLiteral("Cambiar Contraseña del Usuario: ") + m_contexto.OperadorActual);

    auto caja = [this](const char* nombre) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(nombre));
        e->setEchoMode(QLineEdit::Password);
        e->installEventFilter(this);
        return e;
    };
    txtCAnterior = caja("txtCAnterior");
    txtCNueva = caja("txtCNueva");
    txtCCNueva = caja("txtCCNueva");
    cmdAceptar = new QPushButton(QStringLiteral("Aceptar"), this);
    cmdAceptar->setObjectName(QStringLiteral("cmdAceptar"));
    cmdCancelar = new QPushButton(QStringLiteral("Cancelar"), this);
    // Return must never leave the dialog when the default button is disabled.
    cmdCancelar->setAutoDefault(false);
    cmdCancelar->setObjectName(QStringLiteral("cmdCancelar"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Contraseña Anterior:"), txtCAnterior);
    form->addRow(QStringLiteral("Contraseña Nueva:"), txtCNueva);
    form->addRow(QStringLiteral("Confirmación Contraseña Nueva:"), txtCCNueva);
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdAceptar);
    botones->addWidget(cmdCancelar);
    auto* todo = new QVBoxLayout(this);
    todo->addLayout(form);
    todo->addLayout(botones);
    setMinimumWidth(420);

    connect(cmdAceptar, &QPushButton::clicked, this, &frmCContrasenias::aceptar);
    connect(cmdCancelar, &QPushButton::clicked, this, &QDialog::reject);

    CDatos db;
    m_cargado = db.AbrirBase(m_contexto.DataCSOperarios) && db.AbreRegistro(consulta());
    if (!m_cargado) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("La referencia de datos es incorrecta."));
        QTimer::singleShot(0, this, &QDialog::reject);
        return;
    }
    m_tieneFila = db.Existe_Registro();
    if (m_tieneFila)
        m_guardada = db.Campo(QStringLiteral("PASSWORD")).toString();
}

QString frmCContrasenias::consulta() const
{
    return QStringLiteral("SELECT * FROM ") + m_contexto.DataTbOperarios +
           QStringLiteral(" WHERE OPERADOR = ") + SqlDialect::texto(m_contexto.OperadorActual);
}

bool frmCContrasenias::eventFilter(QObject* obj, QEvent* ev)
{
    if (ev->type() == QEvent::KeyPress) {
        const int k = static_cast<QKeyEvent*>(ev)->key();
        if (k == Qt::Key_Return || k == Qt::Key_Enter) {
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(obj, ev);
}

void frmCContrasenias::aceptar()
{
    auto error = [this](const QString& texto) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("ERROR"), texto);
    };
    // Letter case counts here, although sign-in ignores it. An empty stored
    // password (or no row) takes an empty old one.
    const QString anterior = txtCAnterior->text();
    if (m_guardada.isEmpty() ? !anterior.isEmpty() : !Secreto::coincide(m_guardada, anterior, true))
        return error(QStringLiteral("La clave anterior no es valida."));
    if (txtCNueva->text().isEmpty() || txtCCNueva->text().isEmpty())
        return error(QStringLiteral("No ha ingresado nuevas claves."));
    if (txtCNueva->text() != txtCCNueva->text())
        return error(QStringLiteral("Las claves nuevas sin diferentes."));
    if (!Claves::motivoRechazo(txtCNueva->text()).isEmpty())
        return error(Claves::motivoRechazo(txtCNueva->text()));

    CDatos db;
    if (!db.AbrirBase(m_contexto.DataCSOperarios) || !db.AbreRegistro(consulta()))
        return error(QStringLiteral("No se pudo cambiar la contraseña"));
    if (!db.Existe_Registro()) {
        // The operator was deleted meanwhile: there is nothing to change.
        return error(QStringLiteral("No se cambió la contraseña: el operario ") +
                     m_contexto.OperadorActual + QStringLiteral(" no existe en la base de datos."));
    }
    db.CerrarBase();
    if (!Secreto::guardaOperario(m_contexto.DataCSOperarios, m_contexto.DataTbOperarios,
                                 m_contexto.OperadorActual, txtCCNueva->text()))
        return error(QStringLiteral("No se pudo cambiar la contraseña"));
    m_cambiada = true;
    MessageBox::mostrar(this, MessageBox::Informacion, QStringLiteral("Tolvex"),
                        QStringLiteral("La contraseña se ha cambiado exitosamente."));
    accept();
}
