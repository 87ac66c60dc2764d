#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// First start after installation: the registered user and organisation,
// then the two master passwords. Aceptado is true once both are stored.
class frmLogin2 : public QDialog
{
    Q_OBJECT
public:
    explicit frmLogin2(QWidget* parent = nullptr);

    bool Aceptado = false;
    // The name step shows while Label2 is disabled.
    bool enPasoClaves() const;

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QGroupBox* Frame1;
    QGroupBox* Frame2;
    QGroupBox* Frame3;
    QLineEdit* txtUserName;
    QLineEdit* txtPassword; // the organisation
    QLineEdit* txtPassword1;
    QLineEdit* txtPassword2;
    QLineEdit* txtPassword3;
    QLineEdit* txtPassword4;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

    inline static const QString kPregunta = QStringLiteral(
        "La contraseña le sera solicitada cada vez que ejecute el programa.\n"
        " Es importante que recuerde las contraseñas. Desea guardar estas contraseñas?");

private:
    void pasoNombre();
    void pasoClaves();
    void revisaClaves();
    void continuar();
    void salir();

    bool m_pasoClaves = false;
};
