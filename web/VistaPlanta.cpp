#include "VistaPlanta.h"

#include <QDate>
#include <QDateTime>

#include <QCollator>
#include <QLocale>

#include "EstadoEstacion.h"
#include "EstadoJson.h"
#include "FechaHora.h"
#include "LectorPlanta.h"

namespace {

// A value as the line's station shows it.
QString texto(double v, int decimales)
{
    EstadoEstacion e;
    e.decimales = decimales;
    return e.muestra(v);
}

} // namespace
VistaPlanta::VistaPlanta(const QString& propio, bool compartida, const QString& nombre)
    : m_propio(propio), m_nombre(nombre), m_compartida(compartida), m_base(!compartida)
{
}

void VistaPlanta::recibe(const QString& puesto, const QString& nombre, qint64 edadMs, const QJsonArray& lineas,
                         qint64 ahora, qint64 pared)
{
    // This workstation's lines are known here first hand.
    if (puesto == m_propio)
        return;
    auto it = m_remotos.find(puesto);
    const bool nuevo = it == m_remotos.end();
    if (nuevo) {
        if (m_remotos.size() >= LectorPlanta::kMaxPuestos)
            return;
        it = m_remotos.insert(puesto, Remoto{});
    }
    Remoto& r = *it;
    // Heard of when it arrived, less its age when it was read from the
    // table: never earlier than it was heard of before.
    const qint64 edad = std::max<qint64>(0, edadMs);
    r.oidoMs = nuevo ? ahora - edad : std::max(r.oidoMs, ahora - edad);
    r.vistoMs = nuevo ? pared - edad : std::max(r.vistoMs, pared - edad);
    r.vigente = vigenteAhora(r, ahora);
    if (!nombre.isEmpty())
        r.nombre = nombre;
    for (const QJsonValue& v : lineas) {
        const QJsonObject l = v.toObject();
        r.lineas.insert(l.value(QStringLiteral("linea")).toInt(), l);
    }
    m_cambiados.insert(puesto);
}

void VistaPlanta::setTotales(const QJsonArray& filas)
{
    QHash<QString, QHash<int, Totales>> nuevos;
    for (const QJsonValue& v : filas) {
        const QJsonObject f = v.toObject();
        Totales& t = nuevos[f.value(QStringLiteral("puesto")).toString()][f.value(QStringLiteral("linea")).toInt()];
        t.lotes += f.value(QStringLiteral("lotes")).toInteger();
        t.kilos += f.value(QStringLiteral("kilos")).toDouble();
        if (!f.value(QStringLiteral("ultimo")).isNull())
            t.ultimo = f.value(QStringLiteral("ultimo"));
    }
    // Only the workstations whose figures moved are sent again.
    QSet<QString> puestos;
    for (auto it = nuevos.cbegin(); it != nuevos.cend(); ++it)
        puestos.insert(it.key());
    for (auto it = m_totales.cbegin(); it != m_totales.cend(); ++it)
        puestos.insert(it.key());
    for (const QString& p : std::as_const(puestos)) {
        const QHash<int, Totales> a = m_totales.value(p), b = nuevos.value(p);
        bool igual = a.size() == b.size();
        for (auto it = a.cbegin(); igual && it != a.cend(); ++it) {
            const Totales o = b.value(it.key(), Totales{-1, 0, {}});
            igual = o.lotes == it->lotes && o.kilos == it->kilos && o.ultimo == it->ultimo;
        }
        if (!igual || !m_totalesLeidos)
            m_cambiados.insert(p);
    }
    if (!m_totalesLeidos) {
        m_cambiados.insert(m_propio);
        for (auto it = m_remotos.cbegin(); it != m_remotos.cend(); ++it)
            m_cambiados.insert(it.key());
    }
    m_totales = nuevos;
    m_totalesLeidos = true;
}

void VistaPlanta::setBase(bool conectada)
{
    if (conectada != m_base)
        m_baseCambio = true;
    m_base = conectada;
}

bool VistaPlanta::vigenteAhora(const Remoto& r, qint64 ahora)
{
    return ahora - r.oidoMs <= kVencidoMs;
}

void VistaPlanta::vigila(qint64 ahora)
{
    for (auto it = m_remotos.begin(); it != m_remotos.end(); ++it) {
        const bool vigente = vigenteAhora(*it, ahora);
        if (vigente != it->vigente) {
            it->vigente = vigente;
            m_cambiados.insert(it.key());
        }
    }
}

QJsonObject VistaPlanta::conTotales(const QString& puesto, QJsonObject linea) const
{
    const int decimales = linea.value(QStringLiteral("decimales")).toInt();
    const auto porLinea = m_totales.constFind(puesto);
    const int n = linea.value(QStringLiteral("linea")).toInt();
    const bool hay = porLinea != m_totales.cend() && porLinea->contains(n);
    const Totales t = hay ? porLinea->value(n) : Totales{};
    linea.insert(QStringLiteral("hoy"), m_totalesLeidos ? QJsonValue(QJsonObject{{QStringLiteral("lotes"), t.lotes},
                                                                                {QStringLiteral("kilos"), t.kilos},
                                                                                {QStringLiteral("textoKilos"), texto(t.kilos, decimales)}})
                                                        : QJsonValue());
    QJsonObject u = t.ultimo.toObject();
    if (!u.isEmpty())
        u.insert(QStringLiteral("textoPeso"), texto(u.value(QStringLiteral("peso")).toDouble(), decimales));
    linea.insert(QStringLiteral("ultimo"), u.isEmpty() ? QJsonValue() : QJsonValue(u));
    return linea;
}

QJsonObject VistaPlanta::puesto(const QString& nombre, const QJsonArray& propias, qint64 ahora) const
{
    // This workstation is current now; another as it was last heard of.
    const bool propio = nombre == m_propio;
    const Remoto r = propio ? Remoto{} : m_remotos.value(nombre);
    const bool vigente = propio || vigenteAhora(r, ahora);
    const QDateTime t = propio ? QDateTime::currentDateTime() : QDateTime::fromMSecsSinceEpoch(r.vistoMs);
    const QString visto = FechaHora::fechaHora(t.toLocalTime());
    const QString dicho = propio ? m_nombre : r.nombre;
    QJsonArray lineas;
    if (propio) {
        for (const QJsonValue& v : propias)
            lineas.append(conTotales(nombre, v.toObject()));
    } else {
        for (QJsonObject l : r.lineas) {
            if (!vigente) {
                // What it last said stays; it is not current.
                l.insert(QStringLiteral("vigente"), false);
                l.insert(QStringLiteral("motivo"), QStringLiteral("Sin noticias desde ") + visto);
            }
            lineas.append(conTotales(nombre, l));
        }
    }
    return {{QStringLiteral("puesto"), nombre},
            {QStringLiteral("nombre"), dicho.isEmpty() ? nombre : dicho},
            {QStringLiteral("propio"), propio},
            {QStringLiteral("vigente"), vigente},
            {QStringLiteral("visto"), EstadoJson::iso(t)},
            {QStringLiteral("textoVisto"), visto},
            {QStringLiteral("lineas"), lineas}};
}

QStringList VistaPlanta::ordenados() const
{
    QCollator c{QLocale(QLocale::Spanish, QLocale::Spain)};
    c.setCaseSensitivity(Qt::CaseInsensitive);
    QStringList l = m_remotos.keys();
    const auto dicho = [this](const QString& p) {
        const QString& n = m_remotos.value(p).nombre;
        return n.isEmpty() ? p : n;
    };
    std::stable_sort(l.begin(), l.end(), [&](const QString& a, const QString& b) {
        const int k = c.compare(dicho(a), dicho(b));
        return k != 0 ? k < 0 : a < b;
    });
    return l;
}

QJsonObject VistaPlanta::planta(const QJsonArray& propias, qint64 ahora) const
{
    // This workstation first, then the others by name.
    QJsonArray puestos{puesto(m_propio, propias, ahora)};
    for (const QString& p : ordenados())
        puestos.append(puesto(p, propias, ahora));
    return {{QStringLiteral("puesto"), m_propio},
            {QStringLiteral("compartida"), m_compartida},
            {QStringLiteral("base"), m_base},
            {QStringLiteral("hoy"), QDate::currentDate().toString(Qt::ISODate)},
            {QStringLiteral("puestos"), puestos}};
}

qint64 VistaPlanta::esperaDe(const QString& puesto, qint64 ahora) const
{
    const QList<qint64> e = m_empujes.value(puesto);
    return e.size() < kEmpujesPorSegundo ? 0 : std::max<qint64>(0, e.constFirst() + 1000 - ahora);
}

qint64 VistaPlanta::proximo(qint64 ahora) const
{
    if (m_baseCambio)
        return 0;
    qint64 m = -1;
    for (const QString& p : m_cambiados) {
        if (p != m_propio && !m_remotos.contains(p))
            continue;
        const qint64 e = esperaDe(p, ahora);
        m = m < 0 ? e : std::min(m, e);
    }
    return m;
}

QJsonArray VistaPlanta::tomaCambios(const std::function<QJsonArray()>& propias, qint64 ahora)
{
    QJsonArray a;
    QJsonArray nuestras;
    bool leidas = false;
    for (auto it = m_cambiados.begin(); it != m_cambiados.end();) {
        const QString& p = *it;
        if (p != m_propio && !m_remotos.contains(p)) {
            it = m_cambiados.erase(it);
            continue;
        }
        if (esperaDe(p, ahora) > 0) {
            ++it; // told again when it may
            continue;
        }
        if (p == m_propio && !leidas) {
            nuestras = propias();
            leidas = true;
        }
        a.append(puesto(p, nuestras, ahora));
        QList<qint64>& e = m_empujes[p];
        e.append(ahora);
        while (e.size() > kEmpujesPorSegundo)
            e.removeFirst();
        it = m_cambiados.erase(it);
    }
    m_baseCambio = false;
    return a;
}
