#include "Secreto.h"

#include <QByteArray>
#include <QStringList>
#include <sodium.h>

#include "CDatos.h"
#include "Config.h"
#include "Cp1252.h"

namespace Secreto {

namespace {

const QString kPrefijo = QStringLiteral("$argon2id$");
constexpr QChar kSeparador = u'|';

bool iniciado()
{
    static const bool ok = sodium_init() >= 0;
    return ok;
}

// The text as the settings file's code page keeps it.
QString guardable(const QString& t)
{
    return Cp1252::decode(Cp1252::encode(t));
}

// The text as sign-in compares it.
QString comparable(const QString& t)
{
    return guardable(t).toUpper();
}

QString hash(const QString& texto)
{
    if (!iniciado())
        return {};
    const QByteArray b = texto.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, b.constData(), quint64(b.size()), kPasadas, kMemoria) != 0)
        return {};
    return QString::fromLatin1(out);
}

bool verifica(const QString& h, const QString& texto)
{
    if (!iniciado() || !h.startsWith(kPrefijo))
        return false;
    const QByteArray s = h.toLatin1();
    const QByteArray b = texto.toUtf8();
    return crypto_pwhash_str_verify(s.constData(), b.constData(), quint64(b.size())) == 0;
}

bool caduco(const QString& h)
{
    const QByteArray s = h.toLatin1();
    return crypto_pwhash_str_needs_rehash(s.constData(), kPasadas, kMemoria) != 0;
}

} // namespace

QString cifra(const QString& clave, Forma forma)
{
    const QString a = hash(comparable(clave));
    if (a.isEmpty() || forma == Forma::Maestra)
        return a;
    const QString b = hash(guardable(clave));
    return b.isEmpty() ? QString() : a + kSeparador + b;
}

bool esCifrada(const QString& guardada)
{
    return guardada.startsWith(kPrefijo);
}

QString descifraAntigua(const QString& guardada)
{
    return esCifrada(guardada) ? QString() : Config::CodificaTexto(guardada);
}

bool coincide(const QString& guardada, const QString& tecleada, bool exacta)
{
    if (guardada.isEmpty() || tecleada.isEmpty())
        return false;
    if (!esCifrada(guardada)) {
        const QString antigua = descifraAntigua(guardada);
        return exacta ? antigua == guardable(tecleada) : antigua.toUpper() == comparable(tecleada);
    }
    const QStringList partes = guardada.split(kSeparador);
    if (exacta && partes.size() == 2)
        return verifica(partes.at(1), guardable(tecleada));
    return verifica(partes.at(0), comparable(tecleada));
}

bool anticuada(const QString& guardada, Forma forma)
{
    if (guardada.isEmpty())
        return false;
    if (!esCifrada(guardada))
        return true;
    const QStringList partes = guardada.split(kSeparador);
    if (forma == Forma::Operario && partes.size() < 2)
        return true;
    for (const QString& p : partes) {
        if (caduco(p))
            return true;
    }
    return false;
}

QString renovada(const QString& guardada, const QString& tecleada, Forma forma)
{
    if (!anticuada(guardada, forma))
        return {};
    if (!esCifrada(guardada))
        return cifra(descifraAntigua(guardada), forma);
    if (!coincide(guardada, tecleada))
        return {};
    QStringList partes = guardada.split(kSeparador);
    if (forma == Forma::Operario && partes.size() == 2 && coincide(guardada, tecleada, true))
        return cifra(tecleada, forma);
    if (caduco(partes.at(0)))
        partes[0] = hash(comparable(tecleada));
    if (forma == Forma::Maestra)
        partes = partes.mid(0, 1);
    const QString nueva = partes.join(kSeparador);
    return partes.at(0).isEmpty() || nueva == guardada ? QString() : nueva;
}

QString leeMaestra(const QString& clave)
{
    return Config::LeeConfig(QStringLiteral("Global"), clave, QString());
}

bool guardaMaestra(const QString& clave, const QString& texto, QString* error)
{
    const QString h = cifra(texto, Forma::Maestra);
    if (h.isEmpty()) {
        if (error)
            *error = QStringLiteral("no se pudo calcular la contraseña cifrada");
        return false;
    }
    return Config::GuardaConfig(QStringLiteral("Global"), clave, h, false, false, error);
}

bool preparaTabla(CDatos& db, const QString& tabla, QString* error)
{
    if (db.motor() == ConnectionString::SQLite) {
        if (db.Ejecuta(QStringLiteral("PRAGMA secure_delete = ON")))
            return true;
        if (error)
            *error = db.ultimoError();
        return false;
    }
    if (db.motor() != ConnectionString::PostgreSQL)
        return true;
    if (!db.AbreRegistro(QStringLiteral("SELECT character_maximum_length AS largo FROM information_schema.columns "
                                        "WHERE table_name = lower(?) AND column_name = 'password' "
                                        "AND table_schema = ANY (current_schemas(false))"),
                         {tabla})) {
        if (error)
            *error = db.ultimoError();
        return false;
    }
    const QVariant largo = db.Existe_Registro() ? db.Campo(QStringLiteral("largo")) : QVariant();
    db.CierraRegistro();
    // NULL: a text column without a limit.
    if (largo.isNull() || largo.toInt() >= kLargo)
        return true;
    if (!db.Ejecuta(QStringLiteral("ALTER TABLE %1 ALTER COLUMN PASSWORD TYPE VARCHAR(%2)").arg(tabla).arg(kLargo))) {
        if (error)
            *error = db.ultimoError();
        return false;
    }
    return true;
}

void asienta(CDatos& db)
{
    // Readers still open keep part of the log: the next write empties it.
    if (db.motor() == ConnectionString::SQLite)
        db.Ejecuta(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

bool guardaOperario(const QString& conexion, const QString& tabla, const QString& operador,
                    const QString& texto, QString* error)
{
    const QString h = cifra(texto, Forma::Operario);
    CDatos db;
    QString e;
    int filas = 0;
    if (h.isEmpty())
        e = QStringLiteral("no se pudo calcular la contraseña cifrada");
    else if (!db.AbrirBase(conexion) || !preparaTabla(db, tabla, &e) ||
             !db.Ejecuta(QStringLiteral("UPDATE %1 SET PASSWORD = ? WHERE OPERADOR = ?").arg(tabla), {h, operador}, &filas))
        e = e.isEmpty() ? db.ultimoError() : e;
    else if (filas < 1)
        e = QStringLiteral("el operario %1 no existe").arg(operador);
    else
        asienta(db);
    if (e.isEmpty())
        return true;
    if (error)
        *error = e;
    return false;
}

} // namespace Secreto
