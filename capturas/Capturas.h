#pragma once

#include <QObject>
#include <QString>
#include <memory>

// Pictures of the screens for the manual, made on the test programs'
// fixtures (a prepared program directory, the simulated indicator). Each
// part is a QtTest object so that a step that does not go as the picture
// expects stops with a message instead of saving a wrong screen.
namespace Capturas {
// Where the pictures go (the program's argument).
QString destino();
std::unique_ptr<QObject> app();
std::unique_ptr<QObject> estacion();
std::unique_ptr<QObject> reportes();
} // namespace Capturas
