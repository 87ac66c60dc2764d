#pragma once

#include "ConfigEnlace.h"
#include "LecturaPeso.h"

#include <QByteArray>
#include <QObject>
#include <memory>

class BusEnlace;
class Parada;

// The station's side of the indicator link. Lives in the window's thread and
// never blocks it: jobs go to a worker thread in order and their results
// come back as signals.
//
//   Enlace e;  connect(...);  e.abrir(*ConfigEnlace::lee());
//   one poll:     e.leer();                    -> lecturaLista(l, intentos)
//   polling:      e.sondea(100);               -> lecturaLista(...) each tick
//   commands:     e.comando('V', tag);         -> escrituraLista(tag, ok)
//   programming:  e.escribir(14204, bytes, tag) ...
//   e.cerrar();   (also done by the destructor; returns promptly even while
//                  the worker is waiting on a silent indicator)
//
// Each Enlace is one indicator (id, decimals, poll period). Enlaces whose
// settings name the same serial port, or the same TCP host and port, share
// one bus: one transport and one worker thread, the master of that line,
// which polls its indicators in turn (see LinkWorker). The bus's transport
// settings (speed, waits) are those of the first Enlace opened on it.
// Separate buses run in parallel.
class Enlace : public QObject
{
    Q_OBJECT
public:
    explicit Enlace(QObject* parent = nullptr);
    ~Enlace() override;

    // Starts the worker and opens the link; the result comes as abierto().
    void abrir(const ConfigEnlace& config);
    // Queues a poll of up to maxIntentos whole-state reads. Returns false and
    // queues nothing while another poll is queued or running.
    bool leer(int maxIntentos = 6);
    // Polls every periodoMs on the worker's own timer, so that this thread
    // wakes once per reading (lecturaLista); 0 stops. A tick that comes while
    // a poll still runs is dropped.
    void sondea(int periodoMs, int maxIntentos = 6);
    // Queues a write of a register string (one function-06 write per register).
    // It goes out before the next exchange of a poll in progress.
    void escribir(quint16 direccion, const QByteArray& cadena, int tag = 0);
    // Queues a one-letter command to the command register.
    void comando(char letra, int tag = 0);
    // A close is coming: the poll in progress (or the next) goes on while the
    // indicator answers, and ends at its first exchange left unanswered.
    void anunciaCierre();
    // Stops the worker; pending jobs are dropped and no more signals come.
    void cerrar();

    bool activo() const { return m_bus != nullptr; }
    bool lecturaPendiente() const { return m_lecturaPendiente; }
    // While polling: the period the bus really starts this indicator's polls
    // at (LinkWorker::cadencia), never below the one asked for; longer only
    // when the bus cannot carry it. 0 before the second poll.
    int periodoEfectivo() const { return m_periodoEfectivo; }
    // How long this indicator's poll has been using the bus (0 while none is,
    // or while it waits for its turn behind another indicator's).
    qint64 msLeyendo() const;
    // The indicators on this Enlace's bus (0 when closed).
    int indicadoresEnBus() const;

    // The bus a setting names: "serie:DEVICE" or "tcp:HOST:PORT".
    static QString claveBus(const ConfigEnlace& config);

Q_SIGNALS:
    // On failure mensaje is "No se pudo abrir el puerto." and detalle the cause.
    void abierto(bool ok, const QString& mensaje, const QString& detalle);
    void lecturaLista(const LecturaPeso& lectura, int intentos);
    void escrituraLista(int tag, bool ok);
    // periodoEfectivo() moved by a tenth or more.
    void periodoEfectivoCambiado(int ms);

private:
    std::shared_ptr<BusEnlace> m_bus;
    int m_puesto = 0;
    std::shared_ptr<Parada> m_parada;
    bool m_lecturaPendiente = false;
    int m_periodo = 0;
    int m_periodoEfectivo = 0;
};
