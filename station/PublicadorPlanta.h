#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <QVariantList>
#include <QVector>
#include <atomic>

#include "Contexto.h"
#include "EstadoEstacion.h"
#include "Lineas.h"

class EstacionPesaje;

// Tells the other workstations of a shared PostgreSQL database what this
// workstation's lines are doing: a row per line in the plant table (its
// last state) and a notification on the plant channel with the same. Each
// statement carries this run's identity (new at every start) and a counter
// of its statements, by which a monitor orders the table's rows against the
// channel's notifications. The stations only leave their last state here,
// under a lock held for a copy; a thread of its own writes it as soon as a
// line changed (at most kMaximoPorSegundo statements in any second) and
// every kLatidoMs even when nothing changed, so that the readers know the
// workstation is alive. A slow or absent server costs the stations nothing:
// what was not written is overwritten by the next state, never queued.
class PublicadorPlanta : public QObject
{
public:
    // Channel of the notifications; their payload is a JSON object
    // {"puesto", "nombre" (the workstation's name), "corrida", "n", "ms" (the
    // server's clock, for monitors of earlier versions), "lineas": [resumen...]}.
    // Each row's state is the line's summary with "corrida", "n" and
    // "nombrePuesto" of the statement that wrote it.
    static inline const QString kCanal = QStringLiteral("tolvex_planta");
    static constexpr int kMaximoPorSegundo = 5;
    static constexpr int kLatidoMs = 2000;
    // A notification's payload stays under PostgreSQL's limit (8000 bytes).
    static constexpr int kMaxCarga = 7000;

    // Publishes the lines of the workstation puesto into the reports
    // database of contexto; nothing is published unless it is PostgreSQL.
    // The workstation's name is its directory's (Puesto::nombre).
    PublicadorPlanta(const Contexto& contexto, const QString& puesto, QObject* parent = nullptr);
    ~PublicadorPlanta() override;

    static bool compartida(const Contexto& contexto);
    // The one statement of a turn, on the plant table given, and its values
    // (valores): it upserts the rows and notifies the channel in one
    // transaction. lineas: the lines' summaries as a JSON array.
    static QString sentencia(const QString& tabla);
    static QVariantList valores(const QString& canal, const QString& puesto, const QString& nombre,
                                const QString& corrida, qint64 n, const QString& lineas);

    // The lines of the settings: each is published, closed until a station follows it.
    void setLineas(const QVector<Linea>& lineas);
    // Follows a station: its every state and its close (from its thread).
    void sigue(EstacionPesaje* estacion);
    void publica(const Linea& linea, const EstadoEstacion& e);
    void cerrada(int linea);

    // Statements written and failed, and the CPU time of the publishing thread.
    struct Cuenta
    {
        qint64 sentencias = 0;
        qint64 fallos = 0;
        qint64 cpuNs = 0;
    };
    Cuenta cuenta() const;

private:
    class Trabajo;
    struct Entrada
    {
        Linea linea;
        EstadoEstacion estado;
    };
    friend class Trabajo;
    // Something changed: the writer looks as soon as it may.
    void despierta();

    mutable QMutex m_mutex;
    QMap<int, Entrada> m_lineas;
    QThread m_hilo;
    Trabajo* m_trabajo = nullptr; // lives in m_hilo
    std::atomic<bool> m_despierto{false}; // a wake-up is on its way to the writer
    std::atomic<qint64> m_sentencias{0};
    std::atomic<qint64> m_fallos{0};
    std::atomic<qint64> m_cpuNs{0};
};
