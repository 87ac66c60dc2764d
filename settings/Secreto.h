#pragma once

#include <QString>
#include <cstddef>

class CDatos;

// Passwords as they are kept: salted Argon2id hashes (libsodium's
// crypto_pwhash), each in its own self-describing text
// "$argon2id$v=19$m=<KiB>,t=<passes>,p=1$<salt>$<hash>".
//
// A stored password is either
//  - hashed: the hash of the text as sign-in compares it (Windows-1252,
//    upper case), and for an operator also "|" and the hash of the text
//    exactly as typed, which the password change checks (letter case
//    included); or
//  - scrambled, as earlier versions kept it (Config::CodificaTexto of the
//    text): still accepted, the old way, until it is rewritten hashed.
// A stored text is never compared with what is typed: a hash typed as a
// password matches nothing.
namespace Secreto {

// The cost of one hash. One sign-in checks two passwords.
constexpr unsigned long long kPasadas = 2;
constexpr std::size_t kMemoria = std::size_t(19) << 20; // bytes

enum class Forma
{
    Maestra, // the sign-in's form only (case does not count)
    Operario // and the exact text, for the password change
};

// The stored form of clave, hashed with a new random salt. Empty only if
// the hashing itself failed (out of memory).
QString cifra(const QString& clave, Forma forma);

// guardada is hashed (whatever its parameters).
bool esCifrada(const QString& guardada);

// What was typed against a stored password. Empty typed text and an empty
// stored text match nothing. With exacta the letter case counts: a hashed
// password then needs its exact part (Forma::Operario), a scrambled one is
// compared as it reads back; a hashed one without an exact part (stored
// as a master password's) then compares without regard to case.
bool coincide(const QString& guardada, const QString& tecleada, bool exacta = false);

// The stored password should be written again (scrambled, or hashed with
// other parameters than today's, or without the exact part a Forma needs).
bool anticuada(const QString& guardada, Forma forma);

// The stored form to write in place of guardada now that tecleada was
// checked against it; empty when nothing is to be written. A scrambled
// password is hashed from its own text, whatever was typed; a hashed one
// with other parameters is hashed again only from a typed text it
// matches (its exact part only from one that matches exactly).
QString renovada(const QString& guardada, const QString& tecleada, Forma forma);

// The text of a scrambled password; empty for a hashed one.
QString descifraAntigua(const QString& guardada);

// Master passwords in section Global of the settings file: Pass1 the
// operators', Pass2 the supervisors'.
inline const QString kPass1 = QStringLiteral("Pass1");
inline const QString kPass2 = QStringLiteral("Pass2");
// The stored form as the file holds it; empty when missing.
QString leeMaestra(const QString& clave);
// Stores a master password hashed. False (and error) when it could not.
bool guardaMaestra(const QString& clave, const QString& texto, QString* error = nullptr);

// Sets PASSWORD of the operator's row (OPERADOR equal to operador) of
// the operators table to texto, hashed. False, with error, when the row is
// missing or the write failed. The column is widened first where the
// database keeps an older, shorter one.
bool guardaOperario(const QString& conexion, const QString& tabla, const QString& operador,
                    const QString& texto, QString* error = nullptr);
// Before writing a password into the operators table on db: widens
// PASSWORD so that a hash fits (on PostgreSQL, a VARCHAR shorter than
// kLargo), and on SQLite has the text it replaces overwritten, not left in
// the file's free space.
constexpr int kLargo = 255;
bool preparaTabla(CDatos& db, const QString& tabla, QString* error = nullptr);
// After writing: on SQLite the write-ahead log is emptied into the file, so
// that no earlier version of the row stays readable in it.
void asienta(CDatos& db);

} // namespace Secreto
