#include "SqlDialect.h"

#include <QDate>
#include <QRegularExpression>

namespace SqlDialect {

QString texto(const QString& value)
{
    QString v = value;
    v.replace(u'\'', QStringLiteral("''"));
    return u'\'' + v + u'\'';
}

QString formatoQt(const QString& patron)
{
    QString out;
    out.reserve(patron.size());
    for (QChar c : patron) {
        if (c == u'D' || c == u'd')
            out += u'd';
        else if (c == u'Y' || c == u'y')
            out += u'y';
        else if (c == u'm')
            out += u'M';
        else
            out += c;
    }
    return out;
}

namespace {

bool isWordStart(QChar c)
{
    return c.isLetter() || c == u'_';
}

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_';
}

// The date of a literal's content, tried in the configured pattern, then ISO.
QDate parseDate(const QString& text, const QString& qtPattern)
{
    const QString t = text.trimmed();
    QDate d = QDate::fromString(t, qtPattern);
    if (!d.isValid()) {
        // Single-digit day or month typed by hand ("1/2/2024").
        QString loose = qtPattern;
        loose.replace(QStringLiteral("dd"), QStringLiteral("d"));
        loose.replace(QStringLiteral("MM"), QStringLiteral("M"));
        d = QDate::fromString(t, loose);
    }
    if (!d.isValid())
        d = QDate::fromString(t, Qt::ISODate);
    return d;
}

QString isoLiteral(const QDate& d)
{
    return u'\'' + d.toString(Qt::ISODate) + u'\'';
}

} // namespace

QString adaptar(const QString& sql, ConnectionString::Engine engine, const QString& fechaFrm)
{
    const QString pattern = formatoQt(fechaFrm.isEmpty() ? QStringLiteral("DD/MM/YYYY") : fechaFrm);
    QString out;
    out.reserve(sql.size() + 16);
    QString lastWord; // previous keyword-like token, upper case
    bool inBetween = false;
    const qsizetype n = sql.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql.at(i);
        if (c == u'\'' || c == u'"' || c == u'#') {
            // Quoted literal: find its end ('' and "" are escaped quotes).
            qsizetype j = i + 1;
            QString content;
            bool closed = false;
            while (j < n) {
                if (sql.at(j) == c) {
                    if (c != u'#' && j + 1 < n && sql.at(j + 1) == c) {
                        content += c;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                content += sql.at(j);
                ++j;
            }
            const QString raw = sql.mid(i, (closed ? j + 1 : n) - i);
            const bool dateContext = inBetween && (lastWord == u"BETWEEN" || lastWord == u"AND");
            QDate d;
            if (closed && (c == u'#' || dateContext))
                d = parseDate(content, pattern);
            if (d.isValid())
                out += isoLiteral(d);
            else if (c == u'#' && closed)
                out += SqlDialect::texto(content); // not a date: keep it a harmless text
            else
                out += raw;
            if (lastWord == u"AND")
                inBetween = false;
            lastWord.clear();
            i = closed ? j + 1 : n;
            continue;
        }
        if (isWordStart(c)) {
            qsizetype j = i;
            while (j < n && isWordChar(sql.at(j)))
                ++j;
            const QString word = sql.mid(i, j - i);
            const QString upper = word.toUpper();
            if (inBetween && lastWord == u"AND")
                inBetween = false; // BETWEEN x AND column
            if (engine == ConnectionString::PostgreSQL && upper == u"LIKE")
                out += QStringLiteral("ILIKE");
            else
                out += word;
            if (upper == u"BETWEEN")
                inBetween = true;
            lastWord = upper;
            i = j;
            continue;
        }
        if (!c.isSpace()) {
            if (lastWord == u"AND")
                inBetween = false; // BETWEEN 1 AND 5
            lastWord.clear();
        }
        out += c;
        ++i;
    }
    return out;
}

QString tablaDe(const QString& sql)
{
    static const QRegularExpression re(
        QStringLiteral("\\bFROM\\s+(\"[^\"]+\"|[A-Za-z_][A-Za-z0-9_.]*)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(sql);
    if (!m.hasMatch())
        return {};
    QString t = m.captured(1);
    if (t.startsWith(u'"'))
        t = t.mid(1, t.size() - 2);
    return t;
}

} // namespace SqlDialect
