#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <variant>

#include "EstadoEstacion.h"

// Sparkplug B 3.0 as the edge node speaks it: topics, the metrics of a line
// and the payloads (protobuf, sparkplug_b.proto through protobuf-c).
namespace Sparkplug {

// Datatypes of the metrics used here (the DataType enumeration).
enum Tipo : quint32
{
    Int32 = 3,
    Int64 = 4,
    UInt32 = 7,
    Double = 10,
    Boolean = 11,
    String = 12
};

using Valor = std::variant<qint64, double, bool, QString>;

struct Metrica
{
    QString nombre; // empty: sent by alias only
    quint64 alias = 0;
    quint32 tipo = 0;
    bool conAlias = true;
    Valor valor;
    qint64 ms = -1; // the metric's own time; -1: none
    bool operator==(const Metrica&) const = default;
};

struct Mensaje
{
    qint64 ms = 0;
    qint64 seq = -1; // -1: none (NDEATH)
    QVector<Metrica> metricas;
};

inline const QString kBdSeq = QStringLiteral("bdSeq");
inline const QString kRebirth = QStringLiteral("Node Control/Rebirth");
constexpr quint64 kAliasRebirth = 1;
// Larger incoming payloads are dropped undecoded.
constexpr int kMaxEntrante = 64 * 1024;

// spBv1.0/<grupo>/<tipo>/<nodo>[/<dispositivo>]
QByteArray tema(const QString& grupo, const char* tipo, const QString& nodo, const QString& dispositivo = {});
// The device of line n: "Linea<n>".
QString dispositivo(int linea);
// The line of a device name; 0 when it is none.
int lineaDe(const QString& dispositivo);

// Every metric of line n in state e, named and with its alias (unique in
// the node: n * 32 + k). The order is the same for every state.
QVector<Metrica> metricas(int linea, const EstadoEstacion& e);
// Those of ahora that differ from antes (same line), by alias only.
QVector<Metrica> cambios(const QVector<Metrica>& antes, const QVector<Metrica>& ahora);

// The node's own metrics at birth (bdSeq, Rebirth), and its death's (bdSeq).
QVector<Metrica> nacimientoNodo(qint64 bdSeq);
QVector<Metrica> muerteNodo(qint64 bdSeq);

QByteArray codifica(const Mensaje& m);
// False (and why) for a payload that is not a Sparkplug B payload, or too
// large. Metrics of types other than those above keep their name and alias
// with an empty value.
bool decodifica(const QByteArray& datos, Mensaje* m, QString* error = nullptr);

// A node command asks for a rebirth: Node Control/Rebirth (by name or alias) true.
bool pideRebirth(const Mensaje& ncmd);

} // namespace Sparkplug
