#include "Lineas.h"

#include "Config.h"
#include "IniFile.h"

#include <QRegularExpression>
#include <algorithm>

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

QStringList fueraDeRango()
{
    IniFile ini;
    if (!ini.load(Config::rutaArchivo()))
        return {};
    static const QRegularExpression clave(QStringLiteral("^(%1)_(\\d+)$").arg(clavesBase().join(u'|')),
                                          QRegularExpression::CaseInsensitiveOption);
    QStringList r;
    for (const QString& k : ini.keys(kGlobal)) {
        const auto m = clave.match(k);
        if (!m.hasMatch())
            continue;
        // Leading zeros dropped: "_017" is line 17 as far as the plant can tell.
        QString n = m.captured(2);
        while (n.size() > 1 && n.startsWith(u'0'))
            n.remove(0, 1);
        bool ok = false;
        const int v = n.toInt(&ok);
        if ((!ok || v < 1 || v > kMaximo) && !r.contains(n))
            r << n;
    }
    std::sort(r.begin(), r.end(), [](const QString& a, const QString& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return r;
}

QString avisoFueraDeRango()
{
    QStringList n = fueraDeRango();
    if (n.isEmpty())
        return {};
    const QString ultimo = n.takeLast();
    const bool una = n.isEmpty();
    const QString cuales = una ? ultimo : n.join(QStringLiteral(", ")) + QStringLiteral(" y ") + ultimo;
    return QStringLiteral("%1 nombra %2 %3, pero las líneas van de la 1 a la %4: %5.")
        .arg(Config::kArchivo, una ? QStringLiteral("la línea") : QStringLiteral("las líneas"), cuales)
        .arg(kMaximo)
        .arg(una ? QStringLiteral("se ignora") : QStringLiteral("se ignoran"));
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
