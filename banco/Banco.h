#pragma once

// What the soak programs share: waiting on the event loop, the process's CPU
// time, typing the first auxiliary datum into the station's dialog, and
// preparing a program directory of several lines.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVector>
#include <functional>
#include <sys/resource.h>
#include <utility>

#include "Config.h"
#include "Instalacion.h"
#include "Programa.h"

namespace Banco {

// Runs the event loop until cond holds; false when ms passed first.
inline bool esperaHasta(const std::function<bool()>& cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

// CPU seconds (user and system) of this process, or of its finished
// children with RUSAGE_CHILDREN.
inline double cpuSegundos(int quien = RUSAGE_SELF)
{
    rusage u{};
    getrusage(quien, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Types dato as the first auxiliary datum of the next station opening, or
// of every one with todas, and accepts the dialog.
inline void rellenaDatos(QObject* padre, const QString& dato, bool todas)
{
    auto* t = new QTimer(padre);
    t->setInterval(10);
    QObject::connect(t, &QTimer::timeout, t, [t, dato, todas] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!d || d->objectName() != u"FrmDatos")
            return;
        if (auto* e = d->findChild<QLineEdit*>(QStringLiteral("Txt_Dato_0")))
            e->setText(dato);
        if (auto* ok = d->findChild<QPushButton*>(QStringLiteral("CmdOkDato")))
            ok->click();
        if (!todas)
            t->deleteLater();
    });
    t->start();
}

// Writes the lines into the settings of the working directory. A line that
// already has a name keeps it (a directory prepared again, or renamed by hand).
inline bool configura(const QString& dir, const QVector<std::pair<quint16, quint8>>& enlaces, QString* error)
{
    const QString g = QStringLiteral("global");
    const auto nombre = [&g](int n) {
        const QString clave = QStringLiteral("Nombre_%1").arg(n);
        return Config::LeeConfig(g, clave, {}).isEmpty() ? QStringLiteral("Tolva %1").arg(QChar(u'A' + n - 1))
                                                         : QString();
    };
    for (int i = 1; i < enlaces.size(); ++i) {
        LineaInstalada l;
        l.numero = i + 1;
        l.nombre = nombre(i + 1);
        l.tcp = QStringLiteral("127.0.0.1:%1").arg(enlaces[i].first);
        l.id = enlaces[i].second;
        if (!InstalacionLineas::agrega(dir, l, error))
            return false;
    }
    Config::GuardaConfig(g, QStringLiteral("Comunicacion_1"), QStringLiteral("1"));
    Config::GuardaConfig(g, QStringLiteral("Host_1"), QStringLiteral("127.0.0.1"));
    Config::GuardaConfig(g, QStringLiteral("Port_1"), QString::number(enlaces[0].first));
    Config::GuardaConfig(g, QStringLiteral("ID_1"), QString::number(enlaces[0].second));
    if (const QString n = nombre(1); !n.isEmpty())
        Config::GuardaConfig(g, QStringLiteral("Nombre_1"), n);
    return true;
}

// Prepares the program directory for these links (line N on enlaces[N - 1]):
// a new directory's files, the lines' keys, the poll period and the
// auxiliary data captions (only the first asked for, "Puesto:", with
// pideDato); then reads the session's settings.
inline bool prepara(const QString& dir, const QVector<std::pair<quint16, quint8>>& enlaces, const QString& postgres,
             int periodo, bool pideDato, QString* error)
{
    Instalacion ins;
    ins.directorio = dir;
    ins.tcp = QStringLiteral("127.0.0.1:%1").arg(enlaces[0].first);
    ins.id = 1;
    ins.postgres = postgres;
    if (!ins.ejecutar()) {
        *error = ins.error;
        return false;
    }
    if (!configura(dir, enlaces, error))
        return false;
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QString::number(periodo));
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i),
                             i == 0 && pideDato ? QStringLiteral("Puesto:") : QString());
    Programa::leeVariables();
    return true;
}

} // namespace Banco
