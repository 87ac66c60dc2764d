#pragma once

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
    // Sleeps ms milliseconds; false when the stop request ended it.
    bool dormir(int ms)
    {
        std::unique_lock lock(m_mutex);
        return !m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_pedida.load(); });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::atomic<bool> m_pedida{false};
    std::atomic<bool> m_cierre{false};
};
