#include "frmAbout.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

#include "Config.h"
#include "Programa.h"
#include "frmMain.h"

frmAbout::frmAbout(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Acerca de Tolvex"));

    frmMain::cargaIconos();
    auto* logo = new QLabel(this);
    logo->setPixmap(QPixmap(QStringLiteral(":/iconos/logo.png")));
    lblTitle = new QLabel(QStringLiteral("Tolvex"), this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    QFont f = lblTitle->font();
    f.setPointSizeF(f.pointSizeF() * 1.8);
    f.setBold(true);
    lblTitle->setFont(f);
    lblVersion = new QLabel(QStringLiteral("Version ") + Programa::version(), this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));

    const QString g = QStringLiteral("Global");
    lblUsuario = new QLabel(Config::LeeConfig(g, QStringLiteral("Usuario"), QStringLiteral("        ")), this);
    lblUsuario->setObjectName(QStringLiteral("lblUsuario"));
    lblOrganizacion = new QLabel(Config::LeeConfig(g, QStringLiteral("Organización"), QStringLiteral(" ")), this);
    lblOrganizacion->setObjectName(QStringLiteral("lblOrganizacion"));
    auto* registrado = new QLabel(QStringLiteral("Este producto está registrado a:"), this);

    cmdOK = new QPushButton(QStringLiteral("Aceptar"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("&Info. del sistema..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    const QString herramienta = herramientaSistema();
    cmdSysInfo->setEnabled(!herramienta.isEmpty());

    auto* gl = new QGridLayout(this);
    gl->setHorizontalSpacing(18);
    gl->addWidget(logo, 0, 0, 5, 1, Qt::AlignTop);
    gl->addWidget(lblTitle, 0, 1);
    gl->addWidget(lblVersion, 1, 1);
    gl->addWidget(registrado, 2, 1);
    gl->addWidget(lblUsuario, 3, 1);
    gl->addWidget(lblOrganizacion, 4, 1);
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdOK);
    botones->addWidget(cmdSysInfo);
    gl->addLayout(botones, 5, 0, 1, 2);
    setMinimumWidth(380);

    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdSysInfo, &QPushButton::clicked, this,
            [herramienta] { QProcess::startDetached(herramienta, {}); });
}

QString frmAbout::herramientaSistema()
{
    for (const char* p : {"hardinfo", "gnome-system-monitor", "kinfocenter", "lxtask", "xfce4-taskmanager"}) {
        const QString ruta = QStandardPaths::findExecutable(QString::fromLatin1(p));
        if (!ruta.isEmpty())
            return ruta;
    }
    return {};
}
