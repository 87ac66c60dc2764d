#pragma once

#include "Transporte.h"

#include <QSerialPort>
#include <QString>
#include <memory>

// RTU frames over a serial line: the baud rate, 8N1, no handshaking, RTS on.
class TransporteSerie : public Transporte
{
public:
    TransporteSerie(const QString& dispositivo, int baudios);
    ~TransporteSerie() override;

    bool abrir(QString* error) override;
    void cerrar() override;
    bool estaAbierto() const override;
    QByteArray intercambio(const QByteArray& pedido, int largo) override;
    bool recobra() override;

    // "19200,n,8,1"
    QString textoAjustes() const;
    // Why a port did not open, in words an installer can act on.
    static QString causa(const QString& dispositivo, QSerialPort::SerialPortError error);

private:
    QString m_dispositivo;
    int m_baudios;
    std::unique_ptr<QSerialPort> m_puerto;
};
