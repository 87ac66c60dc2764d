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
