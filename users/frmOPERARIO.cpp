#include "frmOPERARIO.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "CDatos.h"
#include "Claves.h"
#include "Config.h"
#include "MessageBox.h"
#include "Niveles.h"
#include "Secreto.h"
#include "SqlDialect.h"

namespace {

const QColor kAmarillo(255, 255, 192);

QString condicion(const QString& operador)
{
    return QStringLiteral(" WHERE OPERADOR = ") + SqlDialect::texto(operador);
}

void fondo(QWidget* w, const QColor& c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, c);
    w->setPalette(p);
}

} // namespace

frmOPERARIO::frmOPERARIO(QWidget* parent, Contexto& contexto) : QDialog(parent), m_contexto(contexto)
{
    setObjectName(QStringLiteral("frmOPERARIO"));
    setWindowTitle(QStringLiteral("Operario"));

    for (int i = 0; i < 3; ++i) {
        txt_Dato[i] = new QLineEdit(this);
        txt_Dato[i]->setObjectName(QStringLiteral("txt_Dato_%1").arg(i));
    }
    txt_Dato[0]->setMaxLength(30);
    txt_Dato[1]->setMaxLength(15);
    txt_Dato[1]->setEchoMode(QLineEdit::Password);
    txt_Dato[2]->setMaxLength(15);

    ListaJerarquias = new QComboBox(this);
    ListaJerarquias->setObjectName(QStringLiteral("ListaJerarquias"));
    Niveles::soloLista(ListaJerarquias);
    fondo(ListaJerarquias, kAmarillo);

    auto* nivel = new QWidget(this);
    auto* pila = new QStackedLayout(nivel);
    pila->setStackingMode(QStackedLayout::StackAll);
    pila->setContentsMargins(0, 0, 0, 0);
    pila->addWidget(txt_Dato[2]);
    pila->addWidget(ListaJerarquias);
    ListaJerarquias->hide();

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Nombre:"), txt_Dato[0]);
    form->addRow(QStringLiteral("Contraseña:"), txt_Dato[1]);
    form->addRow(QStringLiteral("Nivel:"), nivel);

    auto boton = [this](const char* nombre, const QString& texto) {
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(nombre));
        b->setText(texto);
        return b;
    };
    cmdPrimero = boton("cmdPrimero", QStringLiteral("|<"));
    cmdAnterior = boton("cmdAnterior", QStringLiteral("<"));
    cmdSiguiente = boton("cmdSiguiente", QStringLiteral(">"));
    cmdUltimo = boton("cmdUltimo", QStringLiteral(">|"));
    Data1 = new QLabel(this);
    Data1->setObjectName(QStringLiteral("Data1"));
    Data1->setAlignment(Qt::AlignCenter);
    Data1->setFrameShape(QFrame::StyledPanel);
    auto* nav = new QHBoxLayout;
    nav->setSpacing(0);
    nav->addWidget(cmdPrimero);
    nav->addWidget(cmdAnterior);
    nav->addWidget(Data1, 1);
    nav->addWidget(cmdSiguiente);
    nav->addWidget(cmdUltimo);

    cmdAgregar = new QPushButton(QStringLiteral("Ag&regar"), this);
    cmdAgregar->setObjectName(QStringLiteral("cmdAgregar"));
    cmdAgregar->setToolTip(QStringLiteral("Agregar un operario"));
    cmdDelete = new QPushButton(QStringLiteral("E&liminar"), this);
    cmdDelete->setObjectName(QStringLiteral("cmdDelete"));
    cmdDelete->setToolTip(QStringLiteral("Eliminar un operario"));
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdAgregar);
    botones->addWidget(cmdDelete);

    auto* todo = new QVBoxLayout(this);
    todo->addLayout(form);
    todo->addLayout(nav);
    todo->addLayout(botones);
    setMinimumWidth(360);

    connect(cmdPrimero, &QToolButton::clicked, this, [this] { mover(0); });
    connect(cmdAnterior, &QToolButton::clicked, this, [this] { mover(qMax(0, m_pos - 1)); });
    connect(cmdSiguiente, &QToolButton::clicked, this,
            [this] { mover(qMin(int(m_filas.size()) - 1, m_pos + 1)); });
    connect(cmdUltimo, &QToolButton::clicked, this, [this] { mover(int(m_filas.size()) - 1); });
    connect(cmdAgregar, &QPushButton::clicked, this, [this] {
        if (agregando())
            guardaNuevo();
        else
            agregar();
    });
    connect(cmdDelete, &QPushButton::clicked, this, &frmOPERARIO::eliminar);
    connect(txt_Dato[2], &QLineEdit::editingFinished, this, &frmOPERARIO::cambiaNivel);

    QString error;
    m_cargado = recarga(&error);
    if (!m_cargado) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
        QTimer::singleShot(0, this, &QDialog::reject);
        return;
    }
    Niveles::LlenaJerarquias(ListaJerarquias);
    mover(m_filas.isEmpty() ? -1 : 0);
}

bool frmOPERARIO::agregando() const
{
    return cmdAgregar->text() == QStringLiteral("Actualizar");
}

bool frmOPERARIO::recarga(QString* error)
{
    CDatos db;
    if (!db.AbrirBase(m_contexto.DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT * FROM ") + m_contexto.DataTbOperarios +
                         QStringLiteral(" ORDER BY OPERADOR ASC"))) {
        *error = db.ultimoError();
        return false;
    }
    m_filas.clear();
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        m_filas.append({db.Campo(QStringLiteral("OPERADOR")).toString(),
                        db.Campo(QStringLiteral("PASSWORD")).toString(),
                        db.Campo(QStringLiteral("JERARQUIA")).toString()});
    return true;
}

void frmOPERARIO::mover(int pos)
{
    if (agregando())
        return;
    // A level typed in the box is written before leaving its row.
    if (m_pos >= 0 && txt_Dato[2]->text() != m_filas.at(m_pos).jerarquia)
        cambiaNivel();
    m_pos = (pos >= 0 && pos < m_filas.size()) ? pos : -1;
    muestra();
}

void frmOPERARIO::muestra()
{
    const bool hay = m_pos >= 0;
    const Fila f = hay ? m_filas.at(m_pos) : Fila();
    txt_Dato[0]->setText(f.operador);
    txt_Dato[1]->setText(f.password);
    {
        QSignalBlocker b(txt_Dato[2]);
        txt_Dato[2]->setText(f.jerarquia);
    }
    txt_Dato[2]->setEnabled(hay);
    Data1->setText(QStringLiteral("Operario: %1/%2").arg(hay ? m_pos + 1 : 0).arg(m_filas.size()));
    bloquea(true);
}

void frmOPERARIO::bloquea(bool bloquear)
{
    const QColor c = bloquear ? palette().color(QPalette::Window) : kAmarillo;
    for (int i = 0; i < 2; ++i) {
        txt_Dato[i]->setReadOnly(bloquear);
        fondo(txt_Dato[i], c);
    }
}

void frmOPERARIO::agregar()
{
    m_pos = -1;
    txt_Dato[0]->clear();
    bloquea(false);
    txt_Dato[2]->hide();
    ListaJerarquias->show();
    ListaJerarquias->setCurrentText(Niveles::kOperador);
    cmdDelete->setEnabled(false);
    for (QToolButton* b : {cmdPrimero, cmdAnterior, cmdSiguiente, cmdUltimo})
        b->setEnabled(false);
    txt_Dato[1]->clear();
    txt_Dato[0]->setFocus();
    cmdAgregar->setText(QStringLiteral("Actualizar"));
    cmdAgregar->setDefault(true); // Enter stores the new operator
}

bool frmOPERARIO::guardaNuevo()
{
    const QString nombre = txt_Dato[0]->text();
    const QString clave = txt_Dato[1]->text();
    auto rechaza = [this](const QString& texto) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Atencion"), texto);
        return false;
    };
    if (nombre.trimmed().isEmpty())
        return rechaza(QStringLiteral("Ingrese el nombre del operario."));
    if (clave.isEmpty())
        return rechaza(QStringLiteral("Ingrese la contraseña del operario."));
    if (!Claves::motivoRechazo(clave).isEmpty())
        return rechaza(Claves::motivoRechazo(clave));
    for (const Fila& f : std::as_const(m_filas)) {
        if (f.operador.trimmed().compare(nombre.trimmed(), Qt::CaseInsensitive) == 0)
            return rechaza(QStringLiteral("Ya existe un operario con el nombre %1.").arg(f.operador));
    }

    CDatos db;
    const QString nivel = ListaJerarquias->currentText();
    const QString cifrada = Secreto::cifra(clave, Secreto::Forma::Operario);
    const bool ok = !cifrada.isEmpty() && db.AbrirBase(m_contexto.DataCSOperarios) &&
                    Secreto::preparaTabla(db, m_contexto.DataTbOperarios) &&
                    db.AbreRegistro(QStringLiteral("SELECT * FROM ") + m_contexto.DataTbOperarios +
                                    condicion(nombre)) &&
                    !db.Existe_Registro() &&
                    db.AgregaRegistros({{QStringLiteral("OPERADOR"), nombre},
                                        {QStringLiteral("PASSWORD"), cifrada},
                                        {QStringLiteral("JERARQUIA"), nivel}});
    if (ok)
        Secreto::asienta(db);
    if (!ok) {
        const QString motivo = db.ultimoError().isEmpty()
                                   ? QStringLiteral("Ya existe un operario con el nombre %1.").arg(nombre)
                                   : QStringLiteral("No se pudo agregar el operario: ") + db.ultimoError();
        return rechaza(motivo);
    }
    db.CerrarBase();

    ListaJerarquias->hide();
    txt_Dato[2]->show();
    cmdDelete->setEnabled(true);
    for (QToolButton* b : {cmdPrimero, cmdAnterior, cmdSiguiente, cmdUltimo})
        b->setEnabled(true);
    cmdAgregar->setText(QStringLiteral("Ag&regar"));
    cmdAgregar->setDefault(false);

    QString error;
    if (!recarga(&error)) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
        return true;
    }
    int pos = 0;
    for (int i = 0; i < m_filas.size(); ++i) {
        if (m_filas.at(i).operador == nombre)
            pos = i;
    }
    mover(pos);
    return true;
}

void frmOPERARIO::eliminar()
{
    if (m_filas.size() < 1 || m_pos < 0)
        return;
    const QString nombre = m_filas.at(m_pos).operador;
    const auto r = MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Atencion"),
                                       QStringLiteral("Desea eliminar el operario ") + nombre +
                                           QStringLiteral(" ? "),
                                       QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (r == QMessageBox::Ok) {
        CDatos db;
        if (!db.AbrirBase(m_contexto.DataCSOperarios) ||
            !db.Ejecuta(QStringLiteral("DELETE FROM ") + m_contexto.DataTbOperarios +
                        QStringLiteral(" WHERE OPERADOR = ?"), {nombre})) {
            MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                                QStringLiteral("No se pudo eliminar el operario: ") + db.ultimoError());
            return;
        }
        db.CerrarBase();
        // The deleted row is gone: nothing is current until the move below,
        // so no level shown for it can reach the row that takes its place.
        m_pos = -1;
        QString error;
        if (!recarga(&error)) {
            MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), kErrorDatos);
            m_filas.clear();
        }
        // First record, then the next one: the second in name order, or none.
        mover(m_filas.size() > 1 ? 1 : -1);
    }
    txt_Dato[2]->show();
}

void frmOPERARIO::done(int r)
{
    if (m_pos >= 0 && !agregando() && txt_Dato[2]->text() != m_filas.at(m_pos).jerarquia)
        cambiaNivel();
    QDialog::done(r);
}

void frmOPERARIO::cambiaNivel()
{
    if (agregando() || m_pos < 0)
        return;
    Fila& f = m_filas[m_pos];
    const QString nuevo = txt_Dato[2]->text();
    if (nuevo == f.jerarquia)
        return;
    if (!Niveles::esNivel(nuevo)) {
        MessageBox::mostrar(this, MessageBox::Exclamacion, QStringLiteral("Atencion"),
                            QStringLiteral("El nivel debe ser uno de estos: ") +
                                Niveles::todos().join(QStringLiteral(", ")) + u'.');
        QSignalBlocker b(txt_Dato[2]);
        txt_Dato[2]->setText(f.jerarquia);
        return;
    }
    CDatos db;
    if (!db.AbrirBase(m_contexto.DataCSOperarios) ||
        !db.Ejecuta(QStringLiteral("UPDATE ") + m_contexto.DataTbOperarios +
                        QStringLiteral(" SET JERARQUIA = ? WHERE OPERADOR = ?"),
                    {nuevo, f.operador})) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("No se pudo cambiar el nivel: ") + db.ultimoError());
        QSignalBlocker b(txt_Dato[2]);
        txt_Dato[2]->setText(f.jerarquia);
        return;
    }
    f.jerarquia = nuevo;
}
