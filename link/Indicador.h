#pragma once

#include "LecturaPeso.h"
#include "Trama.h"

#include <QByteArray>
#include <functional>
#include <optional>

class Transporte;

// Register access to the indicator: read and write runs of registers with
// retries, and the whole-state read. Plain blocking code; one exchange at a
// time on the transport it is given.
class Indicador
{
public:
    static constexpr int kIntentos = 3;
    static constexpr int kBloque = 8;

    // Register addresses.
    static constexpr quint16 kPeso = 0;
    static constexpr quint16 kComando = 7;
    static constexpr quint16 kDespacho = 14204;
    static constexpr quint16 kCGrueso = 14206;
    static constexpr quint16 kCFino = 14208;
    static constexpr quint16 kCaudal = 14379;
    static constexpr quint16 kResto = 14381;
    static constexpr quint16 kCCiclos = 14383;
    static constexpr quint16 kCError = 14385;
    static constexpr quint16 kUlTotal = 14386;
    static constexpr quint16 kUlBatch = 14388;
    static constexpr quint16 kModo = 14396;
    static constexpr quint16 kSPFin = 14397;
    static constexpr quint16 kTotal = 14398;
    static constexpr quint16 kSalidas = 14400;
    static constexpr quint16 kEntradas = 14401;
    static constexpr quint16 kTotalF = 14402;

    // id 0 means the one indicator of a point-to-point line: requests go to
    // id 0, and the id its first good reply carries is the only one taken
    // from then on. Any other id is checked from the start.
    Indicador(Transporte& transporte, quint8 id, int decimales);

    // One read exchange: the register string, or empty.
    QByteArray RxD(quint8 id, quint16 direccion, quint8 cantidad);
    // One write exchange: the echoed value as a one-register string, or empty.
    QByteArray TxD(quint8 id, quint16 direccion, const QByteArray& valor);

    // Called before every exchange of a read; lets queued commands go first.
    void setAntesDeLeer(std::function<void()> f) { m_antesDeLeer = std::move(f); }
    // While this says true (a close is coming), a read gives up at its first
    // exchange the indicator leaves unanswered instead of trying again.
    void setCorta(std::function<bool()> f) { m_corta = std::move(f); }

    // All blocks or nothing.
    QByteArray Leer(quint16 direccion, int longitud);
    // The concatenated echoes, or empty at the first register that failed.
    QByteArray Escribir(quint16 direccion, QByteArray dato);
    // Fields read before a failure keep their new values; later ones keep
    // what the caller passed in. Peso == -999999 marks the failure, and
    // falla says why (empty after a whole reading).
    void LeePeso(LecturaPeso& l);

    // Peso from its raw 32-bit value: above 128^4 it is taken as negative.
    static double pesoConSigno(quint32 bruto, int decimales);

    quint8 id() const { return m_id; }
    // The id replies to requests for id must carry (none: any).
    Trama::IdEsperado idEsperado(quint8 id) const
    {
        return id == 0 ? m_idAprendido : Trama::IdEsperado(id);
    }
    int decimales() const { return m_decimales; }
    // Why the last exchange failed (a reply's fault, or the connection's
    // when no reply came for want of one).
    const Trama::Falla& ultimaFalla() const { return m_ultimaFalla; }
    Trama::Fallo ultimoFallo() const { return m_ultimaFalla.fallo; }
    int ultimaExcepcion() const
    {
        return m_ultimaFalla.fallo == Trama::Fallo::Excepcion ? m_ultimaFalla.dato : 0;
    }
    QString textoUltimoFallo() const { return m_ultimaFalla.texto(); }
    // True after a failed exchange on the line until the transport has
    // recovered from it (Transporte::recobra): until then no read is sent.
    bool desfasado() const;
    // Exchanges attempted and failed since construction.
    qint64 intercambios() const { return m_intercambios; }
    qint64 fallidos() const { return m_fallidos; }

private:
    double escala(quint32 bruto) const;
    // Sends request and checks the reply; a failure other than a refusal
    // leaves the link out of step.
    Trama::Resultado intercambia(const QByteArray& pedido, int largo,
                                 const std::function<Trama::Resultado(const QByteArray&)>& verifica);
    // Marks l failed, with the cause of the last exchange.
    void falla(LecturaPeso& l) const;
    // Back in step before an exchange; false when a stop came first.
    bool recobra();

    Transporte& m_transporte;
    quint8 m_id;
    int m_decimales;
    double m_divisor;
    Trama::Falla m_ultimaFalla;
    Trama::IdEsperado m_idAprendido;
    std::function<void()> m_antesDeLeer;
    std::function<bool()> m_corta;
    std::optional<quint32> m_ultimoTotal; // raw accumulator of the last whole reading
    qint64 m_intercambios = 0;
    qint64 m_fallidos = 0;
};
