#include "Reloj.h"

#include <QElapsedTimer>
#include <atomic>

namespace {
std::atomic<qint64> g_adelanto{0};
}

qint64 Reloj::ms()
{
    static const QElapsedTimer reloj = [] {
        QElapsedTimer r;
        r.start();
        return r;
    }();
    return reloj.elapsed() + g_adelanto.load(std::memory_order_relaxed);
}

void Reloj::adelanta(qint64 ms)
{
    g_adelanto.fetch_add(ms, std::memory_order_relaxed);
}
