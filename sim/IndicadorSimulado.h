#pragma once

#include <QHash>

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <array>
#include <random>

// A weighing and dosing indicator: the register map and the batch process
// behind it, on a clock that can run faster than real time. Thread-safe.
//
// States: 0 stand-by, 1 loading (coarse then fine feed), 2 weighing,
// 3 discharge, 4 tare. "V" starts (after checking the program) and stops at
// the end of the cycle, "X" stops at once, "Z" takes zero, "W" shows the test
// weight, "C" clears the error.
class IndicadorSimulado
{
public:
    struct Parametros
    {
        int decimales = 0;
        double velocidad = 1.0;
        quint32 semilla = 1;
        double capacidad = 50000;  // display units
        double bandaCero = 20;     // display units
        double gruesoPorSeg = 200; // coarse feed, display units per second
        double finoPorSeg = 20;    // fine feed
        double descargaPorSeg = 400;
        double dispersion = 0.002; // spread of a batch, share of the fine cut
    };

    explicit IndicadorSimulado(const Parametros& p);
    IndicadorSimulado() : IndicadorSimulado(Parametros{}) {}

    // Function 03 and 06 on the map (the clock is brought up to date first).
    QByteArray leeRegistros(quint16 direccion, int cantidad);
    void escribeRegistro(quint16 direccion, quint16 valor);

    // Direct access for tests; does not run commands.
    quint16 registro(quint16 direccion);
    void setRegistro(quint16 direccion, quint16 valor);
    // The next read that covers `direccion` answers `valor` there, as an
    // indicator does when a value changes between two requests of one read.
    void devuelveUnaVez(quint16 direccion, quint16 valor);
    quint32 valor32(quint16 direccion);
    void setValor32(quint16 direccion, quint32 valor);
    // Program in display units: preset, coarse and fine cut; TotalF = preset + accumulator.
    void programa(double despacho, double grueso, double fino);

    void comando(char letra);
    // Advances the process by segundos of its own time.
    void avanza(double segundos);
    // Advances by the real time elapsed since the last call, times the speed.
    void sincroniza();
    // Stops the clock: only avanza() moves the process.
    void setReloj(bool enMarcha);

    int estado();
    bool enMarcha();
    // Batches completed since start, whatever the registers say.
    qint64 lotes();
    double peso();

private:
    void paso(double dt);
    void publica();
    void cierraLote();
    int validaPrograma();
    qint64 crudo(double v) const { return qint64(std::llround(v * m_escala)); }
    double visible(quint32 raw) const { return double(raw) / m_escala; }
    quint32 r32(quint16 d) const { return quint32(m_regs[d]) | quint32(m_regs[d + 1]) << 16; }
    void w32(quint16 d, quint32 v)
    {
        m_regs[d] = quint16(v & 0xFFFF);
        m_regs[d + 1] = quint16(v >> 16);
    }

    QMutex m_mutex;
    Parametros m_p;
    double m_escala;
    std::array<quint16, 65536> m_regs{};
    QHash<quint16, quint16> m_unaVez;
    std::mt19937 m_rng;
    QElapsedTimer m_reloj;
    bool m_relojEnMarcha = true;
    double m_pendiente = 0;

    int m_estado = 0;
    bool m_enMarcha = false;
    bool m_pararAlFinal = false;
    double m_bruto = 0;   // display units in the hopper
    double m_cero = 0;    // zero offset
    double m_objetivo = 0; // final weight of the batch being loaded
    double m_tiempoEstado = 0;
    double m_tiempoCiclo = 0;
    double m_test = 0; // seconds of test weight left
    qint64 m_lotes = 0;
};
