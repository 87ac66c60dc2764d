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


namespace {

// Reads the keys of one object, remembering the first that is missing or
// of another kind.
class Lector
{
public:
    explicit Lector(const QJsonObject& o) : m_o(o) {}
    bool logico(const char* clave, bool* v)
    {
        const QJsonValue x = m_o.value(QLatin1String(clave));
        if (!x.isBool())
            return falta(clave);
        *v = x.toBool();
        return true;
    }
    // A number; null reads as zero when nulo (a value before the first reading).
    bool numero(const char* clave, double* v, bool nulo = false)
    {
        const QJsonValue x = m_o.value(QLatin1String(clave));
        if (nulo && x.isNull()) {
            *v = 0;
            return true;
        }
        if (!x.isDouble())
            return falta(clave);
        *v = x.toDouble();
        return true;
    }
    template <typename T>
    bool entero(const char* clave, T* v, double minimo, double maximo, bool nulo = false)
    {
        double d = 0;
        if (!numero(clave, &d, nulo))
            return false;
        if (!(d >= minimo && d <= maximo) || d != double(qint64(d)))
            return falta(clave);
        *v = T(d);
        return true;
    }
    bool texto(const char* clave, QString* v)
    {
        const QJsonValue x = m_o.value(QLatin1String(clave));
        if (!x.isString())
            return falta(clave);
        *v = x.toString();
        return true;
    }
    bool tiene(const char* clave) const { return m_o.contains(QLatin1String(clave)); }
    const QString& error() const { return m_error; }
    bool falta(const char* clave)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("valor \"%1\" ausente o no válido").arg(QLatin1String(clave));
        return false;
    }

private:
    const QJsonObject& m_o;
    QString m_error;
};

// Eight lamps as an array of booleans, bit k = lamp k.
bool lamparas(const QJsonValue& v, int* bits)
{
    const QJsonArray a = v.toArray();
    if (!v.isArray() || a.size() != 8)
        return false;
    *bits = 0;
    for (int k = 0; k < 8; ++k) {
        if (!a.at(k).isBool())
            return false;
        *bits |= int(a.at(k).toBool()) << k;
    }
    return true;
}

bool falla(Lector& r, Trama::Falla* f)
{
    if (!r.tiene("falla"))
        return true;
    int kind = 0;
    if (!r.entero("falla", &kind, 0, int(Trama::Fallo::SinConexion)) ||
        !r.entero("dato", &f->dato, -2147483648.0, 2147483647.0))
        return false;
    f->fallo = Trama::Fallo(kind);
    return true;
}

} // namespace

QJsonObject entero(const EstadoEstacion& e)
{
    QJsonObject o = completo(e, vigente(e), motivo(e));
    o.insert(QStringLiteral("falla"), int(e.falla.fallo));
    o.insert(QStringLiteral("dato"), e.falla.dato);
    o.insert(QStringLiteral("cargando"), e.cargando);
    o.insert(QStringLiteral("aviso"), e.aviso);
    // Unread values are null in completo(); their zeroes are the state's own.
    for (const char* k : {"peso", "acumulado", "despacho", "resto", "caudal", "corteGrueso", "corteFino"})
        o.remove(QLatin1String(k));
    o.insert(QStringLiteral("peso"), e.Peso);
    o.insert(QStringLiteral("acumulado"), e.Acumulado);
    o.insert(QStringLiteral("despacho"), e.Despacho);
    o.insert(QStringLiteral("resto"), e.Resto);
    o.insert(QStringLiteral("caudal"), e.Caudal);
    o.insert(QStringLiteral("corteGrueso"), e.CGrueso);
    o.insert(QStringLiteral("corteFino"), e.CFino);
    o.insert(QStringLiteral("ciclos"), double(e.CCiclos));
    o.insert(QStringLiteral("modo"), e.Modo);
    o.insert(QStringLiteral("codigoError"), e.CError);
    return o;
}

std::optional<EstadoEstacion> estado(const QJsonObject& o, QString* error)
{
    EstadoEstacion e;
    Lector r(o);
    QString instante;
    const bool ok = r.logico("abierta", &e.abierta) && r.logico("conectado", &e.conectado) &&
                    r.texto("instante", &instante) && r.entero("decimales", &e.decimales, 0, 9) &&
                    r.numero("peso", &e.Peso, true) && r.numero("acumulado", &e.Acumulado, true) &&
                    r.numero("despacho", &e.Despacho, true) && r.numero("resto", &e.Resto, true) &&
                    r.numero("caudal", &e.Caudal, true) && r.numero("corteGrueso", &e.CGrueso, true) &&
                    r.numero("corteFino", &e.CFino, true) &&
                    r.entero("ciclos", &e.CCiclos, 0, 4294967295.0, true) &&
                    r.entero("modo", &e.Modo, -2147483648.0, 2147483647.0, true) &&
                    r.texto("textoModo", &e.textoModo) &&
                    r.entero("codigoError", &e.CError, -2147483648.0, 2147483647.0, true) &&
                    r.texto("textoError", &e.textoError) && r.logico("standBy", &e.standBy) &&
                    (lamparas(o.value(QLatin1String("salidas")), &e.Salidas) || r.falta("salidas")) &&
                    (lamparas(o.value(QLatin1String("entradas")), &e.Entradas) || r.falta("entradas")) &&
                    falla(r, &e.falla) && (!r.tiene("cargando") || r.logico("cargando", &e.cargando)) &&
                    (!r.tiene("aviso") || r.texto("aviso", &e.aviso));
    if (ok && !instante.isEmpty()) {
        e.instante = QDateTime::fromString(instante, Qt::ISODateWithMs);
        if (!e.instante.isValid())
            r.falta("instante");
        else
            e.instante = e.instante.toLocalTime();
    }
    if (!r.error().isEmpty()) {
        if (error)
            *error = r.error();
        return std::nullopt;
    }
    return e;
}

QJsonObject lectura(const LecturaPeso& l)
{
    return {
        {QStringLiteral("Peso"), l.Peso},       {QStringLiteral("Despacho"), l.Despacho},
        {QStringLiteral("CGrueso"), l.CGrueso}, {QStringLiteral("CFino"), l.CFino},
        {QStringLiteral("Caudal"), l.Caudal},   {QStringLiteral("Resto"), l.Resto},
        {QStringLiteral("CCiclos"), double(l.CCiclos)}, {QStringLiteral("CError"), l.CError},
        {QStringLiteral("UlTotal"), l.UlTotal}, {QStringLiteral("UlBatch"), l.UlBatch},
        {QStringLiteral("Modo"), l.Modo},       {QStringLiteral("SPFin"), l.SPFin},
        {QStringLiteral("Total"), l.Total},     {QStringLiteral("Salidas"), l.Salidas},
        {QStringLiteral("Entradas"), l.Entradas}, {QStringLiteral("TotalF"), l.TotalF},
        {QStringLiteral("falla"), int(l.falla.fallo)}, {QStringLiteral("dato"), l.falla.dato},
    };
}

std::optional<LecturaPeso> lectura(const QJsonObject& o, QString* error)
{
    LecturaPeso l;
    Lector r(o);
    constexpr double kMin = -2147483648.0, kMax = 2147483647.0;
    const bool ok = r.numero("Peso", &l.Peso) && r.numero("Despacho", &l.Despacho) &&
                    r.numero("CGrueso", &l.CGrueso) && r.numero("CFino", &l.CFino) &&
                    r.numero("Caudal", &l.Caudal) && r.numero("Resto", &l.Resto) &&
                    r.entero("CCiclos", &l.CCiclos, 0, 4294967295.0) && r.entero("CError", &l.CError, kMin, kMax) &&
                    r.numero("UlTotal", &l.UlTotal) && r.numero("UlBatch", &l.UlBatch) &&
                    r.entero("Modo", &l.Modo, kMin, kMax) && r.entero("SPFin", &l.SPFin, kMin, kMax) &&
                    r.numero("Total", &l.Total) && r.entero("Salidas", &l.Salidas, kMin, kMax) &&
                    r.entero("Entradas", &l.Entradas, kMin, kMax) && r.numero("TotalF", &l.TotalF) &&
                    falla(r, &l.falla);
    if (!ok) {
        if (error)
            *error = r.error();
        return std::nullopt;
    }
    return l;
}

} // namespace EstadoJson
