#include "ConfigEnlace.h"

#include "Config.h"
#include "TransporteSerie.h"
#include "TransporteTcp.h"

#include <cmath>

namespace {

const QString kGlobal = QStringLiteral("Global");
const QString kglobal = QStringLiteral("global");

} // namespace

std::unique_ptr<Transporte> ConfigEnlace::creaTransporte() const
{
    std::unique_ptr<Transporte> t;
    if (esTcp())
        t = std::make_unique<TransporteTcp>(host, puerto);
    else
        t = std::make_unique<TransporteSerie>(dispositivo, baudios);
    t->setEspera(esperaMs);
    t->setSilencio(silencioMs);
    return t;
}

QString ConfigEnlace::mensajeError()
{
    return QStringLiteral("No se pudo abrir el puerto.");
}

std::optional<QString> ConfigEnlace::dispositivoSerie(const QString& comm)
{
    const QString t = comm.trimmed();
    if (t.startsWith(u'/'))
        return t;
    const auto n = Config::aNumero(t);
    if (!n || *n < 1 || *n > 256 || *n != std::floor(*n))
        return std::nullopt;
    return QStringLiteral("/dev/ttyS") + QString::number(int(*n) - 1);
}

std::optional<int> ConfigEnlace::baudiosDeIndice(int indice)
{
    if (indice < 0 || indice > 7)
        return std::nullopt;
    return 1200 << indice;
}

std::optional<quint8> ConfigEnlace::idDeTexto(const QString& texto)
{
    const auto n = Config::aNumero(texto);
    if (!n)
        return std::nullopt;
    // Held in single precision, rounded half to even.
    const double v = std::nearbyint(double(float(*n)));
    if (v < 0 || v > 255)
        return std::nullopt;
    return static_cast<quint8>(v);
}

std::optional<ConfigEnlace> ConfigEnlace::lee(QString* error, QString* detalle, int linea)
{
    const QString n = u'_' + QString::number(linea);
    auto k = [&n](const char* base) { return QLatin1String(base) + n; };
    auto falla = [&](const QString& clave) -> std::optional<ConfigEnlace> {
        if (error)
            *error = mensajeError();
        if (detalle)
            *detalle = clave;
        return std::nullopt;
    };
    ConfigEnlace c;
    const auto com = Config::LeeEntero(kGlobal, k("Comunicacion"), 0);
    if (!com)
        return falla(k("Comunicacion"));
    c.comunicacion = *com;
    if (c.esTcp()) {
        c.host = Config::LeeConfig(kGlobal, k("Host"), QStringLiteral("192.168.0.1"))
                     .trimmed();
        const auto puerto = Config::LeeEntero(kGlobal, k("Port"), 3000);
        if (!puerto || *puerto < 1 || *puerto > 65535)
            return falla(k("Port"));
        c.puerto = static_cast<quint16>(*puerto);
    } else {
        const auto dev = dispositivoSerie(Config::LeeConfig(kglobal, k("Comm"),
                                                            QStringLiteral("2")));
        if (!dev)
            return falla(k("Comm"));
        c.dispositivo = *dev;
        const auto indice = Config::LeeEntero(kglobal, k("Baudios"), 4);
        const auto baud = indice ? baudiosDeIndice(*indice) : std::nullopt;
        if (!baud)
            return falla(k("Baudios"));
        c.baudios = *baud;
    }
    const auto id = idDeTexto(Config::LeeConfig(kglobal, k("ID"), QStringLiteral("0")));
    if (!id)
        return falla(k("ID"));
    c.id = *id;
    c.decimales = leeDecimales(linea).value_or(0);
    return c;
}

std::optional<int> ConfigEnlace::leeDecimales(int linea)
{
    const auto d = Config::LeeEntero(kglobal, QStringLiteral("Decimales_%1").arg(linea), 0);
    if (!d || *d < 0 || *d > 9)
        return std::nullopt;
    return d;
}
