#include "frmSplash.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QScreen>

#include "Programa.h"
#include "frmMain.h"

frmSplash::frmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QStringLiteral("Tolvex"));

    auto* marco = new QFrame(this);
    marco->setObjectName(QStringLiteral("Frame1"));
    marco->setFrameShape(QFrame::Box);
    marco->setLineWidth(2);

    frmMain::cargaIconos();
    auto* logo = new QLabel(marco);
    logo->setObjectName(QStringLiteral("imgLogo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/iconos/logo.png")));

    lblProductName = new QLabel(QStringLiteral("Tolvex"), marco);
    lblProductName->setObjectName(QStringLiteral("lblProductName"));
    QFont f = lblProductName->font();
    f.setPointSizeF(f.pointSizeF() * 2.6);
    f.setBold(true);
    lblProductName->setFont(f);

    lblVersion = new QLabel(QStringLiteral("Version ") + Programa::version(), marco);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setAlignment(Qt::AlignRight);
    lblCompanyProduct = new QLabel(QStringLiteral("Marbo SRL"), marco);
    lblCompanyProduct->setObjectName(QStringLiteral("lblCompanyProduct"));
    auto* lblTexto = new QLabel(QStringLiteral("Supervisión de pesaje por lotes"), marco);
    lblTexto->setObjectName(QStringLiteral("lblPlatform"));

    auto* g = new QGridLayout(marco);
    g->setContentsMargins(24, 20, 24, 20);
    g->setHorizontalSpacing(24);
    g->addWidget(logo, 0, 0, 3, 1, Qt::AlignTop);
    g->addWidget(lblCompanyProduct, 0, 1);
    g->addWidget(lblProductName, 1, 1);
    g->addWidget(lblTexto, 2, 1);
    g->addWidget(lblVersion, 3, 0, 1, 2);
    auto* l = new QGridLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(marco);

    adjustSize();
    if (const QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect r = s->geometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
}
