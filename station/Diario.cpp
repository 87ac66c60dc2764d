#include "Diario.h"

#include <QDir>
#include <QFile>
#include <cmath>

#include "Conversiones.h"
#include "Cp1252.h"
#include "FechaHora.h"
#include "Programa.h"

namespace Diario {

double redondea(double valor, int decimales)
{
    const double f = std::pow(10.0, decimales);
    return std::round(valor * f) / f;
}

QString muestra(double valor, int decimales)
{
    QString t = QString::number(valor, 'f', decimales);
    if (t.startsWith(u'-') && redondea(valor, decimales) == 0)
        t.remove(0, 1);
    return Ktxt(t);
}

QLocale locale()
{
    QLocale l;
    if (l.language() == QLocale::C)
        l = QLocale(QLocale::Spanish, QLocale::Argentina);
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l;
}

QString numero(double v, int decimales)
{
    const double r = redondea(v, decimales);
    return locale().toString(r == 0 ? 0.0 : r, 'g', 15);
}

QString izquierda(const QString& texto, int ancho)
{
    return texto.rightJustified(ancho, u' ', false);
}

QString derecha(const QString& texto, int ancho)
{
    return texto.leftJustified(ancho, u' ', true);
}

QString cabecera(const QStringList& aux, double decimoFino, int decimales,
                 const QString& finoMostrado, double preset, const QString& presetMostrado,
                 const QDateTime& ahora)
{
    static const int anchos[6] = {20, 30, 70, 20, 20, 70};
    QStringList campos;
    for (int i = 0; i < 6; ++i)
        campos << derecha(aux.value(i), anchos[i]);
    campos << FechaHora::fecha(ahora.date()) << FechaHora::hora(ahora.time())
           << izquierda(numero(decimoFino, decimales + 1), 6) << izquierda(finoMostrado, 6)
           << (preset == 0 ? QStringLiteral("-Continuo-") : izquierda(presetMostrado, 10));
    return u'[' + campos.join(u'*');
}

QString lote(double pesoBatch, double totalActual, int decimales, const QDateTime& ahora)
{
    return u'*' + FechaHora::fecha(ahora.date()) + u'*' + FechaHora::hora(ahora.time()) + u'*' +
           izquierda(numero(pesoBatch, decimales), 6) + u'*' +
           izquierda(numero(totalActual, decimales), 10);
}

QString cierre()
{
    return QStringLiteral("]\r\n");
}

QString registroError(qint32 nroError, const QString& msg, const QString& rutina,
                      const QDateTime& ahora)
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("******************* Nuevo Error *******************") + crlf +
           QStringLiteral("Version ") + Programa::version() + crlf + QString::number(nroError) +
           crlf + QStringLiteral("Fecha y Hora: ") + FechaHora::fecha(ahora.date()) + u' ' +
           FechaHora::hora(ahora.time()) + crlf + msg + crlf + rutina + crlf + crlf;
}

bool agrega(const QString& archivo, const QString& texto, QString* error)
{
    QFile f(QDir(Programa::directorio()).absoluteFilePath(archivo));
    const QByteArray bytes = Cp1252::encode(texto);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append) || f.write(bytes) != bytes.size() ||
        !f.flush()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    f.close();
    if (f.error() != QFileDevice::NoError) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

} // namespace Diario
