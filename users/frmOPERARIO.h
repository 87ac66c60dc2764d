#pragma once

#include <QDialog>
#include <QStringList>
#include <QVector>

#include "Contexto.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

// Operator maintenance: browses the operators table one row at a time, adds
// an operator with name, password and level, deletes the current one and
// edits its level.
class frmOPERARIO : public QDialog
{
    Q_OBJECT
public:
    // Works for the session given (the window's by default).
    explicit frmOPERARIO(QWidget* parent = nullptr, Contexto& contexto = Contexto::programa());

    // False when the table could not be read; the form then closes itself
    // after the message (the caller need not show it).
    bool cargado() const { return m_cargado; }
    bool agregando() const;
    // Current row (0-based), -1 when before the first or after the last.
    int posicion() const { return m_pos; }
    int cantidad() const { return m_filas.size(); }
    void mover(int pos);

    QLabel* Data1;           // navigator caption "Operario: n/N"
    QToolButton* cmdPrimero;
    QToolButton* cmdAnterior;
    QToolButton* cmdSiguiente;
    QToolButton* cmdUltimo;
    QLineEdit* txt_Dato[3];  // OPERADOR, PASSWORD (masked), JERARQUIA
    QComboBox* ListaJerarquias;
    QPushButton* cmdAgregar;
    QPushButton* cmdDelete;

    inline static const QString kErrorDatos = QStringLiteral("La referencia de datos es incorrecta.");

    void done(int r) override;

private:
    Contexto& m_contexto;
    struct Fila
    {
        QString operador;
        QString password; // as stored, scrambled
        QString jerarquia;
    };

    bool recarga(QString* error);
    void muestra();
    void bloquea(bool bloquear);
    void agregar();
    bool guardaNuevo();
    void eliminar();
    void cambiaNivel();

    QVector<Fila> m_filas;
    int m_pos = -1;
    bool m_cargado = false;
};
