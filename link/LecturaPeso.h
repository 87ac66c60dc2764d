#pragma once

#include "Trama.h"

#include <QMetaType>
#include <QtGlobal>

// The indicator's whole state as one whole-state read returns it, in the
// order of its registers. Scaled values are doubles in display units.
struct LecturaPeso
{
    static constexpr double kSinRespuesta = -999999;

    double Peso = 0;
    double Despacho = 0;
    double CGrueso = 0;
    double CFino = 0;
    double Caudal = 0;
    double Resto = 0;
    quint32 CCiclos = 0;
    int CError = 0;
    double UlTotal = 0;
    double UlBatch = 0;
    int Modo = 0;
    int SPFin = 0;
    double Total = 0;
    int Salidas = 0;
    int Entradas = 0;
    double TotalF = 0;
    // Why the read failed (when it did): the last exchange's fault.
    Trama::Falla falla = {};

    bool valida() const { return Peso != kSinRespuesta; }
};

Q_DECLARE_METATYPE(LecturaPeso)
