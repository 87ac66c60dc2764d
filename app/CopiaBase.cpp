#include "CopiaBase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "ConnectionString.h"
#include "SqlDialect.h"

namespace CopiaBase {

QString archivoDe(const QString& conexion, QString* error)
{
    const ConnectionString cs = ConnectionString::parse(conexion, CDatos::directorioBase());
    if (!cs.isValid()) {
        *error = cs.error.isEmpty() ? QStringLiteral("No hay conexión con la base de datos.") : cs.error;
        return {};
    }
    if (cs.engine != ConnectionString::SQLite) {
        *error = QStringLiteral("La copia sólo está disponible para la base de datos local data.db; "
                                "la base de datos de esta planta está en un servidor.");
        return {};
    }
    return cs.path;
}

bool copiar(const QString& origen, const QString& destino, QString* error)
{
    const QFileInfo fo(origen);
    if (!fo.isFile()) {
        *error = QStringLiteral("No existe la base de datos %1.").arg(origen);
        return false;
    }
    if (QFileInfo(destino).absoluteFilePath() == fo.absoluteFilePath() ||
        (QFileInfo::exists(destino) && QFileInfo(destino).canonicalFilePath() == fo.canonicalFilePath())) {
        *error = QStringLiteral("El destino es la misma base de datos.");
        return false;
    }
    const QFileInfo fd(destino);
    const QString temporal = fd.absoluteDir().absoluteFilePath(
        QStringLiteral(".%1.%2.tmp").arg(fd.fileName(), QUuid::createUuid().toString(QUuid::Id128)));

    CDatos db;
    if (!db.AbrirBase(ConnectionString::sqlite(fo.absoluteFilePath()))) {
        *error = db.ultimoError();
        return false;
    }
    if (!db.Ejecuta(QStringLiteral("VACUUM INTO ") + SqlDialect::texto(temporal))) {
        *error = db.ultimoError();
        db.CerrarBase();
        // SQLite may leave its journal of the unfinished copy beside it.
        for (const char* resto : {"", "-journal", "-wal", "-shm"})
            QFile::remove(temporal + QLatin1String(resto));
        return false;
    }
    db.CerrarBase();
    // Complete and on disk before it replaces an earlier copy.
    return ArchivoAtomico::publica(temporal, fd.absoluteFilePath(), error);
}

} // namespace CopiaBase
