#include "Diario.h"

#include <QDir>
#include <QFile>
#include <cmath>

#include "Conversiones.h"
#include "Cp1252.h"
#include "Programa.h"

namespace Diario {

namespace {
bool sinLocale()
{
    const QLocale s = QLocale::system();
    return s.language() == QLocale::C || s.name() == u"C";
}
} // namespace

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
    QLocale l = sinLocale() ? QLocale(QLocale::Spanish, QLocale::Argentina) : QLocale::system();
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l;
}

QString fecha(const QDate& d)
{
    if (sinLocale())
        return d.toString(QStringLiteral("dd/MM/yyyy"));
    return QLocale::system().toString(d, QLocale::ShortFormat);
}

QString hora(const QTime& t)
{
    if (sinLocale())
        return t.toString(QStringLiteral("HH:mm:ss"));
    // The long format carries the seconds; the time zone is left out.
    QString f = QLocale::system().timeFormat(QLocale::LongFormat);
    f.remove(u't');
    return QLocale::system().toString(t, f.trimmed());
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
    campos << fecha(ahora.date()) << hora(ahora.time())
           << izquierda(numero(decimoFino, decimales + 1), 6) << izquierda(finoMostrado, 6)
           << (preset == 0 ? QStringLiteral("-Continuo-") : izquierda(presetMostrado, 10));
    return u'[' + campos.join(u'*');
}

QString lote(double pesoBatch, double totalActual, int decimales, const QDateTime& ahora)
{
    return u'*' + fecha(ahora.date()) + u'*' + hora(ahora.time()) + u'*' +
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
           crlf + QStringLiteral("Fecha y Hora: ") + fecha(ahora.date()) + u' ' +
           hora(ahora.time()) + crlf + msg + crlf + rutina + crlf + crlf;
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
