#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include "LecturaPeso.h"

// What the station shows at one moment, as plain values: every view (the
// window, the web monitor, a recorder) renders this and nothing else.
struct EstadoEstacion
{
    bool abierta = false;    // the station is open and polling
    bool conectado = false;  // the last poll was answered
    QDateTime instante;      // when the values were read (the last answered poll)
    int decimales = 0;

    double Peso = 0;
    double Acumulado = 0;    // UlTotal
    double Despacho = 0;
    double Resto = 0;
    double Caudal = 0;
    double CGrueso = 0;
    double CFino = 0;
    quint32 CCiclos = 0;
    int Modo = 0;            // 0..4; other values keep the last caption
    QString textoModo;       // "STD. BY", "CARGA", "PESAJE", "DESCARGA", "DESTARE"
    int Salidas = 0;         // eight output lamps, bit k = lamp k
    int Entradas = 0;        // eight input lamps
    int CError = 0;
    QString textoError;      // the status bar's text: "ERROR n - ...", kSinConexion or empty
    Trama::Falla falla = {}; // with kSinConexion: why the last poll got no reading
    bool standBy = false;    // output lamp 1: the indicator takes commands
    bool cargando = false;   // the reading's mode is 1 (material falling in)
    QString aviso;           // the accumulator rose while the station was closed

    bool operator==(const EstadoEstacion&) const = default;

    // A line at a glance: closed, running (a cycle under way), stopped (in
    // stand-by), or in fault (no answer, or an error the indicator reports).
    enum class Marcha
    {
        Cerrada,
        EnMarcha,
        Detenida,
        Falla
    };
    Marcha marcha() const;
    static QString textoDeMarcha(Marcha m);

    // What the bar says when a poll got no answer.
    static inline const QString kSinConexion = QStringLiteral("Error de conexion");

    // The state a valid reading gives, on top of the previous one (a mode
    // outside 0..4 keeps the previous caption).
    static EstadoEstacion desde(const LecturaPeso& l, int decimales, const EstadoEstacion& previo);

    static QString textoDeError(int codigo);
    static QString textoDeModo(int modo);
    // A value as the station shows it (fixed decimals, no "-0").
    QString muestra(double valor) const;
};

Q_DECLARE_METATYPE(EstadoEstacion)
