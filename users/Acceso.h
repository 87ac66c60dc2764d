#pragma once

#include <QString>
#include <QStringList>

struct Contexto;

// The sign-in check: an operator's name (empty for a master password alone)
// and a typed password against the operators table and the two master
// passwords of the settings file. No window: the sign-in dialog and the web
// monitor both ask here.
namespace Acceso {

struct Resultado
{
    bool aceptado = false;
    bool sinBase = false; // the operator's row could not be read
    QString operador;     // the name, or "Maestro" without one
    QString nivel;        // the operator's level; empty for a master sign-in
    bool conFila = false; // the name has a row in the operators table
    int tipoAcceso = 0;   // 1 operators' master, 2 supervisors' master or own password
    // Stored passwords found scrambled (or hashed at another cost) are
    // written again hashed; why one could not be, for the log.
    QStringList avisos;
};

// The tables and settings are those of the session given. The name is
// matched as a person types it (see Acceso.cpp); the result carries the name
// as the operators table holds it. Hashing takes a noticeable fraction of a
// second: never call this on a thread that must answer meanwhile.
Resultado verifica(const Contexto& contexto, const QString& nombre, const QString& tecleada);

// The operators' names in the table's order; false when the table cannot be read.
bool operarios(const Contexto& contexto, QStringList* nombres);

// The level of the operator whose row holds exactly that name (as a
// signed-in session carries it): false when the table cannot be read,
// *nivel empty when no row has the name.
bool nivel(const Contexto& contexto, const QString& operador, QString* nivel);

} // namespace Acceso
