#pragma once

class QWidget;

// Entry point of the reports screen, as the main window opens it.
namespace Reportes {
void abrir(QWidget* parent);
} // namespace Reportes
