#include "EstacionBase.h"

#include <cmath>

#include "Conversiones.h"
#include "Diario.h"

QString EstacionBase::compruebaArranque() const
{
    const auto bach = KValNumero(m_estado.muestra(m_estado.CFino));
    if (!bach || *bach == 0)
        return QStringLiteral("Error en el valor de Bach");
    return {};
}

std::optional<qint64> EstacionBase::valorEntero(const QString& texto, int decimales)
{
    if (Ktxt(texto).isEmpty())
        return std::nullopt;
    const auto v = KValNumero(texto);
    if (!v)
        return std::nullopt;
    return KInt(Ktxt(QString::number(*v, 'f', decimales)), decimales);
}

QByteArray EstacionBase::cuatroBytes(quint32 v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
    return b;
}

std::optional<EstacionBase::Programacion>
EstacionBase::compruebaProgramacion(const QString (&textos)[3], QString* error, int* campo) const
{
    *campo = -1;
    if (!m_estado.standBy) {
        *error = kNoStandBy;
        return std::nullopt;
    }
    static const char* const nombres[3] = {"Despacho (Preset)", "Corte Grueso", "Corte Fino (Batch)"};
    quint32 valores[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        const auto v = valorEntero(textos[i], m_decimales);
        const QString nombre = QString::fromUtf8(nombres[i]);
        // Figures the indicator cannot hold are refused, not rounded.
        const QString t = Ktxt(textos[i]);
        QString fraccion = t.mid(t.indexOf(u'.') + 1);
        while (t.contains(u'.') && fraccion.endsWith(u'0'))
            fraccion.chop(1);
        const bool sobran = t.contains(u'.') && fraccion.size() > m_decimales;
        if (!v)
            *error = QStringLiteral("Ingrese un valor para %1").arg(nombre);
        else if (sobran)
            *error = m_decimales == 0 ? QStringLiteral("El valor de %1 debe ser un número entero").arg(nombre)
                                      : QStringLiteral("El valor de %1 admite como máximo %2 %3")
                                            .arg(nombre)
                                            .arg(m_decimales)
                                            .arg(m_decimales == 1 ? QStringLiteral("decimal")
                                                                  : QStringLiteral("decimales"));
        else if (*v < 0 || *v > 0xFFFFFFFFLL)
            *error = QStringLiteral("El valor de %1 es demasiado grande para el equipo (máximo %2 kg)")
                         .arg(nombre, Diario::muestra(double(0xFFFFFFFFLL) / std::pow(10.0, m_decimales),
                                                      m_decimales));
        if (!v || sobran || *v < 0 || *v > 0xFFFFFFFFLL) {
            *campo = i;
            return std::nullopt;
        }
        valores[i] = quint32(*v);
    }
    // The dispatch ends at the accumulator as shown plus the preset.
    const auto t = valorEntero(m_estado.muestra(m_estado.Acumulado), m_decimales);
    const qint64 fin = qint64(valores[0]) + t.value_or(0);
    if (!t || fin < 0 || fin > 0xFFFFFFFFLL) {
        *error = QStringLiteral("El fin del despacho (Preset + Acumulador) no cabe en el equipo");
        return std::nullopt;
    }
    return Programacion{valores[0], valores[1], valores[2], fin};
}

QString EstacionBase::compruebaReset() const
{
    return m_estado.standBy ? QString() : kNoStandBy;
}

