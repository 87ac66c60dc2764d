#pragma once

#include <functional>

class QDialog;

// Runs the program's modal dialogs. Tests put a runner of their own in its
// place that fills the dialog and presses its buttons without a modal loop.
namespace Dialogos {

using Ejecutor = std::function<void(QDialog&)>;

// An empty runner restores the default: QDialog::exec().
void setEjecutor(Ejecutor ejecutor);
void ejecutar(QDialog& dialogo);

} // namespace Dialogos
