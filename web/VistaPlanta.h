#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QString>

// The plant page's picture, on the monitor's thread: every workstation's
// lines as the shared database last told them (with when, by the server's
// clock, and when they were heard of here), today's batches per line, and
// which workstations changed since the pages were last told. This
// workstation's own lines are given by the caller, as they are now.
class VistaPlanta
{
public:
    // A workstation not heard of for this long is shown stale (it publishes
    // every two seconds at least).
    static constexpr qint64 kVencidoMs = 6000;

    VistaPlanta(const QString& propio, bool compartida);

    const QString& propio() const { return m_propio; }

    // A workstation's lines (some or all), stamped msServidor by the server,
    // edadMs old when read; ahora is Reloj::ms() here.
    void recibe(const QString& puesto, qint64 msServidor, qint64 edadMs, const QJsonArray& lineas, qint64 ahora);
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
    // The workstations that changed since the last call, as planta gives them.
    QJsonArray tomaCambios(const QJsonArray& propias, qint64 ahora);
    bool hayCambios() const { return !m_cambiados.isEmpty() || m_baseCambio; }
    // Nobody to tell: what changed is read whole by the next page.
    void olvidaCambios()
    {
        m_cambiados.clear();
        m_baseCambio = false;
    }

private:
    struct Remoto
    {
        qint64 msServidor = 0;
        qint64 oidoMs = 0; // Reloj::ms() the state was made at, by its age
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

    const QString m_propio;
    const bool m_compartida;
    bool m_base;
    bool m_baseCambio = false;
    bool m_totalesLeidos = false;
    QMap<QString, Remoto> m_remotos;
    QHash<QString, QHash<int, Totales>> m_totales;
    QSet<QString> m_cambiados;
};
