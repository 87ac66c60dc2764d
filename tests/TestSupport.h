#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "ArchivoAtomico.h"

// How long a test waits for what is bound to happen (a reading, a row, a
// window closing, a reply). Long, because a loaded machine is slow; a wait on
// a condition ends as soon as the condition holds. (A QTRY_ that fails goes
// on for twice as long again to say whether more time would have helped.)
constexpr int kEspera = 30000;

// A temporary directory made the working directory for the life of the object.
class DirectorioDePrueba
{
public:
    DirectorioDePrueba() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_dir.path()); }
    ~DirectorioDePrueba() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return QDir(m_dir.path()).absoluteFilePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

inline QByteArray leeArchivo(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool escribeArchivo(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Whether bytes hold the password in a form anyone recovers: as it is, in
// either letter case, or any single-byte XOR of it (in the code page of the
// settings file or in UTF-8).
inline bool guardaRecuperable(const QByteArray& bytes, const QString& clave)
{
    for (const QString& forma : {clave, clave.toUpper(), clave.toLower()}) {
        for (const QByteArray& b : {forma.toUtf8(), forma.toLatin1()}) {
            for (int k = 0; k < 256; ++k) {
                QByteArray x = b;
                for (char& c : x)
                    c = char(quint8(c) ^ quint8(k));
                if (bytes.contains(x))
                    return true;
            }
        }
    }
    return false;
}

// What a program run to its end said: exit code (-1 not finished in time,
// -2 crashed), standard output and standard error. An empty `env` is ours.
struct SalidaProceso
{
    int code;
    QString out;
    QString err;
};

inline SalidaProceso correProceso(const QString& program, const QStringList& args, const QString& cwd = QString(),
                                  const QProcessEnvironment& env = {})
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(4 * kEspera))
        return {-1, {}, p.error() == QProcess::FailedToStart ? p.errorString() : QStringLiteral("timeout")};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Connection string of the PostgreSQL server the test script or the ctest
// fixture started, or empty when the tests run without one (TOLVEX_TEST_PG
// set but empty says so explicitly).
inline QString conexionPostgres()
{
    const QString cs = qEnvironmentVariable("TOLVEX_TEST_PG");
    if (!cs.isEmpty() || qEnvironmentVariableIsSet("TOLVEX_TEST_PG"))
        return cs;
    // The server ctest's fixture started (tests/pg-fixture.sh), if any.
    return QString::fromUtf8(leeArchivo(qEnvironmentVariable("TOLVEX_BIN_DIR") +
                                        QStringLiteral("/pg-fixture.conexion")))
        .trimmed();
}

// A small real filesystem that fills up: a tmpfs mounted on a temporary
// directory. Needs root (CI and the development machines run as root); where
// it cannot be mounted, `ok()` is false and the caller skips or falls back to
// the simulated faults of ArchivoAtomico.
class DiscoLleno
{
public:
    explicit DiscoLleno(int kib = 256)
    {
        if (!m_dir.isValid())
            return;
        QProcess p;
        p.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                          QStringLiteral("size=%1k").arg(kib), QStringLiteral("tmpfs"),
                                          m_dir.path()});
        m_montado = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    ~DiscoLleno()
    {
        if (m_montado)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_dir.path()});
    }
    bool ok() const { return m_montado; }
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return QDir(m_dir.path()).absoluteFilePath(name); }
    // Fills what is left with a ballast file; `libera()` removes it.
    void llena()
    {
        QFile f(file(QStringLiteral(".lastre")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        const QByteArray bloque(4096, 'x');
        while (f.write(bloque) == bloque.size() && f.flush()) {
        }
        f.close();
    }
    void libera() { QFile::remove(file(QStringLiteral(".lastre"))); }

private:
    QTemporaryDir m_dir;
    bool m_montado = false;
};

// The failing file-write double: while it lives, the next `veces` whole-file
// writes (settings, journal, copies, exports) fail at `etapa`, a write once
// `trasBytes` bytes have gone out; cleared when it goes, whatever the outcome.
class FalloDeEscritura
{
public:
    explicit FalloDeEscritura(ArchivoAtomico::Etapa etapa, qint64 trasBytes = 0, int veces = -1)
    {
        ArchivoAtomico::simulaFallo(etapa, trasBytes, veces);
    }
    ~FalloDeEscritura() { ArchivoAtomico::simulaFallo(ArchivoAtomico::Etapa::Ninguna); }
    FalloDeEscritura(const FalloDeEscritura&) = delete;
    FalloDeEscritura& operator=(const FalloDeEscritura&) = delete;
};
