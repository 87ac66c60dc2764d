#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// A temporary directory made the working directory for the life of the object.
class DirectorioDePrueba
{
public:
    DirectorioDePrueba() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_dir.path()); }
    ~DirectorioDePrueba() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return QDir(m_dir.path()).absoluteFilePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

inline QByteArray leeArchivo(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool escribeArchivo(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Connection string of the PostgreSQL server the test script started, or
// empty when the tests run without one.
inline QString conexionPostgres()
{
    return qEnvironmentVariable("TOLVEX_TEST_PG");
}
