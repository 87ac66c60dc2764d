#include "Trabajos.h"

#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Linux gives each thread a priority of its own: these threads yield to the
// station's and the window's.
void bajaPrioridad()
{
#ifdef Q_OS_LINUX
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
#endif
}

} // namespace

Trabajos::Trabajos(int hilos, int cola, std::function<void()> alTerminar, QObject* parent)
    : QObject(parent), m_maxCola(cola), m_alTerminar(std::move(alTerminar))
{
    for (int i = 0; i < hilos; ++i) {
        Hilo h;
        h.hilo = new QThread(this);
        h.contexto = new QObject;
        h.contexto->moveToThread(h.hilo);
        connect(h.hilo, &QThread::started, h.hilo, &bajaPrioridad, Qt::DirectConnection);
        h.hilo->start();
        m_hilos.append(h);
    }
}

Trabajos::~Trabajos()
{
    m_cola.clear();
    for (Hilo& h : m_hilos) {
        // After the job in progress, if any: a thread takes its calls in order.
        QMetaObject::invokeMethod(
            h.contexto,
            [fin = m_alTerminar] {
                if (fin)
                    fin();
            },
            Qt::BlockingQueuedConnection);
        h.hilo->quit();
        h.hilo->wait();
        delete h.contexto;
    }
}

bool Trabajos::lanza(std::function<void()> trabajo, std::function<void()> listo)
{
    const bool libre =
        std::any_of(m_hilos.cbegin(), m_hilos.cend(), [](const Hilo& h) { return !h.ocupado; });
    if (!libre && m_cola.size() >= m_maxCola)
        return false;
    m_cola.enqueue({std::move(trabajo), std::move(listo)});
    reparte();
    return true;
}

int Trabajos::ocupados() const
{
    return int(
        std::count_if(m_hilos.cbegin(), m_hilos.cend(), [](const Hilo& h) { return h.ocupado; }) +
        m_cola.size());
}

void Trabajos::reparte()
{
    for (qsizetype i = 0; i < m_hilos.size() && !m_cola.isEmpty(); ++i) {
        if (m_hilos[i].ocupado)
            continue;
        m_hilos[i].ocupado = true;
        QMetaObject::invokeMethod(
            m_hilos[i].contexto,
            [this, i, t = m_cola.dequeue()] {
                t.trabajo();
                QMetaObject::invokeMethod(
                    this,
                    [this, i, listo = t.listo] {
                        m_hilos[i].ocupado = false;
                        listo();
                        reparte();
                    },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    }
}
