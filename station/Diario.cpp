#include "Diario.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

#include "ArchivoAtomico.h"
#include "Conversiones.h"
#include "Cp1252.h"
#include "FechaHora.h"
#include "Programa.h"

namespace Diario {

double redondea(double valor, int decimales)
{
    const double f = std::pow(10.0, decimales);
    return std::round(valor * f) / f;
}

QString muestra(double valor, int decimales)
{
    QString t = QString::number(valor, 'f', decimales);
    if (t.startsWith(u'-') && redondea(valor, decimales) == 0)
        t.remove(0, 1);
    return Ktxt(t);
}

QLocale locale()
{
    QLocale l;
    if (l.language() == QLocale::C)
        l = QLocale(QLocale::Spanish, QLocale::Argentina);
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l;
}

QString numero(double v, int decimales)
{
    const double r = redondea(v, decimales);
    return locale().toString(r == 0 ? 0.0 : r, 'g', 15);
}

QString izquierda(const QString& texto, int ancho)
{
    return texto.rightJustified(ancho, u' ', false);
}

QString derecha(const QString& texto, int ancho)
{
    return texto.leftJustified(ancho, u' ', true);
}

QString cabecera(const QStringList& aux, double decimoFino, int decimales,
                 const QString& finoMostrado, double preset, const QString& presetMostrado,
                 const QDateTime& ahora)
{
    static const int anchos[6] = {20, 30, 70, 20, 20, 70};
    QStringList campos;
    for (int i = 0; i < 6; ++i)
        campos << derecha(aux.value(i), anchos[i]);
    campos << FechaHora::fecha(ahora.date()) << FechaHora::hora(ahora.time())
           << izquierda(numero(decimoFino, decimales + 1), 6) << izquierda(finoMostrado, 6)
           << (preset == 0 ? QStringLiteral("-Continuo-") : izquierda(presetMostrado, 10));
    return u'[' + campos.join(u'*');
}

QString lote(double pesoBatch, double totalActual, int decimales, const QDateTime& ahora)
{
    return u'*' + FechaHora::fecha(ahora.date()) + u'*' + FechaHora::hora(ahora.time()) + u'*' +
           izquierda(numero(pesoBatch, decimales), 6) + u'*' +
           izquierda(numero(totalActual, decimales), 10);
}

QString cierre()
{
    return QStringLiteral("]\r\n");
}

QString registroError(qint32 nroError, const QString& msg, const QString& rutina,
                      const QDateTime& ahora)
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("******************* Nuevo Error *******************") + crlf +
           QStringLiteral("Version ") + Programa::version() + crlf + QString::number(nroError) +
           crlf + QStringLiteral("Fecha y Hora: ") + FechaHora::fecha(ahora.date()) + u' ' +
           FechaHora::hora(ahora.time()) + crlf + msg + crlf + rutina + crlf + crlf;
}

namespace {

// Text of one file still to be written, whole appends in order.
struct Espera
{
    QByteArray bytes;
    int partes = 0;
    QString causa;
};

QMutex g_mutexEspera;
QHash<QString, Espera> g_espera; // by absolute path

QString ruta(const QString& archivo)
{
    return QDir(Programa::directorio()).absoluteFilePath(archivo);
}

// Writes what waits for path; the part written leaves it. Under the mutex.
bool escribeEspera(const QString& path, Espera& e)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                          ArchivoAtomico::ModoPorDefecto);
    if (fd < 0) {
        e.causa = ArchivoAtomico::causa(errno);
        return false;
    }
    while (!e.bytes.isEmpty()) {
        const ssize_t n = ::write(fd, e.bytes.constData(), size_t(e.bytes.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            e.causa = ArchivoAtomico::causa(n < 0 ? errno : ENOSPC);
            ::close(fd);
            return false;
        }
        e.bytes.remove(0, n);
    }
    ::close(fd);
    e.partes = 0;
    e.causa.clear();
    return true;
}

} // namespace

bool agrega(const QString& archivo, const QString& texto, QString* error)
{
    const QString path = ruta(archivo);
    QMutexLocker lock(&g_mutexEspera);
    Espera& e = g_espera[path];
    e.bytes += Cp1252::encode(texto);
    ++e.partes;
    if (escribeEspera(path, e)) {
        g_espera.remove(path);
        return true;
    }
    if (error)
        *error = e.causa;
    return false;
}

bool reintenta()
{
    QMutexLocker lock(&g_mutexEspera);
    for (auto it = g_espera.begin(); it != g_espera.end();) {
        if (escribeEspera(it.key(), it.value()))
            it = g_espera.erase(it);
        else
            ++it;
    }
    return g_espera.isEmpty();
}

int enEspera(const QString& archivo, QString* causa)
{
    QMutexLocker lock(&g_mutexEspera);
    const auto it = g_espera.constFind(ruta(archivo));
    if (it == g_espera.constEnd())
        return 0;
    if (causa)
        *causa = it->causa;
    return it->partes;
}

} // namespace Diario
