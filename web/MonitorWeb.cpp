#include "MonitorWeb.h"

#include "EstacionPesaje.h"
#include "ServicioWeb.h"

MonitorWeb::MonitorWeb(const Contexto& contexto, QObject* parent)
    : QObject(parent), m_servicio(new ServicioWeb(contexto))
{
    m_hilo.setObjectName(QStringLiteral("monitor web"));
    m_servicio->moveToThread(&m_hilo);
    m_hilo.start();
}

MonitorWeb::~MonitorWeb()
{
    // Everything the service built lives on its thread and ends there.
    QMetaObject::invokeMethod(m_servicio, [s = m_servicio] { delete s; }, Qt::BlockingQueuedConnection);
    m_hilo.quit();
    m_hilo.wait();
}

bool MonitorWeb::inicia(const ConfigWeb& config, QString* error)
{
    bool ok = false;
    QMetaObject::invokeMethod(
        m_servicio,
        [&] {
            m_servicio->setLimites(m_limites);
            ok = m_servicio->inicia(config, error);
            m_puerto = m_servicio->puerto();
        },
        Qt::BlockingQueuedConnection);
    return ok;
}

void MonitorWeb::publica(const EstadoEstacion& e, int linea)
{
    QMetaObject::invokeMethod(m_servicio, [s = m_servicio, e, linea] { s->publica(linea, e); }, Qt::QueuedConnection);
}

void MonitorWeb::estacionCerrada(int linea)
{
    QMetaObject::invokeMethod(m_servicio, [s = m_servicio, linea] { s->estacionCerrada(linea); }, Qt::QueuedConnection);
}

void MonitorWeb::sigue(EstacionPesaje* estacion)
{
    // Queued to the monitor's thread, in the order the station sends them.
    const Linea linea = estacion->linea();
    const int n = linea.numero;
    QMetaObject::invokeMethod(m_servicio, [s = m_servicio, linea] { s->sigue(linea); }, Qt::QueuedConnection);
    connect(estacion, &EstacionPesaje::estadoCambiado, m_servicio,
            [s = m_servicio, n](const EstadoEstacion& e) { s->publica(n, e); });
    connect(estacion, &EstacionPesaje::cerrada, m_servicio, [s = m_servicio, n] { s->estacionCerrada(n); });
}

const Puerta& MonitorWeb::puerta() const
{
    return m_servicio->puerta();
}

int MonitorWeb::conexiones() const
{
    int n = 0;
    QMetaObject::invokeMethod(m_servicio, [&] { n = m_servicio->conexiones(); }, Qt::BlockingQueuedConnection);
    return n;
}

int MonitorWeb::trabajosPendientes() const
{
    int n = 0;
    QMetaObject::invokeMethod(m_servicio, [&] { n = m_servicio->trabajosPendientes(); },
                              Qt::BlockingQueuedConnection);
    return n;
}
