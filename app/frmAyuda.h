#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTextBrowser;

// The operator's guide in the program's own window: it needs no web browser
// on the desktop (a panel may have none, or one that refuses to start). The
// desktop's browser is offered as well, and the guide's path is shown.
class frmAyuda : public QDialog
{
    Q_OBJECT
public:
    frmAyuda(const QString& manual, QWidget* parent = nullptr);
    const QString& manual() const { return m_manual; }

    QTextBrowser* txtManual;
    QLabel* lblRuta;
    QPushButton* cmdNavegador;
    QPushButton* cmdCerrar;

private:
    void abreEnNavegador();

    QString m_manual;
};
