#pragma once

#include <QString>

// The MQTT node's settings: section [MQTT] of the settings file.
//   Host      the broker; without it the node does not start
//   Puerto    its port (1883, or 8883 with TLS)
//   CA        PEM file of the authority the broker's certificate is checked
//             against: with it the connection is TLS
//   Usuario   user name, when the broker asks for one
//   Clave     its password, kept scrambled as the connection strings are
//   Grupo     Sparkplug group id ("Tolvex")
//   Nodo      Sparkplug edge node id (the workstation's name, else its identity)
struct ConfigMqtt
{
    static inline const QString kSeccion = QStringLiteral("MQTT");

    bool activo = false; // Host is set
    QString host;
    quint16 puerto = 1883;
    QString ca;
    QString usuario;
    QString clave;
    QString grupo = QStringLiteral("Tolvex");
    QString nodo;      // the one used
    QString nodoPropio; // as written (empty: the default)
    QString error; // why the settings cannot be used; empty when they can

    bool tls() const { return !ca.isEmpty(); }

    // Reads the section from the settings file of the working directory;
    // the node's default is that of the program directory given.
    static ConfigMqtt lee(const QString& directorio);
    // The same from given texts (empty: missing). nodoPorDefecto stands in
    // for a missing Nodo.
    static ConfigMqtt desde(const QString& host, const QString& puerto, const QString& ca,
                            const QString& usuario, const QString& clave, const QString& grupo,
                            const QString& nodo, const QString& nodoPorDefecto);
    // Writes the section (the password scrambled); an empty host clears
    // Host, which turns the node off. False (and error) when it could not.
    bool guarda(QString* error = nullptr) const;

    // A Sparkplug id is a UTF-8 text without '+', '#' or '/'.
    static bool idValido(const QString& id);
};
