#pragma once

#include <QString>
#include <memory>

// The bus of a program directory has one master: the process that holds
// this lock (an flock on "Tolvex.lock" in the directory, released by the
// kernel when the process ends, however it ends). The file names the holder
// so that a second process can say who it is.
class CerrojoBus
{
public:
    static inline const QString kArchivo = QStringLiteral("Tolvex.lock");

    ~CerrojoBus();
    CerrojoBus(const CerrojoBus&) = delete;
    CerrojoBus& operator=(const CerrojoBus&) = delete;

    // Takes the lock for this process, described by quien ("tolvex-registro",
    // "tolvex"...). Null when another process holds it (*error names it) or
    // the file cannot be opened (*error says why).
    static std::unique_ptr<CerrojoBus> toma(const QString& directorio, const QString& quien,
                                            QString* error = nullptr);
    // Who holds the lock of the directory now: "" when nobody does.
    static QString titular(const QString& directorio);

private:
    explicit CerrojoBus(int fd) : m_fd(fd) {}
    int m_fd = -1;
};
