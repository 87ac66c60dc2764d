#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One weighing line of the workstation: one indicator, its settings (the
// [Global] keys ending in "_N"), its station, its journal, its queue and its
// last ticket. Line 1 is always there; line N > 1 exists while its
// "Comunicacion_N" key is in the settings file. A line keeps its number when
// another is removed: its rows carry it.
struct Linea
{
    int numero = 1;
    QString nombre; // "Nombre_N", else "Línea N"

    // "_N"
    QString sufijo() const;
    // base + "_N": the line's own settings key.
    QString clave(const QString& base) const;
    // A file of the program directory for this line: line 1 keeps the name
    // as it is ("Transac.dat"), line N gets "_N" before the extension
    // ("Transac_2.dat").
    QString archivo(const QString& nombreBase) const;
    // How messages and the error log name it: "Línea N (nombre)".
    QString descripcion() const;
};

namespace Lineas {

constexpr int kMaximo = 16;

// Every line of the settings file in the working directory, in number order.
QVector<Linea> lista();
// Line n with its name (line 1 even when its keys are missing).
Linea linea(int n);
// More than one line: screens show which line a value belongs to.
bool varias();
// The per-line key names, without their suffix.
QStringList clavesBase();
// Numbers outside 1..kMaximo that keys of the settings file give a line
// ("Comunicacion_17", "ID_0"), in order: no line, whatever the file says.
QStringList fueraDeRango();
// What to tell about them ("Tolvex.ini nombra la línea 17, ..."); empty
// when there are none.
QString avisoFueraDeRango();
// The line's name stored in the settings ("Nombre_N"); false (and error)
// when the file cannot be written.
bool nombra(int n, const QString& nombre, QString* error = nullptr);
// Removes every key of line n (n > 1) from the settings file; false (and
// error) when it cannot be written, or n is 1 or not a line.
bool quita(int n, QString* error = nullptr);

} // namespace Lineas
