#include "ConfigMqtt.h"

#include <QDir>
#include <QFileInfo>

#include "Config.h"
#include "Puesto.h"

ConfigMqtt ConfigMqtt::lee(const QString& directorio)
{
    auto v = [](const char* clave, bool scrambled = false) {
        return Config::LeeConfig(kSeccion, QLatin1String(clave), QString(), scrambled).trimmed();
    };
    QString defecto = Puesto::nombre(directorio).trimmed();
    if (defecto.isEmpty())
        defecto = Puesto::de(directorio);
    return desde(v("Host"), v("Puerto"), v("CA"), v("Usuario"),
                 Config::LeeConfig(kSeccion, QStringLiteral("Clave"), QString(), true), v("Grupo"), v("Nodo"),
                 defecto);
}

bool ConfigMqtt::idValido(const QString& id)
{
    return !id.isEmpty() && id.size() <= 200 && !id.contains(u'+') && !id.contains(u'#') && !id.contains(u'/') &&
           std::none_of(id.cbegin(), id.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

ConfigMqtt ConfigMqtt::desde(const QString& host, const QString& puerto, const QString& ca, const QString& usuario,
                             const QString& clave, const QString& grupo, const QString& nodo,
                             const QString& nodoPorDefecto)
{
    ConfigMqtt c;
    if (host.isEmpty())
        return c;
    c.activo = true;
    c.host = host;
    c.usuario = usuario;
    c.clave = clave;
    if (!grupo.isEmpty())
        c.grupo = grupo;
    c.nodo = nodo.isEmpty() ? nodoPorDefecto : nodo;
    c.nodoPropio = nodo;
    if (host.contains(u' ') || host.contains(u'/')) {
        c.error = QStringLiteral("MQTT: el broker \"%1\" no es válido.").arg(host);
        return c;
    }
    if (!ca.isEmpty()) {
        const QString ruta = QDir::isAbsolutePath(ca) ? ca : QDir::current().absoluteFilePath(ca);
        if (!QFileInfo(ruta).isReadable()) {
            c.error = QStringLiteral("MQTT: no se puede leer el certificado de la autoridad \"%1\".").arg(ca);
            return c;
        }
        c.ca = ruta;
        c.puerto = 8883;
    }
    if (!puerto.isEmpty()) {
        bool ok = false;
        const int p = puerto.toInt(&ok);
        if (!ok || p < 1 || p > 65535) {
            c.error = QStringLiteral("MQTT: el puerto \"%1\" no es válido (debe ser un número de 1 a 65535).")
                          .arg(puerto);
            return c;
        }
        c.puerto = quint16(p);
    }
    if (!idValido(c.grupo)) {
        c.error = QStringLiteral("MQTT: el grupo \"%1\" no es válido (sin '+', '#' ni '/').").arg(c.grupo);
        return c;
    }
    if (!idValido(c.nodo)) {
        c.error = QStringLiteral("MQTT: el nodo \"%1\" no es válido (sin '+', '#' ni '/').").arg(c.nodo);
        return c;
    }
    if (!usuario.isEmpty() && usuario.toUtf8().size() > 65535) {
        c.error = QStringLiteral("MQTT: el usuario es demasiado largo.");
        return c;
    }
    return c;
}

bool ConfigMqtt::guarda(QString* error) const
{
    const QString puertoTexto = host.isEmpty() ? QString() : QString::number(puerto);
    return Config::GuardaConfig(kSeccion, QStringLiteral("Host"), host, false, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("Puerto"), puertoTexto, false, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("CA"), ca, false, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("Usuario"), usuario, false, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("Clave"), clave, true, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("Grupo"), grupo, false, false, error) &&
           Config::GuardaConfig(kSeccion, QStringLiteral("Nodo"), nodoPropio, false, false, error);
}
