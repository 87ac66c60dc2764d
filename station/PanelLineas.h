#pragma once

#include <QVector>
#include <QWidget>

#include "Lineas.h"

class QLabel;
class QToolButton;
class QTimer;
class Lampara;

// Every line of the workstation at a glance: one tile per line with its
// name, weight, state (running, stopped, fault, closed) and link lamp. A
// click on a tile, or Ctrl+N for line N, opens that line's station or
// brings it to the front. Only shown when the workstation has several lines.
class PanelLineas : public QWidget
{
    Q_OBJECT
public:
    // `propia`: the line of the window the panel sits in (its tile is
    // marked), 0 in the main window.
    explicit PanelLineas(int propia = 0, QWidget* parent = nullptr);

    // Reads every station's state again (also every 250 ms while shown).
    void actualiza();

    // What a tile shows now, for tests: "nombre|peso|estado".
    QString textoDe(int linea) const;

Q_SIGNALS:
    void elegida(int linea);

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    struct Ficha
    {
        Linea linea;
        QToolButton* boton = nullptr;
        QLabel* nombre = nullptr;
        QLabel* peso = nullptr;
        QLabel* estado = nullptr;
        Lampara* lampara = nullptr;
    };
    QVector<Ficha> m_fichas;
    int m_propia;
    QTimer* m_reloj;
};
