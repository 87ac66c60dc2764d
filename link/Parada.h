#pragma once

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// A stop request shared between the thread that closes the link and the
// worker that may be waiting on it. Waits end at once when it is raised.
// Before it, a close may be announced: the poll in progress goes on while the
// indicator answers and ends at its first unanswered exchange.
class Parada
{
public:
    void pedir()
    {
        {
            std::lock_guard lock(m_mutex);
            m_pedida = true;
        }
        m_cond.notify_all();
    }
    void reiniciar()
    {
        std::lock_guard lock(m_mutex);
        m_pedida = false;
    }
    bool pedida() const { return m_pedida.load(); }
    void anunciaCierre() { m_cierre = true; }
    bool cierreAnunciado() const { return m_cierre.load(); }
    // The worker marks the exchanges of this indicator's poll: how long the
    // poll has been using the bus, 0 while it is not (waiting for its turn).
    void empiezaLectura() { m_lectura = desde(); }
    void terminaLectura() { m_lectura = -1; }
    qint64 msLeyendo() const
    {
        const qint64 inicio = m_lectura.load();
        return inicio < 0 ? 0 : desde() - inicio;
    }
    // Sleeps ms milliseconds; false when the stop request ended it.
    bool dormir(int ms)
    {
        std::unique_lock lock(m_mutex);
        return !m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_pedida.load(); });
    }

private:
    static qint64 desde()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::atomic<bool> m_pedida{false};
    std::atomic<bool> m_cierre{false};
    std::atomic<qint64> m_lectura{-1};
};
