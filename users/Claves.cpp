#include "Claves.h"

#include "Cp1252.h"
#include "MessageBox.h"

namespace Claves {

QString noGuardables(const QString& clave)
{
    QString fuera;
    for (int i = 0; i < clave.size(); ++i) {
        // A character beyond the 16-bit range counts as a whole.
        const int n = clave.at(i).isHighSurrogate() && i + 1 < clave.size() ? 2 : 1;
        const QString c = clave.mid(i, n);
        if ((n == 2 || Cp1252::code(clave.at(i)) < 0) && !fuera.contains(c))
            fuera += c;
        i += n - 1;
    }
    return fuera;
}

QString motivoRechazo(const QString& clave)
{
    const QString fuera = noGuardables(clave);
    if (fuera.isEmpty())
        return QString();
    QStringList lista;
    for (int i = 0; i < fuera.size(); ++i) {
        const int n = fuera.at(i).isHighSurrogate() ? 2 : 1;
        lista << QStringLiteral("«%1»").arg(fuera.mid(i, n));
        i += n - 1;
    }
    return QStringLiteral("La contraseña no puede contener %1: ese carácter no se puede guardar en "
                          "Tolvex.ini. Use letras (con o sin acento), números y los signos del "
                          "teclado.")
        .arg(lista.join(QStringLiteral(", ")));
}

bool aceptables(QWidget* parent, std::initializer_list<QString> claves, const QString& titulo)
{
    for (const QString& c : claves) {
        const QString motivo = motivoRechazo(c);
        if (!motivo.isEmpty()) {
            MessageBox::mostrar(parent, MessageBox::Exclamacion, titulo, motivo);
            return false;
        }
    }
    return true;
}

QString comoSeGuarda(const QString& clave)
{
    return Cp1252::decode(Cp1252::encode(clave));
}

} // namespace Claves
