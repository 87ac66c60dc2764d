#pragma once

#include <functional>

class QWidget;

// Where a window sits on the desktop. Before the window manager frames a
// window Qt knows no frame: a window placed then is placed by its client
// area, and its frame is known only later, when the window manager has
// decorated it.
namespace Colocacion {

// Moves the window so that its whole frame lies inside the free part of its
// screen (the screen less its panels), as far as it fits; true if it moved.
// A maximised or full-screen window is left where the window manager put it.
bool meteEnPantalla(QWidget* ventana);

// True once the window manager has put a frame around the window.
bool enmarcada(const QWidget* ventana);

// Calls hecho once, as soon as the window is seen framed (at once if it
// already is). A window no window manager frames never calls it.
void alEnmarcarse(QWidget* ventana, std::function<void()> hecho);

} // namespace Colocacion
