#include "Acceso.h"

#include <optional>

#include "CDatos.h"
#include "Claves.h"
#include "Config.h"
#include "Contexto.h"

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

Resultado verifica(const Contexto& contexto, const QString& nombreTecleado, const QString& tecleadaTal)
{
    Resultado r;
    const QString p1 = clave(QStringLiteral("Pass1"));
    QString p2 = clave(QStringLiteral("Pass2"));
    r.operador = QStringLiteral("Maestro");

    // The name as a person types it: letter case and surrounding blanks do
    // not count, accents do ("Ana Gomez" is not "Ana Gómez"). A name written
    // exactly as stored wins; otherwise the one row it matches that way, and
    // none when it matches several.
    const QString nombre = nombreTecleado.trimmed();
    if (!nombre.isEmpty()) {
        CDatos db;
        if (!db.AbrirBase(contexto.DataCSOperarios) ||
            !db.AbreRegistro(QStringLiteral("SELECT OPERADOR, PASSWORD, JERARQUIA FROM ") +
                             contexto.DataTbOperarios)) {
            // Without the operator's row the password cannot be checked.
            r.sinBase = true;
            return r;
        }
        struct Fila
        {
            QString operador, password, nivel;
        };
        QList<Fila> parecidas;
        std::optional<Fila> exacta;
        for (bool hay = db.PrimerRegistro(); hay && !exacta; hay = db.SiguienteRegistro()) {
            const Fila f{db.Campo(QStringLiteral("OPERADOR")).toString(),
                         db.Campo(QStringLiteral("PASSWORD")).toString(),
                         db.Campo(QStringLiteral("JERARQUIA")).toString()};
            if (f.operador == nombreTecleado)
                exacta = f;
            else if (f.operador.trimmed().compare(nombre, Qt::CaseInsensitive) == 0)
                parecidas << f;
        }
        if (!exacta && parecidas.size() == 1)
            exacta = parecidas.constFirst();
        r.operador = nombre;
        if (exacta) {
            r.conFila = true;
            // The operator's own password takes the supervisors' place.
            p2 = Config::CodificaTexto(exacta->password).toUpper();
            r.nivel = exacta->nivel;
            r.operador = exacta->operador;
        }
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
