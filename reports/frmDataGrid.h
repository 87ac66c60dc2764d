#pragma once

#include <QDialog>

class QLabel;
class QTableView;
class ModeloReporte;
class frmPLANILLA;

// The browser's record set as a table: same rows, same order, and moving
// here moves the browser.
class frmDataGrid : public QDialog
{
    Q_OBJECT
public:
    frmDataGrid(ModeloReporte* modelo, frmPLANILLA* browser);
    QTableView* grilla() const { return m_grid; }
    QString textoNavegador() const;

private:
    void actualiza(int fila);

    ModeloReporte* m_modelo;
    frmPLANILLA* m_browser;
    QTableView* m_grid;
    QLabel* m_navegador;
};
