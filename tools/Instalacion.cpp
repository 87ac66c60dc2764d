#include "Instalacion.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <sys/stat.h>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "Config.h"
#include "IniFile.h"
#include "Puesto.h"
#include "Schema.h"
#include "XlsxPlantilla.h"

namespace {

// The program directory and what runs from it: owner and group only.
constexpr unsigned kModoDirectorio = 0750;

QString scrambled(const QString& v)
{
    return Config::CodificaTexto(v) + u'.';
}

bool writeLauncher(const QString& path, const QString& programa, QString* error)
{
    QString quoted = programa;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    const QString script =
        QStringLiteral("#!/bin/sh\n"
                       "# Starts Tolvex with this directory as its program and working directory.\n"
                       "DIR=\"$(cd \"$(dirname \"$0\")\" && pwd)\"\n"
                       "cd \"$DIR\" || exit 1\n"
                       "TOLVEX_HOME=\"$DIR\" exec '%1' \"$@\"\n")
            .arg(quoted);
    return ArchivoAtomico::crea(path, script.toUtf8(), error, kModoDirectorio);
}

// Narrows a file another library created to owner and group.
bool restringe(const QString& path, QString* error)
{
    if (::chmod(QFile::encodeName(path).constData(), ArchivoAtomico::ModoPorDefecto) == 0)
        return true;
    *error = QStringLiteral("No se pudieron fijar los permisos de %1: %2")
                 .arg(path, ArchivoAtomico::causa(errno));
    return false;
}

} // namespace

bool Instalacion::ejecutar()
{
    QDir dir(directorio);
    if (!dir.exists()) {
        if (!QDir().mkpath(directorio) ||
            ::chmod(QFile::encodeName(directorio).constData(), kModoDirectorio) != 0) {
            error = QStringLiteral("No se pudo crear el directorio %1.").arg(directorio);
            return false;
        }
    }
    const QString abs = dir.absolutePath();
    const QString conexion =
        postgres.isEmpty() ? ConnectionString::sqlite(QStringLiteral("data.db")) : postgres;
    const ConnectionString cs = ConnectionString::parse(conexion, abs);
    if (!cs.isValid()) {
        error = cs.error;
        return false;
    }

    // Settings file.
    const QString iniPath = IniFile::find(abs, Config::kArchivo);
    bool nuevoIni = false;
    if (!iniPath.isEmpty()) {
        existentes << QFileInfo(iniPath).fileName();
    } else {
        IniFile ini;
        const QString s = QStringLiteral("BaseDeDatos");
        ini.setValue(s, QStringLiteral("DataCSOperarios"), scrambled(conexion));
        ini.setValue(s, QStringLiteral("DataTbOperarios"), scrambled(Schema::kTablaOperarios));
        ini.setValue(s, QStringLiteral("DataCSReporte"), scrambled(conexion));
        ini.setValue(s, QStringLiteral("DataTbReporte"), scrambled(Schema::kTablaReporte));
        ini.setValue(s, QStringLiteral("DataCSGlobal"), scrambled(conexion));
        ini.setValue(s, QStringLiteral("DataTbGlobal"), scrambled(Schema::kTablaGlobal));
        const QString g = QStringLiteral("global");
        // Which workstation this directory's rows come from.
        ini.setValue(g, Puesto::kClave, Puesto::nuevo() + u'.');
        if (!tcp.isEmpty()) {
            const qsizetype colon = tcp.lastIndexOf(u':');
            ini.setValue(g, QStringLiteral("Comunicacion_1"), QStringLiteral("1."));
            ini.setValue(g, QStringLiteral("Host_1"), tcp.left(colon) + u'.');
            ini.setValue(g, QStringLiteral("Port_1"), tcp.mid(colon + 1) + u'.');
        } else if (!serie.isEmpty()) {
            ini.setValue(g, QStringLiteral("Comunicacion_1"), QStringLiteral("0."));
            ini.setValue(g, QStringLiteral("Comm_1"), serie + u'.');
        }
        if (id >= 0)
            ini.setValue(g, QStringLiteral("ID_1"), QString::number(id) + u'.');
        const QString path = dir.absoluteFilePath(Config::kArchivo);
        if (!ini.save(path, &error))
            return false;
        creados << Config::kArchivo;
        nuevoIni = true;
    }

    // Database and tables.
    {
        const bool existia = cs.engine == ConnectionString::SQLite && QFile::exists(cs.path);
        CDatos::setDirectorioBase(abs);
        CDatos db;
        if (!db.AbrirBase(conexion, true)) {
            error = db.ultimoError();
            return false;
        }
        QStringList tablas;
        QString e;
        if (!Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal,
                           &tablas, &e)) {
            error = e;
            return false;
        }
        const QString nombre = cs.engine == ConnectionString::SQLite
                                   ? QFileInfo(cs.path).fileName()
                                   : QStringLiteral("base %1").arg(cs.database);
        if (!existia && cs.engine == ConnectionString::SQLite) {
            db.CerrarBase();
            if (!restringe(cs.path, &error))
                return false;
            creados << nombre;
        }
        for (const QString& t : tablas)
            creados << QStringLiteral("tabla %1").arg(t);
        if (tablas.isEmpty())
            existentes << QStringLiteral("tablas de %1").arg(nombre);
    }

    // First-run marker: only with a new settings file, whose master
    // passwords are still to be defined.
    const QString marker = dir.absoluteFilePath(QStringLiteral("Tolvex.inf"));
    if (QFile::exists(marker)) {
        existentes << QStringLiteral("Tolvex.inf");
    } else if (nuevoIni) {
        if (!ArchivoAtomico::crea(marker, "Tolvex\r\n", &error))
            return false;
        creados << QStringLiteral("Tolvex.inf");
    }

    // A new workstation has written no row yet: its first batch marks no
    // earlier row (on a shared database the previous ticket is another's).
    const QString ultimo = dir.absoluteFilePath(QStringLiteral("UltimoTicket.dat"));
    if (nuevoIni && !QFile::exists(ultimo) && !ArchivoAtomico::crea(ultimo, "0\r\n", &error))
        return false;

    // Export template.
    const QString plantilla = dir.absoluteFilePath(XlsxPlantilla::kArchivo);
    if (QFile::exists(plantilla)) {
        existentes << XlsxPlantilla::kArchivo;
    } else {
        QString e;
        if (!XlsxPlantilla::crear(plantilla, &e)) {
            error = QStringLiteral("No se pudo crear %1: %2").arg(plantilla, e);
            return false;
        }
        if (!restringe(plantilla, &error))
            return false;
        creados << XlsxPlantilla::kArchivo;
    }

    // Launcher.
    const QString launcher = dir.absoluteFilePath(QStringLiteral("tolvex"));
    if (QFile::exists(launcher)) {
        existentes << QStringLiteral("tolvex");
    } else if (!programa.isEmpty()) {
        if (!writeLauncher(launcher, programa, &error))
            return false;
        creados << QStringLiteral("tolvex");
    }

    // The web monitor's port: asked for explicitly, so written into an
    // existing settings file too ([Web] only; Direccion stays as it is).
    if (web > 0) {
        const QString path = IniFile::find(abs, Config::kArchivo);
        IniFile ini;
        if (!ini.load(path, &error))
            return false;
        ini.setValue(QStringLiteral("Web"), QStringLiteral("Puerto"), QString::number(web) + u'.');
        if (!ini.save(path, &error))
            return false;
        creados << QStringLiteral("%1 [Web] Puerto=%2").arg(Config::kArchivo).arg(web);
    }
    return true;
}
