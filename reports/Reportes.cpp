#include "Reportes.h"

#include "frmPLANILLA.h"

namespace Reportes {
void abrir(QWidget* parent)
{
    frmPLANILLA browser(parent);
    if (browser.cargado())
        browser.exec();
}
} // namespace Reportes
