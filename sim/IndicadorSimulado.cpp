#include "IndicadorSimulado.h"

#include "Indicador.h"

#include <QMutexLocker>
#include <algorithm>
#include <cmath>

namespace {
constexpr double kPaso = 0.01;        // seconds of process time per step
constexpr double kPesaje = 1.0;        // settling before the batch is taken
constexpr double kDestare = 0.5;
constexpr double kTest = 3.0;
constexpr int kSalidaHold = 0, kSalidaStandBy = 1, kSalidaGrueso = 2, kSalidaFino = 3,
              kSalidaDescarga = 4, kSalidaAlarma = 5, kSalidaTest = 6, kSalidaRun = 7;
} // namespace

IndicadorSimulado::IndicadorSimulado(const Parametros& p)
    : m_p(p), m_escala(std::pow(10.0, p.decimales)), m_rng(p.semilla)
{
    w32(Indicador::kCGrueso, quint32(crudo(900)));
    w32(Indicador::kCFino, quint32(crudo(1000)));
    m_reloj.start();
    publica();
}

void IndicadorSimulado::sincroniza()
{
    QMutexLocker lock(&m_mutex);
    const double real = double(m_reloj.nsecsElapsed()) / 1e9;
    m_reloj.restart();
    if (!m_relojEnMarcha)
        return;
    m_pendiente += real * m_p.velocidad;
    while (m_pendiente >= kPaso) {
        paso(kPaso);
        m_pendiente -= kPaso;
    }
    publica();
}

void IndicadorSimulado::avanza(double segundos)
{
    QMutexLocker lock(&m_mutex);
    for (double t = 0; t + kPaso / 2 < segundos; t += kPaso)
        paso(kPaso);
    publica();
}

void IndicadorSimulado::setReloj(bool enMarcha)
{
    QMutexLocker lock(&m_mutex);
    m_relojEnMarcha = enMarcha;
    m_pendiente = 0;
    m_reloj.restart();
}

QByteArray IndicadorSimulado::leeRegistros(quint16 direccion, int cantidad)
{
    sincroniza();
    QMutexLocker lock(&m_mutex);
    QByteArray out;
    for (int i = 0; i < cantidad; ++i) {
        const quint16 d = quint16(direccion + i);
        const quint16 v = m_unaVez.contains(d) ? m_unaVez.take(d) : m_regs[d];
        out += char(v >> 8);
        out += char(v & 0xFF);
    }
    return out;
}

void IndicadorSimulado::escribeRegistro(quint16 direccion, quint16 valor)
{
    sincroniza();
    if (direccion == Indicador::kComando) {
        comando(char(valor & 0xFF));
        return;
    }
    QMutexLocker lock(&m_mutex);
    m_regs[direccion] = valor;
    publica();
}

quint16 IndicadorSimulado::registro(quint16 direccion)
{
    QMutexLocker lock(&m_mutex);
    return m_regs[direccion];
}

void IndicadorSimulado::devuelveUnaVez(quint16 direccion, quint16 valor)
{
    QMutexLocker lock(&m_mutex);
    m_unaVez.insert(direccion, valor);
}

void IndicadorSimulado::setRegistro(quint16 direccion, quint16 valor)
{
    QMutexLocker lock(&m_mutex);
    m_regs[direccion] = valor;
}

quint32 IndicadorSimulado::valor32(quint16 direccion)
{
    QMutexLocker lock(&m_mutex);
    return r32(direccion);
}

void IndicadorSimulado::setValor32(quint16 direccion, quint32 valor)
{
    QMutexLocker lock(&m_mutex);
    w32(direccion, valor);
}

void IndicadorSimulado::programa(double despacho, double grueso, double fino)
{
    QMutexLocker lock(&m_mutex);
    w32(Indicador::kDespacho, quint32(crudo(despacho)));
    w32(Indicador::kCGrueso, quint32(crudo(grueso)));
    w32(Indicador::kCFino, quint32(crudo(fino)));
    w32(Indicador::kTotalF, quint32(crudo(despacho)) + r32(Indicador::kUlTotal));
    publica();
}

int IndicadorSimulado::estado()
{
    sincroniza();
    QMutexLocker lock(&m_mutex);
    return m_estado;
}

bool IndicadorSimulado::enMarcha()
{
    sincroniza();
    QMutexLocker lock(&m_mutex);
    return m_enMarcha;
}

qint64 IndicadorSimulado::lotes()
{
    sincroniza();
    QMutexLocker lock(&m_mutex);
    return m_lotes;
}

double IndicadorSimulado::peso()
{
    sincroniza();
    QMutexLocker lock(&m_mutex);
    return m_bruto - m_cero;
}

int IndicadorSimulado::validaPrograma()
{
    const double grueso = visible(r32(Indicador::kCGrueso));
    const double fino = visible(r32(Indicador::kCFino));
    if (fino > m_p.capacidad)
        return 1;
    if (grueso > m_p.capacidad)
        return 2;
    if (grueso > fino)
        return 3;
    if (fino < m_p.bandaCero)
        return 4;
    if (r32(Indicador::kDespacho) > 0 && r32(Indicador::kUlTotal) >= r32(Indicador::kTotalF))
        return 5;
    return 0;
}

void IndicadorSimulado::comando(char letra)
{
    QMutexLocker lock(&m_mutex);
    switch (letra) {
    case 'V':
        if (m_enMarcha) {
            m_pararAlFinal = true;
        } else if (const int error = validaPrograma()) {
            m_regs[Indicador::kCError] = quint16(error);
        } else {
            m_regs[Indicador::kCError] = 0;
            m_enMarcha = true;
            m_pararAlFinal = false;
            m_test = 0;
            m_estado = 1;
            m_tiempoEstado = 0;
            m_tiempoCiclo = 0;
            m_objetivo = 0;
        }
        break;
    case 'X':
        m_enMarcha = false;
        m_pararAlFinal = false;
        m_estado = 0;
        break;
    case 'Z':
        if (!m_enMarcha)
            m_cero = m_bruto;
        break;
    case 'W':
        if (!m_enMarcha)
            m_test = kTest;
        break;
    case 'C':
        m_regs[Indicador::kCError] = 0;
        break;
    default:
        break;
    }
    publica();
}

void IndicadorSimulado::paso(double dt)
{
    m_tiempoEstado += dt;
    m_tiempoCiclo += dt;
    if (m_test > 0)
        m_test = std::max(0.0, m_test - dt);
    const double fino = visible(r32(Indicador::kCFino));
    const double grueso = visible(r32(Indicador::kCGrueso));
    switch (m_estado) {
    case 1:
        if (m_objetivo <= 0) {
            std::normal_distribution<double> ruido(0.0, m_p.dispersion * fino);
            const double unidad = 1.0 / m_escala;
            m_objetivo = std::max(unidad, fino + std::clamp(ruido(m_rng), -3 * m_p.dispersion * fino,
                                                            3 * m_p.dispersion * fino));
            m_objetivo = std::round(m_objetivo * m_escala) / m_escala;
            // The last batch of a dispatch is cut to what remains of it.
            const quint32 total = r32(Indicador::kUlTotal);
            const quint32 totalF = r32(Indicador::kTotalF);
            if (r32(Indicador::kDespacho) > 0 && totalF > total)
                m_objetivo = std::min(m_objetivo, visible(totalF - total));
        }
        m_bruto += (m_bruto - m_cero < grueso ? m_p.gruesoPorSeg : m_p.finoPorSeg) * dt;
        if (m_bruto - m_cero >= m_objetivo) {
            m_bruto = m_cero + m_objetivo;
            m_estado = 2;
            m_tiempoEstado = 0;
        }
        break;
    case 2:
        if (m_tiempoEstado >= kPesaje) {
            cierraLote();
            m_estado = 3;
            m_tiempoEstado = 0;
        }
        break;
    case 3:
        m_bruto = std::max(m_cero, m_bruto - m_p.descargaPorSeg * dt);
        if (m_bruto <= m_cero) {
            m_estado = 4;
            m_tiempoEstado = 0;
        }
        break;
    case 4:
        if (m_tiempoEstado >= kDestare) {
            m_objetivo = 0;
            const bool despachado = r32(Indicador::kDespacho) > 0 &&
                                    r32(Indicador::kUlTotal) >= r32(Indicador::kTotalF);
            if (despachado || m_pararAlFinal) {
                m_enMarcha = false;
                m_pararAlFinal = false;
                m_estado = 0;
            } else {
                m_estado = 1;
            }
            m_tiempoEstado = 0;
        }
        break;
    default:
        break;
    }
}

void IndicadorSimulado::cierraLote()
{
    const auto lote = quint32(crudo(m_bruto - m_cero));
    w32(Indicador::kUlBatch, lote);
    w32(Indicador::kUlTotal, r32(Indicador::kUlTotal) + lote);
    w32(Indicador::kTotal, r32(Indicador::kTotal) + lote);
    w32(Indicador::kCCiclos, r32(Indicador::kCCiclos) + 1);
    if (m_tiempoCiclo > 0) // tn/h from kg per second of the last cycle
        w32(Indicador::kCaudal, quint32(crudo(visible(lote) / m_tiempoCiclo * 3.6)));
    m_tiempoCiclo = 0;
    ++m_lotes;
}

void IndicadorSimulado::publica()
{
    const double mostrado = m_test > 0 ? m_p.capacidad / 10 : m_bruto - m_cero;
    w32(Indicador::kPeso, quint32(qint32(crudo(mostrado))));
    const quint32 despacho = r32(Indicador::kDespacho);
    const quint32 totalF = r32(Indicador::kTotalF);
    const quint32 total = r32(Indicador::kUlTotal);
    w32(Indicador::kResto, despacho > 0 && totalF > total ? totalF - total : 0);
    m_regs[Indicador::kModo] = quint16(m_estado);
    m_regs[Indicador::kSPFin] = quint16(m_estado == 1 && m_bruto - m_cero >= visible(r32(Indicador::kCGrueso)) ? 1 : 0);
    int salidas = 0;
    auto bit = [](int k) { return 1 << k; };
    if (m_estado == 0)
        salidas |= bit(kSalidaStandBy);
    if (m_estado == 1)
        salidas |= bit(m_bruto - m_cero < visible(r32(Indicador::kCGrueso)) ? kSalidaGrueso : kSalidaFino);
    if (m_estado == 2)
        salidas |= bit(kSalidaHold);
    if (m_estado == 3)
        salidas |= bit(kSalidaDescarga);
    if ((m_regs[Indicador::kCError] & 0xFF) != 0)
        salidas |= bit(kSalidaAlarma);
    if (m_test > 0)
        salidas |= bit(kSalidaTest);
    if (m_enMarcha)
        salidas |= bit(kSalidaRun);
    m_regs[Indicador::kSalidas] = quint16(salidas);
    int entradas = 1 << 7; // auxiliary voltage present
    if (m_estado == 3)
        entradas |= 1 << 0;
    if (m_estado == 1)
        entradas |= 1 << 2;
    if (m_enMarcha)
        entradas |= 1 << 5;
    m_regs[Indicador::kEntradas] = quint16(entradas);
}
