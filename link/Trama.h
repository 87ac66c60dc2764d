#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLoggingCategory>
#include <QString>

// Modbus RTU frames for functions 03 and 06: pure functions on bytes.
//
// A register string holds two bytes per register in ascending register
// order, each register low byte first (the reverse of the wire order). A
// 32-bit value in registers N, N+1 (low word in N) is its four bytes least
// significant first.
namespace Trama {

Q_DECLARE_LOGGING_CATEGORY(lcWire)

// The two CRC-16/MODBUS bytes in the order they are appended (low first).
QByteArray crc16(QByteArrayView mensaje);

QByteArray pedidoLectura(quint8 id, quint16 direccion, quint8 cantidad);
// valor: a register string of one register (low byte first).
QByteArray pedidoEscritura(quint8 id, quint16 direccion, QByteArrayView valor);

constexpr int largoLectura(int cantidad) { return 5 + 2 * cantidad; }
constexpr int kLargoEscritura = 8;

enum class Fallo { Ninguno, SinRespuesta, Longitud, Crc };
QString textoFallo(Fallo fallo);

struct Resultado
{
    QByteArray datos; // register string; empty on failure
    Fallo fallo = Fallo::Ninguno;
    bool ok() const { return fallo == Fallo::Ninguno; }
};

// Only length and CRC decide; id, function code and byte count are not compared.
Resultado verificaLectura(QByteArrayView respuesta, int cantidad);
// Returns the echoed value as a one-register string.
Resultado verificaEscritura(QByteArrayView respuesta);

// Register-string helpers. posicion is a 0-based byte offset.
quint32 valor32(QByteArrayView cadena, int posicion);
quint8 byteEn(QByteArrayView cadena, int posicion);
// Low 32 bits of v, least significant byte first (two's complement for v < 0).
QByteArray cadena32(qint64 v);
QByteArray cadena16(quint16 v);

QString hex(QByteArrayView bytes);

} // namespace Trama
