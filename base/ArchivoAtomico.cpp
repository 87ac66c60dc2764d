#include "ArchivoAtomico.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ArchivoAtomico {
namespace {

struct Fallo {
    Etapa etapa = Etapa::Ninguna;
    qint64 trasBytes = 0;
    int veces = 0;
};

QMutex g_mutexFallo;
Fallo g_fallo;

// Returns true when the simulated fault fires at `etapa`. A write fault
// fires only on a write of more than its byte count, given in *trasBytes.
bool fallaEn(Etapa etapa, qint64 largo = 0, qint64* trasBytes = nullptr)
{
    QMutexLocker lock(&g_mutexFallo);
    if (g_fallo.etapa != etapa || g_fallo.veces == 0)
        return false;
    if (etapa == Etapa::Escritura && g_fallo.trasBytes >= largo)
        return false;
    if (trasBytes)
        *trasBytes = g_fallo.trasBytes;
    if (g_fallo.veces > 0 && --g_fallo.veces == 0)
        g_fallo.etapa = Etapa::Ninguna;
    return true;
}

thread_local int t_ultimoError = 0;

// A temporary is the target's name, this, and mkstemp's six letters or digits.
constexpr char kTemporal[] = ".tmp-";
constexpr char kPlantilla[] = "XXXXXX";

bool falla(QString* error, const QString& ruta, const QString& que, int e)
{
    t_ultimoError = e;
    if (error)
        *error = QStringLiteral("No se pudo escribir %1 (%2): %3").arg(ruta, que, causa(e));
    return false;
}

// Writes everything to `fd`, retrying short writes; false with errno set.
// A simulated write fault lets through its byte count and then fails as a
// full disk would.
bool escribeTodo(int fd, const QByteArray& datos)
{
    qint64 limite = datos.size();
    fallaEn(Etapa::Escritura, limite, &limite);
    const char* p = datos.constData();
    qint64 resta = limite;
    while (resta > 0) {
        const ssize_t n = ::write(fd, p, size_t(resta));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        resta -= n;
    }
    if (limite < datos.size()) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

// A rename is durable once the directory entry is on disk.
void sincronizaDirectorio(const QString& ruta)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(ruta).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

bool escribe(const QString& ruta, const QByteArray& contenido, QString* error, unsigned modoNuevo,
             bool reemplazar)
{
    const QByteArray destino = QFile::encodeName(ruta);
    struct stat st {};
    const bool existe = ::stat(destino.constData(), &st) == 0;
    if (existe && !reemplazar)
        return falla(error, ruta, QStringLiteral("creación"), EEXIST);
    if (existe && !S_ISREG(st.st_mode))
        return falla(error, ruta, QStringLiteral("apertura"), EISDIR);
    const mode_t modo = existe ? (st.st_mode & 07777) : mode_t(modoNuevo);

    QByteArray temporal = destino + kTemporal + kPlantilla;
    if (fallaEn(Etapa::Apertura))
        return falla(error, ruta, QStringLiteral("apertura"), EACCES);
    const int fd = ::mkstemp(temporal.data());
    if (fd < 0)
        return falla(error, ruta, QStringLiteral("apertura"), errno);
    auto abandona = [&](const QString& que, int e) {
        ::close(fd);
        ::unlink(temporal.constData());
        return falla(error, ruta, que, e);
    };
    if (::fchmod(fd, modo) != 0)
        return abandona(QStringLiteral("permisos"), errno);
    if (existe && ::geteuid() == 0)
        (void)::fchown(fd, st.st_uid, st.st_gid);
    if (!escribeTodo(fd, contenido))
        return abandona(QStringLiteral("escritura"), errno);
    if (fallaEn(Etapa::Sincronizacion))
        return abandona(QStringLiteral("sincronización"), EIO);
    if (::fsync(fd) != 0)
        return abandona(QStringLiteral("sincronización"), errno);
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temporal.constData());
        return falla(error, ruta, QStringLiteral("cierre"), e);
    }
    int e = 0;
    if (fallaEn(Etapa::Renombrado))
        e = EIO;
    else if (!reemplazar && ::link(temporal.constData(), destino.constData()) != 0)
        e = errno;
    else if (reemplazar && ::rename(temporal.constData(), destino.constData()) != 0)
        e = errno;
    if (e != 0 || !reemplazar)
        ::unlink(temporal.constData());
    if (e != 0)
        return falla(error, ruta, QStringLiteral("reemplazo"), e);
    sincronizaDirectorio(ruta);
    return true;
}

} // namespace

QString causa(int e)
{
    switch (e) {
    case ENOSPC: return QStringLiteral("disco lleno");
    case EDQUOT: return QStringLiteral("cuota de disco agotada");
    case EROFS: return QStringLiteral("disco de sólo lectura");
    case EACCES:
    case EPERM: return QStringLiteral("sin permiso");
    case EIO: return QStringLiteral("error de entrada/salida");
    case EISDIR: return QStringLiteral("hay un directorio con ese nombre");
    case ENOENT: return QStringLiteral("no existe el directorio");
    case EMFILE:
    case ENFILE: return QStringLiteral("demasiados archivos abiertos");
    default: return QString::fromLocal8Bit(std::strerror(e));
    }
}

bool publica(const QString& temporal, const QString& ruta, QString* error)
{
    t_ultimoError = 0;
    const QByteArray tmp = QFile::encodeName(temporal);
    auto abandona = [&](const QString& que, int e) {
        ::unlink(tmp.constData());
        return falla(error, ruta, que, e);
    };
    const int fd = ::open(tmp.constData(), O_RDONLY);
    if (fd < 0)
        return abandona(QStringLiteral("apertura"), errno);
    const int s = fallaEn(Etapa::Sincronizacion) ? EIO : (::fsync(fd) != 0 ? errno : 0);
    ::close(fd);
    if (s != 0)
        return abandona(QStringLiteral("sincronización"), s);
    if (fallaEn(Etapa::Renombrado))
        return abandona(QStringLiteral("reemplazo"), EIO);
    if (::rename(tmp.constData(), QFile::encodeName(ruta).constData()) != 0)
        return abandona(QStringLiteral("reemplazo"), errno);
    sincronizaDirectorio(ruta);
    return true;
}

int quitaTemporales(const QString& ruta)
{
    const QFileInfo destino(ruta);
    const QRegularExpression suyo(QStringLiteral("^%1%2[A-Za-z0-9]{%3}$")
                                      .arg(QRegularExpression::escape(destino.fileName()),
                                           QRegularExpression::escape(QLatin1String(kTemporal)))
                                      .arg(qsizetype(sizeof(kPlantilla) - 1)));
    const QDir dir = destino.absoluteDir();
    int n = 0;
    for (const QString& f : dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (suyo.match(f).hasMatch() && QFile::remove(dir.absoluteFilePath(f)))
            ++n;
    return n;
}

int ultimoError()
{
    return t_ultimoError;
}

bool reemplaza(const QString& ruta, const QByteArray& contenido, QString* error, unsigned modoNuevo)
{
    t_ultimoError = 0;
    return escribe(ruta, contenido, error, modoNuevo, true);
}

bool crea(const QString& ruta, const QByteArray& contenido, QString* error, unsigned modoNuevo)
{
    t_ultimoError = 0;
    return escribe(ruta, contenido, error, modoNuevo, false);
}

void simulaFallo(Etapa etapa, qint64 trasBytes, int veces)
{
    QMutexLocker lock(&g_mutexFallo);
    g_fallo = Fallo{etapa, trasBytes, etapa == Etapa::Ninguna ? 0 : veces};
}

} // namespace ArchivoAtomico
