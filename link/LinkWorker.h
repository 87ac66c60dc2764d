#pragma once

#include "ConfigEnlace.h"
#include "LecturaPeso.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <deque>
#include <memory>
#include <mutex>

class Indicador;
class Parada;
class Transporte;

// Writes waiting for the worker. Filled from the window's thread and taken
// by the worker between two exchanges, so a command never waits for a poll
// to end.
class ColaEscrituras
{
public:
    struct Escritura
    {
        quint16 direccion = 0;
        QByteArray cadena;
        int tag = 0;
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

// Owns the transport and runs the register algorithms as blocking code on
// its own thread. Each slot is one job; the thread's queue keeps them in
// order, so there is one exchange at a time by construction.
class LinkWorker : public QObject
{
    Q_OBJECT
public:
    LinkWorker(std::shared_ptr<Parada> parada, std::shared_ptr<ColaEscrituras> escrituras);
    ~LinkWorker() override;

public Q_SLOTS:
    void abrir(const ConfigEnlace& config);
    // Up to maxIntentos whole-state reads, until one succeeds; once a close
    // is announced, none after a failed one.
    void leer(int maxIntentos);
    // Runs every write queued so far, in order.
    void atiendeEscrituras();
    // A poll of maxIntentos every periodoMs on this thread's own timer
    // ("Timer1"); 0 stops it. A tick that comes while a poll still runs is
    // dropped.
    void sondea(int periodoMs, int maxIntentos);

Q_SIGNALS:
    // mensaje is the text of the failure; detalle says why, for the installer.
    void abierto(bool ok, const QString& mensaje, const QString& detalle);
    void lecturaLista(const LecturaPeso& lectura, int intentos);
    void escrituraLista(int tag, bool ok);

private:
    std::shared_ptr<Parada> m_parada;
    std::shared_ptr<ColaEscrituras> m_escrituras;
    bool m_interrumpida = false; // writes went out in the middle of a read
    bool m_ultimaLeida = false;  // the poll a close waited for has been delivered
    std::unique_ptr<Transporte> m_transporte;
    std::unique_ptr<Indicador> m_indicador;
    LecturaPeso m_ultima;
    QTimer* m_timer1 = nullptr;
    int m_intentosSondeo = 6;
};
