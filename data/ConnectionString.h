#pragma once

#include <QString>

// A connection string as the installation writes it, in "key=value;" form:
//   Driver=SQLite;Data Source=data.db
//   Driver=PostgreSQL;Host=...;Port=5432;Database=...;User=...;Password=...
// A bare "Data Source=..." (no driver) is taken as SQLite.
struct ConnectionString
{
    enum Engine
    {
        Invalid,
        SQLite,
        PostgreSQL
    };

    Engine engine = Invalid;
    QString path; // SQLite: absolute file path
    QString host;
    int port = 5432;
    QString database;
    QString user;
    QString password;
    QString error; // why it is Invalid

    bool isValid() const { return engine != Invalid; }

    // Relative SQLite paths are taken from baseDir.
    static ConnectionString parse(const QString& text, const QString& baseDir);
    static QString sqlite(const QString& path);
};
