#pragma once

#include <QMap>
#include <QMutex>
#include <QString>
#include <QVector>
#include <atomic>
#include <thread>

#include "ConfigMqtt.h"
#include "EstadoEstacion.h"
#include "Sparkplug.h"

class BuzonLotes;
class EstacionPesaje;
struct mosquitto;
struct mosquitto_message;

// The workstation as a Sparkplug B edge node on the plant's broker: its
// lines are devices ("Linea1"...), born with every metric when their station
// opens, their changes sent by alias (at most kMaximoPorSegundo a second a
// line), dead when it closes. The batches of the outbox go on
// tolvex/<grupo>/<nodo>/lote with QoS 1, one at a time, in order, each taken
// off the outbox at the broker's acknowledgement. Commands to the devices
// are refused (they stay with the operator at the station); a node command
// asking for a rebirth is honoured.
//
// Everything MQTT runs on a thread of its own: the stations only leave their
// last state under a lock, so a slow, dead or hostile broker never delays a
// poll. The broker lost, the node reconnects with a growing pause; the error
// log hears once that it was lost and once that it is back.
class NodoSparkplug
{
public:
    static constexpr int kMaximoPorSegundo = 5;
    static constexpr int kKeepAliveS = 5;
    static constexpr int kPausaMinMs = 500;
    static constexpr int kPausaMaxMs = 30000;
    // At a clean exit, how long the outbox may still be sent.
    static constexpr int kDrenaMs = 3000;
    // The bdSeq of the last connection, kept beside the settings.
    static inline const QString kArchivoBdSeq = QStringLiteral("MqttBdSeq.dat");

    // directorio: where the error log and the bdSeq file are. buzon, when
    // given, outlives the node.
    NodoSparkplug(const ConfigMqtt& config, const QString& directorio, BuzonLotes* buzon = nullptr);
    // A clean exit: the outbox sent while the broker takes it (at most
    // kDrenaMs), NDEATH, then the disconnection.
    ~NodoSparkplug();

    // Follows a station: its every state and its close (from its thread).
    void sigue(EstacionPesaje* estacion);
    void publica(int linea, const EstadoEstacion& e);
    void cerrada(int linea);
    // The outbox has a new batch.
    void despierta();

    QByteArray temaLotes() const;

    struct Cuenta
    {
        qint64 mensajes = 0;  // published
        qint64 lotes = 0;     // batches the broker acknowledged
        qint64 descartados = 0; // incoming messages dropped
        qint64 cpuNs = 0;     // CPU time of the node's thread
        bool conectado = false;
    };
    Cuenta cuenta() const;

private:
    struct Linea
    {
        EstadoEstacion estado;
        bool cambio = false;
    };
    struct Publicada
    {
        bool nacida = false;
        QVector<Sparkplug::Metrica> metricas;
        qint64 ultimoMs = -1'000'000;
        bool pendiente = false;
    };

    void corre();
    bool conecta();
    void perdida(const QString& causa);
    void alConectar(int rc);
    void alMensaje(const mosquitto_message* m);
    void alPublicar(int mid);
    // Births, changes, deaths and the next batch; the ms to wait for the
    // next change a line may send.
    int atiende();
    void nace();
    bool envia(const QByteArray& tema, const Sparkplug::Mensaje& m, int qos = 0);
    qint64 siguienteSeq();
    void anota(const QString& texto);
    QByteArray muerte() const;

    const ConfigMqtt m_config;
    const QString m_directorio;
    BuzonLotes* m_buzon;

    QMutex m_mutex;
    QMap<int, Linea> m_lineas; // what the stations left
    std::atomic<bool> m_fin{false};
    int m_despertador = -1; // eventfd
    std::atomic<bool> m_avisado{false}; // a wake-up is written and not yet read

    // The thread's own.
    mosquitto* m_mosq = nullptr;
    bool m_enSesion = false;  // CONNACK accepted
    bool m_conectando = false;
    bool m_perdidaAnotada = false;
    bool m_conectoAlgunaVez = false;
    bool m_rebirth = false;
    qint64 m_proximoIntento = 0;
    qint64 m_desdeConexion = 0;
    int m_pausaMs = kPausaMinMs;
    qint64 m_bdSeq = 0;
    qint64 m_seq = 0;
    QMap<int, Publicada> m_publicadas;
    QMap<int, QString> m_enVuelo; // mid -> IDLOTE
    QString m_loteEnVuelo;
    QMap<QString, bool> m_dcmdAnotado;

    std::atomic<qint64> m_mensajes{0};
    std::atomic<qint64> m_lotes{0};
    std::atomic<qint64> m_descartados{0};
    std::atomic<qint64> m_cpuNs{0};
    std::atomic<bool> m_conectado{false};
    std::thread m_hilo;
};
