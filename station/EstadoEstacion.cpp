#include "EstadoEstacion.h"

#include "Diario.h"

EstadoEstacion EstadoEstacion::desde(const LecturaPeso& l, int decimales, const EstadoEstacion& previo)
{
    EstadoEstacion e = previo;
    e.abierta = true;
    e.decimales = decimales;
    e.conectado = l.valida();
    if (!e.conectado) {
        // The values shown, and their time, stay those of the last reading.
        e.textoError = kSinConexion;
        e.falla = l.falla;
        return e;
    }
    e.falla = {};
    e.instante = QDateTime::currentDateTimeUtc(); // no time zone work at every poll
    e.Peso = l.Peso;
    e.Acumulado = l.UlTotal;
    e.Despacho = l.Despacho;
    e.Resto = l.Resto;
    e.Caudal = l.Caudal;
    e.CGrueso = l.CGrueso;
    e.CFino = l.CFino;
    e.CCiclos = l.CCiclos;
    if (l.Modo >= 0 && l.Modo <= 4) {
        e.Modo = l.Modo;
        e.textoModo = textoDeModo(l.Modo);
    }
    e.Salidas = l.Salidas & 0xFF;
    e.Entradas = l.Entradas & 0xFF;
    e.CError = l.CError;
    e.textoError = textoDeError(l.CError);
    e.standBy = (e.Salidas >> 1) & 1;
    e.cargando = l.Modo == 1;
    return e;
}

QString EstadoEstacion::textoDeModo(int modo)
{
    static const char* tags[5] = {"STD. BY", "CARGA", "PESAJE", "DESCARGA", "DESTARE"};
    return modo >= 0 && modo <= 4 ? QLatin1String(tags[modo]) : QString();
}

QString EstadoEstacion::textoDeError(int codigo)
{
    if (codigo == 0)
        return {};
    QString sufijo;
    switch (codigo) {
    case 1: sufijo = QStringLiteral(" - PROGRAMA: Fino > Cap Max"); break;
    case 2: sufijo = QStringLiteral(" - PROGRAMA: Grueso > Cap Max"); break;
    case 3: sufijo = QStringLiteral(" - PROGRAMA: Grueso > Fino"); break;
    case 4: sufijo = QStringLiteral(" - PROGRAMA: Fino < Banda Cero"); break;
    case 5: sufijo = QStringLiteral(" - PROGRAMA: Ya despachado"); break;
    case 10:
    case 40: sufijo = QStringLiteral(" - Compuerta de Descarga Abierta"); break;
    case 11:
    case 20:
    case 30: sufijo = QStringLiteral(" - Compuerta de Carga Abierta"); break;
    case 31: sufijo = QStringLiteral(" - Compuerta de Descarga Cerrada"); break;
    case 50: sufijo = QStringLiteral(" - Falla Tension auxiliar"); break;
    case 60: sufijo = QStringLiteral(" - Ciclo Lento"); break;
    default: break;
    }
    return QStringLiteral("ERROR %1").arg(codigo) + sufijo;
}

QString EstadoEstacion::muestra(double valor) const
{
    return Diario::muestra(valor, decimales);
}

EstadoEstacion::Marcha EstadoEstacion::marcha() const
{
    if (!abierta)
        return Marcha::Cerrada;
    if (!conectado || CError != 0)
        return Marcha::Falla;
    return standBy ? Marcha::Detenida : Marcha::EnMarcha;
}

QString EstadoEstacion::textoDeMarcha(Marcha m)
{
    switch (m) {
    case Marcha::Cerrada:
        return QStringLiteral("Cerrada");
    case Marcha::EnMarcha:
        return QStringLiteral("En marcha");
    case Marcha::Detenida:
        return QStringLiteral("Detenida");
    case Marcha::Falla:
        return QStringLiteral("Falla");
    }
    return {};
}
