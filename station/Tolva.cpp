#include "Tolva.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "EstadoEstacion.h"

Lampara::Lampara(QWidget* parent, int diametro) : QWidget(parent), m_diametro(diametro)
{
    setFixedSize(diametro, diametro);
}

void Lampara::setColor(const QColor& c)
{
    if (c == m_color)
        return;
    m_color = c;
    update();
}

void Lampara::setFondo(const QColor& fondo)
{
    m_fondo = fondo;
    setAttribute(Qt::WA_OpaquePaintEvent, fondo.isValid());
    update();
}

void Lampara::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (m_fondo.isValid())
        p.fillRect(rect(), m_fondo);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QRadialGradient g(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
    g.setColorAt(0, m_color.lighter(150));
    g.setColorAt(1, m_color);
    p.setBrush(g);
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.drawEllipse(r);
}

namespace {
const QColor kMaterial(196, 150, 72);
const QColor kAcero(120, 130, 140);
const QColor kAceroClaro(200, 206, 212);

QFrame* forma(QWidget* parent, const char* nombre, const QColor& color)
{
    auto* f = new QFrame(parent);
    f->setObjectName(QLatin1String(nombre));
    f->setAutoFillBackground(true);
    QPalette pal = f->palette();
    pal.setColor(QPalette::Window, color);
    f->setPalette(pal);
    return f;
}
} // namespace

DibujoTolva::DibujoTolva(QWidget* parent) : QWidget(parent)
{
    setFixedSize(300, 376);
    // paintEvent fills the whole drawing: the frame beneath is not repainted.
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_nivel = forma(this, "Shp_Peso", kMaterial);
    m_chorro1 = forma(this, "Shp_Chorro1", kMaterial);
    m_chorro2 = forma(this, "Shp_Chorro2", kMaterial.darker(115));
    m_chorro1->setGeometry(111, 66, 10, kVacia - 66);
    m_chorro2->setGeometry(181, 66, 6, kVacia - 66);
    m_chorro1->hide();
    m_chorro2->hide();
    m_nivel->setGeometry(66, kVacia, 168, kFondo - kVacia);
    m_nivel->lower();

    m_pic = new QLabel(this);
    m_pic->setObjectName(QStringLiteral("Pic_SPC"));
    m_pic->setGeometry(8, 298, 70, 70);
    m_pic->setFrameShape(QFrame::Box);
    m_estado = new QLabel(this);
    m_estado->setObjectName(QStringLiteral("Lbl_Estado"));
    m_estado->setGeometry(88, 314, 204, 38);
    m_estado->setAlignment(Qt::AlignCenter);
    m_estado->setStyleSheet(QStringLiteral(
        "QLabel { background: #1b2430; color: #ffd24a; border: 2px solid #5b6672;"
        " border-radius: 4px; font: bold 18px 'DejaVu Sans'; }"));
    setEstado(0);
}

int DibujoTolva::nivel(double peso, double fino)
{
    double r = fino != 0 ? peso / fino : 0;
    if (!(r >= 0)) // negative or NaN
        r = 0;
    r = std::min(r, 1.0);
    return kVacia - int(r * (kVacia - kLlena));
}

void DibujoTolva::setNivel(int top)
{
    const int antes = m_nivel->y();
    if (top == antes)
        return;
    // Moving the shape repaints what it uncovers; the drawing itself only
    // changes where the cone fills or empties.
    m_nivel->setGeometry(66, top, 168, std::max(1, kFondo - top));
    if ((top < kVacia) != (antes < kVacia))
        update(QRect(58, kFondo, 185, 264 - kFondo + 2));
}

int DibujoTolva::nivelActual() const
{
    return m_nivel->y();
}

void DibujoTolva::setEstado(int modo)
{
    static const int pic[5] = {0, 1, 2, 3, 0};
    if (modo < 0 || modo > 4 || modo == m_modo)
        return;
    m_modo = modo;
    QPixmap& pm = m_pasos[pic[modo]];
    if (pm.isNull())
        pm = picPasos(pic[modo]);
    m_pic->setPixmap(pm);
    m_estado->setText(EstadoEstacion::textoDeModo(modo));
    setDescarga(modo == 3);
}

void DibujoTolva::setChorro(bool visible)
{
    m_chorro1->setVisible(visible);
    m_chorro2->setVisible(visible);
}

void DibujoTolva::setDescarga(bool abierta)
{
    if (abierta != m_descarga) {
        m_descarga = abierta;
        update();
    }
}

QString DibujoTolva::tagPasos(int i)
{
    return EstadoEstacion::textoDeModo(std::clamp(i, 0, 3));
}

QPixmap DibujoTolva::picPasos(int i)
{
    QPixmap pm(70, 70);
    pm.fill(QColor(27, 36, 48));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor amarillo(255, 210, 74), verde(80, 220, 120), azul(90, 170, 255), naranja(255, 150, 60);
    switch (std::clamp(i, 0, 3)) {
    case 0: { // stand-by: pause bars in a ring
        p.setPen(QPen(amarillo, 4));
        p.drawEllipse(QRectF(11, 11, 48, 48));
        p.fillRect(QRectF(25, 22, 7, 26), amarillo);
        p.fillRect(QRectF(38, 22, 7, 26), amarillo);
        break;
    }
    case 1: { // loading: material falling into an open-top vessel
        p.setPen(QPen(verde, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(14, 34), QPointF(20, 58), QPointF(50, 58), QPointF(56, 34)}));
        p.setBrush(verde);
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF({QPointF(35, 42), QPointF(24, 26), QPointF(31, 26), QPointF(31, 8),
                                 QPointF(39, 8), QPointF(39, 26), QPointF(46, 26)}));
        break;
    }
    case 2: { // weighing: a balance
        p.setPen(QPen(azul, 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(35, 14), QPointF(35, 56));
        p.drawLine(QPointF(12, 22), QPointF(58, 22));
        p.drawLine(QPointF(22, 60), QPointF(48, 60));
        p.setPen(QPen(azul, 2.5));
        p.drawLine(QPointF(12, 22), QPointF(6, 40));
        p.drawLine(QPointF(12, 22), QPointF(20, 40));
        p.drawLine(QPointF(58, 22), QPointF(50, 40));
        p.drawLine(QPointF(58, 22), QPointF(66, 40));
        p.drawArc(QRectF(5, 32, 16, 14), 180 * 16, 180 * 16);
        p.drawArc(QRectF(49, 32, 16, 14), 180 * 16, 180 * 16);
        break;
    }
    case 3: { // discharge: hopper with the gate open and material leaving
        p.setPen(QPen(naranja, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(12, 10), QPointF(12, 28), QPointF(28, 42)}));
        p.drawPolyline(QPolygonF({QPointF(58, 10), QPointF(58, 28), QPointF(42, 42)}));
        p.drawLine(QPointF(28, 42), QPointF(20, 50));
        p.setBrush(naranja);
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF({QPointF(35, 66), QPointF(24, 52), QPointF(31, 52), QPointF(31, 40),
                                 QPointF(39, 40), QPointF(39, 52), QPointF(46, 52)}));
        break;
    }
    }
    return pm;
}

void DibujoTolva::paintEvent(QPaintEvent*)
{
    // The drawing changes only with the gate and with the cone filling or
    // emptying: kept as a picture, a moving level costs a copy.
    const bool lleno = m_nivel->y() < kVacia;
    const qreal dpr = devicePixelRatioF();
    if (m_dibujo.isNull() || m_dibujo.devicePixelRatio() != dpr || m_dibujoDescarga != m_descarga
        || m_dibujoLleno != lleno) {
        m_dibujo = QPixmap(size() * dpr);
        m_dibujo.setDevicePixelRatio(dpr);
        QPainter d(&m_dibujo);
        dibuja(d, lleno);
        m_dibujoDescarga = m_descarga;
        m_dibujoLleno = lleno;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, m_dibujo);
}

void DibujoTolva::dibuja(QPainter& p, bool lleno) const
{
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(228, 232, 236));

    // Feeders: coarse (wide) and fine (narrow) chutes above the hopper.
    auto alimentador = [&](const QRectF& boca, const QString& texto) {
        p.setPen(QPen(QColor(70, 78, 86), 1.5));
        p.setBrush(kAceroClaro);
        p.drawRect(QRectF(boca.left() - 18, 8, boca.width() + 36, 34));
        p.drawPolygon(QPolygonF({QPointF(boca.left() - 18, 42), QPointF(boca.right() + 18, 42),
                                 QPointF(boca.right(), 62), QPointF(boca.left(), 62)}));
        p.setBrush(kAcero);
        p.drawRect(QRectF(boca.left(), 62, boca.width(), 6));
        p.setPen(QColor(40, 48, 56));
        p.setFont(QFont(QStringLiteral("DejaVu Sans"), 8, QFont::Bold));
        p.drawText(QRectF(boca.left() - 18, 8, boca.width() + 36, 34), Qt::AlignCenter, texto);
    };
    alimentador(QRectF(106, 0, 20, 0), QStringLiteral("GRUESO"));
    alimentador(QRectF(178, 0, 12, 0), QStringLiteral("FINO"));

    // Hopper body (the level shape sits inside it) and its cone.
    const QRectF cuerpo(60, 120, 180, kFondo - 120 + 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(245, 247, 249));
    p.drawRect(cuerpo);
    QPainterPath cono;
    cono.moveTo(60, kFondo + 2);
    cono.lineTo(240, kFondo + 2);
    cono.lineTo(170, 262);
    cono.lineTo(130, 262);
    cono.closeSubpath();
    p.setBrush(lleno ? kMaterial : QColor(245, 247, 249));
    p.drawPath(cono);

    // Full and empty marks.
    p.setPen(QPen(QColor(150, 60, 60), 1, Qt::DashLine));
    p.drawLine(QPointF(62, kLlena), QPointF(238, kLlena));
    p.setPen(QColor(120, 60, 60));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 7));
    p.drawText(QPointF(242, kLlena + 3), QStringLiteral("Fino"));

    p.setPen(QPen(QColor(60, 68, 76), 3));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(60, 120), QPointF(60, kFondo + 2));
    p.drawLine(QPointF(240, 120), QPointF(240, kFondo + 2));
    p.drawLine(QPointF(60, 120), QPointF(240, 120));
    p.drawPath(cono);

    // Load cells.
    p.setBrush(kAcero);
    p.setPen(QPen(QColor(60, 68, 76), 1));
    p.drawRect(QRectF(40, 150, 20, 14));
    p.drawRect(QRectF(240, 150, 20, 14));

    // Discharge gate: closed across the outlet, or swung open.
    p.setPen(QPen(m_descarga ? QColor(230, 120, 30) : QColor(60, 68, 76), 5, Qt::SolidLine, Qt::RoundCap));
    if (m_descarga)
        p.drawLine(QPointF(130, 262), QPointF(116, 282));
    else
        p.drawLine(QPointF(128, 264), QPointF(172, 264));
}
