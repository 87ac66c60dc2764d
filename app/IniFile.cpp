#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "Cp1252.h"

bool IniFile::load(const QString& path, QString* error)
{
    m_lines.clear();
    m_utf8 = false;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    QByteArray bytes = f.readAll();
    QString text;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        m_utf8 = true;
        text = QString::fromUtf8(bytes.mid(3));
    } else {
        text = Cp1252::decode(bytes);
    }
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_lines = text.split(u'\n');
    if (!m_lines.isEmpty() && m_lines.last().isEmpty())
        m_lines.removeLast();
    return true;
}

bool IniFile::save(const QString& path, QString* error) const
{
    QString text;
    for (const QString& line : m_lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QByteArray bytes =
        m_utf8 ? QByteArray("\xEF\xBB\xBF") + text.toUtf8() : Cp1252::encode(text);
    if (f.write(bytes) != bytes.size() || !f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

bool IniFile::isHeader(const QString& line, QString* name)
{
    const QString t = line.trimmed();
    if (!t.startsWith(u'['))
        return false;
    const qsizetype close = t.indexOf(u']');
    // A header without its closing bracket opens a section nothing matches.
    *name = close < 0 ? QString() : t.mid(1, close - 1).trimmed();
    return true;
}

bool IniFile::keyOf(const QString& line, QString* key, QString* value)
{
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(u';'))
        return false;
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0)
        return false;
    *key = line.left(eq).trimmed();
    *value = line.mid(eq + 1);
    return !key->isEmpty();
}

QString IniFile::value(const QString& section, const QString& key, bool* found) const
{
    bool inSection = false;
    QString name, k, v;
    for (const QString& line : m_lines) {
        if (isHeader(line, &name)) {
            inSection = !name.isEmpty() && name.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (inSection && keyOf(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            if (found)
                *found = true;
            return v;
        }
    }
    if (found)
        *found = false;
    return {};
}

void IniFile::setValue(const QString& section, const QString& key, const QString& text)
{
    bool inMatch = false; // inside any section of that name
    bool inFirst = false; // inside the first one, where new keys go
    qsizetype insertAt = -1;
    QString name, k, v;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QString& line = m_lines.at(i);
        if (isHeader(line, &name)) {
            inMatch = !name.isEmpty() && name.compare(section, Qt::CaseInsensitive) == 0;
            inFirst = inMatch && insertAt < 0;
            if (inFirst)
                insertAt = i + 1;
            continue;
        }
        if (!inMatch)
            continue;
        if (keyOf(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            m_lines[i] = k + u'=' + text;
            return;
        }
        if (inFirst && !line.trimmed().isEmpty())
            insertAt = i + 1;
    }
    const QString entry = key + u'=' + text;
    if (insertAt >= 0) {
        m_lines.insert(insertAt, entry);
        return;
    }
    if (!m_lines.isEmpty() && !m_lines.last().trimmed().isEmpty())
        m_lines.append(QString());
    m_lines.append(u'[' + section + u']');
    m_lines.append(entry);
}

QString IniFile::find(const QString& dir, const QString& name)
{
    QDir d(dir);
    const QString exact = d.absoluteFilePath(name);
    if (QFile::exists(exact))
        return exact;
    const QStringList entries = d.entryList(QDir::Files | QDir::Hidden);
    for (const QString& e : entries) {
        if (e.compare(name, Qt::CaseInsensitive) == 0)
            return d.absoluteFilePath(e);
    }
    return {};
}
