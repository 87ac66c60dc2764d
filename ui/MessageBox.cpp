#include "MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLibraryInfo>
#include <QQueue>
#include <QTranslator>
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
    enCastellano(box);
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

void MessageBox::enCastellano(QMessageBox& box)
{
    // Spanish even where Qt's own translation is not installed.
    static const QList<QPair<QMessageBox::StandardButton, const char*>> textos = {
        {QMessageBox::Ok, "Aceptar"},
        {QMessageBox::Cancel, "Cancelar"},
        {QMessageBox::Yes, "Sí"},
        {QMessageBox::No, "No"},
        {QMessageBox::YesToAll, "Sí a todo"},
        {QMessageBox::NoToAll, "No a todo"},
        {QMessageBox::Save, "Guardar"},
        {QMessageBox::Discard, "Descartar"},
        {QMessageBox::Close, "Cerrar"},
        {QMessageBox::Abort, "Anular"},
        {QMessageBox::Retry, "Reintentar"},
        {QMessageBox::Ignore, "Ignorar"},
        {QMessageBox::Help, "Ayuda"},
        {QMessageBox::Open, "Abrir"},
        {QMessageBox::Apply, "Aplicar"},
        {QMessageBox::Reset, "Restablecer"},
    };
    for (const auto& [boton, texto] : textos) {
        if (QAbstractButton* b = box.button(boton))
            b->setText(QString::fromUtf8(texto));
    }
}

bool MessageBox::cargaTraduccionQt()
{
    // Installed once for the program's life: file, print and page-setup
    // dialogs are Qt's own.
    static QTranslator* qt = nullptr;
    if (qt)
        return true;
    auto* t = new QTranslator(QCoreApplication::instance());
    if (!t->load(QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete t;
        return false;
    }
    QCoreApplication::installTranslator(t);
    qt = t;
    return true;
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
