#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <atomic>

#include "ArchivoAtomico.h"
#include "Cp1252.h"

namespace {
std::atomic<int> g_loads{0};

QString indexKey(const QString& section, const QString& key)
{
    return section.toCaseFolded() + QChar(0) + key.toCaseFolded();
}
} // namespace

int IniFile::loads()
{
    return g_loads.load();
}

bool IniFile::load(const QString& path, QString* error)
{
    m_lines.clear();
    m_index.clear();
    m_indexed = false;
    m_utf8 = false;
    ++g_loads;
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
    buildIndex();
    return true;
}

bool IniFile::save(const QString& path, QString* error) const
{
    QString text;
    for (const QString& line : m_lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    const QByteArray bytes =
        m_utf8 ? QByteArray("\xEF\xBB\xBF") + text.toUtf8() : Cp1252::encode(text);
    return ArchivoAtomico::reemplaza(path, bytes, error);
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

void IniFile::buildIndex() const
{
    m_index.clear();
    QString section, name, k, v;
    bool inSection = false;
    for (const QString& line : m_lines) {
        if (isHeader(line, &name)) {
            inSection = !name.isEmpty();
            section = name;
            continue;
        }
        if (inSection && keyOf(line, &k, &v)) {
            const QString ik = indexKey(section, k);
            if (!m_index.contains(ik))
                m_index.insert(ik, v);
        }
    }
    m_indexed = true;
}

QString IniFile::value(const QString& section, const QString& key, bool* found) const
{
    if (!m_indexed)
        buildIndex();
    const auto it = m_index.constFind(indexKey(section, key));
    if (found)
        *found = it != m_index.cend();
    return it != m_index.cend() ? *it : QString();
}

QStringList IniFile::keys(const QString& section) const
{
    QStringList r;
    bool inMatch = false;
    QString name, k, v;
    for (const QString& line : m_lines) {
        if (isHeader(line, &name))
            inMatch = !name.isEmpty() && name.compare(section, Qt::CaseInsensitive) == 0;
        else if (inMatch && keyOf(line, &k, &v))
            r << k;
    }
    return r;
}

void IniFile::removeKey(const QString& section, const QString& key)
{
    m_index.clear();
    m_indexed = false;
    bool inMatch = false;
    QString name, k, v;
    for (qsizetype i = 0; i < m_lines.size();) {
        const QString& line = m_lines.at(i);
        if (isHeader(line, &name))
            inMatch = !name.isEmpty() && name.compare(section, Qt::CaseInsensitive) == 0;
        else if (inMatch && keyOf(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
            m_lines.removeAt(i);
            continue;
        }
        ++i;
    }
}

void IniFile::setValue(const QString& section, const QString& key, const QString& text)
{
    m_index.clear();
    m_indexed = false;
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
