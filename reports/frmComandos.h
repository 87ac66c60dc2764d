#pragma once

#include <QDialog>

class QDateEdit;
class QSqlQueryModel;
class QTableView;

// The operator commands recorded by the station, newest first, within a
// date range.
class frmComandos : public QDialog
{
    Q_OBJECT
public:
    frmComandos(const QString& conexion, QWidget* parent = nullptr);
    ~frmComandos() override;

    // Shows the commands between the two dates; false (with a message) when
    // the table cannot be read.
    bool consulta(const QDate& desde, const QDate& hasta);
    QTableView* tabla() const { return m_tabla; }

    // What the operator read on the station: the command's name for a
    // stored code ("Z Cero"), and values with their units for a stored
    // programming ("Despacho=4000 ...", in the indicator's whole units).
    static QString nombreComando(const QString& codigo);
    static QString valoresLegibles(const QString& valores, int decimales);
    QSqlQueryModel* modelo() const { return m_modelo; }

private:
    QString m_conexion;
    QString m_nombreConexion;
    QDateEdit* m_desde;
    QDateEdit* m_hasta;
    QTableView* m_tabla;
    QSqlQueryModel* m_modelo;
};
