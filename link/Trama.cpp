#include "Trama.h"

#include <array>

namespace Trama {

Q_LOGGING_CATEGORY(lcWire, "tolvex.link.wire", QtWarningMsg)

namespace {

struct Tablas
{
    std::array<quint8, 256> alta{};
    std::array<quint8, 256> baja{};
    constexpr Tablas()
    {
        for (int i = 0; i < 256; ++i) {
            quint16 r = static_cast<quint16>(i);
            for (int k = 0; k < 8; ++k)
                r = (r & 1) ? static_cast<quint16>((r >> 1) ^ 0xA001) : static_cast<quint16>(r >> 1);
            alta[i] = static_cast<quint8>(r & 0xFF);
            baja[i] = static_cast<quint8>(r >> 8);
        }
    }
};

constexpr Tablas kTablas;

} // namespace

QByteArray crc16(QByteArrayView mensaje)
{
    quint8 primero = 0xFF;
    quint8 segundo = 0xFF;
    for (char c : mensaje) {
        const quint8 indice = primero ^ static_cast<quint8>(c);
        primero = segundo ^ kTablas.alta[indice];
        segundo = kTablas.baja[indice];
    }
    QByteArray out(2, '\0');
    out[0] = static_cast<char>(primero);
    out[1] = static_cast<char>(segundo);
    return out;
}

namespace {

QByteArray conCrc(QByteArray trama)
{
    trama += crc16(trama);
    return trama;
}

bool crcCorrecto(QByteArrayView r)
{
    return r.size() >= 2 && crc16(r.first(r.size() - 2)) == r.last(2);
}

} // namespace

QByteArray pedidoLectura(quint8 id, quint16 direccion, quint8 cantidad)
{
    const char t[] = {static_cast<char>(id), 0x03, static_cast<char>(direccion >> 8),
                      static_cast<char>(direccion & 0xFF), 0x00, static_cast<char>(cantidad)};
    return conCrc(QByteArray(t, sizeof t));
}

QByteArray pedidoEscritura(quint8 id, quint16 direccion, QByteArrayView valor)
{
    const char baja = valor.size() > 0 ? valor[0] : '\0';
    const char alta = valor.size() > 1 ? valor[1] : '\0';
    const char t[] = {static_cast<char>(id),
                      0x06,
                      static_cast<char>(direccion >> 8),
                      static_cast<char>(direccion & 0xFF),
                      alta,
                      baja};
    return conCrc(QByteArray(t, sizeof t));
}

QString textoFallo(Fallo fallo, int dato)
{
    switch (fallo) {
    case Fallo::Ninguno:
        return QStringLiteral("ok");
    case Fallo::SinRespuesta:
        return QStringLiteral("sin respuesta");
    case Fallo::Longitud:
        return QStringLiteral("respuesta de longitud incorrecta");
    case Fallo::Crc:
        return QStringLiteral("CRC incorrecto");
    case Fallo::Esclavo:
        return QStringLiteral("respondió el id %1").arg(dato);
    case Fallo::Funcion:
        return QStringLiteral("respuesta con otra función");
    case Fallo::Cuenta:
        return QStringLiteral("respuesta a otra petición");
    case Fallo::Excepcion: {
        // The standard codes an indicator answers with.
        static const char* const nombres[] = {"función no válida", "dirección no válida", "valor no válido",
                                              "falla del indicador"};
        const QString t = QStringLiteral("excepción %1").arg(dato);
        return dato >= 1 && dato <= 4 ? t + QStringLiteral(", %1").arg(QString::fromUtf8(nombres[dato - 1])) : t;
    }
    case Fallo::ConexionRechazada:
        return QStringLiteral("conexión rechazada");
    case Fallo::ConexionCerrada:
        return QStringLiteral("conexión cerrada");
    case Fallo::SinConexion:
        return QStringLiteral("sin conexión");
    }
    return {};
}

bool completa(QByteArrayView recibido, int largo)
{
    if (recibido.size() >= largo)
        return true;
    return recibido.size() >= kLargoExcepcion && (static_cast<quint8>(recibido[1]) & 0x80) != 0;
}

namespace {

// Checks shared by both replies; fills r.fallo and returns false on failure.
bool encabezado(QByteArrayView respuesta, IdEsperado id, quint8 funcion, int largo, Resultado& r)
{
    if (respuesta.isEmpty()) {
        r.fallo = Fallo::SinRespuesta;
        return false;
    }
    const auto f = respuesta.size() > 1 ? static_cast<quint8>(respuesta[1]) : 0;
    const bool deEse = !id || static_cast<quint8>(respuesta[0]) == *id;
    if (respuesta.size() == kLargoExcepcion && f == (funcion | 0x80) && crcCorrecto(respuesta) &&
        deEse) {
        r.fallo = Fallo::Excepcion;
        r.excepcion = static_cast<quint8>(respuesta[2]);
        return false;
    }
    if (respuesta.size() != largo) {
        r.fallo = Fallo::Longitud;
        return false;
    }
    if (!crcCorrecto(respuesta)) {
        r.fallo = Fallo::Crc;
        return false;
    }
    if (!deEse) {
        r.fallo = Fallo::Esclavo;
        r.id = static_cast<quint8>(respuesta[0]);
        return false;
    }
    if (f != funcion) {
        r.fallo = Fallo::Funcion;
        return false;
    }
    return true;
}

} // namespace

Resultado verificaLectura(QByteArrayView respuesta, IdEsperado id, int cantidad)
{
    Resultado r;
    if (!encabezado(respuesta, id, 0x03, largoLectura(cantidad), r))
        return r;
    if (static_cast<quint8>(respuesta[2]) != 2 * cantidad)
        return {{}, Fallo::Cuenta};
    QByteArray datos(2 * cantidad, '\0');
    for (int i = 0; i < cantidad; ++i) {
        datos[2 * i] = respuesta[3 + 2 * i + 1];
        datos[2 * i + 1] = respuesta[3 + 2 * i];
    }
    return {datos, Fallo::Ninguno};
}

Resultado verificaEscritura(QByteArrayView respuesta, QByteArrayView pedido, IdEsperado id)
{
    Resultado r;
    if (!encabezado(respuesta, id, 0x06, kLargoEscritura, r))
        return r;
    if (pedido.size() < 4 || respuesta.sliced(2, 2) != pedido.sliced(2, 2))
        return {{}, Fallo::Cuenta};
    const char v[] = {respuesta[5], respuesta[4]};
    return {QByteArray(v, 2), Fallo::Ninguno};
}

quint8 byteEn(QByteArrayView cadena, int posicion)
{
    return posicion >= 0 && posicion < cadena.size() ? static_cast<quint8>(cadena[posicion]) : 0;
}

quint32 valor32(QByteArrayView cadena, int posicion)
{
    return quint32(byteEn(cadena, posicion)) | quint32(byteEn(cadena, posicion + 1)) << 8 |
           quint32(byteEn(cadena, posicion + 2)) << 16 | quint32(byteEn(cadena, posicion + 3)) << 24;
}

QByteArray cadena32(qint64 v)
{
    const auto u = static_cast<quint32>(static_cast<quint64>(v) & 0xFFFFFFFFu);
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
    return out;
}

QByteArray cadena16(quint16 v)
{
    const char t[] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    return QByteArray(t, 2);
}

QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' ')).toUpper();
}

} // namespace Trama
