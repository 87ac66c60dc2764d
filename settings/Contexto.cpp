#include "Contexto.h"

#include <QCoreApplication>
#include <QDir>

QString Contexto::directorio() const
{
    if (!Directorio.isEmpty())
        return Directorio;
    const QString env = qEnvironmentVariable("TOLVEX_HOME");
    if (!env.isEmpty())
        return QDir(env).absolutePath();
    return QCoreApplication::applicationDirPath();
}

Contexto& Contexto::programa()
{
    static Contexto c;
    return c;
}
