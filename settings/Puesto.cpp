#include "Puesto.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>

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

QString guardado(const QString& ruta, const QString& clave = kClave)
{
    IniFile ini;
    if (ruta.isEmpty() || !ini.load(ruta))
        return {};
    const QString v = ini.value(kSeccion, clave).trimmed();
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

QString nombre(const QString& directorio)
{
    const QString n = guardado(IniFile::find(QDir(directorio).absolutePath(), Config::kArchivo), kClaveNombre).trimmed();
    return n.left(kMaxNombre);
}

bool nombra(const QString& directorio, const QString& nombre, QString* error)
{
    const QString n = nombre.trimmed();
    if (n.isEmpty() || n.size() > kMaxNombre ||
        std::any_of(n.cbegin(), n.cend(), [](QChar c) { return c.category() == QChar::Other_Control; })) {
        *error = QStringLiteral("el nombre del puesto debe tener de 1 a %1 caracteres, sin caracteres de control")
                     .arg(kMaxNombre);
        return false;
    }
    const QString ruta = IniFile::find(QDir(directorio).absolutePath(), Config::kArchivo);
    IniFile ini;
    QString e = QStringLiteral("no existe");
    if (ruta.isEmpty() || !ini.load(ruta, &e)) {
        *error = QStringLiteral("no se pudo leer %1 (%2)").arg(Config::kArchivo, e);
        return false;
    }
    const QStringList antes = ini.lines();
    ini.setValue(kSeccion, kClaveNombre, n + u'.');
    if (!ini.save(ruta, &e)) {
        *error = QStringLiteral("no se pudo escribir %1 (%2)").arg(ruta, e);
        return false;
    }
    if (guardado(ruta, kClaveNombre) != n) {
        // Windows-1252 has no letter for some: the file as it was.
        ini.setLines(antes);
        ini.save(ruta);
        *error = QStringLiteral("%1 no guarda el nombre «%2» tal cual (sus caracteres)").arg(Config::kArchivo, n);
        return false;
    }
    return true;
}

} // namespace Puesto
