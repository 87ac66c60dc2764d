#include "frmDataGrid.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

#include "ModeloReporte.h"
#include "frmPLANILLA.h"

frmDataGrid::frmDataGrid(ModeloReporte* modelo, frmPLANILLA* browser)
    : QDialog(browser), m_modelo(modelo), m_browser(browser)
{
    setObjectName(QStringLiteral("frmDataGrid"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_grid = new QTableView(this);
    m_grid->setObjectName(QStringLiteral("DBGrid1"));
    m_grid->setModel(modelo);
    m_grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_grid->verticalHeader()->setDefaultSectionSize(m_grid->fontMetrics().height() + 6);
    m_grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_grid->setColumnWidth(ModeloReporte::INFO, 260);
    layout->addWidget(m_grid, 1);
    m_navegador = new QLabel(this);
    m_navegador->setObjectName(QStringLiteral("Data1"));
    m_navegador->setFrameShape(QFrame::StyledPanel);
    m_navegador->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_navegador);

    connect(m_grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& actual) {
                if (actual.isValid()) {
                    m_browser->mover(actual.row());
                    actualiza(actual.row());
                }
            });
    const int fila = browser->posicion();
    if (fila >= 0) {
        m_grid->setCurrentIndex(modelo->index(fila, 0));
        m_grid->scrollTo(modelo->index(fila, 0), QAbstractItemView::PositionAtCenter);
    }
    actualiza(fila);
    resize(1000, 520);
}

QString frmDataGrid::textoNavegador() const
{
    return m_navegador->text();
}

void frmDataGrid::actualiza(int fila)
{
    m_navegador->setText(QStringLiteral("Dato: %1/%2").arg(fila + 1).arg(m_modelo->rowCount()));
}
