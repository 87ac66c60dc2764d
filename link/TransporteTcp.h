#pragma once

#include "Transporte.h"

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
    void aquietar() override;
    void reconectar() override;

    bool conectado() const;

private:
    void conecta();
    void descartaEntrada();

    QString m_host;
    quint16 m_puerto;
    std::unique_ptr<QTcpSocket> m_socket;
};
