#include "Canal.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QJsonDocument>
#include <sys/un.h>

namespace Canal {

QString ruta(const QString& directorio)
{
    const QString dir = QDir(directorio).absolutePath();
    const QString dentro = QDir(dir).filePath(kArchivo);
    if (QFile::encodeName(dentro).size() < qsizetype(sizeof(sockaddr_un::sun_path)))
        return dentro;
    const QByteArray h = QCryptographicHash::hash(QFile::encodeName(dir), QCryptographicHash::Sha256).toHex();
    return QDir(QDir::tempPath()).filePath(QStringLiteral("tolvex-%1.sock").arg(QLatin1String(h.left(24))));
}

QByteArray linea(const QJsonObject& mensaje)
{
    return QJsonDocument(mensaje).toJson(QJsonDocument::Compact) + '\n';
}

bool lee(QIODevice* d, QByteArray* resto, const std::function<bool(const QJsonObject&)>& cada, QString* error)
{
    resto->append(d->readAll());
    qsizetype desde = 0;
    bool ok = true;
    while (ok) {
        const qsizetype fin = resto->indexOf('\n', desde);
        if (fin < 0)
            break;
        if (fin - desde > kMaxLinea) {
            *error = QStringLiteral("línea de más de %1 bytes").arg(kMaxLinea);
            return false;
        }
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(resto->mid(desde, fin - desde), &pe);
        desde = fin + 1;
        if (!doc.isObject()) {
            *error = pe.error != QJsonParseError::NoError ? QStringLiteral("mensaje que no es JSON: ") + pe.errorString()
                                                         : QStringLiteral("mensaje que no es un objeto JSON");
            return false;
        }
        ok = cada(doc.object());
    }
    resto->remove(0, desde);
    if (resto->size() > kMaxLinea) {
        *error = QStringLiteral("línea de más de %1 bytes").arg(kMaxLinea);
        return false;
    }
    return true;
}

} // namespace Canal
