#include "Instalacion.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <sys/stat.h>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "Config.h"
#include "IniFile.h"
#include "Lineas.h"
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

EnDirectorio::EnDirectorio(const QString& dir) : m_antes(QDir::currentPath())
{
    m_ok = !IniFile::find(dir, Config::kArchivo).isEmpty() && QDir::setCurrent(dir);
}

EnDirectorio::~EnDirectorio()
{
    QDir::setCurrent(m_antes);
}

bool EnDirectorio::ok(QString* error) const
{
    if (!m_ok && error)
        *error = QStringLiteral("El directorio no tiene %1: prepárelo primero.").arg(Config::kArchivo);
    return m_ok;
}

namespace InstalacionLineas {

bool agrega(const QString& directorio, const LineaInstalada& l, QString* error)
{
    EnDirectorio en(directorio);
    if (!en.ok(error))
        return false;
    if (l.numero < 1 || l.numero > Lineas::kMaximo) {
        *error = QStringLiteral("El número de línea va de 1 a %1.").arg(Lineas::kMaximo);
        return false;
    }
    bool existe = false;
    for (const Linea& x : Lineas::lista())
        existe = existe || x.numero == l.numero;
    if (!existe && l.tcp.isEmpty() && l.serie.isEmpty()) {
        *error = QStringLiteral("Una línea nueva necesita su enlace (--tcp o --serial).");
        return false;
    }
    const QString path = Config::rutaArchivo();
    IniFile ini;
    if (!ini.load(path, error))
        return false;
    const QString g = QStringLiteral("global");
    const Linea linea{l.numero, {}};
    auto pon = [&](const char* base, const QString& valor) {
        ini.setValue(g, linea.clave(QLatin1String(base)), valor + u'.');
    };
    if (!l.tcp.isEmpty()) {
        const qsizetype colon = l.tcp.lastIndexOf(u':');
        pon("Comunicacion", QStringLiteral("1"));
        pon("Host", l.tcp.left(colon));
        pon("Port", l.tcp.mid(colon + 1));
    } else if (!l.serie.isEmpty()) {
        pon("Comunicacion", QStringLiteral("0"));
        pon("Comm", l.serie);
    }
    if (l.id >= 0)
        pon("ID", QString::number(l.id));
    if (l.decimales >= 0)
        pon("Decimales", QString::number(l.decimales));
    if (!l.nombre.trimmed().isEmpty())
        pon("Nombre", l.nombre.trimmed());
    if (!ini.save(path, error))
        return false;
    // A new line has written no row: its first batch marks no earlier row.
    const QString ultimo = QDir::current().absoluteFilePath(linea.archivo(QStringLiteral("UltimoTicket.dat")));
    if (!existe && !QFile::exists(ultimo) && !ArchivoAtomico::crea(ultimo, "0\r\n", error))
        return false;
    return true;
}

QStringList lista(const QString& directorio, QString* error)
{
    EnDirectorio en(directorio);
    if (!en.ok(error))
        return {};
    QStringList r;
    const QString g = QStringLiteral("Global");
    for (const Linea& l : Lineas::lista()) {
        const bool tcp = Config::LeeConfig(g, l.clave(QStringLiteral("Comunicacion")), QStringLiteral("0")).toDouble() != 0;
        const QString enlace =
            tcp ? QStringLiteral("tcp %1:%2")
                      .arg(Config::LeeConfig(g, l.clave(QStringLiteral("Host")), QStringLiteral("192.168.0.1")),
                           Config::LeeConfig(g, l.clave(QStringLiteral("Port")), QStringLiteral("3000")))
                : QStringLiteral("serie %1").arg(Config::LeeConfig(g, l.clave(QStringLiteral("Comm")), QStringLiteral("2")));
        r << QStringLiteral("%1\t%2\t%3\tid %4")
                 .arg(l.numero)
                 .arg(l.nombre, enlace, Config::LeeConfig(g, l.clave(QStringLiteral("ID")), QStringLiteral("0")));
    }
    return r;
}

QString avisoFueraDeRango(const QString& directorio)
{
    EnDirectorio en(directorio);
    return en.ok(nullptr) ? Lineas::avisoFueraDeRango() : QString();
}

bool quita(const QString& directorio, int n, QString* error)
{
    EnDirectorio en(directorio);
    if (!en.ok(error))
        return false;
    const QString cola = Linea{n, {}}.archivo(QStringLiteral("Pendientes.dat"));
    if (n > 1 && QFile::exists(cola)) {
        *error = QStringLiteral("La línea %1 tiene registros sin escribir en la base (%2): ábrala en Tolvex "
                                "hasta que se escriban antes de quitarla.")
                     .arg(n)
                     .arg(cola);
        return false;
    }
    return Lineas::quita(n, error);
}

} // namespace InstalacionLineas
