#pragma once

#include "Transporte.h"

#include <QElapsedTimer>
#include <QString>
#include <memory>

class QTcpSocket;

// Raw RTU frames over a TCP connection (no MBAP header). The socket is made
// in the thread that calls abrir() and used only there.
class TransporteTcp : public Transporte
{
public:
    TransporteTcp(const QString& host, quint16 puerto);
    ~TransporteTcp() override;

    bool abrir(QString* error) override;
    void cerrar() override;
    bool estaAbierto() const override;
    QByteArray intercambio(const QByteArray& pedido, int largo) override;
    bool recobra() override;
    bool recobraAntesDeEscribir() const override { return true; }
    void reconectar() override;
    QString sinConexion() const override;
    Trama::Fallo conexion() const override;

    bool conectado() const;
    // How many connections have been opened, the first included.
    int conexiones() const { return m_conexiones; }

private:
    // Starts a new connection. Never sooner than the quiet period after the
    // last one, so a peer that drops every connection costs no tight loop.
    void empiezaConexion();
    // Waits for a connection under way, at most one reply wait.
    void esperaConexion();
    void descartaEntrada();

    QString m_host;
    quint16 m_puerto;
    std::unique_ptr<QTcpSocket> m_socket;
    QElapsedTimer m_desdeConexion;
    int m_conexiones = 0;
};
