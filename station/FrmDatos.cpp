#include "FrmDatos.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "Config.h"

FrmDatos::FrmDatos(QWidget* parent, const Linea& linea) : QDialog(parent)
{
    setObjectName(QStringLiteral("FrmDatos"));
    // With several lines the operator sees which station will open, in the
    // title and inside the dialog (a title bar may cut it short).
    const bool varias = Lineas::varias();
    setWindowTitle(varias ? QStringLiteral("Datos - %1").arg(linea.descripcion()) : QStringLiteral("Datos"));
    setModal(true);
    auto* marco = new QGroupBox(varias ? linea.descripcion() : QString());
    marco->setObjectName(QStringLiteral("Frame1"));
    auto* grid = new QGridLayout(marco);
    QFont fija = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fija.setPointSize(11);
    for (int i = 0; i < 6; ++i) {
        const QString titulo =
            Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i),
                              QStringLiteral("Dato %1:").arg(i));
        Lbl_Dato[i] = new QLabel(titulo);
        Lbl_Dato[i]->setObjectName(QStringLiteral("Lbl_Dato_%1").arg(i));
        Lbl_Dato[i]->setFont(fija);
        Txt_Dato[i] = new QLineEdit;
        Txt_Dato[i]->setObjectName(QStringLiteral("Txt_Dato_%1").arg(i));
        Txt_Dato[i]->setMaxLength(70);
        Txt_Dato[i]->setMinimumWidth(320);
        Txt_Dato[i]->installEventFilter(this);
        grid->addWidget(Lbl_Dato[i], i, 0);
        grid->addWidget(Txt_Dato[i], i, 1);
        if (titulo.trimmed().isEmpty())
            Txt_Dato[i]->hide();
        else
            m_algunoVisible = true;
    }
    auto* ok = new QPushButton(QStringLiteral("Aceptar"));
    ok->setObjectName(QStringLiteral("CmdOkDato"));
    auto* cancelar = new QPushButton(QStringLiteral("Cancelar"));
    cancelar->setObjectName(QStringLiteral("CmdCancelDato"));
    ok->setAutoDefault(false);
    cancelar->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, [this] {
        m_aceptado = true;
        accept();
    });
    connect(cancelar, &QPushButton::clicked, this, [this] {
        m_aceptado = false;
        reject();
    });
    auto* botones = new QHBoxLayout;
    botones->addStretch(1);
    botones->addWidget(ok);
    botones->addWidget(cancelar);
    auto* l = new QVBoxLayout(this);
    l->addWidget(marco);
    l->addLayout(botones);
}

QStringList FrmDatos::valores() const
{
    QStringList v;
    for (const QLineEdit* t : Txt_Dato)
        v << (t->isHidden() ? QString() : t->text());
    return v;
}

void FrmDatos::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (!m_algunoVisible) {
        QTimer::singleShot(0, this, [this] {
            m_aceptado = true;
            accept();
        });
    }
}

bool FrmDatos::eventFilter(QObject* o, QEvent* e)
{
    if (e->type() == QEvent::KeyPress) {
        const int k = static_cast<QKeyEvent*>(e)->key();
        if ((k == Qt::Key_Return || k == Qt::Key_Enter) && qobject_cast<QLineEdit*>(o)) {
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(o, e);
}

bool FrmDatos::PideDatos(QWidget* parent, QStringList* valores, const Linea& linea)
{
    FrmDatos d(parent, linea);
    if (d.algunoVisible())
        d.exec();
    else
        d.m_aceptado = true;
    if (!d.aceptado()) {
        *valores = QStringList(6, QString());
        return false;
    }
    *valores = d.valores();
    return true;
}
