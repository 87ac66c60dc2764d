#pragma once

#include <QElapsedTimer>
#include <QPixmap>
#include <QPolygonF>
#include <QStringList>
#include <QVector>
#include <QWidget>

class QTimer;

// Weight and flow of the last minutes: weight on the left axis, flow on the
// right one, seconds before now along the bottom. Samples are taken from
// every poll but the lines are redrawn only twice a second; grid, axes and
// legend are drawn once and again only when a range or the size changes.
class Tendencia : public QWidget
{
    Q_OBJECT
public:
    explicit Tendencia(QWidget* parent = nullptr, int segundos = 180);

    void agrega(double peso, double caudal);
    // Gap in the lines while the link is down.
    void sinDatos();
    void limpia();
    // Points drawn at the last redraw.
    int puntos() const { return m_puntos; }
    // The labels of the weight (or the flow) axis as drawn, bottom to top.
    QStringList rotulos(bool caudal) const;
    // Width of the window in seconds.
    void setSegundos(int segundos);

    QSize sizeHint() const override { return {300, 180}; }
    QSize minimumSizeHint() const override { return {200, 130}; }

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void redibuja();
    void dibujaFondo();
    double segundos() const { return double(m_reloj.elapsed()) / 1000.0; }

    struct Muestra
    {
        double t;
        double peso;
        double caudal;
        bool valida;
    };
    QVector<Muestra> m_muestras;
    QElapsedTimer m_reloj;
    QTimer* m_redibujo;
    int m_segundos;
    double m_ultimaMuestra = -1;
    double m_ultimoRedibujo = -1;
    bool m_cambios = false;

    // Tops of the weight and flow axes.
    double m_topePeso = 1;
    double m_topeCaudal = 1;
    // Grid, axes and legend at the widget's size; the plot area inside it.
    QPixmap m_fondo;
    QRectF m_area;
    // The lines in widget coordinates, one polyline per run without gaps.
    QVector<QPolygonF> m_peso;
    QVector<QPolygonF> m_caudal;
    int m_puntos = 0;
};
