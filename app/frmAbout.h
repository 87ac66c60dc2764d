#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// Title, version, and the user and organisation the program is registered to.
class frmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblUsuario;
    QLabel* lblOrganizacion;
    QPushButton* cmdOK;
    QPushButton* cmdSysInfo;

    // The platform's system information tool; empty when there is none.
    static QString herramientaSistema();
};
