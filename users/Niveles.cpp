#include "Niveles.h"

#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>

namespace Niveles {

QStringList todos()
{
    return {kOperador, kSuperior, kGerencia, kInstalador};
}

bool esNivel(const QString& nombre)
{
    return todos().contains(nombre);
}

void LlenaJerarquias(QComboBox* lista)
{
    lista->clear();
    lista->addItems(todos());
}

namespace {

class FiltroTeclas : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* obj, QEvent* ev) override
    {
        if (ev->type() == QEvent::KeyPress) {
            auto* k = static_cast<QKeyEvent*>(ev);
            // Printable keys would pick an entry by its initial.
            if (!k->text().isEmpty() && k->text().at(0).isPrint())
                return true;
        }
        return QObject::eventFilter(obj, ev);
    }
};

} // namespace

void soloLista(QWidget* control)
{
    control->installEventFilter(new FiltroTeclas(control));
}

} // namespace Niveles
