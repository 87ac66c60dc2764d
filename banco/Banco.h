#pragma once

// What the soak programs share: waiting on the event loop, the process's CPU
// time, and typing the first auxiliary datum into the station's dialog.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <functional>
#include <sys/resource.h>

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

} // namespace Banco
