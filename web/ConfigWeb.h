#pragma once

#include <QHostAddress>
#include <QString>

// The web monitor's settings: section [Web] of the settings file.
//   Puerto       TCP port; without it the monitor does not start
//   Direccion    address to listen on (127.0.0.1 when missing)
//   Certificado  PEM certificate file: with Clave, the monitor speaks HTTPS
//   Clave        PEM private key file
//   ClaveApi     read-only key for /api/ (none when missing)
//   Inactividad  minutes after which an idle session ends (30)
struct ConfigWeb
{
    bool activo = false; // Puerto is set
    quint16 puerto = 0;
    QHostAddress direccion{QHostAddress::LocalHost};
    QString certificado;
    QString clave;
    QString claveApi;
    int inactividadMin = 30;
    QString error; // why the settings cannot be used; empty when they can

    bool tls() const { return !certificado.isEmpty(); }

    // Reads the section from the settings file of the working directory.
    static ConfigWeb lee();
    // The same from given texts (empty: missing), for the tools and tests.
    static ConfigWeb desde(const QString& puerto, const QString& direccion, const QString& certificado,
                           const QString& clave, const QString& claveApi, const QString& inactividad);
};
