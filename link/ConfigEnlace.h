#pragma once

#include <QMetaType>
#include <QString>
#include <memory>
#include <optional>

class Transporte;

// How to reach the indicator.
struct ConfigEnlace
{
    int comunicacion = 0; // 0 serial, any other value TCP
    QString host = QStringLiteral("192.168.0.1");
    quint16 puerto = 3000;
    QString dispositivo = QStringLiteral("/dev/ttyS1");
    int baudios = 19200;
    quint8 id = 0;
    int decimales = 0;
    int esperaMs = 2000;   // reply wait
    int silencioMs = 250;  // quiet period after a failed exchange

    bool esTcp() const { return comunicacion != 0; }
    std::unique_ptr<Transporte> creaTransporte() const;

    // The message every failure to open the link shows.
    static QString mensajeError();

    // The link settings of line `linea` (keys ending in "_N") in the settings
    // file of the working directory, with the station's defaults. A value that is not a number (or out of range)
    // gives nothing and error = mensajeError(); detalle says which key.
    static std::optional<ConfigEnlace> lee(QString* error = nullptr, QString* detalle = nullptr,
                                          int linea = 1);
    // Decimales_N, default 0; nothing when it is not a whole number 0..9.
    static std::optional<int> leeDecimales(int linea = 1);

    // "2" -> the second serial port (/dev/ttyS1); a device path is taken as is.
    static std::optional<QString> dispositivoSerie(const QString& comm);
    // 1200 * 2^indice, for indices 0 to 7.
    static std::optional<int> baudiosDeIndice(int indice);
    // The slave id from its text: a number rounded half to even, 0 to 255.
    static std::optional<quint8> idDeTexto(const QString& texto);
};

Q_DECLARE_METATYPE(ConfigEnlace)
