#pragma once

#include <QString>
#include <memory>

#include "BuzonLotes.h"
#include "ConfigMqtt.h"
#include "NodoSparkplug.h"

class EstacionPesaje;
class Grabador;

// What the recorder gives the plant's MQTT broker: the live state of its
// lines (a Sparkplug B edge node) and every batch row from the outbox. Made
// before the recorder starts, so that its writers feed the outbox from
// their first row; destroyed after it stops, so that what they still
// committed reaches the broker.
class ServicioMqtt
{
public:
    // Null when [MQTT] is off, or wrong (said in Datos.log).
    static std::unique_ptr<ServicioMqtt> crea(const QString& directorio, Grabador& grabador);
    ~ServicioMqtt();

    // A line's engine, from the recorder's lineaIniciada.
    void sigue(EstacionPesaje* estacion);

private:
    ServicioMqtt(const ConfigMqtt& config, const QString& directorio);

    BuzonLotes m_buzon;
    NodoSparkplug m_nodo;
};
