#pragma once

#include <QByteArray>
#include <QString>

#include "ConnectionString.h"

// libpq's connection info for a PostgreSQL connection string, each value
// quoted so that blanks, quotes and backslashes reach the server as written.
inline QByteArray conninfoLibpq(const ConnectionString& cs)
{
    auto valor = [](const QString& v) {
        QString t = v;
        t.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
        return u'\'' + t + u'\'';
    };
    return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4 password=%5")
        .arg(valor(cs.host))
        .arg(cs.port)
        .arg(valor(cs.database), valor(cs.user), valor(cs.password))
        .toUtf8();
}
