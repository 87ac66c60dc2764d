#include "Acceso.h"

#include <optional>

#include "CDatos.h"
#include "Config.h"
#include "Contexto.h"
#include "Secreto.h"

namespace Acceso {

Resultado verifica(const Contexto& contexto, const QString& nombreTecleado, const QString& tecleadaTal)
{
    Resultado r;
    // Each stored password as it is kept. A missing one is empty, and an
    // empty password matches nothing.
    const QString p1 = Secreto::leeMaestra(Secreto::kPass1);
    const QString pass2 = Secreto::leeMaestra(Secreto::kPass2);
    QString p2 = pass2;
    r.operador = QStringLiteral("Maestro");

    // The name as a person types it: letter case and surrounding blanks do
    // not count, accents do ("Ana Gomez" is not "Ana Gómez"). A name written
    // exactly as stored wins; otherwise the one row it matches that way, and
    // none when it matches several.
    const QString nombre = nombreTecleado.trimmed();
    CDatos db;
    struct Fila
    {
        QString operador, password, nivel;
    };
    std::optional<Fila> exacta;
    if (!nombre.isEmpty()) {
        if (!db.AbrirBase(contexto.DataCSOperarios) ||
            !db.AbreRegistro(QStringLiteral("SELECT OPERADOR, PASSWORD, JERARQUIA FROM ") +
                             contexto.DataTbOperarios)) {
            // Without the operator's row the password cannot be checked.
            r.sinBase = true;
            return r;
        }
        QList<Fila> parecidas;
        for (bool hay = db.PrimerRegistro(); hay && !exacta; hay = db.SiguienteRegistro()) {
            const Fila f{db.Campo(QStringLiteral("OPERADOR")).toString(),
                         db.Campo(QStringLiteral("PASSWORD")).toString(),
                         db.Campo(QStringLiteral("JERARQUIA")).toString()};
            if (f.operador == nombreTecleado)
                exacta = f;
            else if (f.operador.trimmed().compare(nombre, Qt::CaseInsensitive) == 0)
                parecidas << f;
        }
        db.CierraRegistro();
        if (!exacta && parecidas.size() == 1)
            exacta = parecidas.constFirst();
        r.operador = nombre;
        if (exacta) {
            r.conFila = true;
            // The operator's own password takes the supervisors' place.
            p2 = exacta->password;
            r.nivel = exacta->nivel;
            r.operador = exacta->operador;
        }
    }

    // Both are checked, so that the time taken does not tell which matched.
    const bool esP1 = Secreto::coincide(p1, tecleadaTal);
    const bool esP2 = Secreto::coincide(p2, tecleadaTal);
    r.aceptado = esP1 || esP2;
    r.tipoAcceso = esP2 ? 2 : (esP1 ? 1 : 0);
    if (!r.aceptado)
        r.nivel.clear();

    // Stored passwords are written again hashed when they were read scrambled
    // (or hashed at another cost). Failing that, the old one still serves.
    auto aviso = [&r](const QString& cual, const QString& error) {
        r.avisos << QStringLiteral("No se pudo guardar cifrada la contraseña %1: %2").arg(cual, error);
    };
    for (const auto& [maestra, guardada] : {std::pair{Secreto::kPass1, p1}, std::pair{Secreto::kPass2, pass2}}) {
        const QString nueva = Secreto::renovada(guardada, tecleadaTal, Secreto::Forma::Maestra);
        QString error;
        if (!nueva.isEmpty() && !Config::GuardaConfig(QStringLiteral("Global"), maestra, nueva, false, false, &error))
            aviso(maestra, error);
    }
    if (exacta) {
        const QString nueva = Secreto::renovada(exacta->password, tecleadaTal, Secreto::Forma::Operario);
        QString error;
        // Only over the password read: a change made meanwhile stays.
        if (!nueva.isEmpty() &&
            (!Secreto::preparaTabla(db, contexto.DataTbOperarios, &error) ||
             !db.Ejecuta(QStringLiteral("UPDATE %1 SET PASSWORD = ? WHERE OPERADOR = ? AND PASSWORD = ?")
                             .arg(contexto.DataTbOperarios),
                         {nueva, exacta->operador, exacta->password})))
            aviso(QStringLiteral("del operario ") + exacta->operador, error.isEmpty() ? db.ultimoError() : error);
        else if (!nueva.isEmpty())
            Secreto::asienta(db);
    }
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

bool nivel(const Contexto& contexto, const QString& operador, QString* nivel)
{
    nivel->clear();
    CDatos db;
    if (!db.AbrirBase(contexto.DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT JERARQUIA FROM %1 WHERE OPERADOR = ?").arg(contexto.DataTbOperarios),
                         {operador}))
        return false;
    if (db.PrimerRegistro())
        *nivel = db.Campo(QStringLiteral("JERARQUIA")).toString();
    db.CierraRegistro();
    return true;
}

} // namespace Acceso
