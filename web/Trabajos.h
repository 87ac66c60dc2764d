#pragma once

#include <QList>
#include <QObject>
#include <QQueue>
#include <functional>

class QThread;

// Work the monitor keeps off the window's thread (and so off the station's
// readings): a fixed number of threads of lowered priority, each taking one
// job at a time, and a bounded queue. A job's answer runs back on the
// thread that owns this object.
class Trabajos : public QObject
{
public:
    // hilos threads; at most cola jobs wait beyond those running. alTerminar
    // runs on each thread before it ends (what a job left there goes with it).
    Trabajos(int hilos, int cola, std::function<void()> alTerminar = {}, QObject* parent = nullptr);
    // Waits for the running jobs; queued ones never run and their answers never come.
    ~Trabajos() override;

    // Queues trabajo; listo runs here when it is done. False, with nothing
    // queued, when every thread is busy and the queue is full.
    bool lanza(std::function<void()> trabajo, std::function<void()> listo);
    int ocupados() const;

private:
    struct Trabajo
    {
        std::function<void()> trabajo;
        std::function<void()> listo;
    };
    void reparte();

    struct Hilo
    {
        QThread* hilo = nullptr;
        QObject* contexto = nullptr; // lives in hilo
        bool ocupado = false;
    };
    QList<Hilo> m_hilos;
    QQueue<Trabajo> m_cola;
    int m_maxCola;
    std::function<void()> m_alTerminar;
};
