#pragma once

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <memory>

#include "Contexto.h"

class CDatos;
class QTimer;

// The plant as the shared database tells it, read on a thread of its own:
// every workstation's lines (the plant table when it connects, then the
// notifications of the plant channel as they come) and today's batches and
// kilos per line of the reports table. With SQLite there is no one else:
// only this workstation's totals are read. A database that goes away is
// connected to again; what was missed meanwhile comes from the table.
class LectorPlanta : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRevisaMs = 1000;
    static constexpr int kTotalesMs = 5000;
    static constexpr int kReintentoMs = 2000;
    // A workstation silent for longer is not shown.
    static constexpr int kOlvidoDias = 7;

    LectorPlanta(const Contexto& contexto, const QString& puesto, QObject* parent = nullptr);
    ~LectorPlanta() override;

    // Starts reading (on the thread it lives in).
    void inicia();

    // A line's state as a notification or the table brings it, reduced to
    // the fields the plant shows, with their types; null when it is not one.
    static QJsonObject lineaDe(const QJsonValue& v);
    // A notification's payload: its workstation, the server's time and its
    // lines; false when it is not one.
    static bool carga(const QString& texto, QString* puesto, qint64* ms, QJsonArray* lineas);

signals:
    // A workstation's lines: the server's time of their state, and how old
    // it was when read (0 for a notification).
    void estados(const QString& puesto, qint64 msServidor, qint64 edadMs, const QJsonArray& lineas);
    // Today's batches per workstation and line:
    // [{puesto, linea, lotes, kilos, ultimo: {ticket, peso, fecha, hora} | null}].
    void totales(const QJsonArray& filas);
    // Whether the shared database answers.
    void base(bool conectada);

private:
    void revisa();
    bool conecta();
    void desconecta();
    void leeTotales();
    // The totals' connection failed: a new one next time.
    void olvidaConsultas();

    const Contexto m_contexto;
    const QString m_puesto;
    bool m_compartida = false;
    QTimer* m_reloj = nullptr;
    std::unique_ptr<CDatos> m_db;         // the plant channel's connection
    std::unique_ptr<CDatos> m_consultas;  // the totals' on SQLite
    bool m_conectada = false;
    qint64 m_reintentoDesde = 0;
    qint64 m_totalesMs = -1;
};
