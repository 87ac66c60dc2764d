#pragma once

#include <QHostAddress>
#include <QString>

// The web monitor's settings: section [Web] of the settings file.
//   Puerto       TCP port; without it the monitor does not start
//   Direccion    address to listen on (127.0.0.1 when missing)
//   Certificado  PEM certificate file: with Clave, the monitor speaks HTTPS
//   Clave        PEM private key file
//   ClaveApi     read-only key for /api/ (none when missing); written there
//                as typed, it is replaced by its hash when first read
//   Inactividad  minutes after which an idle session ends (30)
struct ConfigWeb
{
    bool activo = false; // Puerto is set
    quint16 puerto = 0;
    QHostAddress direccion{QHostAddress::LocalHost};
    QString certificado;
    QString clave;
    QString claveApi;    // as stored: hashed (empty until lee() hashed a typed one)
    QString claveApiTal; // the key's text, when it was read as typed
    QString aviso;       // a typed key that could not be stored hashed
    int inactividadMin = 30;
    QString error; // why the settings cannot be used; empty when they can

    bool tls() const { return !certificado.isEmpty(); }

    // Reads the section from the settings file of the working directory.
    static ConfigWeb lee();
    // The same from given texts (empty: missing), for the tools and tests.
    static ConfigWeb desde(const QString& puerto, const QString& direccion, const QString& certificado,
                           const QString& clave, const QString& claveApi, const QString& inactividad);
};
