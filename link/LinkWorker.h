#pragma once

#include "ConfigEnlace.h"
#include "LecturaPeso.h"

#include <QByteArray>
#include <QObject>
#include <QElapsedTimer>
#include <QTimer>
#include <deque>
#include <memory>
#include <mutex>

class Indicador;
class Parada;
class Transporte;

// Writes waiting for the worker of a bus, each for one indicator on it.
// Filled from the windows' thread and taken by the worker between two
// exchanges, so a command never waits for a poll to end.
class ColaEscrituras
{
public:
    struct Escritura
    {
        quint16 direccion = 0;
        QByteArray cadena;
        int tag = 0;
        int puesto = 0; // the indicator's place on the bus
    };
    void pon(Escritura e)
    {
        std::lock_guard lock(m_mutex);
        m_cola.push_back(std::move(e));
    }
    bool vacia()
    {
        std::lock_guard lock(m_mutex);
        return m_cola.empty();
    }
    bool toma(Escritura& e)
    {
        std::lock_guard lock(m_mutex);
        if (m_cola.empty())
            return false;
        e = std::move(m_cola.front());
        m_cola.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::deque<Escritura> m_cola;
};

// The one master of a bus (a serial port, or a TCP host and port): owns the
// transport and runs the register algorithms as blocking code on its own
// thread, for every indicator (puesto) on the bus. Each slot is one job; the
// thread's queue keeps them in order, so there is one exchange at a time on
// the bus by construction. The polls of the lines whose timers fired take
// turns, in the order of the lines on the bus.
//
// On a bus of several indicators a failing one must not hold up the others:
// a poll is one whole-state read that ends at its first unanswered exchange,
// and after a poll that failed the indicator is "absent": its polls report no
// reading without using the bus, except probes. The first probe comes at its
// next turn, and a polled line's first failure is reported only if that
// probe fails too (one lost frame is no failure); after each failed one the next waits longer (ten failure cycles,
// doubling), never more than kPruebaMaxMs. A probe waits for a reply as long
// as the indicator's own whole-state reads have taken (twice its typical read,
// at least kEsperaPruebaMinMs, at most the reply wait; the whole reply wait
// while it has never answered), and the line recovers from it within that
// wait too, so one silent indicator costs its neighbours a fraction of the
// bus instead of two reply waits. Probes never take more than a third of the
// bus: after one, the next waits twice as long as it took.
class LinkWorker : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPruebaMaxMs = 15000;
    static constexpr int kEsperaPruebaMinMs = 300;
    static constexpr int kVentanaCadencia = 16; // polls the cadence is measured over

    LinkWorker(std::shared_ptr<Parada> parada, std::shared_ptr<ColaEscrituras> escrituras);
    ~LinkWorker() override;

    // The jobs, run on the worker's thread.
    //
    // Adds an indicator to the bus (opening the transport the first time, or
    // again while it could not be opened); the result comes as abierto().
    // paradaPuesto: its own stop and close announcement.
    void agrega(int puesto, const ConfigEnlace& config, std::shared_ptr<Parada> paradaPuesto);
    void quita(int puesto);
    // Up to maxIntentos whole-state reads, until one succeeds; once a close
    // is announced, none after a failed one. One on a shared bus.
    void leer(int puesto, int maxIntentos);
    // Runs every write queued so far on the bus, in order.
    void atiendeEscrituras();
    // A poll of maxIntentos every periodoMs on this thread's own timer
    // ("Timer1", one per indicator); 0 stops it. A tick that comes while a
    // poll still runs is dropped.
    void sondea(int puesto, int periodoMs, int maxIntentos);

Q_SIGNALS:
    // mensaje is the text of the failure; detalle says why, for the installer.
    void abierto(int puesto, bool ok, const QString& mensaje, const QString& detalle);
    void lecturaLista(int puesto, const LecturaPeso& lectura, int intentos);
    void escrituraLista(int puesto, int tag, bool ok);
    // The period this line's polls really start at on the bus (the mean over
    // its last kVentanaCadencia polls, never below the one asked for), each
    // time it moves by a tenth or more.
    void cadencia(int puesto, int ms);

private:
    struct Puesto
    {
        int numero = 0;
        std::unique_ptr<Indicador> indicador;
        std::shared_ptr<Parada> parada;
        LecturaPeso ultima;
        bool interrumpida = false; // writes to it went out in the middle of a read
        bool ultimaLeida = false;  // the poll a close waited for has been delivered
        bool ausente = false;      // its last poll on a shared bus failed
        qint64 proximaPrueba = 0;  // ms on m_reloj from which it may be probed
        int pruebasFallidas = 0;   // since it went absent
        qint64 lecturaTipicaMs = -1; // how long its whole-state reads take (-1: never read)
        QTimer* timer1 = nullptr;
        int intentosSondeo = 6;
        int periodoMs = 0;
        std::deque<qint64> inicios; // ms on m_reloj of its last polls' start
        int cadenciaMs = 0;
        bool debida = false; // shared bus: its timer fired, its turn not come yet
    };
    // Shared bus: reads the next due line after the last one read.
    void ronda();
    Puesto* puesto(int numero);
    bool detenido(const Puesto& p) const;
    // Whether an absent indicator may be probed now.
    bool pruebaDebida(const Puesto& p) const;
    // How long a probe of p waits for its reply (and the line then recovers).
    int esperaPrueba(const Puesto& p) const;
    // After a failed probe: the time until the next one.
    qint64 intervaloPrueba(const Puesto& p) const;
    // A poll of p driven by its timer starts now.
    void anotaInicio(Puesto& p);

    std::shared_ptr<Parada> m_parada;
    std::shared_ptr<ColaEscrituras> m_escrituras;
    std::unique_ptr<Transporte> m_transporte;
    bool m_abierto = false;
    ConfigEnlace m_config;
    std::deque<std::unique_ptr<Puesto>> m_puestos;
    QElapsedTimer m_reloj;
    qint64 m_finPrueba = -1;   // ms on m_reloj when the last probe ended
    qint64 m_costePrueba = 0;  // and how long it took
    bool m_rondaPendiente = false;
    bool m_enRonda = false; // the poll running is one of the timers' (its line polls on)
    size_t m_turno = 0; // where the next round starts looking
};
