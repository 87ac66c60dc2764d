#include "Indicador.h"

#include "Transporte.h"

#include <cmath>

Indicador::Indicador(Transporte& transporte, quint8 id, int decimales)
    : m_transporte(transporte), m_id(id), m_decimales(decimales),
      m_divisor(std::pow(10.0, double(decimales)))
{
}

Trama::Resultado Indicador::intercambia(
    const QByteArray& pedido, int largo,
    const std::function<Trama::Resultado(const QByteArray&)>& verifica)
{
    ++m_intercambios;
    const QByteArray respuesta = m_transporte.intercambio(pedido, largo);
    const Trama::Resultado r = verifica(respuesta);
    m_ultimaFalla = r.falla();
    // Nothing came because there was no connection: that is the cause.
    if (r.fallo == Trama::Fallo::SinRespuesta)
        if (const Trama::Fallo c = m_transporte.conexion(); c != Trama::Fallo::Ninguno)
            m_ultimaFalla = {c, 0};
    if (r.ok() && pedido.at(0) == 0 && !m_idAprendido)
        m_idAprendido = quint8(respuesta.at(0));
    if (!r.ok()) {
        ++m_fallidos;
        // A refusal answers the request; any other failure may still be
        // answered later, so the transport must recover before a read.
        if (r.fallo != Trama::Fallo::Excepcion)
            m_transporte.setDesfasado(true);
    }
    return r;
}

bool Indicador::desfasado() const
{
    return m_transporte.desfasado();
}

// Queued commands go out during the recovery: a serial line's quiet wait
// gives way to them and starts again after.
bool Indicador::recobra()
{
    while (m_transporte.desfasado()) {
        if (m_transporte.recobra()) {
            m_transporte.setDesfasado(false);
        } else if (m_transporte.detenido()) {
            return false;
        } else if (m_antesDeLeer) {
            m_antesDeLeer();
        } else {
            return false;
        }
    }
    return true;
}

QByteArray Indicador::RxD(quint8 id, quint16 direccion, quint8 cantidad)
{
    if (!recobra())
        return {};
    const auto esperado = idEsperado(id);
    return intercambia(
               Trama::pedidoLectura(id, direccion, cantidad), Trama::largoLectura(cantidad),
               [&](const QByteArray& b) { return Trama::verificaLectura(b, esperado, cantidad); })
        .datos;
}

// Out of step on a line whose recovery may wait (a serial line's quiet wait),
// a write goes out at once (a stop must not wait) and only the exact echo of
// the request is taken: no late reply can be that.
QByteArray Indicador::TxD(quint8 id, quint16 direccion, const QByteArray& valor)
{
    if (m_transporte.desfasado() && m_transporte.recobraAntesDeEscribir()) {
        if (!m_transporte.recobra())
            return {};
        m_transporte.setDesfasado(false);
    }
    const QByteArray pedido = Trama::pedidoEscritura(id, direccion, valor);
    const auto esperado = idEsperado(id);
    const bool exacto = m_transporte.desfasado();
    return intercambia(pedido, Trama::kLargoEscritura,
                       [&](const QByteArray& b) {
                           Trama::Resultado r = Trama::verificaEscritura(b, pedido, esperado);
                           if (r.ok() && exacto && b.sliced(1, 5) != pedido.sliced(1, 5))
                               r = {{}, Trama::Fallo::Cuenta};
                           return r;
                       })
        .datos;
}

QByteArray Indicador::Leer(quint16 direccion, int longitud)
{
    if (longitud <= 0)
        return {};
    const int n = (longitud - 1) / kBloque + 1;
    QByteArray resultado;
    for (int i = 0; i < n; ++i) {
        const auto dir = static_cast<quint16>(direccion + kBloque * i);
        const auto cantidad = static_cast<quint8>(i < n - 1 ? kBloque : longitud - kBloque * (n - 1));
        QByteArray bloque;
        for (int t = 0; t < kIntentos && bloque.isEmpty(); ++t) {
            if (m_antesDeLeer)
                m_antesDeLeer();
            bloque = RxD(m_id, dir, cantidad);
            if (bloque.isEmpty() && m_ultimaFalla.sinRespuesta() && m_corta && m_corta())
                break;
        }
        if (bloque.isEmpty())
            return {};
        resultado += bloque;
    }
    return resultado;
}

QByteArray Indicador::Escribir(quint16 direccion, QByteArray dato)
{
    if (dato.size() % 2)
        dato.append('\0');
    QByteArray resultado;
    for (int i = 0; i < dato.size() / 2; ++i) {
        const auto dir = static_cast<quint16>(direccion + i);
        const QByteArray valor = dato.mid(2 * i, 2);
        QByteArray eco;
        for (int t = 0; t < kIntentos && eco.isEmpty(); ++t)
            eco = TxD(m_id, dir, valor);
        if (eco.isEmpty())
            return {};
        resultado += eco;
    }
    return resultado;
}

double Indicador::escala(quint32 bruto) const
{
    return double(bruto) / m_divisor;
}

double Indicador::pesoConSigno(quint32 bruto, int decimales)
{
    double v = double(bruto);
    if (bruto > 268435456u)
        v -= 4294967296.0;
    return v / std::pow(10.0, double(decimales));
}

void Indicador::falla(LecturaPeso& l) const
{
    l.Peso = LecturaPeso::kSinRespuesta;
    l.falla = m_ultimaFalla;
}

void Indicador::LeePeso(LecturaPeso& l)
{
    using Trama::byteEn;
    using Trama::valor32;
    m_transporte.reconectar();

    QByteArray s = Leer(kPeso, 2);
    if (s.isEmpty()) {
        return falla(l);
    }
    l.Peso = pesoConSigno(valor32(s, 0), m_decimales);

    s = Leer(kDespacho, 6);
    if (s.isEmpty()) {
        return falla(l);
    }
    l.Despacho = escala(valor32(s, 0));
    l.CGrueso = escala(valor32(s, 4));
    l.CFino = escala(valor32(s, 8));

    s = Leer(kCaudal, 11);
    if (s.isEmpty()) {
        return falla(l);
    }
    l.Caudal = escala(valor32(s, 0));
    l.Resto = escala(valor32(s, 4));
    l.CCiclos = valor32(s, 8);
    l.CError = byteEn(s, 12);
    quint32 total = valor32(s, 14);
    l.UlBatch = escala(valor32(s, 18));
    // The accumulator's low word ends this block's first request and its high
    // word starts the second, so a batch completing between the two pairs
    // words from two moments. A new accumulator is read again in one request,
    // with the cycle count and last batch of the same moment.
    if (!m_ultimoTotal || total != *m_ultimoTotal) {
        s = Leer(kCCiclos, 7);
        if (s.isEmpty())
            return falla(l);
        l.CCiclos = valor32(s, 0);
        l.CError = byteEn(s, 4);
        total = valor32(s, 6);
        l.UlBatch = escala(valor32(s, 10));
    }
    l.UlTotal = escala(total);

    s = Leer(kModo, 8);
    if (s.isEmpty()) {
        return falla(l);
    }
    l.Modo = byteEn(s, 0);
    l.SPFin = byteEn(s, 2);
    l.Total = escala(valor32(s, 4));
    l.Salidas = byteEn(s, 8);
    l.Entradas = byteEn(s, 10);
    l.TotalF = escala(valor32(s, 12));
    l.falla = {};
    m_ultimoTotal = total;
}
