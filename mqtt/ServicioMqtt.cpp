#include "ServicioMqtt.h"

#include <QDateTime>
#include <QDir>

#include "Diario.h"
#include "EstacionPesaje.h"
#include "Grabador.h"
#include "Registrador.h"

namespace {

void anota(const QString& directorio, const QString& texto)
{
    Diario::agrega(QDir(directorio).absoluteFilePath(Diario::kLog),
                   Diario::registroError(0, texto, QStringLiteral("Rutina: MQTT"), QDateTime::currentDateTime()));
}

} // namespace

std::unique_ptr<ServicioMqtt> ServicioMqtt::crea(const QString& directorio, Grabador& grabador)
{
    const ConfigMqtt config = ConfigMqtt::lee(directorio);
    if (!config.error.isEmpty()) {
        anota(directorio, config.error);
        return nullptr;
    }
    if (!config.activo)
        return nullptr;
    std::unique_ptr<ServicioMqtt> s(new ServicioMqtt(config, directorio));
    BuzonLotes* buzon = &s->m_buzon;
    grabador.setPreparaRegistro([buzon](Registrador& r) { Mqtt::alimenta(r, *buzon); });
    return s;
}

ServicioMqtt::ServicioMqtt(const ConfigMqtt& config, const QString& directorio)
    : m_buzon(QDir(directorio).absoluteFilePath(BuzonLotes::kArchivo)), m_nodo(config, directorio, &m_buzon)
{
    QString error;
    if (!m_buzon.carga(&error))
        anota(directorio, error);
    m_buzon.setAviso([directorio](const QString& t) { anota(directorio, t); });
    m_buzon.setAlAgregar([this] { m_nodo.despierta(); });
}

ServicioMqtt::~ServicioMqtt()
{
    m_buzon.detiene();
}

void ServicioMqtt::sigue(EstacionPesaje* estacion)
{
    m_nodo.sigue(estacion);
}
