#pragma once

#include <QMetaObject>
#include <QThread>

#include "IndicadorSimulado.h"
#include "ServidorRtu.h"

// The simulated indicator and its RTU server on a thread of their own, so
// that the station's window thread and link thread talk to it over real TCP
// on loopback (or a pseudo-terminal) as they would to an indicator.
class SimuladorEnHilo
{
public:
    explicit SimuladorEnHilo(const IndicadorSimulado::Parametros& p = {}, quint8 id = 1, bool pty = false)
        : m_indicador(p)
    {
        m_servidor = new ServidorRtu(m_indicador, id);
        m_servidor->moveToThread(&m_hilo);
        m_hilo.setObjectName(QStringLiteral("Simulador"));
        m_hilo.start();
        QMetaObject::invokeMethod(
            m_servidor, [this, pty] { m_ok = pty ? m_servidor->abrePty() : m_servidor->escuchaTcp(0); },
            Qt::BlockingQueuedConnection);
    }
    ~SimuladorEnHilo()
    {
        QMetaObject::invokeMethod(m_servidor, [this] { delete m_servidor; },
                                  Qt::BlockingQueuedConnection);
        m_hilo.quit();
        m_hilo.wait();
    }
    SimuladorEnHilo(const SimuladorEnHilo&) = delete;
    SimuladorEnHilo& operator=(const SimuladorEnHilo&) = delete;

    bool ok() const { return m_ok; }
    quint16 puerto() const { return m_servidor->puerto(); }
    // The pseudo-terminal's device; empty on TCP.
    QString dispositivo() const { return m_servidor->dispositivo(); }
    IndicadorSimulado& indicador() { return m_indicador; }
    ServidorRtu& servidor() { return *m_servidor; }
    void fallos(const FallosSimulados& f)
    {
        QMetaObject::invokeMethod(m_servidor, [&] { m_servidor->setFallos(f); },
                                  Qt::BlockingQueuedConnection);
    }
    void fallosDe(quint8 id, const FallosSimulados& f)
    {
        QMetaObject::invokeMethod(m_servidor, [&] { m_servidor->setFallosDe(id, f); },
                                  Qt::BlockingQueuedConnection);
    }
    void desconecta()
    {
        QMetaObject::invokeMethod(m_servidor, [this] { m_servidor->desconectaClientes(); },
                                  Qt::BlockingQueuedConnection);
    }

private:
    IndicadorSimulado m_indicador;
    ServidorRtu* m_servidor = nullptr;
    QThread m_hilo;
    bool m_ok = false;
};
