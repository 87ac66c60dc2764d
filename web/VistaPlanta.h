#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <functional>

// The plant page's picture, on the monitor's thread: every workstation's
// lines as the shared database last told them (in the order LectorPlanta
// gives them, each taken as it comes), when they were heard of here, today's
// batches per line, and which workstations changed since the pages were
// last told. Whether a workstation is current is judged by when its states
// arrived, on this monitor's monotonic clock (Reloj::ms), never by a time
// another machine wrote. This workstation's own lines are given by the
// caller, as they are now.
class VistaPlanta
{
public:
    // A workstation not heard of for this long is shown stale (it publishes
    // every two seconds at least).
    static constexpr qint64 kVencidoMs = 6000;
    // The pages are told of a workstation at most this many times a second
    // (what its publisher sends, at most), and as soon as that allows.
    static constexpr int kEmpujesPorSegundo = 5;

    // propio: this workstation's identity; nombre: its name (empty: none).
    VistaPlanta(const QString& propio, bool compartida, const QString& nombre = {});

    const QString& propio() const { return m_propio; }

    // A workstation's lines (some or all), with its name (empty: as before),
    // edadMs old when read; ahora is Reloj::ms() here, pared this machine's
    // clock (ms since the epoch) at the same moment.
    void recibe(const QString& puesto, const QString& nombre, qint64 edadMs, const QJsonArray& lineas, qint64 ahora,
                qint64 pared);
    // Today's batches per workstation and line (LectorPlanta::totales).
    void setTotales(const QJsonArray& filas);
    void setBase(bool conectada);
    bool base() const { return m_base; }
    // This workstation's lines changed.
    void cambiaPropio() { m_cambiados.insert(m_propio); }
    // Marks stale the workstations not heard of for kVencidoMs.
    void vigila(qint64 ahora);

    // The whole plant; propias: this workstation's line summaries now.
    QJsonObject planta(const QJsonArray& propias, qint64 ahora) const;
    // The workstations that changed and may be told now, as planta gives
    // them (propias is asked only when this workstation is among them).
    QJsonArray tomaCambios(const std::function<QJsonArray()>& propias, qint64 ahora);
    bool hayCambios() const { return !m_cambiados.isEmpty() || m_baseCambio; }
    // In how many ms the next change may be told (0: now); -1: none waits.
    qint64 proximo(qint64 ahora) const;
    // Nobody to tell: what changed is read whole by the next page.
    void olvidaCambios()
    {
        m_cambiados.clear();
        m_baseCambio = false;
    }

private:
    struct Remoto
    {
        QString nombre;
        qint64 oidoMs = 0;  // Reloj::ms() the state was made at, by its age
        qint64 vistoMs = 0; // the same moment by this machine's clock, ms since the epoch
        bool vigente = false;
        QMap<int, QJsonObject> lineas;
    };
    struct Totales
    {
        qint64 lotes = 0;
        double kilos = 0;
        QJsonValue ultimo;
    };
    // Heard of within kVencidoMs of ahora.
    static bool vigenteAhora(const Remoto& r, qint64 ahora);
    QJsonObject puesto(const QString& nombre, const QJsonArray& propias, qint64 ahora) const;
    QJsonObject conTotales(const QString& puesto, QJsonObject linea) const;
    // The other workstations in the order of the page: by name, then identity.
    QStringList ordenados() const;
    // ms until puesto may be told again (0: now).
    qint64 esperaDe(const QString& puesto, qint64 ahora) const;

    const QString m_propio;
    const QString m_nombre;
    const bool m_compartida;
    bool m_base;
    bool m_baseCambio = false;
    bool m_totalesLeidos = false;
    QMap<QString, Remoto> m_remotos;
    QHash<QString, QHash<int, Totales>> m_totales;
    QSet<QString> m_cambiados;
    QHash<QString, QList<qint64>> m_empujes; // Reloj::ms() of each workstation's last times told
};
