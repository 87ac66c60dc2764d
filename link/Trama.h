#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QLoggingCategory>
#include <QString>
#include <optional>

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

constexpr int kLargoExcepcion = 5;

// Esclavo: another slave id; Funcion: another function code; Cuenta: a byte
// count or an echoed address that does not answer the request; Excepcion: the
// indicator refused the request (exception reply). The last three are the
// transport's, never a reply's: no reply came because a TCP connection was
// refused, closed by the other end, or could not be made for another reason.
enum class Fallo {
    Ninguno,
    SinRespuesta,
    Longitud,
    Crc,
    Esclavo,
    Funcion,
    Cuenta,
    Excepcion,
    ConexionRechazada,
    ConexionCerrada,
    SinConexion
};
// dato: the exception code when fallo is Excepcion, the id the reply carried
// when it is Esclavo.
QString textoFallo(Fallo fallo, int dato = 0);

// Why the indicator gave no reading, in the installer's words (texto()).
struct Falla
{
    Fallo fallo = Fallo::Ninguno;
    int dato = 0; // see textoFallo
    bool hay() const { return fallo != Fallo::Ninguno; }
    // Nothing came back (no reply, or no connection to carry one).
    bool sinRespuesta() const
    {
        return fallo == Fallo::SinRespuesta || fallo == Fallo::ConexionRechazada ||
               fallo == Fallo::ConexionCerrada || fallo == Fallo::SinConexion;
    }
    QString texto() const { return hay() ? textoFallo(fallo, dato) : QString(); }
    bool operator==(const Falla&) const = default;
};

struct Resultado
{
    QByteArray datos; // register string; empty on failure
    Fallo fallo = Fallo::Ninguno;
    int excepcion = 0; // exception code of a refusal
    int id = 0;        // the slave id of a reply from another slave
    bool ok() const { return fallo == Fallo::Ninguno; }
    Falla falla() const
    {
        return {fallo, fallo == Fallo::Excepcion ? excepcion : fallo == Fallo::Esclavo ? id : 0};
    }
};

// True once what has arrived is as long as the expected reply, or is as long
// as an exception reply and says it is one: the wait can end.
bool completa(QByteArrayView recibido, int largo);

// The slave id a reply must carry; none: any (a point-to-point line whose
// indicator has not answered yet).
using IdEsperado = std::optional<quint8>;

// A reply is taken only when it answers the request: the slave id, the
// function code and the byte count must match, besides length and CRC.
Resultado verificaLectura(QByteArrayView respuesta, IdEsperado id, int cantidad);
// pedido: the write request; function and address of the echo must match it,
// and its id must be id. Returns the echoed value as a one-register string.
Resultado verificaEscritura(QByteArrayView respuesta, QByteArrayView pedido, IdEsperado id);

// Register-string helpers. posicion is a 0-based byte offset.
quint32 valor32(QByteArrayView cadena, int posicion);
quint8 byteEn(QByteArrayView cadena, int posicion);
// Low 32 bits of v, least significant byte first (two's complement for v < 0).
QByteArray cadena32(qint64 v);
QByteArray cadena16(quint16 v);

QString hex(QByteArrayView bytes);

} // namespace Trama
