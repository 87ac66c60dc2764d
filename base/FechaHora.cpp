#include "FechaHora.h"

namespace FechaHora {

namespace {

const QString kSinLocale = QStringLiteral("dd/MM/yyyy");

// The order of day, month and year in the locale's short date and the text
// between the first two; the fallback when the format is not three numeric
// fields (a weekday, a quoted literal, a letter between the fields).
QString derivaPatron(const QLocale& locale)
{
    if (locale.language() == QLocale::C)
        return kSinLocale;
    const QString f = locale.dateFormat(QLocale::ShortFormat);
    QString orden, separador, entre;
    for (qsizetype i = 0; i < f.size();) {
        const QChar c = f.at(i);
        qsizetype fin = i;
        while (fin < f.size() && f.at(fin) == c)
            ++fin;
        if (c == u'd' || c == u'M' || c == u'y') {
            // A weekday or a month's name is not a number the plant reads.
            if (orden.contains(c) || (c != u'y' && fin - i > 2))
                return kSinLocale;
            if (orden.size() == 1)
                separador = entre;
            orden += c;
            entre.clear();
        } else if (c.isLetterOrNumber() || c == u'\'') {
            return kSinLocale;
        } else if (c.category() != QChar::Other_Format) {
            // Direction marks around the separators are left out.
            entre += f.mid(i, fin - i);
        }
        i = fin;
    }
    if (orden.size() != 3 || separador.isEmpty())
        return kSinLocale;
    QString patron;
    for (const QChar c : std::as_const(orden)) {
        if (!patron.isEmpty())
            patron += separador;
        patron += c == u'd' ? QStringLiteral("dd") : c == u'M' ? QStringLiteral("MM") : QStringLiteral("yyyy");
    }
    return patron;
}

} // namespace

QString patronFecha(const QLocale& locale)
{
    // Asked for every date shown: derived once per locale and thread.
    thread_local QString nombre, patron;
    const QString n = locale.name() + locale.dateFormat(QLocale::ShortFormat);
    if (n != nombre || patron.isEmpty()) {
        patron = derivaPatron(locale);
        nombre = n;
    }
    return patron;
}

QString patronLegible()
{
    QString p = patronFecha();
    p.replace(QStringLiteral("dd"), QStringLiteral("DD")).replace(QStringLiteral("yyyy"), QStringLiteral("AAAA"));
    return p;
}

QString fecha(const QDate& d)
{
    return d.isValid() ? d.toString(patronFecha()) : QString();
}

QString hora(const QTime& t)
{
    return t.isValid() ? t.toString(kPatronHora) : QString();
}

QString fechaHora(const QDateTime& t)
{
    return t.isValid() ? fecha(t.date()) + u' ' + hora(t.time()) : QString();
}

QDate leeFecha(const QString& texto)
{
    const QString t = texto.trimmed();
    QDate d = QDate::fromString(t, patronFecha());
    if (!d.isValid())
        d = QDate::fromString(t, Qt::ISODate);
    return d;
}

} // namespace FechaHora
