#include "Visor.h"

#include <QFontInfo>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

Visor::Visor(const QString& texto, QWidget* parent) : QLabel(texto, parent)
{
    // Figures: no look for markup in every new text.
    setTextFormat(Qt::PlainText);
}

int Visor::anchoPara(const QString& texto) const
{
    // What frame, style padding, margin and indent take, as QLabel counts
    // them in its size hint; measured again when the font or style changes.
    if (m_margen < 0) {
        ensurePolished();
        m_fijo = QFontInfo(font()).fixedPitch();
        const QMargins c = contentsMargins();
        m_margen = c.left() + c.right() + 2 * margin();
        int sangria = indent();
        if (sangria < 0 && frameWidth() > 0)
            sangria = fontMetrics().horizontalAdvance(u'x') - 2 * margin();
        if (sangria > 0 && (alignment() & (Qt::AlignLeft | Qt::AlignRight)))
            m_margen += sangria;
    }
    // One pixel for the rounding of the text's width.
    return m_margen + fontMetrics().horizontalAdvance(texto) + 1;
}

void Visor::fija()
{
    ensurePolished();
    QSize s = size();
    s.setWidth(std::max(s.width(), anchoPara(text())));
    m_fijado = true;
    setFixedSize(s);
}

void Visor::muestra(const QString& texto)
{
    if (texto == text())
        return;
    // In a fixed-pitch font a text no longer than one that fitted fits.
    if (m_fijado && (texto.size() > m_cabe || !m_fijo)) {
        const int ancho = anchoPara(texto);
        if (ancho > width())
            setFixedWidth(ancho);
        m_cabe = std::max(m_cabe, int(texto.size()));
    }
    setText(texto);
}

void Visor::setFondo(const QColor& fondo)
{
    m_fondo = fondo;
    setAttribute(Qt::WA_OpaquePaintEvent, fondo.isValid());
    update();
}

bool Visor::event(QEvent* e)
{
    const bool r = QLabel::event(e);
    // A style sheet with padding or a rounded border makes the style clear
    // the attribute when it polishes the label.
    if (e->type() == QEvent::Polish && m_fondo.isValid())
        setAttribute(Qt::WA_OpaquePaintEvent);
    return r;
}

void Visor::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) {
        m_margen = -1;
        m_cabe = 0;
        m_caja = QPixmap();
        m_glifos = QRawFont();
    }
    QLabel::changeEvent(e);
    if (e->type() == QEvent::StyleChange && m_fondo.isValid())
        setAttribute(Qt::WA_OpaquePaintEvent);
}

void Visor::paintEvent(QPaintEvent* e)
{
    if (!m_fondo.isValid()) {
        QLabel::paintEvent(e);
        return;
    }
    // The box (what lies beneath, the styled background and the frame) is
    // drawn once for each size and state, the text over it at each change.
    const qreal dpr = devicePixelRatioF();
    if (m_caja.isNull() || m_caja.deviceIndependentSize() != QSizeF(size()) || m_caja.devicePixelRatio() != dpr
        || m_cajaActiva != isEnabled()) {
        m_caja = QPixmap(size() * dpr);
        m_caja.setDevicePixelRatio(dpr);
        m_caja.fill(m_fondo);
        QPainter c(&m_caja);
        QStyleOption opt;
        opt.initFrom(this);
        style()->drawPrimitive(QStyle::PE_Widget, &opt, &c, this);
        drawFrame(&c);
        m_cajaActiva = isEnabled();
    }
    QPainter p(this);
    p.drawPixmap(0, 0, m_caja);
    // The text where QLabel puts it.
    const int m = margin();
    QRect cr = contentsRect().adjusted(m, m, -m, -m);
    int sangria = indent();
    if (sangria < 0 && frameWidth() > 0)
        sangria = fontMetrics().horizontalAdvance(u'x') / 2 - m;
    const int alineacion = QStyle::visualAlignment(layoutDirection(), alignment());
    if (sangria > 0) {
        if (alineacion & Qt::AlignLeft)
            cr.setLeft(cr.left() + sangria);
        if (alineacion & Qt::AlignRight)
            cr.setRight(cr.right() - sangria);
        if (alineacion & Qt::AlignTop)
            cr.setTop(cr.top() + sangria);
        if (alineacion & Qt::AlignBottom)
            cr.setBottom(cr.bottom() - sangria);
    }
    QStyleOption opt;
    opt.initFrom(this);
    if (dibujaGlifos(p, cr, alineacion, opt.palette))
        return;
    style()->drawItemText(&p, cr, alineacion | Qt::TextHideMnemonic, opt.palette, isEnabled(), text(),
                          foregroundRole());
}

bool Visor::dibujaGlifos(QPainter& p, const QRect& cr, int alineacion, const QPalette& paleta)
{
    const QString t = text();
    if (t.isEmpty() || t.contains(u'\n') || t.contains(u'&'))
        return false;
    if (!m_glifos.isValid())
        m_glifos = QRawFont::fromFont(font());
    const QList<quint32> glifos = m_glifos.glyphIndexesForString(t);
    if (glifos.size() != t.size() || glifos.contains(0u))
        return false; // a character from another font, or a surrogate pair
    QList<QPointF> posiciones = m_glifos.advancesForGlyphIndexes(glifos);
    qreal ancho = 0;
    for (QPointF& a : posiciones) {
        const qreal avance = a.x();
        a = QPointF(ancho, 0);
        ancho += avance;
    }
    // Placed as QLabel places a line of text.
    qreal x = cr.left();
    if (alineacion & Qt::AlignRight)
        x = cr.left() + cr.width() - ancho;
    else if (alineacion & Qt::AlignHCenter)
        x = cr.left() + (cr.width() - ancho) / 2;
    const qreal alto = m_glifos.ascent() + m_glifos.descent();
    qreal y = cr.top();
    if (alineacion & Qt::AlignBottom)
        y = cr.top() + cr.height() - alto;
    else if (alineacion & Qt::AlignVCenter)
        y = cr.top() + (cr.height() - alto) / 2;
    QGlyphRun linea;
    linea.setRawFont(m_glifos);
    linea.setGlyphIndexes(glifos);
    linea.setPositions(posiciones);
    // The pen the style's drawItemText takes: the option's palette is in
    // the widget's colour group (disabled, inactive window).
    p.setPen(QPen(paleta.brush(foregroundRole()), p.pen().widthF()));
    p.drawGlyphRun(QPointF(x, y + m_glifos.ascent()), linea);
    return true;
}
