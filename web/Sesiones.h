#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>

// Signed-in browsers, by an unguessable id kept in a cookie; a session ends
// after a time without requests.
class Sesiones
{
public:
    struct Sesion
    {
        QString operador;
        QString nivel;
        int tipoAcceso = 0;
        qint64 ultimoUso = 0; // Reloj::ms()
    };

    explicit Sesiones(qint64 inactividadMs) : m_inactividadMs(inactividadMs) {}

    // A new session: 32 random bytes from the system's generator, as hex.
    QByteArray crea(const QString& operador, const QString& nivel, int tipoAcceso);
    // The live session of id, its last use renewed when toca; nullptr when
    // unknown or expired (an expired one is dropped).
    const Sesion* busca(const QByteArray& id, bool toca = true);
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

// Failed sign-ins per address: each failure makes the next attempt from that
// address wait longer (doubling from 1 s up to 30 s). Only the clock is
// kept: nothing ever sleeps.
class Frenos
{
public:
    // Milliseconds the address must still wait before another attempt (0: none).
    qint64 espera(const QHostAddress& desde) const;
    // Records a failure; returns the wait it imposes.
    qint64 falla(const QHostAddress& desde);
    void acierta(const QHostAddress& desde);

    static qint64 demora(int fallos);

private:
    struct Estado
    {
        int fallos = 0;
        qint64 libreDesde = 0; // Reloj::ms()
    };
    QHash<QString, Estado> m_estados;
};
