#pragma once

#include "Trama.h"

#include <QByteArray>
#include <QString>
#include <functional>

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
    // After an exchange that failed (other than by the indicator's refusal)
    // a reply to it may still come. Makes sure none is taken for a later
    // request: TCP opens a new connection (the late bytes die with the old
    // one); a serial line is left until it has been quiet. False when a stop
    // was requested or cede() asked it to give way; then it is to be done
    // again before the next read.
    virtual bool recobra() { return !detenido(); }
    // Whether recobra() must come before a write too. A serial line's quiet
    // wait need not: a write goes out at once and only its exact echo is
    // taken, which no late reply can be.
    virtual bool recobraAntesDeEscribir() const { return false; }
    // TCP: brings a lost connection back before a whole-state read.
    virtual void reconectar() {}
    // Why the link has no connection, empty while it has one (or needs none).
    virtual QString sinConexion() const { return {}; }
    // The same as a kind of failure (Trama::Fallo::ConexionRechazada,
    // ConexionCerrada or SinConexion); Ninguno while connected.
    virtual Trama::Fallo conexion() const { return Trama::Fallo::Ninguno; }

    void setEspera(int ms) { m_esperaMs = ms; }
    int espera() const { return m_esperaMs; }
    void setSilencio(int ms) { m_silencioMs = ms; }
    int silencio() const { return m_silencioMs; }
    void setParada(Parada* parada) { m_parada = parada; }
    // While this says true, a quiet wait gives way (commands are waiting).
    void setCede(std::function<bool()> cede) { m_cede = std::move(cede); }

    bool detenido() const;

    // True after a failed exchange until recobra() has succeeded: a reply to
    // it may still come. A property of the line, shared by every indicator
    // on it, so that a late reply from one id is never taken for another's.
    bool desfasado() const { return m_desfasado; }
    void setDesfasado(bool d) { m_desfasado = d; }

protected:
    bool cede() const { return m_cede && m_cede(); }
    // Interruptible sleep; false when a stop was requested.
    bool dormir(int ms);

    int m_esperaMs = kEsperaMs;
    int m_silencioMs = kSilencioMs;
    Parada* m_parada = nullptr;
    std::function<bool()> m_cede;
    bool m_desfasado = false;
};
