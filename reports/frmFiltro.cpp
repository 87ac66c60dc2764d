#include "frmFiltro.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "FechaHora.h"
#include "Filtro.h"
#include "Lineas.h"
#include "MessageBox.h"
#include "Programa.h"

namespace {
QPushButton* boton(const QString& nombre, const QString& texto, QWidget* parent)
{
    auto* b = new QPushButton(texto, parent);
    b->setObjectName(nombre);
    b->setAutoDefault(false);
    return b;
}

QDateEdit* selectorFecha(const QString& nombre, QWidget* parent)
{
    auto* d = new QDateEdit(QDate::currentDate(), parent);
    d->setObjectName(nombre);
    d->setCalendarPopup(true);
    d->setDisplayFormat(FechaHora::patronFecha());
    return d;
}
} // namespace

frmFiltro::frmFiltro(int tipo, QWidget* parent) : QDialog(parent), m_tipo(tipo)
{
    setObjectName(QStringLiteral("frmFiltro"));
    setWindowTitle(QStringLiteral("Filtro de datos"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);

    QPushButton* ok[4];
    QPushButton* cancel[4];
    const char* okNames[4] = {"CmdOkDato", "CmdOkNumero", "CmdOkFecha", "CmdOkLinea"};
    const char* cancelNames[4] = {"CmdCancelDato", "CmdCancelNumero", "CmdCancelFecha", "CmdCancelLinea"};
    for (int i = 0; i < 4; ++i) {
        m_frames[i] = new QFrame(this);
        m_frames[i]->setObjectName(QStringLiteral("FrmTipo_%1").arg(i));
        m_frames[i]->setFrameShape(QFrame::StyledPanel);
        ok[i] = boton(QString::fromLatin1(okNames[i]), QStringLiteral("Aceptar"), m_frames[i]);
        cancel[i] = boton(QString::fromLatin1(cancelNames[i]), QStringLiteral("Cancelar"), m_frames[i]);
        layout->addWidget(m_frames[i]);
    }

    // Text
    {
        auto* g = new QGridLayout(m_frames[0]);
        m_txtDato = new QLineEdit(m_frames[0]);
        m_txtDato->setObjectName(QStringLiteral("TxtDato"));
        g->addWidget(m_txtDato, 0, 0, 1, 2);
        auto* hint = new QLabel(QStringLiteral("Use * como comodín para busquedas genéricas"), m_frames[0]);
        g->addWidget(hint, 1, 0, 1, 2);
        g->addWidget(ok[0], 2, 0);
        g->addWidget(cancel[0], 2, 1);
    }
    // Number range
    {
        auto* g = new QGridLayout(m_frames[1]);
        for (int i = 0; i < 2; ++i) {
            m_txtNumero[i] = new QLineEdit(m_frames[1]);
            m_txtNumero[i]->setObjectName(QStringLiteral("TxtNumero_%1").arg(i));
            g->addWidget(new QLabel(i == 0 ? QStringLiteral("Desde:") : QStringLiteral("Hasta:"), m_frames[1]), i, 0);
            g->addWidget(m_txtNumero[i], i, 1);
        }
        g->addWidget(ok[1], 2, 0);
        g->addWidget(cancel[1], 2, 1);
    }
    // Date range
    {
        auto* g = new QGridLayout(m_frames[2]);
        m_fecha1 = selectorFecha(QStringLiteral("Fecha1"), m_frames[2]);
        m_fecha2 = selectorFecha(QStringLiteral("Fecha2"), m_frames[2]);
        g->addWidget(new QLabel(QStringLiteral("Desde:"), m_frames[2]), 0, 0);
        g->addWidget(m_fecha1, 0, 1);
        g->addWidget(new QLabel(QStringLiteral("Hasta:"), m_frames[2]), 1, 0);
        g->addWidget(m_fecha2, 1, 1);
        g->addWidget(ok[2], 2, 0);
        g->addWidget(cancel[2], 2, 1);
    }
    // Line: the plant's lines by name, or a number typed (a line taken
    // away still has its rows).
    {
        auto* g = new QGridLayout(m_frames[3]);
        m_linea = new QComboBox(m_frames[3]);
        m_linea->setObjectName(QStringLiteral("CboLinea"));
        m_linea->setEditable(true);
        m_linea->setInsertPolicy(QComboBox::NoInsert);
        if (tipo == Filtros::NroLinea)
            for (const Linea& l : Lineas::lista())
                m_linea->addItem(l.descripcion(), l.numero);
        g->addWidget(new QLabel(QStringLiteral("Línea:"), m_frames[3]), 0, 0);
        g->addWidget(m_linea, 0, 1);
        g->addWidget(ok[3], 1, 0);
        g->addWidget(cancel[3], 1, 1);
    }

    connect(ok[0], &QPushButton::clicked, this, &frmFiltro::aceptaDato);
    connect(ok[1], &QPushButton::clicked, this, &frmFiltro::aceptaNumero);
    connect(ok[2], &QPushButton::clicked, this, &frmFiltro::aceptaFecha);
    connect(ok[3], &QPushButton::clicked, this, &frmFiltro::aceptaLinea);
    for (QPushButton* c : cancel)
        connect(c, &QPushButton::clicked, this, &frmFiltro::reject);

    const int activo = tipo == Filtros::Texto    ? 0
                       : tipo == Filtros::Numero ? 1
                       : tipo == Filtros::Fecha  ? 2
                                                 : 3;
    for (int i = 0; i < 4; ++i) {
        m_frames[i]->setVisible(i == activo);
        m_frames[i]->setEnabled(i == activo);
    }
    ok[activo]->setDefault(true);
    if (activo == 0)
        m_txtDato->setFocus();
    else if (activo == 1)
        m_txtNumero[0]->setFocus();
    else if (activo == 2)
        m_fecha1->setFocus();
    else
        m_linea->setFocus();
    setMinimumWidth(320);
    adjustSize();
}

void frmFiltro::reject()
{
    m_aceptado = false;
    m_criterio.clear();
    m_descripcion.clear();
    QDialog::reject();
}

void frmFiltro::aceptaDato()
{
    const Filtros::Criterio c = Filtros::texto(m_txtDato->text());
    m_criterio = c.criterio;
    m_descripcion = c.descripcion;
    m_aceptado = true;
    accept();
}

void frmFiltro::aceptaNumero()
{
    QString desde = m_txtNumero[0]->text();
    QString hasta = m_txtNumero[1]->text();
    const Filtros::Criterio c = Filtros::numero(desde, hasta);
    m_txtNumero[0]->setText(desde);
    m_txtNumero[1]->setText(hasta);
    m_criterio = c.criterio;
    m_descripcion = c.descripcion;
    m_aceptado = true;
    accept();
}

void frmFiltro::aceptaFecha()
{
    const auto c = Filtros::fecha(m_fecha1->date(), m_fecha2->date(), Programa::Fecha_Frm, Programa::Fecha_Chr);
    if (!c) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("Error en el rango de fechas"));
        m_fecha1->setFocus();
        return;
    }
    m_criterio = c->criterio;
    m_descripcion = c->descripcion;
    m_aceptado = true;
    accept();
}

void frmFiltro::aceptaLinea()
{
    // A line of the list as chosen, else the number typed.
    const QString texto = m_linea->currentText();
    const int i = m_linea->findText(texto, Qt::MatchFixedString);
    const int n = i >= 0 ? m_linea->itemData(i).toInt() : Filtros::numeroLinea(texto);
    if (n == 0) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"), Filtros::errorLinea());
        m_linea->setFocus();
        return;
    }
    const Filtros::Criterio c = Filtros::linea(n, Lineas::linea(n).nombre);
    m_criterio = c.criterio;
    m_descripcion = c.descripcion;
    m_aceptado = true;
    accept();
}

QString PideFiltro(QWidget* parent, const QString& campo, int tipo, QString* descripcion)
{
    frmFiltro dlg(tipo, parent);
    dlg.exec();
    if (descripcion)
        *descripcion = dlg.descripcion();
    return Filtros::condicion(campo, {dlg.criterio(), dlg.descripcion()});
}
