#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// A profile file as Windows keeps it: "[section]" headers and "key=value"
// lines, Windows-1252 text, CRLF line ends. Sections and keys are matched
// regardless of case; the first match wins. Lines that are neither (comments,
// garbage) are kept as they are. Writing changes only the line of the key,
// or adds it at the end of its section.
class IniFile
{
public:
    // An unreadable or missing file gives an empty one and false.
    bool load(const QString& path, QString* error = nullptr);
    // Replaces the file whole or leaves it as it was (full disk, no
    // permission...); false with the reason in the second case.
    bool save(const QString& path, QString* error = nullptr) const;

    // The text after "=", exactly as stored; found tells a missing key apart.
    QString value(const QString& section, const QString& key, bool* found = nullptr) const;
    void setValue(const QString& section, const QString& key, const QString& text);
    // The keys of every section of that name, as written, in file order.
    QStringList keys(const QString& section) const;
    // Removes every line of key in every section of that name.
    void removeKey(const QString& section, const QString& key);

    QStringList lines() const { return m_lines; }
    void setLines(const QStringList& lines)
    {
        m_lines = lines;
        m_index.clear();
        m_indexed = false;
    }

    // Files read from disk by load() since the program started.
    static int loads();

    // A file named "Tolvex.ini" in dir, whatever its letters' case; empty if none.
    static QString find(const QString& dir, const QString& name);

private:
    static bool isHeader(const QString& line, QString* name);
    static bool keyOf(const QString& line, QString* key, QString* value);

    void buildIndex() const;

    QStringList m_lines;
    bool m_utf8 = false;
    // First value of every section/key pair, case-folded: built when the
    // file is read (and after a change, on the next lookup), so that a file
    // is scanned once however many keys are read.
    mutable QHash<QString, QString> m_index;
    mutable bool m_indexed = false;
};
