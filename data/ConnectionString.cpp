#include "ConnectionString.h"

#include <QDir>
#include <QFileInfo>

ConnectionString ConnectionString::parse(const QString& text, const QString& baseDir)
{
    ConnectionString cs;
    QString driver;
    bool portOk = true;
    const auto parts = text.split(u';', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const qsizetype eq = part.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString key = part.left(eq).trimmed().toLower();
        const QString value = part.mid(eq + 1).trimmed();
        if (key == u"driver" || key == u"provider")
            driver = value.toLower();
        else if (key == u"data source" || key == u"datasource" || key == u"file")
            cs.path = value;
        else if (key == u"host" || key == u"server")
            cs.host = value;
        else if (key == u"port")
            cs.port = value.toInt(&portOk);
        else if (key == u"database" || key == u"dbname")
            cs.database = value;
        else if (key == u"user" || key == u"user id" || key == u"uid")
            cs.user = value;
        else if (key == u"password" || key == u"pwd")
            cs.password = value;
    }

    if (text.trimmed().isEmpty()) {
        cs.error = QStringLiteral("La cadena de conexión está vacía.");
        return cs;
    }
    if (driver.isEmpty() && !cs.path.isEmpty())
        driver = QStringLiteral("sqlite");

    if (driver == u"sqlite" || driver == u"sqlite3") {
        if (cs.path.isEmpty()) {
            cs.error = QStringLiteral("La cadena de conexión no indica el archivo de datos.");
            return cs;
        }
        QFileInfo fi(cs.path);
        if (fi.isRelative())
            fi.setFile(QDir(baseDir), cs.path);
        cs.path = QDir::cleanPath(fi.absoluteFilePath());
        cs.engine = SQLite;
    } else if (driver == u"postgresql" || driver == u"postgres" || driver == u"psql") {
        if (!portOk || cs.port <= 0 || cs.port > 65535) {
            cs.error = QStringLiteral("El puerto de la cadena de conexión no es válido.");
            return cs;
        }
        if (cs.database.isEmpty()) {
            cs.error = QStringLiteral("La cadena de conexión no indica la base de datos.");
            return cs;
        }
        if (cs.host.isEmpty())
            cs.host = QStringLiteral("localhost");
        cs.engine = PostgreSQL;
    } else {
        cs.error = QStringLiteral("Motor de base de datos desconocido en la cadena de conexión.");
    }
    return cs;
}

QString ConnectionString::sqlite(const QString& path)
{
    return QStringLiteral("Driver=SQLite;Data Source=%1").arg(path);
}
