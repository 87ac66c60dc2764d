#include "Config.h"

#include <QDir>
#include <QFile>
#include <cmath>

#include "CDatos.h"
#include "Cp1252.h"
#include "IniFile.h"
#include "Programa.h"
#include "SqlDialect.h"

namespace Config {

QString CodificaTexto(const QString& texto, quint8 clave)
{
    QString out;
    out.reserve(texto.size());
    for (QChar c : texto) {
        int code = Cp1252::code(c);
        if (code < 0)
            code = '?';
        out.append(Cp1252::character(static_cast<quint8>(code ^ clave)));
    }
    return out;
}

QString rutaArchivo()
{
    const QString found = IniFile::find(QDir::currentPath(), kArchivo);
    return found.isEmpty() ? QDir::current().absoluteFilePath(kArchivo) : found;
}

namespace {

QString globalSelect(const QString& clave)
{
    return QStringLiteral("SELECT * FROM ") + Programa::DataTbGlobal +
           QStringLiteral(" WHERE  VARIABLE = ") + SqlDialect::texto(clave);
}

QString leeTabla(const QString& clave, const QString& def, QString* error)
{
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSGlobal) || !db.AbreRegistro(globalSelect(clave))) {
        if (error)
            *error = db.ultimoError();
        return def;
    }
    if (!db.Existe_Registro())
        return def;
    return db.Campo(QStringLiteral("VALOR")).toString();
}

bool guardaTabla(const QString& clave, const QString& valor, QString* error)
{
    CDatos db;
    bool ok = db.AbrirBase(Programa::DataCSGlobal) && db.AbreRegistro(globalSelect(clave));
    if (ok) {
        if (db.Existe_Registro())
            ok = db.SetCampo(QStringLiteral("VALOR"), valor) && db.Actualiza();
        else
            ok = db.AgregaRegistros({{QStringLiteral("VARIABLE"), clave},
                                     {QStringLiteral("VALOR"), valor},
                                     {QStringLiteral("DESCRIPCION"), QStringLiteral("-")}});
    }
    if (!ok && error)
        *error = db.ultimoError();
    return ok;
}

} // namespace

QString LeeConfig(const QString& seccion, const QString& clave, const QString& def, bool scrambled,
                  bool fromTable, QString* error)
{
    QString result;
    if (fromTable) {
        result = leeTabla(clave, def, error);
    } else {
        result = def;
        const QString path = IniFile::find(QDir::currentPath(), kArchivo);
        IniFile ini;
        if (!path.isEmpty() && ini.load(path)) {
            const QString stored = ini.value(seccion, clave);
            if (!stored.isEmpty())
                result = stored.left(stored.size() - 1);
        }
    }
    return scrambled ? CodificaTexto(result) : result;
}

bool GuardaConfig(const QString& seccion, const QString& clave, const QString& valor,
                  bool scrambled, bool toTable, QString* error)
{
    const QString stored = scrambled ? CodificaTexto(valor) : valor;
    if (toTable)
        return guardaTabla(clave, stored, error);
    const QString path = rutaArchivo();
    IniFile ini;
    if (QFile::exists(path) && !ini.load(path, error))
        return false;
    ini.setValue(seccion, clave, stored + u'.');
    return ini.save(path, error);
}

std::optional<double> aNumero(const QString& texto)
{
    bool ok = false;
    const double v = texto.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<int> LeeEntero(const QString& seccion, const QString& clave, int def)
{
    const auto v = aNumero(LeeConfig(seccion, clave, QString::number(def)));
    if (!v || *v < -2147483648.0 || *v > 2147483647.0)
        return std::nullopt;
    return static_cast<int>(std::lround(*v));
}

} // namespace Config
