#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

class QWidget;

// Every message box of the program goes through here. Tests switch on the
// scripted mode: no box is shown, the queued answers are returned in order
// (the default button when none is queued) and each box is recorded.
class MessageBox
{
public:
    enum Icono
    {
        Ninguno,
        Informacion,
        Pregunta,
        Exclamacion,
        Critico
    };

    struct Mostrado
    {
        Icono icono;
        QString titulo;
        QString texto;
        QMessageBox::StandardButtons botones;
        QMessageBox::StandardButton porDefecto;
    };

    static QMessageBox::StandardButton
    mostrar(QWidget* parent, Icono icono, const QString& titulo, const QString& texto,
            QMessageBox::StandardButtons botones = QMessageBox::Ok,
            QMessageBox::StandardButton porDefecto = QMessageBox::NoButton);

    // Yes/No question; true on Yes.
    static bool pregunta(QWidget* parent, Icono icono, const QString& titulo, const QString& texto,
                         bool noPorDefecto = true);

    // Spanish texts on a box's standard buttons.
    static void enCastellano(QMessageBox& box);
    // Installs Qt's Spanish translation (package qt6-translations-l10n) for
    // the platform's dialogs; false when it is not installed.
    static bool cargaTraduccionQt();

    static void setScripted(bool on);
    static bool scripted();
    static void setNextAnswer(QMessageBox::StandardButton answer);
    static QList<Mostrado> mostrados();
    static QString ultimoTexto();
    static void limpiar();
};
