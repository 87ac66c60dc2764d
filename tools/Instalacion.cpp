#include "Instalacion.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "CDatos.h"
#include "Config.h"
#include "IniFile.h"
#include "Schema.h"
#include "XlsxPlantilla.h"

namespace {

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
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(script.toUtf8()) < 0 || !f.commit()) {
        *error = f.errorString();
        return false;
    }
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup |
                                    QFile::ExeOther);
    return true;
}

} // namespace

bool Instalacion::ejecutar()
{
    QDir dir(directorio);
    if (!dir.exists() && !QDir().mkpath(directorio)) {
        error = QStringLiteral("No se pudo crear el directorio %1.").arg(directorio);
        return false;
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
        QString e;
        if (!ini.save(path, &e)) {
            error = QStringLiteral("No se pudo escribir %1: %2").arg(path, e);
            return false;
        }
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
        if (!existia && cs.engine == ConnectionString::SQLite)
            creados << nombre;
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
        QFile f(marker);
        if (!f.open(QIODevice::WriteOnly)) {
            error = QStringLiteral("No se pudo crear %1.").arg(marker);
            return false;
        }
        f.write("Tolvex\r\n");
        creados << QStringLiteral("Tolvex.inf");
    }

    // A new workstation has written no row yet: its first batch marks no
    // earlier row (on a shared database the previous ticket is another's).
    const QString ultimo = dir.absoluteFilePath(QStringLiteral("UltimoTicket.dat"));
    if (nuevoIni && !QFile::exists(ultimo)) {
        QFile f(ultimo);
        if (!f.open(QIODevice::WriteOnly) || f.write("0\r\n") < 0) {
            error = QStringLiteral("No se pudo crear %1.").arg(ultimo);
            return false;
        }
    }

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
        creados << XlsxPlantilla::kArchivo;
    }

    // Launcher.
    const QString launcher = dir.absoluteFilePath(QStringLiteral("tolvex"));
    if (QFile::exists(launcher)) {
        existentes << QStringLiteral("tolvex");
    } else if (!programa.isEmpty()) {
        QString e;
        if (!writeLauncher(launcher, programa, &e)) {
            error = QStringLiteral("No se pudo crear %1: %2").arg(launcher, e);
            return false;
        }
        creados << QStringLiteral("tolvex");
    }
    return true;
}
