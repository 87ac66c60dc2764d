#include "Config.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <cmath>
#include <ctime>
#include <sys/stat.h>

#include "CDatos.h"
#include "Cp1252.h"
#include "IniFile.h"
#include "Programa.h"
#include "SqlDialect.h"

namespace Config {

QString CodificaTexto(const QString& texto, quint8 clave)
{
    QString out;
    out.reserve(texto.size());
    for (QChar c : texto) {
        int code = Cp1252::code(c);
        if (code < 0)
            code = '?';
        out.append(Cp1252::character(static_cast<quint8>(code ^ clave)));
    }
    return out;
}

QString rutaArchivo()
{
    const QString found = IniFile::find(QDir::currentPath(), kArchivo);
    return found.isEmpty() ? QDir::current().absoluteFilePath(kArchivo) : found;
}

namespace {

QString globalSelect(const QString& clave)
{
    return QStringLiteral("SELECT * FROM ") + Programa::DataTbGlobal +
           QStringLiteral(" WHERE  VARIABLE = ") + SqlDialect::texto(clave);
}

QString leeTabla(const QString& clave, const QString& def, QString* error)
{
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSGlobal) || !db.AbreRegistro(globalSelect(clave))) {
        if (error)
            *error = db.ultimoError();
        return def;
    }
    if (!db.Existe_Registro())
        return def;
    return db.Campo(QStringLiteral("VALOR")).toString();
}

bool guardaTabla(const QString& clave, const QString& valor, QString* error)
{
    CDatos db;
    bool ok = db.AbrirBase(Programa::DataCSGlobal) && db.AbreRegistro(globalSelect(clave));
    if (ok) {
        if (db.Existe_Registro())
            ok = db.SetCampo(QStringLiteral("VALOR"), valor) && db.Actualiza();
        else
            ok = db.AgregaRegistros({{QStringLiteral("VARIABLE"), clave},
                                     {QStringLiteral("VALOR"), valor},
                                     {QStringLiteral("DESCRIPCION"), QStringLiteral("-")}});
    }
    if (!ok && error)
        *error = db.ultimoError();
    return ok;
}

// The settings file as last read, kept while the file on disk is the same
// one: same inode, size, modification and change times. A replacement (ours
// renames a new file in) or an edit by another program reads it again.
// A file changed in the last moments may change again without its times
// moving (they tick coarsely, a few ms): it is read again until it settles.
struct Leido
{
    QString path;
    struct stat id {};
    bool ok = false;
    bool asentado = false;
    IniFile ini;
};

QMutex g_mutexLeido;
Leido g_leido;

bool mismoArchivo(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The parsed settings file at path; false when it cannot be read.
bool leeArchivo(const QString& path, IniFile* ini)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    QMutexLocker lock(&g_mutexLeido);
    if (g_leido.path != path || !g_leido.asentado || !mismoArchivo(g_leido.id, st)) {
        g_leido.path = path;
        g_leido.id = st;
        struct timespec ahora {};
        ::clock_gettime(CLOCK_REALTIME, &ahora);
        const qint64 edadMs = (qint64(ahora.tv_sec) - st.st_mtim.tv_sec) * 1000 +
                              (qint64(ahora.tv_nsec) - st.st_mtim.tv_nsec) / 1000000;
        g_leido.asentado = edadMs >= 100;
        g_leido.ok = g_leido.ini.load(path);
    }
    *ini = g_leido.ini;
    return g_leido.ok;
}

} // namespace

QString LeeConfig(const QString& seccion, const QString& clave, const QString& def, bool scrambled,
                  bool fromTable, QString* error)
{
    QString result;
    if (fromTable) {
        result = leeTabla(clave, def, error);
    } else {
        result = def;
        const QString path = IniFile::find(QDir::currentPath(), kArchivo);
        IniFile ini;
        if (!path.isEmpty() && leeArchivo(path, &ini)) {
            const QString stored = ini.value(seccion, clave);
            if (!stored.isEmpty())
                result = stored.left(stored.size() - 1);
        }
    }
    return scrambled ? CodificaTexto(result) : result;
}

bool GuardaConfig(const QString& seccion, const QString& clave, const QString& valor,
                  bool scrambled, bool toTable, QString* error)
{
    const QString stored = scrambled ? CodificaTexto(valor) : valor;
    if (toTable)
        return guardaTabla(clave, stored, error);
    const QString path = rutaArchivo();
    // Threads of this process that store settings (a password upgraded by
    // the web monitor's sign-in) do not undo each other's change.
    static QMutex escritura;
    QMutexLocker lock(&escritura);
    IniFile ini;
    if (QFile::exists(path) && !ini.load(path, error))
        return false;
    ini.setValue(seccion, clave, stored + u'.');
    return ini.save(path, error);
}

std::optional<double> aNumero(const QString& texto)
{
    bool ok = false;
    const double v = texto.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<int> LeeEntero(const QString& seccion, const QString& clave, int def)
{
    const auto v = aNumero(LeeConfig(seccion, clave, QString::number(def)));
    if (!v || *v < -2147483648.0 || *v > 2147483647.0)
        return std::nullopt;
    return static_cast<int>(std::lround(*v));
}

} // namespace Config
