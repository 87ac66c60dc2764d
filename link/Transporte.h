#pragma once

#include <QByteArray>
#include <QString>

class Parada;

// One exchange at a time over a serial line or a socket: clear the input,
// send a frame, collect the reply of the expected length or whatever came
// within the reply wait. Used from one thread only.
class Transporte
{
public:
    static constexpr int kEsperaMs = 2000;
    static constexpr int kSilencioMs = 250;

    virtual ~Transporte() = default;

    // Message of the failure when it cannot be opened.
    virtual bool abrir(QString* error) = 0;
    virtual void cerrar() = 0;
    virtual bool estaAbierto() const = 0;
    // Returns what arrived: exactly largo bytes when all is well; fewer on a
    // time-out or an exception reply; more when surplus bytes came with it.
    virtual QByteArray intercambio(const QByteArray& pedido, int largo) = 0;
    // Lets the line fall silent: discards input until none has arrived for
    // the quiet period, so a late reply is never taken for the next answer.
    virtual void aquietar() {}
    // TCP: brings a lost connection back before a whole-state read.
    virtual void reconectar() {}

    void setEspera(int ms) { m_esperaMs = ms; }
    int espera() const { return m_esperaMs; }
    void setSilencio(int ms) { m_silencioMs = ms; }
    int silencio() const { return m_silencioMs; }
    void setParada(Parada* parada) { m_parada = parada; }

protected:
    bool detenido() const;
    // Interruptible sleep; false when a stop was requested.
    bool dormir(int ms);

    int m_esperaMs = kEsperaMs;
    int m_silencioMs = kSilencioMs;
    Parada* m_parada = nullptr;
};
