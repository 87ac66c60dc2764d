#include "Conversiones.h"

#include <QLocale>
#include <cctype>
#include <cmath>

namespace {

bool esNumero(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

// Reads a number the lenient way: blanks, tabs and line feeds are ignored, an
// optional "-", digits, an optional "." with digits and an optional exponent
// are taken, and reading stops at the first other character.
double lecturaLaxa(const QString& texto)
{
    QByteArray limpio;
    for (QChar c : texto) {
        if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
            limpio.append(c.unicode() < 128 ? char(c.unicode()) : '\x01');
    }
    int i = 0;
    const int n = int(limpio.size());
    QByteArray num;
    if (i < n && limpio[i] == '-')
        num.append(limpio[i++]);
    bool digitos = false;
    while (i < n && std::isdigit(static_cast<unsigned char>(limpio[i]))) {
        num.append(limpio[i++]);
        digitos = true;
    }
    if (i < n && limpio[i] == '.') {
        num.append(limpio[i++]);
        while (i < n && std::isdigit(static_cast<unsigned char>(limpio[i]))) {
            num.append(limpio[i++]);
            digitos = true;
        }
    }
    if (!digitos)
        return 0.0;
    if (i < n && (limpio[i] == 'e' || limpio[i] == 'E')) {
        int j = i + 1;
        QByteArray exp("e");
        if (j < n && (limpio[j] == '-' || limpio[j] == '+'))
            exp.append(limpio[j++]);
        bool expDigitos = false;
        while (j < n && std::isdigit(static_cast<unsigned char>(limpio[j]))) {
            exp.append(limpio[j++]);
            expDigitos = true;
        }
        if (expDigitos)
            num.append(exp);
    }
    bool ok = false;
    const double v = QLocale::c().toDouble(QString::fromLatin1(num), &ok);
    return ok && std::isfinite(v) ? v : 0.0;
}

} // namespace

QVariant KVal(const QVariant& inValor)
{
    if (esNumero(inValor))
        return inValor;
    const QString texto = inValor.toString();
    const qsizetype punto = texto.indexOf(u'.');
    if (punto < 0)
        return texto;
    const qsizetype d = texto.size() - punto - 1;
    QString resto = texto;
    resto.remove(punto, 1);
    return lecturaLaxa(resto) / std::pow(10.0, double(d));
}

QString Ktxt(const QString& inValor)
{
    QString out;
    for (QChar c : inValor) {
        if ((c >= u'0' && c <= u'9') || c == u'-')
            out.append(c);
        else if (c == u'.' || c == u',')
            out.append(u'.');
    }
    return out;
}

std::optional<double> KValNumero(const QVariant& inValor)
{
    const QVariant v = KVal(inValor);
    if (esNumero(v)) {
        const double d = v.toDouble();
        return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
    }
    const QString texto = v.toString().trimmed();
    bool ok = false;
    double d = QLocale::system().toDouble(texto, &ok);
    if (!ok)
        d = QLocale::c().toDouble(texto, &ok);
    if (!ok || !std::isfinite(d))
        return std::nullopt;
    return d;
}

std::optional<qint64> KInt(const QVariant& inValor, int decimales)
{
    const auto v = KValNumero(inValor);
    if (!v)
        return std::nullopt;
    double p = *v * std::pow(10.0, double(decimales));
    if (std::fabs(p) < 1e15)
        p = std::round(p * 1e9) / 1e9;
    const double f = std::floor(p);
    if (!std::isfinite(f) || f >= 9.2e18 || f <= -9.2e18)
        return std::nullopt;
    return static_cast<qint64>(f);
}
