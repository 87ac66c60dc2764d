#pragma once

// What every fuzzer shares: one Qt application for the whole run, a scratch
// folder in memory, and the check that ends the run on a broken property.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace FuzzApoyo {

// Creates the application (once).
inline void inicia(int* argc, char*** argv)
{
    static int n = 1;
    static char nombre[] = "tolvex-fuzz";
    static char* args[] = {nombre, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QCoreApplication::instance())
        new QCoreApplication(n, args);
    (void)argc;
    (void)argv;
}

[[noreturn]] inline void falla(const char* que, const QString& detalle = {});

// A scratch folder for the run, under $TOLVEX_FUZZ_TMP, else in /dev/shm
// when it can be written (files are written and synced at every input),
// else in the system's temporary folder.
inline const QString& carpeta()
{
    static std::unique_ptr<QTemporaryDir> dir = [] {
        QString raiz = qEnvironmentVariable("TOLVEX_FUZZ_TMP");
        if (raiz.isEmpty())
            raiz = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        auto d = std::make_unique<QTemporaryDir>(raiz + QStringLiteral("/tolvex-fuzz-XXXXXX"));
        if (!d->isValid())
            falla("no se pudo crear la carpeta de trabajo", raiz);
        return d;
    }();
    static const QString path = dir->path();
    return path;
}

// A property that does not hold: says which and aborts, so libFuzzer keeps
// the input as a crash.
[[noreturn]] inline void falla(const char* que, const QString& detalle)
{
    std::fprintf(stderr, "\n*** PROPIEDAD ROTA: %s\n%s\n", que, detalle.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_EXIGE(cond, detalle)                                                                  \
    do {                                                                                           \
        if (!(cond))                                                                               \
            FuzzApoyo::falla(#cond, (detalle));                                                    \
    } while (0)

// Reads the input as a sequence of fields: a byte, a 16-bit number, a slice
// of given length, the rest.
class Lector
{
public:
    Lector(const uint8_t* d, size_t n) : m_d(reinterpret_cast<const char*>(d)), m_n(qsizetype(n)) {}
    bool vacio() const { return m_i >= m_n; }
    quint8 byte()
    {
        return m_i < m_n ? quint8(m_d[m_i++]) : 0;
    }
    QByteArray trozo(qsizetype largo)
    {
        largo = std::min(largo, m_n - m_i);
        QByteArray b(m_d + m_i, largo);
        m_i += largo;
        return b;
    }
    QByteArray resto() { return trozo(m_n - m_i); }

private:
    const char* m_d;
    qsizetype m_n;
    qsizetype m_i = 0;
};

} // namespace FuzzApoyo
