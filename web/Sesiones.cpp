#include "Sesiones.h"

#include <QRandomGenerator>
#include <algorithm>

#include "Niveles.h"
#include "Reloj.h"

QByteArray Sesiones::crea(const QString& operador, const QString& nivel, int tipoAcceso)
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    const QByteArray id = bytes.toHex();
    Sesion s;
    s.operador = operador;
    s.nivel = nivel;
    s.tipoAcceso = tipoAcceso;
    s.ultimoUso = Reloj::ms();
    m_sesiones.insert(id, s);
    return id;
}

const Sesiones::Sesion* Sesiones::busca(const QByteArray& id, bool toca)
{
    const auto it = m_sesiones.find(id);
    if (id.isEmpty() || it == m_sesiones.end())
        return nullptr;
    if (Reloj::ms() - it->ultimoUso >= m_inactividadMs) {
        m_sesiones.erase(it);
        return nullptr;
    }
    if (toca)
        it->ultimoUso = Reloj::ms();
    return &*it;
}

void Sesiones::cierra(const QByteArray& id)
{
    m_sesiones.remove(id);
}

QList<QByteArray> Sesiones::purga()
{
    QList<QByteArray> vencidas;
    for (auto it = m_sesiones.begin(); it != m_sesiones.end();) {
        if (Reloj::ms() - it->ultimoUso >= m_inactividadMs) {
            vencidas << it.key();
            it = m_sesiones.erase(it);
        } else {
            ++it;
        }
    }
    return vencidas;
}

bool Sesiones::veReportes(const QString& nivel)
{
    return nivel.isEmpty() || nivel == Niveles::kGerencia || nivel == Niveles::kInstalador;
}

qint64 Frenos::demora(int fallos)
{
    if (fallos <= 0)
        return 0;
    return std::min<qint64>(30000, qint64(1000) << std::min(fallos - 1, 5));
}

qint64 Frenos::espera(const QHostAddress& desde) const
{
    const auto it = m_estados.constFind(desde.toString());
    return it == m_estados.constEnd() ? 0 : std::max<qint64>(0, it->libreDesde - Reloj::ms());
}

qint64 Frenos::falla(const QHostAddress& desde)
{
    // A bounded table: addresses quiet for long are forgotten first.
    if (m_estados.size() > 10000) {
        const qint64 t = Reloj::ms();
        for (auto it = m_estados.begin(); it != m_estados.end();)
            it = t - it->libreDesde > 600000 ? m_estados.erase(it) : std::next(it);
    }
    Estado& e = m_estados[desde.toString()];
    ++e.fallos;
    const qint64 d = demora(e.fallos);
    e.libreDesde = Reloj::ms() + d;
    return d;
}

void Frenos::acierta(const QHostAddress& desde)
{
    m_estados.remove(desde.toString());
}
