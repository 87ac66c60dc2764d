#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
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
    int excepcion = 0;     // every request refused with this exception code
    quint8 otroId = 0;     // every reply carries this slave id instead
};

// Modbus RTU slaves (functions 03 and 06) in front of simulated indicators,
// one or several ids on one bus, on TCP (raw RTU frames, 127.0.0.1 only) or
// on a pseudo-terminal. A request for an id nobody serves gets no reply, as
// on a real bus; id 0 is answered (with the indicator's own id) only while
// one indicator is served, as a point-to-point line's indicator does.
class ServidorRtu : public QObject
{
    Q_OBJECT
public:
    ServidorRtu(IndicadorSimulado& indicador, quint8 id = 1, QObject* parent = nullptr);
    ~ServidorRtu() override;

    // One more indicator on the bus, under another id.
    void agrega(IndicadorSimulado& indicador, quint8 id);
    QList<quint8> ids() const;
    // Faults of one id only (the bus-wide ones of setFallos apply otherwise;
    // the TCP ones are the bus's).
    void setFallosDe(quint8 id, const FallosSimulados& f);

    // Paced like a serial line at baudios, 8N1 (10 bits a byte): a request is
    // taken once its wire time and the 3.5-character gap have passed, the
    // indicator turns round in giroMs, and the reply's bytes go out at the
    // wire rate. 0: at once (the default).
    void setBaudios(int baudios, double giroMs = 2);
    // Paced: microseconds the bus carried frames or their required
    // 3.5-character gaps (one after every frame); the turnaround is not counted.
    qint64 ocupadoUs() const { return m_ocupadoUs.load(); }
    // Paced: microseconds of the indicators' own turnaround (giroMs a request).
    qint64 giroUs() const { return m_giroUs.load(); }
    // The time a frame of n bytes takes on the wire, in microseconds.
    double tramaUs(qsizetype n) const;
    double silencioUs() const;

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
    // The id of every request received, in order (the first million).
    QList<quint8> idsDePedidos() const
    {
        std::lock_guard lock(m_mutexOrden);
        return m_idsPedidos;
    }
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
    const FallosSimulados& fallosDe(quint8 id) const;
    // Paced: frames waiting for the line, and the reply going out.
    void atiendeCola();
    void atiende(const QByteArray& trama, const std::function<void(const QByteArray&)>& envia, bool tcp);
    void sale(const QByteArray& bytes, const std::function<void(const QByteArray&)>& envia);

    QList<std::pair<quint8, IndicadorSimulado*>> m_indicadores;
    QMap<quint8, FallosSimulados> m_fallosDe;
    FallosSimulados m_fallos;
    int m_baudios = 0;
    double m_giroMs = 2;
    struct Pendiente
    {
        QByteArray pedido;
        std::function<void(const QByteArray&)> envia;
        bool tcp = false;
    };
    QList<Pendiente> m_cola;
    qint64 m_libreNs = 0; // when the line is free for the next request
    bool m_esperandoGiro = false;
    QByteArray m_saliendo;
    std::function<void(const QByteArray&)> m_enviaSaliendo;
    qint64 m_inicioSalidaNs = 0;
    qsizetype m_enviados = 0;
    QTimer* m_ritmo = nullptr;
    QElapsedTimer m_reloj;
    std::atomic<qint64> m_ocupadoUs{0};
    std::atomic<qint64> m_giroUs{0};
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
    QList<quint8> m_idsPedidos;
};
