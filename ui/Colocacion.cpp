#include "Colocacion.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace {

// Looks at the window at each event that may follow its framing: it is
// moved, resized, painted or activated once the window manager has it.
class Vigia : public QObject
{
public:
    Vigia(QWidget* ventana, std::function<void()> hecho)
        : QObject(ventana), m_ventana(ventana), m_hecho(std::move(hecho))
    {
        ventana->installEventFilter(this);
    }

    bool eventFilter(QObject* o, QEvent* e) override
    {
        switch (e->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Paint:
        case QEvent::WindowActivate:
        case QEvent::Show:
            if (o == m_ventana && Colocacion::enmarcada(m_ventana)) {
                m_ventana->removeEventFilter(this);
                deleteLater();
                auto hecho = std::move(m_hecho);
                m_hecho = {};
                if (hecho)
                    hecho();
            }
            break;
        default:
            break;
        }
        return false;
    }

private:
    QWidget* m_ventana;
    std::function<void()> m_hecho;
};

} // namespace

namespace Colocacion {

bool meteEnPantalla(QWidget* ventana)
{
    // Maximised, the window manager places it (its borders may lie off the
    // screen on purpose).
    if (ventana->isMaximized() || ventana->isFullScreen())
        return false;
    const QRect marco = ventana->frameGeometry();
    QScreen* pantalla = QGuiApplication::screenAt(marco.center());
    if (!pantalla)
        pantalla = ventana->screen();
    if (!pantalla)
        return false;
    const QRect libre = pantalla->availableGeometry();
    QPoint p = marco.topLeft();
    // Too big to fit: its top-left corner stays visible.
    p.setX(std::clamp(p.x(), libre.left(), std::max(libre.left(), libre.right() + 1 - marco.width())));
    p.setY(std::clamp(p.y(), libre.top(), std::max(libre.top(), libre.bottom() + 1 - marco.height())));
    if (p == marco.topLeft())
        return false;
    ventana->move(p);
    return true;
}

bool enmarcada(const QWidget* ventana)
{
    return ventana->frameGeometry() != ventana->geometry();
}

void alEnmarcarse(QWidget* ventana, std::function<void()> hecho)
{
    if (enmarcada(ventana)) {
        hecho();
        return;
    }
    new Vigia(ventana, std::move(hecho));
}

} // namespace Colocacion
