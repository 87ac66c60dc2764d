#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Offered by the menu entry on an account without a program directory:
// prepares it (as tolvex-setup does) with the indicator's connection.
class frmPreparar : public QDialog
{
    Q_OBJECT
public:
    explicit frmPreparar(const QString& directorio, QWidget* parent = nullptr);

    // Said when the directory was not prepared: where it goes and the
    // command that prepares it later.
    static QString mensajeSinDirectorio(const QString& directorio);

    QLabel* lblTexto;
    QRadioButton* optTCP;
    QRadioButton* optSerie;
    QLineEdit* txtTCP;
    QLineEdit* txtSerie;
    QSpinBox* spnId;
    QPushButton* cmdPreparar;
    QPushButton* cmdSalir;

private:
    void preparar();

    QString m_directorio;
};
