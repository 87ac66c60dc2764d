// The indicator's replies: the checks of a reply (id, function, byte count,
// CRC, exception) and the decoding of the whole-state read, with an
// in-memory peer that answers every request with the next piece of the
// input. A piece may ask for its CRC to be made right, or for a well-formed
// reply around its bytes, so that the fuzzer gets past the CRC.
//
// Properties: a reply taken by the checks is exactly as long as asked,
// carries a right CRC, the id, function and byte count of the request, and
// gives back its registers; every value read lies within its register's
// range; a write's echo is of the register written.

#include "FuzzApoyo.h"
#include "Indicador.h"
#include "LecturaPeso.h"
#include "Trama.h"
#include "TransporteFalso.h"

#include <cmath>

namespace {

using FuzzApoyo::Lector;

void compruebaLectura(const QByteArray& resp, Trama::IdEsperado id, int cantidad)
{
    const Trama::Resultado r = Trama::verificaLectura(resp, id, cantidad);
    const QString d = Trama::hex(resp) + QStringLiteral(" cantidad %1").arg(cantidad);
    if (r.ok()) {
        FUZZ_EXIGE(resp.size() == 5 + 2 * cantidad, d);
        FUZZ_EXIGE(Trama::crc16(resp.first(resp.size() - 2)) == resp.last(2), d);
        FUZZ_EXIGE(!id || quint8(resp.at(0)) == *id, d);
        FUZZ_EXIGE(resp.at(1) == 0x03 && quint8(resp.at(2)) == 2 * cantidad, d);
        FUZZ_EXIGE(r.datos.size() == 2 * cantidad, d);
        for (int i = 0; i < cantidad; ++i)
            FUZZ_EXIGE(r.datos.at(2 * i) == resp.at(4 + 2 * i) && r.datos.at(2 * i + 1) == resp.at(3 + 2 * i), d);
    } else {
        FUZZ_EXIGE(r.datos.isEmpty(), d);
        if (r.fallo == Trama::Fallo::Excepcion)
            FUZZ_EXIGE(resp.size() == Trama::kLargoExcepcion && quint8(resp.at(1)) == 0x83 &&
                           r.excepcion == quint8(resp.at(2)),
                       d);
    }
    FUZZ_EXIGE(!resp.isEmpty() || r.fallo == Trama::Fallo::SinRespuesta, d);
}

void compruebaEscritura(const QByteArray& resp, const QByteArray& pedido, Trama::IdEsperado id)
{
    const Trama::Resultado r = Trama::verificaEscritura(resp, pedido, id);
    const QString d = Trama::hex(resp) + QStringLiteral(" pedido ") + Trama::hex(pedido);
    if (r.ok()) {
        FUZZ_EXIGE(resp.size() == Trama::kLargoEscritura, d);
        FUZZ_EXIGE(Trama::crc16(resp.first(6)) == resp.last(2), d);
        FUZZ_EXIGE(!id || quint8(resp.at(0)) == *id, d);
        FUZZ_EXIGE(resp.at(1) == 0x06 && resp.mid(2, 2) == pedido.mid(2, 2), d);
        FUZZ_EXIGE(r.datos.size() == 2 && r.datos.at(0) == resp.at(5) && r.datos.at(1) == resp.at(4), d);
    } else {
        FUZZ_EXIGE(r.datos.isEmpty(), d);
    }
}

// The reply to pedido built from a piece of input. Its first byte says how:
// 0 the bytes as they are; 1 the bytes with a right CRC appended; 2 a reply
// of the request's id and function whose data are the bytes (byte count of
// the request, CRC right); 3 that reply with one byte changed, CRC right.
QByteArray respuesta(Lector& in, const QByteArray& pedido)
{
    const quint8 modo = in.byte();
    const QByteArray bytes = in.trozo(in.byte() % 64);
    switch (modo % 4) {
    case 0:
        return bytes;
    case 1:
        return bytes + Trama::crc16(bytes);
    default:
        break;
    }
    QByteArray r;
    r += pedido.at(0);
    r += pedido.at(1);
    if (pedido.at(1) == 0x03) {
        const int n = quint8(pedido.at(5));
        r += char(2 * n);
        r += bytes.leftJustified(2 * n, '\0', true);
    } else {
        r += pedido.mid(2, 4);
    }
    if (modo % 4 == 3 && !bytes.isEmpty()) {
        const int i = quint8(bytes.at(0)) % r.size();
        r[i] = char(r.at(i) ^ (bytes.size() > 1 ? bytes.at(1) | 1 : 1));
    }
    r += Trama::crc16(r);
    return r;
}

// The reply, after the checks of the request it answers.
QByteArray respuestaComprobada(Lector& in, const QByteArray& pedido)
{
    const QByteArray r = respuesta(in, pedido);
    const Trama::IdEsperado id = pedido.at(0) ? Trama::IdEsperado(quint8(pedido.at(0))) : std::nullopt;
    if (pedido.at(1) == 0x03)
        compruebaLectura(r, id, quint8(pedido.at(5)));
    else
        compruebaEscritura(r, pedido, id);
    return r;
}

// A value of a 32-bit register scaled by 10^decimales.
void enRango(double v, int decimales, const char* campo)
{
    const double max = 4294967295.0 / std::pow(10.0, decimales);
    FUZZ_EXIGE(std::isfinite(v) && v >= 0 && v <= max * (1 + 1e-12), QStringLiteral("%1 = %2").arg(campo).arg(v));
}

void leeEstado(Lector& in)
{
    const quint8 id = in.byte() % 4; // 0: the one indicator of the line, id learnt
    const int decimales = in.byte() % 10;
    TransporteFalso t([&in](const QByteArray& pedido) { return respuestaComprobada(in, pedido); });
    Indicador ind(t, id, decimales);
    for (int vuelta = 0; vuelta < 3 && !in.vacio(); ++vuelta) {
        LecturaPeso l;
        ind.LeePeso(l);
        if (l.Peso == LecturaPeso::kSinRespuesta)
            continue;
        const double div = std::pow(10.0, decimales);
        FUZZ_EXIGE(std::isfinite(l.Peso) && l.Peso >= -4026531840.0 / div && l.Peso <= 268435456.0 / div,
                   QString::number(l.Peso));
        enRango(l.Despacho, decimales, "Despacho");
        enRango(l.CGrueso, decimales, "CGrueso");
        enRango(l.CFino, decimales, "CFino");
        enRango(l.Caudal, decimales, "Caudal");
        enRango(l.Resto, decimales, "Resto");
        enRango(l.UlTotal, decimales, "UlTotal");
        enRango(l.UlBatch, decimales, "UlBatch");
        enRango(l.Total, decimales, "Total");
        enRango(l.TotalF, decimales, "TotalF");
        FUZZ_EXIGE(l.CError >= 0 && l.CError <= 255 && l.Modo >= 0 && l.Modo <= 255 && l.SPFin >= 0 &&
                       l.SPFin <= 255 && l.Salidas >= 0 && l.Salidas <= 255 && l.Entradas >= 0 &&
                       l.Entradas <= 255,
                   QStringLiteral("byte fuera de rango"));
    }
    // A command written: each echo taken is of its own register.
    const QByteArray dato = in.trozo(4);
    t.limpia();
    const QByteArray eco = ind.Escribir(Indicador::kComando, dato);
    FUZZ_EXIGE(eco.isEmpty() || eco.size() == dato.size() + dato.size() % 2, Trama::hex(eco));
    for (const QByteArray& p : t.pedidos())
        FUZZ_EXIGE(p.size() == Trama::kLargoEscritura && p.at(1) == 0x06, Trama::hex(p));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Lector in(data, size);
    const quint8 modo = in.byte();
    if (modo % 2 == 0) {
        // One reply against the checks of a read and of a write.
        const int cantidad = 1 + in.byte() % 125;
        const Trama::IdEsperado id = in.byte() % 2 ? Trama::IdEsperado(in.byte()) : std::nullopt;
        const QByteArray pedido = Trama::pedidoEscritura(id.value_or(1), quint16(in.byte() << 8 | in.byte()),
                                                         in.trozo(2));
        QByteArray resp = in.resto();
        // Half the time with its CRC made right, so that the checks after it are reached.
        if (modo & 2)
            resp += Trama::crc16(resp);
        compruebaLectura(resp, id, cantidad);
        compruebaEscritura(resp, pedido, id);
        return 0;
    }
    leeEstado(in);
    return 0;
}
