#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// Signed-in browsers, by an unguessable id kept in a cookie; a session ends
// after a time without use.
class Sesiones
{
public:
    struct Sesion
    {
        QString operador;
        QString nivel;        // as the operators table says now (read again at every use)
        int tipoAcceso = 0;
        bool conFila = false; // signed in as an operator of the table: deleting the row ends it
        qint64 creada = 0;    // Reloj::ms()
        qint64 ultimoUso = 0; // Reloj::ms()
    };

    // A live page that is open and showing counts as use for this long
    // after the sign-in; then the session ends after the usual idle time.
    static constexpr qint64 kPantallaMs = 12 * 60 * 60 * 1000;

    explicit Sesiones(qint64 inactividadMs) : m_inactividadMs(inactividadMs) {}

    // A new session: 32 random bytes from the system's generator, as hex.
    QByteArray crea(const QString& operador, const QString& nivel, int tipoAcceso, bool conFila);
    // The live session of id, its last use renewed when toca; nullptr when
    // unknown or expired (an expired one is dropped).
    Sesion* busca(const QByteArray& id, bool toca = true);
    // An open and showing live page of the session: renews it while the
    // session is younger than kPantallaMs. False when the session is gone.
    bool pantalla(const QByteArray& id);
    void cierra(const QByteArray& id);
    // Drops the expired sessions; returns their ids.
    QList<QByteArray> purga();
    int cuantas() const { return int(m_sesiones.size()); }

    // May this level read batches and reports? Gerencia, Instalador and a
    // master password without an operator (no level).
    static bool veReportes(const QString& nivel);

private:
    qint64 m_inactividadMs;
    QHash<QByteArray, Sesion> m_sesiones;
};

// Failed password checks, counted under keys: the address they came from
// and, for a sign-in, the name typed. Each failure makes the next attempt
// under any of its keys wait longer (doubling from 1 s up to 30 s); a key
// quiet for 15 minutes starts again. Only the clock is kept: nothing ever
// sleeps.
class Frenos
{
public:
    static QString porDireccion(const QString& direccion) { return QStringLiteral("ip ") + direccion; }
    // Names are compared as the sign-in compares passwords: without regard to case.
    static QString porNombre(const QString& nombre) { return QStringLiteral("nombre ") + nombre.toUpper(); }

    // Milliseconds to wait before another attempt under any of claves (0: none).
    qint64 espera(const QStringList& claves) const;
    // Records a failure under every key; returns the longest wait it imposes.
    qint64 falla(const QStringList& claves);
    // A success clears its own key only.
    void acierta(const QString& clave);

    static qint64 demora(int fallos);
    static constexpr qint64 kOlvidoMs = 15 * 60 * 1000;

private:
    struct Estado
    {
        int fallos = 0;
        qint64 ultimo = 0;     // Reloj::ms() of the last failure
        qint64 libreDesde = 0; // Reloj::ms()
    };
    QHash<QString, Estado> m_estados;
};
