#include "Transporte.h"

#include "Parada.h"

#include <QThread>

bool Transporte::detenido() const
{
    return m_parada && m_parada->pedida();
}

bool Transporte::dormir(int ms)
{
    if (ms <= 0)
        return !detenido();
    if (m_parada)
        return m_parada->dormir(ms);
    QThread::msleep(static_cast<unsigned long>(ms));
    return true;
}
