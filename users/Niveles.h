#pragma once

#include <QString>
#include <QStringList>

class QComboBox;
class QWidget;

// Hierarchy levels of the operators table, stored and compared by name.
namespace Niveles {

inline const QString kOperador = QStringLiteral("Operador");
inline const QString kSuperior = QStringLiteral("Superior");
inline const QString kGerencia = QStringLiteral("Gerencia");
inline const QString kInstalador = QStringLiteral("Instalador");

// The four names in the chooser's order.
QStringList todos();
bool esNivel(const QString& nombre);

// Fills a level chooser with the four names.
void LlenaJerarquias(QComboBox* lista);

// Makes a combo box refuse typing: an entry is chosen from the list only.
// Navigation keys still work.
void soloLista(QWidget* control);

} // namespace Niveles
