#include "Reloj.h"

#include <QElapsedTimer>
#include <atomic>

namespace {
std::atomic<qint64> g_adelanto{0};
std::atomic<qint64> g_detenidoEn{-1}; // the real reading it stands at, or -1

qint64 real()
{
    static const QElapsedTimer reloj = [] {
        QElapsedTimer r;
        r.start();
        return r;
    }();
    return reloj.elapsed();
}
} // namespace

qint64 Reloj::ms()
{
    const qint64 detenido = g_detenidoEn.load(std::memory_order_relaxed);
    return (detenido >= 0 ? detenido : real()) + g_adelanto.load(std::memory_order_relaxed);
}

void Reloj::adelanta(qint64 ms)
{
    g_adelanto.fetch_add(ms, std::memory_order_relaxed);
}

void Reloj::detiene(bool detenido)
{
    const qint64 ahora = real();
    if (detenido) {
        qint64 libre = -1;
        g_detenidoEn.compare_exchange_strong(libre, ahora);
        return;
    }
    const qint64 desde = g_detenidoEn.exchange(-1);
    if (desde >= 0)
        g_adelanto.fetch_sub(ahora - desde); // the time it stood does not count
}
