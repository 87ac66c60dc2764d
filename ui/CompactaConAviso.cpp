// The one data operation that reports through a box: it lives with the
// boxes, so that the data layer links no widgets.
#include "CDatos.h"
#include "MessageBox.h"

bool CDatos::CompactaryReparar(const QString& baseOri)
{
    QString error;
    if (CompactaryReparar(baseOri, &error))
        return true;
    MessageBox::mostrar(nullptr, MessageBox::Exclamacion,
                        QStringLiteral("Error al compactar la base de datos"),
                        QStringLiteral("Error al compactar la base de datos:\r\n") + error);
    return false;
}
