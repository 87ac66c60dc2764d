#include "Lineas.h"

#include "Config.h"
#include "IniFile.h"

namespace {

const QString kGlobal = QStringLiteral("Global");
const QString kAusente = QStringLiteral("\x01");

bool existe(int n)
{
    if (n == 1)
        return true;
    if (n < 1 || n > Lineas::kMaximo)
        return false;
    return Config::LeeConfig(kGlobal, QStringLiteral("Comunicacion_%1").arg(n), kAusente) != kAusente;
}

} // namespace

QString Linea::sufijo() const
{
    return u'_' + QString::number(numero);
}

QString Linea::clave(const QString& base) const
{
    return base + sufijo();
}

QString Linea::archivo(const QString& nombreBase) const
{
    if (numero == 1)
        return nombreBase;
    const qsizetype barra = nombreBase.lastIndexOf(u'/');
    const qsizetype punto = nombreBase.lastIndexOf(u'.');
    if (punto <= barra + 1)
        return nombreBase + sufijo();
    return nombreBase.left(punto) + sufijo() + nombreBase.mid(punto);
}

QString Linea::descripcion() const
{
    const QString n = QStringLiteral("Línea %1").arg(numero);
    return nombre.isEmpty() || nombre == n ? n : QStringLiteral("%1 (%2)").arg(n, nombre);
}

namespace Lineas {

QStringList clavesBase()
{
    return {QStringLiteral("Nombre"),  QStringLiteral("Comunicacion"), QStringLiteral("Host"),
            QStringLiteral("Port"),    QStringLiteral("Comm"),         QStringLiteral("Baudios"),
            QStringLiteral("ID"),      QStringLiteral("Decimales")};
}

Linea linea(int n)
{
    Linea l;
    l.numero = n;
    l.nombre = Config::LeeConfig(kGlobal, l.clave(QStringLiteral("Nombre")), QString()).trimmed();
    if (l.nombre.isEmpty())
        l.nombre = QStringLiteral("Línea %1").arg(n);
    return l;
}

QVector<Linea> lista()
{
    QVector<Linea> r;
    for (int n = 1; n <= kMaximo; ++n)
        if (existe(n))
            r << linea(n);
    return r;
}

bool varias()
{
    for (int n = 2; n <= kMaximo; ++n)
        if (existe(n))
            return true;
    return false;
}

bool nombra(int n, const QString& nombre, QString* error)
{
    return Config::GuardaConfig(kGlobal, QStringLiteral("Nombre_%1").arg(n), nombre.trimmed(), false,
                                false, error);
}

bool quita(int n, QString* error)
{
    if (n <= 1 || !existe(n)) {
        if (error)
            *error = n == 1 ? QStringLiteral("La línea 1 no se puede quitar.")
                            : QStringLiteral("No existe la línea %1.").arg(n);
        return false;
    }
    const QString path = Config::rutaArchivo();
    IniFile ini;
    if (!ini.load(path, error))
        return false;
    const QString sufijo = u'_' + QString::number(n);
    for (const QString& base : clavesBase())
        ini.removeKey(kGlobal, base + sufijo);
    return ini.save(path, error);
}

} // namespace Lineas
