#include "Puesto.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSysInfo>

#include "Config.h"
#include "IniFile.h"

namespace Puesto {

namespace {

const QString kSeccion = QStringLiteral("global");

QString host()
{
    QString h;
    for (const QChar c : QSysInfo::machineHostName()) {
        if (c.isLetterOrNumber() || c == u'-' || c == u'.')
            h += c;
    }
    return h.isEmpty() ? QStringLiteral("puesto") : h.left(60);
}

QString guardado(const QString& ruta)
{
    IniFile ini;
    if (ruta.isEmpty() || !ini.load(ruta))
        return {};
    const QString v = ini.value(kSeccion, kClave).trimmed();
    return v.size() > 1 ? v.chopped(1) : QString();
}

} // namespace

QString nuevo()
{
    return host() + u'-' + QString::number(QRandomGenerator::system()->bounded(1u << 24), 16).rightJustified(6, u'0');
}

QString de(const QString& directorio, QString* aviso)
{
    const QString dir = QDir(directorio).absolutePath();
    QString ruta = IniFile::find(dir, Config::kArchivo);
    QString p = guardado(ruta);
    if (!p.isEmpty())
        return p;
    QString e = QStringLiteral("no existe");
    IniFile ini;
    if (ruta.isEmpty()) {
        ruta = QDir(dir).absoluteFilePath(Config::kArchivo);
    } else if (ini.load(ruta, &e)) {
        p = nuevo();
        ini.setValue(kSeccion, kClave, p + u'.');
        if (ini.save(ruta, &e))
            return p;
    }
    const QByteArray h = QCryptographicHash::hash(dir.toUtf8(), QCryptographicHash::Sha1).toHex();
    p = host() + u'-' + QString::fromLatin1(h.left(6));
    if (aviso)
        *aviso = QStringLiteral("No se pudo guardar la identidad del puesto en %1 (%2); se usa %3.")
                     .arg(ruta, e, p);
    return p;
}

} // namespace Puesto
