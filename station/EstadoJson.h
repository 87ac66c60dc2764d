#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

#include "EstadoEstacion.h"
#include "Lineas.h"

// A station's state as the web pages, the JSON API and the plant's shared
// table give it. Values before the first reading are null, never zero.
namespace EstadoJson {

// Why a line's values are not current.
inline const QString kCerrada = QStringLiteral("Estación cerrada");
inline const QString kSinRespuesta = QStringLiteral("Sin respuesta del indicador");
// The values are current when the station is open and its last poll answered;
// else the reason, with the kind of the link's failure after a colon
// ("Sin respuesta del indicador: CRC incorrecto").
bool vigente(const EstadoEstacion& e);
QString motivo(const EstadoEstacion& e);

// Every value of the state. vigente: the values are current; motivo: why
// not, when they are not.
QJsonObject completo(const EstadoEstacion& e, bool vigente, const QString& motivo);

// A line at a glance (an overview's tile): its number and name, what it is
// doing, its weight and the time of its last reading.
QJsonObject resumen(const Linea& linea, const EstadoEstacion& e, bool vigente, const QString& motivo);

// What a line is doing in words; a state gone stale is a fault, whatever it said.
QString marcha(EstadoEstacion e, bool vigente);

// A moment in local time as ISO 8601 with its offset from UTC
// ("2026-10-25T02:30:00.000+02:00"), so that the repeated hour of a change
// of time is not ambiguous; empty when t is not valid.
QString iso(const QDateTime& t);

// The same state but for the time of its reading (not whether there was one):
// what a summary shows is the same.
bool igualSalvoInstante(const EstadoEstacion& a, EstadoEstacion b);

// Every value of the state, the ones completo() leaves out too (why the
// last poll failed, whether it was filling, the accumulator's notice): what
// another process needs to show the same state.
QJsonObject entero(const EstadoEstacion& e);
// The state an object of entero() or completo() describes. Null, with the
// reason in *error, when a key is missing or of another kind; the keys only
// entero() gives may be missing.
std::optional<EstadoEstacion> estado(const QJsonObject& o, QString* error = nullptr);

// A reading of the indicator, every register, and back.
QJsonObject lectura(const LecturaPeso& l);
std::optional<LecturaPeso> lectura(const QJsonObject& o, QString* error = nullptr);

} // namespace EstadoJson
