#include "Sesiones.h"

#include <QRandomGenerator>
#include <algorithm>

#include "Niveles.h"
#include "Reloj.h"

QByteArray Sesiones::crea(const QString& operador, const QString& nivel, int tipoAcceso, bool conFila)
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    const QByteArray id = bytes.toHex();
    Sesion s;
    s.operador = operador;
    s.nivel = nivel;
    s.tipoAcceso = tipoAcceso;
    s.conFila = conFila;
    s.creada = s.ultimoUso = Reloj::ms();
    m_sesiones.insert(id, s);
    return id;
}

Sesiones::Sesion* Sesiones::busca(const QByteArray& id, bool toca)
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

bool Sesiones::pantalla(const QByteArray& id)
{
    Sesion* s = busca(id, false);
    if (!s)
        return false;
    if (Reloj::ms() - s->creada < kPantallaMs)
        s->ultimoUso = Reloj::ms();
    return true;
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

qint64 Frenos::espera(const QStringList& claves) const
{
    qint64 e = 0;
    for (const QString& c : claves) {
        const auto it = m_estados.constFind(c);
        if (it != m_estados.constEnd())
            e = std::max(e, it->libreDesde - Reloj::ms());
    }
    return e;
}

qint64 Frenos::falla(const QStringList& claves)
{
    const qint64 ahora = Reloj::ms();
    // A bounded table: keys quiet for long are forgotten first.
    if (m_estados.size() > 10000) {
        for (auto it = m_estados.begin(); it != m_estados.end();)
            it = ahora - it->ultimo > kOlvidoMs ? m_estados.erase(it) : std::next(it);
    }
    qint64 d = 0;
    for (const QString& c : claves) {
        Estado& e = m_estados[c];
        if (ahora - e.ultimo > kOlvidoMs)
            e.fallos = 0;
        ++e.fallos;
        e.ultimo = ahora;
        e.libreDesde = ahora + demora(e.fallos);
        d = std::max(d, demora(e.fallos));
    }
    return d;
}

void Frenos::acierta(const QString& clave)
{
    m_estados.remove(clave);
}
