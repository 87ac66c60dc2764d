#include "Visor.h"

#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

Visor::Visor(const QString& texto, QWidget* parent) : QLabel(texto, parent)
{
}

int Visor::anchoPara(const QString& texto) const
{
    // What frame, style padding, margin and indent take, as QLabel counts
    // them in its size hint; measured again when the font or style changes.
    if (m_margen < 0) {
        ensurePolished();
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
    if (m_fijado) {
        const int ancho = anchoPara(texto);
        if (ancho > width())
            setFixedWidth(ancho);
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
    if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange)
        m_margen = -1;
    QLabel::changeEvent(e);
    if (e->type() == QEvent::StyleChange && m_fondo.isValid())
        setAttribute(Qt::WA_OpaquePaintEvent);
}

void Visor::paintEvent(QPaintEvent* e)
{
    if (m_fondo.isValid()) {
        // What the window would have drawn before the label: the colour
        // beneath, then the label's styled box.
        QPainter p(this);
        p.setClipRegion(e->region());
        p.fillRect(rect(), m_fondo);
        QStyleOption opt;
        opt.initFrom(this);
        style()->drawPrimitive(QStyle::PE_Widget, &opt, &p, this);
    }
    QLabel::paintEvent(e);
}
