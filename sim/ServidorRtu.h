#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <random>

class IndicadorSimulado;
class QIODevice;
class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTimer;

// Faults the slave can show, each with its probability per request.
struct FallosSimulados
{
    double descarte = 0;   // no reply
    double corrupcion = 0; // reply with a bad CRC
    double tardia = 0;     // reply after the master's wait
    int tardiaMs = 2300;
    double desconectaCada = 0; // TCP: seconds between dropping the connections
    bool mudo = false;         // never answers
    bool partida = false;      // every reply in two TCP segments
    int partidaMs = 30;
    bool sobrante = false; // one byte too many after every reply
};

// A Modbus RTU slave (functions 03 and 06) in front of a simulated indicator,
// on TCP (raw RTU frames, 127.0.0.1 only) or on a pseudo-terminal.
class ServidorRtu : public QObject
{
    Q_OBJECT
public:
    ServidorRtu(IndicadorSimulado& indicador, quint8 id = 1, QObject* parent = nullptr);
    ~ServidorRtu() override;

    // Port 0 lets the system choose; puerto() tells which.
    bool escuchaTcp(quint16 puerto, QString* error = nullptr);
    quint16 puerto() const;
    // A new pseudo-terminal in raw mode; dispositivo() is the slave's path.
    bool abrePty(QString* error = nullptr);
    QString dispositivo() const { return m_dispositivo; }

    void setFallos(const FallosSimulados& f);
    const FallosSimulados& fallos() const { return m_fallos; }
    void setVerboso(bool v) { m_verboso = v; }
    // Closes every TCP connection now (the server keeps listening).
    void desconectaClientes();

    qint64 pedidos() const { return m_pedidos; }
    qint64 respuestas() const { return m_respuestas; }
    qint64 escrituras() const { return m_escrituras; }
    // The place of every write among the requests received (1 = the first).
    QList<qint64> ordenDeEscrituras() const
    {
        std::lock_guard lock(m_mutexOrden);
        return m_ordenEscrituras;
    }

    // The reply to one request frame, before faults; empty when the frame is
    // not for this slave.
    QByteArray responde(const QByteArray& pedido);

Q_SIGNALS:
    void pedidoAtendido();

private:
    void nuevaConexion();
    void recibe(QByteArray& buffer, const std::function<void(const QByteArray&)>& envia, bool tcp);
    void enviaConFallos(const QByteArray& respuesta, const std::function<void(const QByteArray&)>& envia,
                        bool tcp);
    void leePty();
    bool sorteo(double p);

    IndicadorSimulado& m_indicador;
    quint8 m_id;
    FallosSimulados m_fallos;
    bool m_verboso = false;
    QTcpServer* m_servidor = nullptr;
    QList<QPointer<QTcpSocket>> m_clientes;
    QTimer* m_desconexion = nullptr;
    int m_ptyMaestro = -1;
    int m_ptyEsclavo = -1;
    QSocketNotifier* m_notificador = nullptr;
    QByteArray m_bufferPty;
    QString m_dispositivo;
    std::mt19937 m_rng{12345};
    std::atomic<qint64> m_pedidos{0};
    std::atomic<qint64> m_respuestas{0};
    std::atomic<qint64> m_escrituras{0};
    mutable std::mutex m_mutexOrden;
    QList<qint64> m_ordenEscrituras;
};
