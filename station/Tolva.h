#pragma once

#include <QColor>
#include <QFrame>
#include <QPixmap>
#include <QVector>
#include <QWidget>

class QLabel;
class QPainter;

// A round lamp.
class Lampara : public QWidget
{
    Q_OBJECT
public:
    static inline const QColor kEncendida{0, 255, 0};
    static inline const QColor kApagada{192, 192, 192};
    static inline const QColor kFalla{255, 0, 0};
    static inline const QColor kEspera{255, 190, 0};

    explicit Lampara(QWidget* parent = nullptr, int diametro = 18);
    void setColor(const QColor& c);
    QColor color() const { return m_color; }
    // Colour of what lies under the lamp: painted opaque, the widget
    // beneath is not repainted when the lamp changes.
    void setFondo(const QColor& fondo);
    QSize sizeHint() const override { return {m_diametro, m_diametro}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor m_color = kApagada;
    QColor m_fondo;
    int m_diametro;
};

// The hopper drawing: feeders, hopper body and discharge gate, with the
// level shape Shp_Peso (its top moves from 230, empty, up to 160, full),
// the two material streams and the step picture with its caption.
class DibujoTolva : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kVacia = 230;
    static constexpr int kLlena = 160;
    static constexpr int kFondo = 232;

    explicit DibujoTolva(QWidget* parent = nullptr);

    // Level top for a weight and the fine cut (the hopper is full at it).
    static int nivel(double peso, double fino);
    void setNivel(int top);
    int nivelActual() const;
    // Picture and caption of a state (0..4); other values keep the last ones.
    void setEstado(int modo);
    void setChorro(bool visible);
    void setDescarga(bool abierta);

    // PicPasos(0..3): the step pictures; their tags are the captions.
    static QPixmap picPasos(int i);
    static QString tagPasos(int i);

    QSize sizeHint() const override { return {300, 376}; }
    QSize minimumSizeHint() const override { return {300, 376}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void dibuja(QPainter& p, bool lleno) const;

    QFrame* m_nivel;
    QFrame* m_chorro1;
    QFrame* m_chorro2;
    QLabel* m_pic;
    QLabel* m_estado;
    QPixmap m_pasos[4];
    QPixmap m_dibujo;
    bool m_dibujoDescarga = false;
    bool m_dibujoLleno = false;
    bool m_descarga = false;
    int m_modo = -1;
};
