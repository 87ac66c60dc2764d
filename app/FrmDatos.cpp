#include "FrmDatos.h"

// Replaced by the auxiliary data dialog.
namespace FrmDatos {
bool PideDatos(QWidget*, QStringList* valores)
{
    *valores = QStringList(6, QString());
    return true;
}
} // namespace FrmDatos
