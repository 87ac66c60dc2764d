#include "Sparkplug.h"

#include <memory>

extern "C" {
#include "sparkplug_b.pb-c.h"
}

namespace Sparkplug {

namespace {

using PbPayload = Tolvex__Sparkplug__Payload;
using PbMetric = Tolvex__Sparkplug__Payload__Metric;

// One metric of a line: its alias is linea * kPorLinea + k.
constexpr int kPorLinea = 32;

} // namespace

QByteArray tema(const QString& grupo, const char* tipo, const QString& nodo, const QString& dispositivo)
{
    QByteArray t = "spBv1.0/" + grupo.toUtf8() + '/' + tipo + '/' + nodo.toUtf8();
    if (!dispositivo.isEmpty())
        t += '/' + dispositivo.toUtf8();
    return t;
}

QString dispositivo(int linea)
{
    return QStringLiteral("Linea%1").arg(linea);
}

int lineaDe(const QString& dispositivo)
{
    if (!dispositivo.startsWith(u"Linea"))
        return 0;
    bool ok = false;
    const int n = dispositivo.mid(5).toInt(&ok);
    return ok && n > 0 && dispositivo == Sparkplug::dispositivo(n) ? n : 0;
}

QVector<Metrica> metricas(int linea, const EstadoEstacion& e)
{
    const quint64 base = quint64(linea) * kPorLinea;
    const qint64 ms = e.instante.isValid() ? e.instante.toMSecsSinceEpoch() : -1;
    auto m = [&](const char* nombre, quint64 k, Tipo tipo, Valor v) {
        return Metrica{QString::fromLatin1(nombre), base + k, tipo, true, std::move(v), ms};
    };
    return {
        m("Peso", 1, Double, e.Peso),
        m("Acumulado", 2, Double, e.Acumulado),
        m("Despacho", 3, Double, e.Despacho),
        m("Resto", 4, Double, e.Resto),
        m("Ciclos", 5, UInt32, qint64(e.CCiclos)),
        m("Caudal", 6, Double, e.Caudal),
        m("Modo", 7, Int32, qint64(e.Modo)),
        m("Estado", 8, String, e.textoModo),
        m("Salidas", 9, UInt32, qint64(e.Salidas)),
        m("Entradas", 10, UInt32, qint64(e.Entradas)),
        m("Error", 11, Int32, qint64(e.CError)),
        m("Texto de error", 12, String, e.textoError),
        m("Vigente", 13, Boolean, e.conectado),
        m("Decimales", 14, Int32, qint64(e.decimales)),
    };
}

QVector<Metrica> cambios(const QVector<Metrica>& antes, const QVector<Metrica>& ahora)
{
    QVector<Metrica> r;
    for (qsizetype i = 0; i < ahora.size(); ++i) {
        if (i < antes.size() && antes.at(i).valor == ahora.at(i).valor)
            continue;
        Metrica m = ahora.at(i);
        m.nombre.clear();
        r.append(std::move(m));
    }
    return r;
}

QVector<Metrica> nacimientoNodo(qint64 bdSeq)
{
    return {Metrica{kBdSeq, 0, Int64, false, bdSeq, -1},
            Metrica{kRebirth, kAliasRebirth, Boolean, true, false, -1}};
}

QVector<Metrica> muerteNodo(qint64 bdSeq)
{
    return {Metrica{kBdSeq, 0, Int64, false, bdSeq, -1}};
}

QByteArray codifica(const Mensaje& m)
{
    PbPayload p = TOLVEX__SPARKPLUG__PAYLOAD__INIT;
    p.has_timestamp = true;
    p.timestamp = quint64(m.ms);
    if (m.seq >= 0) {
        p.has_seq = true;
        p.seq = quint64(m.seq);
    }
    const qsizetype n = m.metricas.size();
    std::vector<PbMetric> metricas(static_cast<size_t>(n));
    std::vector<PbMetric*> punteros(static_cast<size_t>(n));
    std::vector<QByteArray> textos; // the names and texts, alive until packed
    textos.reserve(size_t(2 * n));
    for (qsizetype i = 0; i < n; ++i) {
        const Metrica& x = m.metricas.at(i);
        PbMetric& y = metricas[size_t(i)];
        tolvex__sparkplug__payload__metric__init(&y);
        punteros[size_t(i)] = &y;
        if (!x.nombre.isEmpty()) {
            textos.push_back(x.nombre.toUtf8());
            y.name = textos.back().data();
        }
        if (x.conAlias) {
            y.has_alias = true;
            y.alias = x.alias;
        }
        if (x.ms >= 0) {
            y.has_timestamp = true;
            y.timestamp = quint64(x.ms);
        }
        y.has_datatype = true;
        y.datatype = x.tipo;
        switch (x.tipo) {
        case Int32:
        case UInt32:
            y.value_case = TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
            y.int_value = quint32(std::get<qint64>(x.valor));
            break;
        case Int64:
            y.value_case = TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            y.long_value = quint64(std::get<qint64>(x.valor));
            break;
        case Double:
            y.value_case = TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
            y.double_value = std::get<double>(x.valor);
            break;
        case Boolean:
            y.value_case = TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            y.boolean_value = std::get<bool>(x.valor);
            break;
        case String:
            textos.push_back(std::get<QString>(x.valor).toUtf8());
            y.value_case = TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            y.string_value = textos.back().data();
            break;
        default:
            y.has_is_null = true;
            y.is_null = true;
        }
    }
    p.n_metrics = size_t(n);
    p.metrics = punteros.data();
    QByteArray salida(qsizetype(tolvex__sparkplug__payload__get_packed_size(&p)), Qt::Uninitialized);
    tolvex__sparkplug__payload__pack(&p, reinterpret_cast<uint8_t*>(salida.data()));
    return salida;
}

bool decodifica(const QByteArray& datos, Mensaje* m, QString* error)
{
    auto falla = [error](const QString& e) {
        if (error)
            *error = e;
        return false;
    };
    if (datos.size() > kMaxEntrante)
        return falla(QStringLiteral("mensaje de %1 bytes (el máximo es %2)").arg(datos.size()).arg(kMaxEntrante));
    std::unique_ptr<PbPayload, void (*)(PbPayload*)> p(
        tolvex__sparkplug__payload__unpack(nullptr, size_t(datos.size()),
                                           reinterpret_cast<const uint8_t*>(datos.constData())),
        [](PbPayload* x) { tolvex__sparkplug__payload__free_unpacked(x, nullptr); });
    if (!p)
        return falla(QStringLiteral("no es un mensaje Sparkplug B"));
    *m = {};
    m->ms = p->has_timestamp ? qint64(p->timestamp) : 0;
    m->seq = p->has_seq ? qint64(p->seq) : -1;
    for (size_t i = 0; i < p->n_metrics; ++i) {
        const PbMetric* y = p->metrics[i];
        Metrica x;
        x.nombre = y->name ? QString::fromUtf8(y->name) : QString();
        x.conAlias = y->has_alias;
        x.alias = y->alias;
        x.tipo = y->has_datatype ? y->datatype : 0;
        x.ms = y->has_timestamp ? qint64(y->timestamp) : -1;
        switch (y->value_case) {
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
            x.valor = x.tipo == Int32 ? qint64(qint32(y->int_value)) : qint64(y->int_value);
            break;
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE:
            x.valor = qint64(y->long_value);
            break;
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
            x.valor = y->double_value;
            break;
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
            x.valor = double(y->float_value);
            break;
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
            x.valor = bool(y->boolean_value);
            break;
        case TOLVEX__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE:
            x.valor = QString::fromUtf8(y->string_value ? y->string_value : "");
            break;
        default:
            x.valor = QString();
        }
        m->metricas.append(std::move(x));
    }
    return true;
}

bool pideRebirth(const Mensaje& ncmd)
{
    for (const Metrica& x : ncmd.metricas) {
        const bool esRebirth = x.nombre == kRebirth || (x.nombre.isEmpty() && x.conAlias && x.alias == kAliasRebirth);
        if (esRebirth && std::holds_alternative<bool>(x.valor) && std::get<bool>(x.valor))
            return true;
    }
    return false;
}

} // namespace Sparkplug
