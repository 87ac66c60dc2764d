#pragma once

#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QRawFont>

class QPainter;

// A label for a value that changes several times a second. Its size is
// fixed, so a new text repaints the label alone instead of laying out the
// window again; the size grows (and stays grown) when a text arrives that
// does not fit, and the window makes room for it. Given the colour of what
// lies under it, it paints that colour under its own box and is opaque, so
// the widget beneath is not repainted.
class Visor : public QLabel
{
    Q_OBJECT
public:
    explicit Visor(const QString& texto = QString(), QWidget* parent = nullptr);

    // Fixes the size at the one the layout gave the label (wider if its
    // text does not fit). Call once the window is laid out.
    void fija();
    // Shows texto; nothing is done if it is already shown.
    void muestra(const QString& texto);
    // Colour of what lies under the label.
    void setFondo(const QColor& fondo);

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    int anchoPara(const QString& texto) const;
    // Draws a one-line text whose every character the font itself has, from
    // its glyphs and advances, without shaping it again; false otherwise.
    bool dibujaGlifos(QPainter& p, const QRect& cr, int alineacion, const QPalette& paleta);

    QColor m_fondo;
    QPixmap m_caja;
    QRawFont m_glifos;
    bool m_cajaActiva = true;
    mutable int m_margen = -1;
    mutable bool m_fijo = false;
    // Length of the longest text shown whole since the size was fixed.
    int m_cabe = 0;
    bool m_fijado = false;
};
