#include "Dialogos.h"

#include <QDialog>

namespace Dialogos {

namespace {
Ejecutor& actual()
{
    static Ejecutor e;
    return e;
}
} // namespace

void setEjecutor(Ejecutor ejecutor)
{
    actual() = std::move(ejecutor);
}

void ejecutar(QDialog& dialogo)
{
    if (actual())
        actual()(dialogo);
    else
        dialogo.exec();
}

} // namespace Dialogos
