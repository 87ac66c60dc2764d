#include "ConfigWeb.h"

#include <QDir>
#include <QFileInfo>

#include "Config.h"
#include "Secreto.h"

namespace {
const QString kSeccion = QStringLiteral("Web");
}

ConfigWeb ConfigWeb::lee()
{
    auto v = [](const char* clave) {
        return Config::LeeConfig(kSeccion, QLatin1String(clave), QString()).trimmed();
    };
    ConfigWeb c = desde(v("Puerto"), v("Direccion"), v("Certificado"), v("Clave"), v("ClaveApi"), v("Inactividad"));
    // A key typed into the file is kept from now on as its hash (exact:
    // letter case counts).
    if (c.error.isEmpty() && !c.claveApiTal.isEmpty()) {
        const QString h = Secreto::cifra(c.claveApiTal, Secreto::Forma::Operario);
        QString error = h.isEmpty() ? QStringLiteral("no se pudo calcular la clave cifrada") : QString();
        if (error.isEmpty() && Config::GuardaConfig(kSeccion, QStringLiteral("ClaveApi"), h, false, false, &error))
            c.claveApi = h;
        else
            c.aviso = QStringLiteral("Monitor web: no se pudo guardar cifrada ClaveApi en Tolvex.ini: ") + error;
    }
    return c;
}

ConfigWeb ConfigWeb::desde(const QString& puerto, const QString& direccion, const QString& certificado,
                           const QString& clave, const QString& claveApi, const QString& inactividad)
{
    ConfigWeb c;
    if (puerto.isEmpty())
        return c;
    c.activo = true;
    bool ok = false;
    const int p = puerto.toInt(&ok);
    if (!ok || p < 1 || p > 65535) {
        c.error = QStringLiteral("Monitor web: el puerto \"%1\" no es válido (debe ser un número de 1 a 65535).")
                      .arg(puerto);
        return c;
    }
    c.puerto = quint16(p);
    if (!direccion.isEmpty()) {
        if (!c.direccion.setAddress(direccion)) {
            c.error = QStringLiteral("Monitor web: la dirección \"%1\" no es válida.").arg(direccion);
            return c;
        }
    }
    if (certificado.isEmpty() != clave.isEmpty()) {
        c.error = QStringLiteral("Monitor web: para usar HTTPS se necesitan Certificado y Clave.");
        return c;
    }
    // Relative paths are relative to the program directory (the working one).
    for (const auto& [archivo, destino] :
         {std::pair{certificado, &c.certificado}, std::pair{clave, &c.clave}}) {
        if (archivo.isEmpty())
            continue;
        const QString ruta = QDir::current().absoluteFilePath(archivo);
        if (!QFileInfo(ruta).isFile() || !QFileInfo(ruta).isReadable()) {
            c.error = QStringLiteral("Monitor web: no se puede leer el archivo %1.").arg(ruta);
            return c;
        }
        *destino = ruta;
    }
    if (Secreto::esCifrada(claveApi)) {
        c.claveApi = claveApi;
    } else if (!claveApi.isEmpty() && claveApi.size() < 16) {
        c.error = QStringLiteral("Monitor web: ClaveApi debe tener al menos 16 caracteres.");
        return c;
    } else {
        c.claveApiTal = claveApi;
    }
    if (!inactividad.isEmpty()) {
        const int m = inactividad.toInt(&ok);
        if (!ok || m < 1 || m > 24 * 60) {
            c.error = QStringLiteral("Monitor web: Inactividad \"%1\" no es válida (minutos, de 1 a 1440).")
                          .arg(inactividad);
            return c;
        }
        c.inactividadMin = m;
    }
    return c;
}
