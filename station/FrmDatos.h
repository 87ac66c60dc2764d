#pragma once

#include <QDialog>
#include <QStringList>

#include "Lineas.h"

class QLabel;
class QLineEdit;

// Asks for the six auxiliary data values of a station opening. A datum whose
// caption (setting Dato0..Dato5) is blank is not asked for; when none is,
// the dialog accepts itself at once. With several lines it names the line
// whose station asks.
class FrmDatos : public QDialog
{
    Q_OBJECT
public:
    explicit FrmDatos(QWidget* parent = nullptr, const Linea& linea = Linea());

    bool aceptado() const { return m_aceptado; }
    bool algunoVisible() const { return m_algunoVisible; }
    QStringList valores() const;

    // True and the six values (index 0..5) when accepted; false and six
    // empty values when cancelled.
    static bool PideDatos(QWidget* parent, QStringList* valores, const Linea& linea = Linea());

protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    QLabel* Lbl_Dato[6];
    QLineEdit* Txt_Dato[6];
    bool m_aceptado = false;
    bool m_algunoVisible = false;
};
