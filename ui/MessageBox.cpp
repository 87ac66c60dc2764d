#include "MessageBox.h"

#include <QApplication>
#include <QQueue>
#include <cstdio>

namespace {
bool g_scripted = false;
QQueue<QMessageBox::StandardButton> g_answers;
QList<MessageBox::Mostrado> g_shown;

QMessageBox::Icon qtIcon(MessageBox::Icono icono)
{
    switch (icono) {
    case MessageBox::Ninguno:
        return QMessageBox::NoIcon;
    case MessageBox::Informacion:
        return QMessageBox::Information;
    case MessageBox::Pregunta:
        return QMessageBox::Question;
    case MessageBox::Exclamacion:
        return QMessageBox::Warning;
    case MessageBox::Critico:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton fallback(QMessageBox::StandardButtons botones,
                                     QMessageBox::StandardButton porDefecto)
{
    if (porDefecto != QMessageBox::NoButton)
        return porDefecto;
    for (auto b : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel}) {
        if (botones.testFlag(b))
            return b;
    }
    return QMessageBox::Ok;
}
} // namespace

QMessageBox::StandardButton MessageBox::mostrar(QWidget* parent, Icono icono, const QString& titulo,
                                                const QString& texto,
                                                QMessageBox::StandardButtons botones,
                                                QMessageBox::StandardButton porDefecto)
{
    g_shown.append({icono, titulo, texto, botones, porDefecto});
    if (g_scripted) {
        if (!g_answers.isEmpty())
            return g_answers.dequeue();
        return fallback(botones, porDefecto);
    }
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // Console programs share the data layer: say it on stderr instead.
        std::fprintf(stderr, "%s: %s\n", qPrintable(titulo), qPrintable(texto));
        return fallback(botones, porDefecto);
    }
    QMessageBox box(qtIcon(icono), titulo, texto, botones, parent);
    if (porDefecto != QMessageBox::NoButton)
        box.setDefaultButton(porDefecto);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool MessageBox::pregunta(QWidget* parent, Icono icono, const QString& titulo, const QString& texto,
                          bool noPorDefecto)
{
    return mostrar(parent, icono, titulo, texto, QMessageBox::Yes | QMessageBox::No,
                   noPorDefecto ? QMessageBox::No : QMessageBox::Yes) == QMessageBox::Yes;
}

void MessageBox::setScripted(bool on)
{
    g_scripted = on;
}

bool MessageBox::scripted()
{
    return g_scripted;
}

void MessageBox::setNextAnswer(QMessageBox::StandardButton answer)
{
    g_answers.enqueue(answer);
}

QList<MessageBox::Mostrado> MessageBox::mostrados()
{
    return g_shown;
}

QString MessageBox::ultimoTexto()
{
    return g_shown.isEmpty() ? QString() : g_shown.last().texto;
}

void MessageBox::limpiar()
{
    g_shown.clear();
    g_answers.clear();
}
