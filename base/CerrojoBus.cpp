#include "CerrojoBus.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString ruta(const QString& directorio)
{
    return QDir(directorio).absoluteFilePath(CerrojoBus::kArchivo);
}

// What the holder wrote: one line, cut so that a file someone else wrote
// cannot flood a message.
QString leeTitular(int fd)
{
    char b[256];
    const ssize_t n = ::pread(fd, b, sizeof b - 1, 0);
    if (n <= 0)
        return {};
    return QString::fromUtf8(b, int(n)).section(u'\n', 0, 0).trimmed();
}

} // namespace

CerrojoBus::~CerrojoBus()
{
    if (m_fd >= 0) {
        // The next holder writes its own line; an empty file says nobody.
        [[maybe_unused]] const int r = ::ftruncate(m_fd, 0);
        ::close(m_fd);
    }
}

std::unique_ptr<CerrojoBus> CerrojoBus::toma(const QString& directorio, const QString& quien, QString* error)
{
    const QByteArray archivo = QFile::encodeName(ruta(directorio));
    const int fd = ::open(archivo.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("No se pudo abrir %1: %2").arg(ruta(directorio), QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const QString t = leeTitular(fd);
        ::close(fd);
        if (error)
            *error = QStringLiteral("El bus de las líneas de %1 ya lo atiende otro programa (%2): "
                                    "no se abre dos veces.")
                         .arg(QDir(directorio).absolutePath(), t.isEmpty() ? QStringLiteral("proceso desconocido") : t);
        return nullptr;
    }
    const passwd* pw = ::getpwuid(::geteuid());
    const QByteArray linea = QStringLiteral("%1, proceso %2 del usuario %3 en %4, desde %5\n")
                                 .arg(quien)
                                 .arg(::getpid())
                                 .arg(pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid()),
                                      QSysInfo::machineHostName(),
                                      QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")))
                                 .toUtf8();
    // Should this fail the lock holds all the same; only the description is missing.
    [[maybe_unused]] const bool escrito =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, linea.constData(), size_t(linea.size()), 0) == linea.size();
    return std::unique_ptr<CerrojoBus>(new CerrojoBus(fd));
}

QString CerrojoBus::titular(const QString& directorio)
{
    const int fd = ::open(QFile::encodeName(ruta(directorio)).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QString t;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        t = leeTitular(fd);
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return t;
}
