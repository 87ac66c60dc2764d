#include "ArchivoAtomico.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

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

// Returns true when the simulated fault fires at `etapa`.
bool fallaEn(Etapa etapa)
{
    QMutexLocker lock(&g_mutexFallo);
    if (g_fallo.etapa != etapa || g_fallo.veces == 0)
        return false;
    if (g_fallo.veces > 0 && --g_fallo.veces == 0)
        g_fallo.etapa = Etapa::Ninguna;
    return true;
}

QString textoErrno(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

bool falla(QString* error, const QString& ruta, const QString& que, int e)
{
    if (error)
        *error = QStringLiteral("No se pudo escribir %1 (%2): %3").arg(ruta, que, textoErrno(e));
    return false;
}

// Writes everything to `fd`, retrying short writes; false with errno set.
// A simulated write fault lets through its byte count and then fails as a
// full disk would.
bool escribeTodo(int fd, const QByteArray& datos)
{
    qint64 limite = datos.size();
    {
        QMutexLocker lock(&g_mutexFallo);
        if (g_fallo.etapa == Etapa::Escritura && g_fallo.veces != 0 && g_fallo.trasBytes < limite) {
            limite = g_fallo.trasBytes;
            if (g_fallo.veces > 0 && --g_fallo.veces == 0)
                g_fallo.etapa = Etapa::Ninguna;
        }
    }
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

    QByteArray temporal = destino + ".tmp-XXXXXX";
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
    // The rename is durable once the directory entry is on disk.
    const QByteArray dir = QFile::encodeName(QFileInfo(ruta).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace

bool reemplaza(const QString& ruta, const QByteArray& contenido, QString* error, unsigned modoNuevo)
{
    return escribe(ruta, contenido, error, modoNuevo, true);
}

bool crea(const QString& ruta, const QByteArray& contenido, QString* error, unsigned modoNuevo)
{
    return escribe(ruta, contenido, error, modoNuevo, false);
}

bool publica(const QString& temporal, const QString& ruta, QString* error)
{
    const QByteArray origen = QFile::encodeName(temporal);
    const QByteArray destino = QFile::encodeName(ruta);
    auto abandona = [&](const QString& que, int e) {
        ::unlink(origen.constData());
        return falla(error, ruta, que, e);
    };
    const int fd = ::open(origen.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return abandona(QStringLiteral("apertura"), errno);
    if (fallaEn(Etapa::Sincronizacion)) {
        ::close(fd);
        return abandona(QStringLiteral("sincronización"), EIO);
    }
    if (::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        return abandona(QStringLiteral("sincronización"), e);
    }
    ::close(fd);
    if (fallaEn(Etapa::Renombrado))
        return abandona(QStringLiteral("reemplazo"), EIO);
    if (::rename(origen.constData(), destino.constData()) != 0)
        return abandona(QStringLiteral("reemplazo"), errno);
    const QByteArray dir = QFile::encodeName(QFileInfo(ruta).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

void simulaFallo(Etapa etapa, qint64 trasBytes, int veces)
{
    QMutexLocker lock(&g_mutexFallo);
    g_fallo = Fallo{etapa, trasBytes, etapa == Etapa::Ninguna ? 0 : veces};
}

} // namespace ArchivoAtomico
