#pragma once

#include <QString>
#include <initializer_list>

class QWidget;

// Passwords are kept in Windows-1252 (the settings file's code page), so a
// character outside it cannot be stored and is refused where a password is
// set. Sign-in passes what is typed through the same code page, so it is
// compared with what was stored.
namespace Claves {

// The characters of clave the code page cannot hold, each once; empty when
// it can be stored as typed.
QString noGuardables(const QString& clave);

// The message for a password that cannot be stored; empty when it can.
QString motivoRechazo(const QString& clave);

// Shows the message when one of the passwords cannot be stored; true when
// all of them can.
bool aceptables(QWidget* parent, std::initializer_list<QString> claves, const QString& titulo);

// The text as the code page keeps it: what a stored password reads back as.
QString comoSeGuarda(const QString& clave);

} // namespace Claves
