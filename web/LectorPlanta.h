#pragma once

#include <QHash>
#include <QJsonArray>
#include <QSet>
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
//
// States are told in the order the channel brings them, which is the order
// their statements committed: no clock is read to order them. Only the
// table's rows, read while notifications already queue, are ordered
// against those by what the workstation owns: a notification of the same
// run with a counter not above the rows' is older than them and dropped,
// until a mark this reader sends itself after reading comes back (from
// then on everything is newer). Only workstations with rows in the table
// are told of, kMaxPuestos at most.
class LectorPlanta : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRevisaMs = 1000;
    static constexpr int kTotalesMs = 5000;
    static constexpr int kReintentoMs = 2000;
    // A workstation silent for longer is not shown.
    static constexpr int kOlvidoDias = 7;
    static constexpr int kMaxPuestos = 200;

    LectorPlanta(const Contexto& contexto, const QString& puesto, QObject* parent = nullptr);
    ~LectorPlanta() override;

    // Starts reading (on the thread it lives in).
    void inicia();

    // A line's state as a notification or the table brings it, reduced to
    // the fields the plant shows, with their types; null when it is not one.
    static QJsonObject lineaDe(const QJsonValue& v);
    // A notification's payload: its workstation, its name, the run and the
    // counter of its statement (empty and -1 from a publisher of an earlier
    // version) and its lines.
    struct Carga
    {
        QString puesto;
        QString nombre;
        QString corrida;
        qint64 n = -1;
        QJsonArray lineas;
    };
    // False when texto is not one.
    static bool carga(const QString& json, Carga* c);

signals:
    // A workstation's lines, its name (empty: not said), and how old they
    // were when read by the server's clock (0 for a notification).
    void estados(const QString& puesto, const QString& nombre, qint64 edadMs, const QJsonArray& lineas);
    // Today's batches per workstation and line:
    // [{puesto, linea, lotes, kilos, ultimo: {ticket, peso, fecha, hora} | null}].
    void totales(const QJsonArray& filas);
    // Whether the shared database answers.
    void base(bool conectada);

private:
    void revisa();
    bool conecta();
    void desconecta();
    void aviso(const QString& json);
    // The workstation has rows in the plant table (asked once per name).
    bool delPlantel(const QString& puesto);
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
    QString m_marca;                // this connection's own channel
    QHash<QString, qint64> m_suelos; // "puesto\ncorrida": the rows' highest counter, until the mark
    QSet<QString> m_conocidos;       // with rows in the table
    QSet<QString> m_ajenos;          // without
};
