#include "PanelLineas.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "Estacion.h"
#include "EstacionPesaje.h"
#include "Tolva.h"

namespace {

QColor colorDe(EstadoEstacion::Marcha m)
{
    switch (m) {
    case EstadoEstacion::Marcha::EnMarcha:
        return Lampara::kEncendida;
    case EstadoEstacion::Marcha::Detenida:
        return Lampara::kEspera;
    case EstadoEstacion::Marcha::Falla:
        return Lampara::kFalla;
    case EstadoEstacion::Marcha::Cerrada:
        break;
    }
    return Lampara::kApagada;
}

} // namespace

PanelLineas::PanelLineas(int propia, QWidget* parent)
    : QWidget(parent), m_propia(propia), m_reloj(new QTimer(this))
{
    setObjectName(QStringLiteral("PanelLineas"));
    auto* fila = new QHBoxLayout(this);
    fila->setContentsMargins(0, 0, 0, 0);
    fila->setSpacing(4);
    for (const Linea& l : Lineas::lista()) {
        Ficha f;
        f.linea = l;
        f.boton = new QToolButton;
        f.boton->setObjectName(QStringLiteral("Linea_%1").arg(l.numero));
        f.boton->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        f.boton->setMinimumWidth(100);
        f.boton->setCheckable(true);
        f.boton->setChecked(l.numero == propia);
        f.boton->setFocusPolicy(Qt::NoFocus);
        f.boton->setToolTip(QStringLiteral("%1 (Ctrl+%2)").arg(l.descripcion()).arg(l.numero));
        f.boton->setStyleSheet(QStringLiteral(
            "QToolButton { background: #f4f6f8; border: 1px solid #8a939c; border-radius: 4px; }"
            "QToolButton:checked { background: #fff6cc; border: 2px solid #c99a00; }"));
        auto* v = new QVBoxLayout(f.boton);
        v->setContentsMargins(6, 3, 6, 3);
        v->setSpacing(0);
        auto* arriba = new QHBoxLayout;
        f.lampara = new Lampara(nullptr, 12);
        f.nombre = new QLabel;
        f.nombre->setStyleSheet(QStringLiteral("font: bold 9pt 'DejaVu Sans';"));
        f.nombre->setText(QStringLiteral("%1 %2").arg(l.numero).arg(l.nombre));
        f.nombre->setMinimumWidth(10);
        arriba->addWidget(f.lampara);
        arriba->addWidget(f.nombre, 1);
        v->addLayout(arriba);
        f.peso = new QLabel(QStringLiteral("-"));
        f.peso->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        f.peso->setStyleSheet(QStringLiteral("font: bold 14pt 'DejaVu Sans Mono';"));
        v->addWidget(f.peso);
        f.estado = new QLabel;
        f.estado->setStyleSheet(QStringLiteral("font: 8pt 'DejaVu Sans';"));
        v->addWidget(f.estado);
        for (QLabel* q : {f.nombre, f.peso, f.estado})
            q->setAttribute(Qt::WA_TransparentForMouseEvents);
        f.lampara->setAttribute(Qt::WA_TransparentForMouseEvents);
        f.boton->setFixedHeight(f.boton->sizeHint().height() + 58);
        const int n = l.numero;
        connect(f.boton, &QToolButton::clicked, this, [this, n] {
            actualiza(); // the checked mark stays with this window's own line
            Q_EMIT elegida(n);
        });
        if (n <= 9) {
            auto* atajo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + n)), this);
            connect(atajo, &QShortcut::activated, this, [this, n] { Q_EMIT elegida(n); });
        }
        fila->addWidget(f.boton, 1);
        m_fichas << f;
    }
    m_reloj->setInterval(250);
    connect(m_reloj, &QTimer::timeout, this, &PanelLineas::actualiza);
    actualiza();
}

void PanelLineas::actualiza()
{
    for (Ficha& f : m_fichas) {
        const EstacionBase* e = Estacion::estacion(f.linea.numero);
        const EstadoEstacion estado = e ? e->estado() : EstadoEstacion();
        const EstadoEstacion::Marcha m = estado.marcha();
        f.boton->setChecked(f.linea.numero == m_propia);
        f.lampara->setColor(colorDe(m));
        f.peso->setText(m == EstadoEstacion::Marcha::Cerrada || !estado.instante.isValid()
                            ? QStringLiteral("-")
                            : estado.muestra(estado.Peso) + QStringLiteral(" kg"));
        QString texto = EstadoEstacion::textoDeMarcha(m);
        if (m == EstadoEstacion::Marcha::EnMarcha && !estado.textoModo.isEmpty())
            texto += QStringLiteral(" · ") + estado.textoModo;
        if (m == EstadoEstacion::Marcha::Falla)
            texto += estado.conectado ? QStringLiteral(" · ERROR %1").arg(estado.CError)
                                      : QStringLiteral(" · sin conexión");
        f.estado->setText(texto);
    }
}

QString PanelLineas::textoDe(int linea) const
{
    for (const Ficha& f : m_fichas)
        if (f.linea.numero == linea)
            return f.nombre->text() + u'|' + f.peso->text() + u'|' + f.estado->text();
    return {};
}

void PanelLineas::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    actualiza();
    m_reloj->start();
}

void PanelLineas::hideEvent(QHideEvent* e)
{
    m_reloj->stop();
    QWidget::hideEvent(e);
}
