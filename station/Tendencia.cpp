#include "Tendencia.h"

#include <QEvent>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace {
// Below this spacing a sample replaces the last one's slot: ten a second is
// more than the chart can show in its width.
constexpr double kPaso = 0.2;
// Seconds between redraws of the lines.
constexpr double kRedibujo = 0.5;
constexpr int kMarcasX = 4;
constexpr int kMarcasY = 5;
constexpr int kMargen = 4;
constexpr int kMarca = 5; // tick length outside the axes

const QColor kColorPeso(30, 120, 220);
const QColor kColorCaudal(230, 120, 20);
const QColor kColorGrilla(224, 224, 224);
const QColor kColorEje(140, 140, 140);
const QColor kColorTexto(48, 48, 48);

const QString& nombrePeso()
{
    static const QString n = QStringLiteral("Peso [kg]");
    return n;
}

const QString& nombreCaudal()
{
    static const QString n = QStringLiteral("Caudal [tn/h]");
    return n;
}

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

// In the desktop's own numbers: "0,75" on a Spanish desktop.
QString rotuloY(double v)
{
    return QLocale().toString(v, 'g', 6);
}

QString rotuloX(double v)
{
    return QString::asprintf("%d s", int(v));
}
} // namespace

Tendencia::Tendencia(QWidget* parent, int segundos) : QWidget(parent), m_segundos(segundos)
{
    setObjectName(QStringLiteral("Chart_Tendencia"));
    // paintEvent covers the whole widget: the frame beneath is not repainted.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumHeight(130);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    m_reloj.start();
    // Redraws come with the samples; the timer, restarted at each one and
    // longer than their spacing, keeps the time axis moving while none
    // arrive.
    m_redibujo = new QTimer(this);
    m_redibujo->setInterval(int(2 * kRedibujo * 1000));
    connect(m_redibujo, &QTimer::timeout, this, &Tendencia::redibuja);
    m_redibujo->start();
}

void Tendencia::agrega(double peso, double caudal)
{
    const double t = segundos();
    if (!m_muestras.isEmpty() && m_muestras.last().valida && t - m_ultimaMuestra < kPaso) {
        Muestra& m = m_muestras.last();
        m.peso = peso;
        m.caudal = caudal;
    } else {
        m_muestras.append({t, peso, caudal, true});
        m_ultimaMuestra = t;
    }
    m_cambios = true;
    if (t - m_ultimoRedibujo >= kRedibujo) {
        redibuja();
        m_redibujo->start();
    }
}

void Tendencia::sinDatos()
{
    if (!m_muestras.isEmpty() && m_muestras.last().valida) {
        // The lines reach the last values up to now, then stop.
        const double t = segundos();
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
    m_fondo = QPixmap();
    m_cambios = true;
    update();
}

void Tendencia::redibuja()
{
    const double ahora = segundos();
    m_ultimoRedibujo = ahora;
    const double desde = ahora - m_segundos;
    const auto primero = std::find_if(m_muestras.begin(), m_muestras.end(),
                                      [desde](const Muestra& m) { return m.t >= desde; });
    m_muestras.erase(m_muestras.begin(), primero);
    if (!m_cambios && m_muestras.isEmpty())
        return;
    m_cambios = false;

    double maxPeso = 0, maxCaudal = 0;
    for (const Muestra& m : std::as_const(m_muestras)) {
        if (m.valida) {
            maxPeso = std::max(maxPeso, m.peso);
            maxCaudal = std::max(maxCaudal, m.caudal);
        }
    }
    const double topePeso = techo(maxPeso * 1.1);
    const double topeCaudal = techo(maxCaudal * 1.1);
    if (topePeso != m_topePeso || topeCaudal != m_topeCaudal) {
        m_topePeso = topePeso;
        m_topeCaudal = topeCaudal;
        m_fondo = QPixmap();
    }
    if (m_fondo.isNull())
        dibujaFondo();

    m_peso.clear();
    m_caudal.clear();
    m_puntos = 0;
    const QRectF& a = m_area;
    const double escalaX = a.width() / m_segundos;
    bool corte = true;
    for (const Muestra& m : std::as_const(m_muestras)) {
        if (!m.valida) {
            corte = true;
            continue;
        }
        if (corte) {
            m_peso.append(QPolygonF());
            m_caudal.append(QPolygonF());
            corte = false;
        }
        const double x = a.right() - (ahora - m.t) * escalaX;
        m_peso.last().append({x, a.bottom() - m.peso / m_topePeso * a.height()});
        m_caudal.last().append({x, a.bottom() - m.caudal / m_topeCaudal * a.height()});
        ++m_puntos;
    }
    update();
}

QStringList Tendencia::rotulos(bool caudal) const
{
    const double tope = caudal ? m_topeCaudal : m_topePeso;
    QStringList r;
    for (int i = 0; i < kMarcasY; ++i)
        r << rotuloY(tope * i / (kMarcasY - 1));
    return r;
}

void Tendencia::dibujaFondo()
{
    const qreal dpr = devicePixelRatioF();
    m_fondo = QPixmap(size() * dpr);
    m_fondo.setDevicePixelRatio(dpr);
    m_fondo.fill(Qt::white);
    QPainter p(&m_fondo);
    p.setFont(font());
    const QFontMetrics fm(font());
    const int alto = fm.height();

    // Legend: a square of each line's colour and its name, centred on top.
    const int cuadro = std::max(8, fm.ascent() * 2 / 3);
    const int anchoPeso = cuadro + 4 + fm.horizontalAdvance(nombrePeso());
    const int anchoLeyenda = anchoPeso + 16 + cuadro + 4 + fm.horizontalAdvance(nombreCaudal());
    int x = (width() - anchoLeyenda) / 2;
    const int yLeyenda = kMargen + alto / 2;
    auto entrada = [&](const QColor& c, const QString& nombre) {
        p.setPen(c.darker(130));
        p.setBrush(c);
        p.drawRect(QRect(x, yLeyenda + (alto - cuadro) / 2, cuadro - 1, cuadro - 1));
        p.setPen(kColorTexto);
        p.drawText(QRect(x + cuadro + 4, yLeyenda, width(), alto), Qt::AlignLeft | Qt::AlignVCenter, nombre);
        x += cuadro + 4 + fm.horizontalAdvance(nombre) + 16;
    };
    entrada(kColorPeso, nombrePeso());
    entrada(kColorCaudal, nombreCaudal());

    // Plot area: room for the widest label of each axis.
    const QStringList rotulosPeso = rotulos(false);
    const QStringList rotulosCaudal = rotulos(true);
    int izq = 0, der = 0;
    for (int i = 0; i < kMarcasY; ++i) {
        izq = std::max(izq, fm.horizontalAdvance(rotulosPeso[i]));
        der = std::max(der, fm.horizontalAdvance(rotulosCaudal[i]));
    }
    const int margenX = fm.horizontalAdvance(rotuloX(-m_segundos)) / 2;
    const double arriba = yLeyenda + alto * 2.0;
    const double izquierda = kMargen + std::max(izq + kMarca + 4, margenX);
    const double derecha = width() - kMargen - std::max(der + kMarca + 4, margenX);
    const double abajo = height() - kMargen - alto - kMarca - 2;
    m_area = QRectF(QPointF(izquierda, arriba), QPointF(derecha, abajo)).normalized();
    const QRectF& a = m_area;

    // Grid and ticks, with their labels.
    for (int i = 0; i < kMarcasY; ++i) {
        const double y = std::round(a.bottom() - a.height() * i / (kMarcasY - 1)) + 0.5;
        p.setPen(kColorGrilla);
        p.drawLine(QPointF(a.left(), y), QPointF(a.right(), y));
        p.setPen(kColorPeso);
        p.drawLine(QPointF(a.left() - kMarca, y), QPointF(a.left(), y));
        p.setPen(kColorCaudal);
        p.drawLine(QPointF(a.right(), y), QPointF(a.right() + kMarca, y));
        p.setPen(kColorTexto);
        p.drawText(QRectF(kMargen, y - alto / 2.0, a.left() - kMarca - 4 - kMargen, alto),
                   Qt::AlignRight | Qt::AlignVCenter, rotulosPeso[i]);
        p.drawText(QRectF(a.right() + kMarca + 4, y - alto / 2.0, width(), alto),
                   Qt::AlignLeft | Qt::AlignVCenter, rotulosCaudal[i]);
    }
    for (int i = 0; i < kMarcasX; ++i) {
        const double x = std::round(a.left() + a.width() * i / (kMarcasX - 1)) + 0.5;
        p.setPen(kColorGrilla);
        p.drawLine(QPointF(x, a.top()), QPointF(x, a.bottom()));
        p.setPen(kColorEje);
        p.drawLine(QPointF(x, a.bottom()), QPointF(x, a.bottom() + kMarca));
        p.setPen(kColorTexto);
        const double s = -m_segundos + double(m_segundos) * i / (kMarcasX - 1);
        p.drawText(QRectF(x - 100, a.bottom() + kMarca + 1, 200, alto), Qt::AlignHCenter | Qt::AlignTop,
                   rotuloX(s));
    }
    // Axes: bottom, weight on the left, flow on the right.
    p.setPen(kColorEje);
    p.drawLine(QPointF(a.left(), a.bottom() + 0.5), QPointF(a.right(), a.bottom() + 0.5));
    p.setPen(kColorPeso);
    p.drawLine(QPointF(a.left() + 0.5, a.top()), QPointF(a.left() + 0.5, a.bottom()));
    p.setPen(kColorCaudal);
    p.drawLine(QPointF(a.right() + 0.5, a.top()), QPointF(a.right() + 0.5, a.bottom()));
}

void Tendencia::paintEvent(QPaintEvent*)
{
    if (m_fondo.isNull()) {
        dibujaFondo();
        m_cambios = true;
        // The lines follow at once, in the plot area just laid out.
        QTimer::singleShot(0, this, &Tendencia::redibuja);
    }
    QPainter p(this);
    p.drawPixmap(0, 0, m_fondo);
    p.setClipRect(m_area.adjusted(-1, -1, 1, 1));
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kColorPeso, 2));
    for (const QPolygonF& l : std::as_const(m_peso))
        p.drawPolyline(l);
    p.setPen(QPen(kColorCaudal, 2));
    for (const QPolygonF& l : std::as_const(m_caudal))
        p.drawPolyline(l);
}

void Tendencia::resizeEvent(QResizeEvent* e)
{
    m_fondo = QPixmap();
    m_peso.clear();
    m_caudal.clear();
    QWidget::resizeEvent(e);
}

void Tendencia::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::FontChange)
        m_fondo = QPixmap();
    QWidget::changeEvent(e);
}
