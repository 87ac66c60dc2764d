#pragma once

#include <QElapsedTimer>
#include <QWidget>

class QChart;
class QChartView;
class QLineSeries;
class QTimer;
class QValueAxis;

// Weight and flow of the last minutes. Samples are taken from every poll but
// the chart is redrawn only twice a second, so a poll costs a few stores.
class Tendencia : public QWidget
{
    Q_OBJECT
public:
    explicit Tendencia(QWidget* parent = nullptr, int segundos = 180);

    void agrega(double peso, double caudal);
    // Gap in the lines while the link is down.
    void sinDatos();
    void limpia();
    int puntos() const;
    // Width of the window in seconds.
    void setSegundos(int segundos);

private:
    void redibuja();

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
    QChart* m_chart;
    QChartView* m_vista;
    QLineSeries* m_peso;
    QLineSeries* m_caudal;
    QValueAxis* m_ejeX;
    QValueAxis* m_ejePeso;
    QValueAxis* m_ejeCaudal;
    int m_segundos;
    double m_ultimaMuestra = -1;
    bool m_cambios = false;
};
