#include "EstadoJson.h"

#include <QJsonArray>

#include "FechaHora.h"

namespace EstadoJson {

QJsonObject completo(const EstadoEstacion& e, bool vigente, const QString& motivo)
{
    // Before the first reading there are no values: nothing is shown as zero.
    const bool leido = e.instante.isValid();
    const auto valor = [leido](double v) { return leido ? QJsonValue(v) : QJsonValue(); };
    const auto texto = [leido, &e](double v) { return leido ? e.muestra(v) : QString(); };
    const QDateTime local = e.instante.toLocalTime();
    QJsonArray salidas, entradas;
    for (int k = 0; k < 8; ++k) {
        salidas.append(bool((e.Salidas >> k) & 1));
        entradas.append(bool((e.Entradas >> k) & 1));
    }
    return {
        {QStringLiteral("abierta"), e.abierta},
        {QStringLiteral("conectado"), e.conectado},
        {QStringLiteral("vigente"), vigente},
        {QStringLiteral("motivo"), motivo},
        {QStringLiteral("instante"), leido ? iso(e.instante) : QString()},
        {QStringLiteral("decimales"), e.decimales},
        {QStringLiteral("peso"), valor(e.Peso)},
        {QStringLiteral("acumulado"), valor(e.Acumulado)},
        {QStringLiteral("despacho"), valor(e.Despacho)},
        {QStringLiteral("resto"), valor(e.Resto)},
        {QStringLiteral("caudal"), valor(e.Caudal)},
        {QStringLiteral("corteGrueso"), valor(e.CGrueso)},
        {QStringLiteral("corteFino"), valor(e.CFino)},
        {QStringLiteral("ciclos"), valor(double(e.CCiclos))},
        {QStringLiteral("modo"), leido ? QJsonValue(e.Modo) : QJsonValue()},
        {QStringLiteral("textoModo"), e.textoModo},
        {QStringLiteral("salidas"), salidas},
        {QStringLiteral("entradas"), entradas},
        {QStringLiteral("codigoError"), leido ? QJsonValue(e.CError) : QJsonValue()},
        {QStringLiteral("textoError"), e.textoError},
        {QStringLiteral("standBy"), e.standBy},
        {QStringLiteral("textos"),
         QJsonObject{{QStringLiteral("peso"), texto(e.Peso)},
                     {QStringLiteral("acumulado"), texto(e.Acumulado)},
                     {QStringLiteral("despacho"), texto(e.Despacho)},
                     {QStringLiteral("resto"), texto(e.Resto)},
                     {QStringLiteral("caudal"), texto(e.Caudal)},
                     {QStringLiteral("grueso"), texto(e.CGrueso)},
                     {QStringLiteral("fino"), texto(e.CFino)},
                     {QStringLiteral("lectura"), FechaHora::fechaHora(local)}}},
    };
}

QString iso(const QDateTime& t)
{
    if (!t.isValid())
        return {};
    const QDateTime local = t.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

bool igualSalvoInstante(const EstadoEstacion& a, EstadoEstacion b)
{
    if (a.instante.isValid() != b.instante.isValid())
        return false;
    b.instante = a.instante;
    return a == b;
}

bool vigente(const EstadoEstacion& e)
{
    return e.abierta && e.conectado;
}

QString motivo(const EstadoEstacion& e)
{
    if (!e.abierta)
        return kCerrada;
    if (e.conectado)
        return {};
    // "Sin respuesta del indicador" says it all when nothing came.
    if (!e.falla.hay() || e.falla.fallo == Trama::Fallo::SinRespuesta)
        return kSinRespuesta;
    return kSinRespuesta + QStringLiteral(": ") + e.falla.texto();
}

QString marcha(EstadoEstacion e, bool vigente)
{
    if (e.abierta && !vigente)
        e.conectado = false;
    return EstadoEstacion::textoDeMarcha(e.marcha());
}

QJsonObject resumen(const Linea& linea, const EstadoEstacion& e, bool vigente, const QString& motivo)
{
    const bool leido = e.instante.isValid();
    const QDateTime local = e.instante.toLocalTime();
    return {
        {QStringLiteral("linea"), linea.numero},
        {QStringLiteral("nombre"), linea.nombre},
        {QStringLiteral("marcha"), marcha(e, vigente)},
        {QStringLiteral("abierta"), e.abierta},
        {QStringLiteral("conectado"), e.conectado},
        {QStringLiteral("vigente"), vigente},
        {QStringLiteral("motivo"), motivo},
        {QStringLiteral("instante"), leido ? iso(e.instante) : QString()},
        {QStringLiteral("decimales"), e.decimales},
        {QStringLiteral("peso"), leido ? QJsonValue(e.Peso) : QJsonValue()},
        {QStringLiteral("textoError"), e.textoError},
        {QStringLiteral("textoModo"), e.textoModo},
        {QStringLiteral("textos"),
         QJsonObject{{QStringLiteral("peso"), leido ? e.muestra(e.Peso) : QString()},
                     {QStringLiteral("lectura"), FechaHora::fechaHora(local)}}},
    };
}

} // namespace EstadoJson
