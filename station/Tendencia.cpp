#include "Tendencia.h"

#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace {
// Below this spacing a sample replaces the last one's slot: ten a second is
// more than the chart can show in its width.
constexpr double kPaso = 0.2;

double techo(double v)
{
    if (v <= 0)
        return 1;
    const double e = std::pow(10.0, std::floor(std::log10(v)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (v <= m * e)
            return m * e;
    }
    return 10 * e;
}
} // namespace

Tendencia::Tendencia(QWidget* parent, int segundos) : QWidget(parent), m_segundos(segundos)
{
    setObjectName(QStringLiteral("Chart_Tendencia"));
    m_chart = new QChart;
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    m_chart->setBackgroundRoundness(0);
    m_chart->legend()->setAlignment(Qt::AlignTop);
    m_chart->setAnimationOptions(QChart::NoAnimation);

    m_peso = new QLineSeries;
    m_peso->setName(QStringLiteral("Peso [kg]"));
    m_peso->setPen(QPen(QColor(30, 120, 220), 2));
    m_caudal = new QLineSeries;
    m_caudal->setName(QStringLiteral("Caudal [tn/h]"));
    m_caudal->setPen(QPen(QColor(230, 120, 20), 2));
    m_chart->addSeries(m_peso);
    m_chart->addSeries(m_caudal);

    m_ejeX = new QValueAxis;
    m_ejeX->setRange(-m_segundos, 0);
    m_ejeX->setTickCount(4);
    m_ejeX->setLabelFormat(QStringLiteral("%d s"));
    m_ejePeso = new QValueAxis;
    m_ejePeso->setRange(0, 1);
    m_ejePeso->setLabelFormat(QStringLiteral("%g"));
    m_ejePeso->setLinePenColor(QColor(30, 120, 220));
    m_ejeCaudal = new QValueAxis;
    m_ejeCaudal->setRange(0, 1);
    m_ejeCaudal->setLabelFormat(QStringLiteral("%g"));
    m_ejeCaudal->setLinePenColor(QColor(230, 120, 20));
    m_chart->addAxis(m_ejeX, Qt::AlignBottom);
    m_chart->addAxis(m_ejePeso, Qt::AlignLeft);
    m_chart->addAxis(m_ejeCaudal, Qt::AlignRight);
    m_peso->attachAxis(m_ejeX);
    m_peso->attachAxis(m_ejePeso);
    m_caudal->attachAxis(m_ejeX);
    m_caudal->attachAxis(m_ejeCaudal);

    m_vista = new QChartView(m_chart, this);
    m_vista->setRenderHint(QPainter::Antialiasing);
    m_vista->setMinimumHeight(180);
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(m_vista);

    m_reloj.start();
    m_redibujo = new QTimer(this);
    m_redibujo->setInterval(500);
    connect(m_redibujo, &QTimer::timeout, this, &Tendencia::redibuja);
    m_redibujo->start();
}

void Tendencia::agrega(double peso, double caudal)
{
    const double t = double(m_reloj.elapsed()) / 1000.0;
    if (!m_muestras.isEmpty() && m_muestras.last().valida && t - m_ultimaMuestra < kPaso) {
        Muestra& m = m_muestras.last();
        m.peso = peso;
        m.caudal = caudal;
    } else {
        m_muestras.append({t, peso, caudal, true});
        m_ultimaMuestra = t;
    }
    m_cambios = true;
}

void Tendencia::sinDatos()
{
    if (!m_muestras.isEmpty() && m_muestras.last().valida) {
        // The last values up to now, then a drop to zero marks the gap.
        const double t = double(m_reloj.elapsed()) / 1000.0;
        const Muestra u = m_muestras.last();
        m_muestras.append({t, u.peso, u.caudal, true});
        m_muestras.append({t, 0, 0, false});
        m_cambios = true;
    }
}

void Tendencia::limpia()
{
    m_muestras.clear();
    m_cambios = true;
    redibuja();
}

void Tendencia::setSegundos(int segundos)
{
    m_segundos = std::max(1, segundos);
    m_ejeX->setRange(-m_segundos, 0);
    m_cambios = true;
}

int Tendencia::puntos() const
{
    return m_peso->count();
}

void Tendencia::redibuja()
{
    const double ahora = double(m_reloj.elapsed()) / 1000.0;
    const double desde = ahora - m_segundos;
    const auto primero = std::find_if(m_muestras.begin(), m_muestras.end(),
                                      [desde](const Muestra& m) { return m.t >= desde; });
    m_muestras.erase(m_muestras.begin(), primero);
    if (!m_cambios && m_muestras.isEmpty())
        return;
    m_cambios = false;
    QList<QPointF> peso, caudal;
    peso.reserve(m_muestras.size());
    caudal.reserve(m_muestras.size());
    double maxPeso = 0, maxCaudal = 0;
    for (const Muestra& m : std::as_const(m_muestras)) {
        if (!m.valida) {
            // QLineSeries has no gaps: drop the line to zero while down.
            peso.append({m.t - ahora, 0});
            caudal.append({m.t - ahora, 0});
            continue;
        }
        peso.append({m.t - ahora, m.peso});
        caudal.append({m.t - ahora, m.caudal});
        maxPeso = std::max(maxPeso, m.peso);
        maxCaudal = std::max(maxCaudal, m.caudal);
    }
    m_peso->replace(peso);
    m_caudal->replace(caudal);
    m_ejePeso->setRange(0, techo(maxPeso * 1.1));
    m_ejeCaudal->setRange(0, techo(maxCaudal * 1.1));
}
