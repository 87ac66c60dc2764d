#pragma once

#include "Transporte.h"

#include <QList>
#include <functional>

// An in-memory peer: each request is handed to a function that returns the
// bytes the peer answers with (empty: silence). Records every request.
class TransporteFalso : public Transporte
{
public:
    using Respuesta = std::function<QByteArray(const QByteArray& pedido)>;

    explicit TransporteFalso(Respuesta respuesta = {}) : m_respuesta(std::move(respuesta)) {}

    bool abrir(QString*) override
    {
        m_abierto = true;
        return true;
    }
    void cerrar() override { m_abierto = false; }
    bool estaAbierto() const override { return m_abierto; }
    QByteArray intercambio(const QByteArray& pedido, int) override
    {
        m_pedidos.append(pedido);
        return m_respuesta ? m_respuesta(pedido) : QByteArray();
    }
    bool recobra() override
    {
        ++m_recobros;
        return true;
    }

    void setRespuesta(Respuesta r) { m_respuesta = std::move(r); }
    const QList<QByteArray>& pedidos() const { return m_pedidos; }
    void limpia() { m_pedidos.clear(); }
    int recobros() const { return m_recobros; }

private:
    Respuesta m_respuesta;
    QList<QByteArray> m_pedidos;
    bool m_abierto = false;
    int m_recobros = 0;
};
