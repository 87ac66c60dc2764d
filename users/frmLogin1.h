#pragma once

#include <QDialog>

#include "Contexto.h"

class QComboBox;
class QLineEdit;
class QPushButton;

// Sign-in: an operator from the operators table and a password, or a master
// password alone. On success sets the session's OperadorActual, NivelActual and
// TipoAcceso and hides itself with Aceptado true.
class frmLogin1 : public QDialog
{
    Q_OBJECT
public:
    // Works for the session given (the window's by default).
    explicit frmLogin1(QWidget* parent = nullptr, Contexto& contexto = Contexto::programa());

    bool Aceptado = false;

    QComboBox* DBCombo_Operarrio;
    QLineEdit* txtPassword;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;

    inline static const QString kSinConexion = QStringLiteral(
        "No hay conexión con la bases de datos.\nEstablezca la conexión en la ventana 'Opciones'.");
    inline static const QString kIncorrecta =
        QStringLiteral("Contraseña incorrecta. Vuelva a intentarlo");

private:
    Contexto& m_contexto;
    bool cargaOperarios();
    void aceptar();
    void cancelar();
};
