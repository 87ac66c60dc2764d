#pragma once

#include <QDialog>

#include "Contexto.h"

class QLineEdit;
class QPushButton;

// The signed-in operator changes his own password.
class frmCContrasenias : public QDialog
{
    Q_OBJECT
public:
    // Works for the session given (the window's by default).
    explicit frmCContrasenias(QWidget* parent = nullptr, Contexto& contexto = Contexto::programa());

    // False when the stored password could not be read; the form then
    // closes itself after the message.
    bool cargado() const { return m_cargado; }
    // True once a new password has been stored.
    bool cambiada() const { return m_cambiada; }

    QLineEdit* txtCAnterior;
    QLineEdit* txtCNueva;
    QLineEdit* txtCCNueva;
    QPushButton* cmdAceptar;
    QPushButton* cmdCancelar;

protected:
    bool eventFilter(QObject* obj, QEvent* ev) override;

private:
    Contexto& m_contexto;
    void aceptar();
    QString consulta() const;

    QString m_guardada; // the operator's password as stored
    bool m_tieneFila = false;
    bool m_cargado = false;
    bool m_cambiada = false;
};
