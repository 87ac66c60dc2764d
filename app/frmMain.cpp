#include "frmMain.h"

#include <QLabel>
#include <QStatusBar>

#include "Programa.h"

frmMain::frmMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
}

void frmMain::carga()
{
    setWindowTitle(QStringLiteral("Tolvex"));
    resize(800, 600);
    auto* nivel = new QLabel(QStringLiteral("Nivel: %1 (%2)")
                                 .arg(Programa::NivelActual, Programa::OperadorActual));
    statusBar()->addWidget(nivel);
}
