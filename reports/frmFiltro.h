#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QDateEdit;
class QFrame;
class QLineEdit;
class QPushButton;

// Asks for one criterion on a field: a text pattern, a number range, a
// date range or a weighing line (one of the plant's, or a number typed). The outcome is read from criterio() and descripcion() after
// the dialog closes; both are empty when it was cancelled.
class frmFiltro : public QDialog
{
    Q_OBJECT
public:
    // tipo: Filtros::Texto, Filtros::Numero, Filtros::Fecha or Filtros::NroLinea.
    explicit frmFiltro(int tipo, QWidget* parent = nullptr);

    int tipo() const { return m_tipo; }
    QString criterio() const { return m_criterio; }
    QString descripcion() const { return m_descripcion; }
    bool aceptado() const { return m_aceptado; }

    void reject() override;

private:
    void aceptaDato();
    void aceptaNumero();
    void aceptaFecha();
    void aceptaLinea();

    int m_tipo;
    QString m_criterio;
    QString m_descripcion;
    bool m_aceptado = false;

    QFrame* m_frames[4] = {};
    QLineEdit* m_txtDato = nullptr;
    QLineEdit* m_txtNumero[2] = {};
    QDateEdit* m_fecha1 = nullptr;
    QDateEdit* m_fecha2 = nullptr;
    QComboBox* m_linea = nullptr;
};

// Shows the filter dialog for field with the given kind; returns
// "(field criterion)" or empty when cancelled, and the description.
QString PideFiltro(QWidget* parent, const QString& campo, int tipo, QString* descripcion);
