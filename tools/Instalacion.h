#pragma once

#include <QString>
#include <QStringList>

// Prepares a program directory: settings file, database, first-run marker,
// export template and launcher. Never replaces what is already there.
struct Instalacion
{
    QString directorio;
    QString postgres; // connection string of a shared database; empty: SQLite
    QString programa; // path of the tolvex executable the launcher starts
    // Link settings written into a new settings file (empty: left to defaults).
    QString tcp;   // "HOST:PORT"
    QString serie; // port number or device path
    int id = -1;
    int web = 0; // port of the web monitor written into [Web] (0: none)

    QStringList creados;
    QStringList existentes;
    QString error;

    bool ejecutar();
};

// The lines of a prepared directory: line 1 is the indicator of the
// settings as they are; lines 2..16 are added with their own keys.
struct LineaInstalada
{
    int numero = 0;
    QString nombre; // empty: unchanged ("Línea N" for a new line)
    QString tcp;    // "HOST:PORT"
    QString serie;  // port number or device path
    int id = -1;
    int decimales = -1;
};

// The settings store works on the working directory: dir's, for the life of
// the object, when dir holds the settings file.
class EnDirectorio
{
public:
    explicit EnDirectorio(const QString& dir);
    ~EnDirectorio();
    EnDirectorio(const EnDirectorio&) = delete;
    EnDirectorio& operator=(const EnDirectorio&) = delete;
    bool ok(QString* error) const;

private:
    QString m_antes;
    bool m_ok = false;
};

namespace InstalacionLineas {
// Adds line l.numero, or changes the keys given of an existing one. A new
// line needs its link (tcp or serie); it starts with no row written.
bool agrega(const QString& directorio, const LineaInstalada& l, QString* error);
// "N<TAB>nombre<TAB>enlace<TAB>id" for every line.
QStringList lista(const QString& directorio, QString* error);
// Removes line n (n > 1), unless rows of it still wait to be written.
bool quita(const QString& directorio, int n, QString* error);
// What the settings file says of lines beyond the limit (Lineas::avisoFueraDeRango),
// empty when nothing.
QString avisoFueraDeRango(const QString& directorio);
} // namespace InstalacionLineas
