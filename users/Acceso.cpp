#include "Acceso.h"

#include "CDatos.h"
#include "Claves.h"
#include "Config.h"
#include "Contexto.h"
#include "SqlDialect.h"

namespace Acceso {

namespace {

// A master password as the settings file keeps it, in upper case. A missing
// one is empty, and an empty password matches nothing.
QString clave(const QString& nombre)
{
    return Config::CodificaTexto(Config::LeeConfig(QStringLiteral("Global"), nombre, QString()))
        .toUpper();
}

} // namespace

Resultado verifica(const Contexto& contexto, const QString& nombre, const QString& tecleadaTal)
{
    Resultado r;
    const QString p1 = clave(QStringLiteral("Pass1"));
    QString p2 = clave(QStringLiteral("Pass2"));
    r.operador = QStringLiteral("Maestro");

    if (!nombre.isEmpty()) {
        CDatos db;
        if (!db.AbrirBase(contexto.DataCSOperarios) ||
            !db.AbreRegistro(QStringLiteral("SELECT * FROM ") + contexto.DataTbOperarios +
                             QStringLiteral(" WHERE OPERADOR = ") + SqlDialect::texto(nombre))) {
            // Without the operator's row the password cannot be checked.
            r.sinBase = true;
            return r;
        }
        if (db.Existe_Registro()) {
            r.conFila = true;
            // The operator's own password takes the supervisors' place.
            p2 = Config::CodificaTexto(db.Campo(QStringLiteral("PASSWORD")).toString()).toUpper();
            r.nivel = db.Campo(QStringLiteral("JERARQUIA")).toString();
        }
        r.operador = nombre;
    }

    // Typed text passes through the code page the passwords are kept in.
    const QString tecleada = Claves::comoSeGuarda(tecleadaTal).toUpper();
    const bool esP1 = !tecleada.isEmpty() && tecleada == p1;
    const bool esP2 = !tecleada.isEmpty() && tecleada == p2;
    r.aceptado = esP1 || esP2;
    r.tipoAcceso = esP2 ? 2 : (esP1 ? 1 : 0);
    if (!r.aceptado)
        r.nivel.clear();
    return r;
}

bool operarios(const Contexto& contexto, QStringList* nombres)
{
    CDatos db;
    if (!db.AbrirBase(contexto.DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT OPERADOR FROM ") + contexto.DataTbOperarios +
                         QStringLiteral(" ORDER BY OPERADOR ")))
        return false;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        nombres->append(db.Campo(QStringLiteral("OPERADOR")).toString());
    return true;
}

} // namespace Acceso
