#include "PublicadorPlanta.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>
#include <ctime>
#include <memory>

#include "CDatos.h"
#include "ConnectionString.h"
#include "EstacionPesaje.h"
#include "EstadoJson.h"
#include "Puesto.h"
#include "Reloj.h"
#include "Schema.h"

namespace {

constexpr qint64 kReintentoMs = 2000;

qint64 cpuHiloNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// What of a line's summary says it changed: not the time of the reading,
// which every poll renews (the row's time says the workstation is alive).
QByteArray huella(QJsonObject o)
{
    o.remove(QStringLiteral("instante"));
    QJsonObject t = o.value(QStringLiteral("textos")).toObject();
    t.remove(QStringLiteral("lectura"));
    o.insert(QStringLiteral("textos"), t);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A new identity for this run of the workstation's publisher.
QString nuevaCorrida()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, u'0');
}

} // namespace

// The writer, on the publisher's thread.
class PublicadorPlanta::Trabajo : public QObject
{
public:
    Trabajo(PublicadorPlanta* p, const QString& conexion, const QString& puesto, const QString& nombre)
        : m_p(p), m_conexion(conexion), m_puesto(puesto), m_nombre(nombre), m_corrida(nuevaCorrida()),
          m_reloj(new QTimer(this))
    {
        m_reloj->setSingleShot(true);
        m_reloj->setTimerType(Qt::PreciseTimer);
        connect(m_reloj, &QTimer::timeout, this, &Trabajo::turno);
    }
    void inicia() { despierta(); }
    // A line changed (PublicadorPlanta::despierta).
    void despierta()
    {
        m_p->m_despierto = false;
        m_pendiente = true;
        programa();
    }
    // The last states once more, on a connection that is open (closing).
    void final()
    {
        m_reloj->stop();
        if (m_db) {
            m_enviado.clear();
            escribe();
        }
        m_db.reset();
    }

private:
    void turno()
    {
        const qint64 c0 = cpuHiloNs();
        m_pendiente = false;
        m_turnoMs = Reloj::ms();
        escribe();
        programa();
        m_p->m_cpuNs += cpuHiloNs() - c0;
    }

    // The next turn: as soon as kMaximoPorSegundo allows (and the server,
    // after a failure) when something is waiting; else the heartbeat.
    void programa()
    {
        const qint64 ahora = Reloj::ms();
        qint64 cuando = m_turnoMs + kLatidoMs;
        if (m_pendiente) {
            cuando = m_envios.size() < kMaximoPorSegundo ? ahora : m_envios.constFirst() + 1000;
            if (!m_db)
                cuando = std::max(cuando, m_reintentoDesde);
        }
        const qint64 espera = std::max<qint64>(0, cuando - ahora);
        if (!m_reloj->isActive() || m_reloj->remainingTime() > espera)
            m_reloj->start(int(std::min<qint64>(espera, kLatidoMs)));
    }

    void escribe()
    {
        QMap<int, Entrada> lineas;
        {
            QMutexLocker l(&m_p->m_mutex);
            lineas = m_p->m_lineas;
        }
        const qint64 ahora = Reloj::ms();
        const bool latido = m_ultimoMs < 0 || ahora - m_ultimoMs >= kLatidoMs;
        QList<QPair<int, QJsonObject>> cambiadas;
        QHash<int, QByteArray> huellas;
        for (auto it = lineas.cbegin(); it != lineas.cend(); ++it) {
            const EstadoEstacion& e = it->estado;
            // Every poll renews the state; one that differs from the row's
            // only in the time of its reading is not summed up again.
            const auto r = m_resumidas.constFind(it.key());
            if (!latido && r != m_resumidas.cend() && m_enviado.value(it.key()) == r->huella &&
                r->linea.nombre == it->linea.nombre && EstadoJson::igualSalvoInstante(r->estado, e)) {
                huellas.insert(it.key(), r->huella);
                continue;
            }
            const QJsonObject o = EstadoJson::resumen(it->linea, e, EstadoJson::vigente(e), EstadoJson::motivo(e));
            const QByteArray h = huella(o);
            m_resumidas.insert(it.key(), {it->linea, e, h});
            if (latido || m_enviado.value(it.key()) != h)
                cambiadas.append({it.key(), o});
            huellas.insert(it.key(), h);
        }
        if (cambiadas.isEmpty())
            return;
        if (!m_db && ahora < m_reintentoDesde) {
            m_pendiente = true;
            return;
        }
        if (!m_db && !conecta(lineas.keys())) {
            m_reintentoDesde = Reloj::ms() + kReintentoMs;
            m_pendiente = true;
            return;
        }
        // Several notifications when the lines do not fit in one.
        QJsonArray tanda;
        qsizetype bytes = 0;
        QList<int> enTanda;
        const auto envia = [&]() {
            if (tanda.isEmpty())
                return true;
            if (!ejecuta(tanda))
                return false;
            for (int n : std::as_const(enTanda))
                m_enviado.insert(n, huellas.value(n));
            tanda = {};
            enTanda.clear();
            bytes = 0;
            return true;
        };
        for (const auto& [n, o] : std::as_const(cambiadas)) {
            const qsizetype b = QJsonDocument(o).toJson(QJsonDocument::Compact).size() + 1;
            if (bytes + b > kMaxCarga - 300 && !envia()) {
                m_pendiente = true;
                return;
            }
            tanda.append(o);
            enTanda.append(n);
            bytes += b;
        }
        if (envia())
            m_ultimoMs = ahora;
        else
            m_pendiente = true;
    }

    bool conecta(const QList<int>& lineas)
    {
        auto db = std::make_unique<CDatos>();
        QString error;
        if (!db->AbrirBase(m_conexion) || !Schema::creaPlanta(*db, &error)) {
            ++m_p->m_fallos;
            return false;
        }
        // A line taken out of the settings is no longer shown.
        QStringList numeros;
        for (int n : lineas)
            numeros.append(QString::number(n));
        if (!db->Ejecuta(QStringLiteral("DELETE FROM %1 WHERE PUESTO = ? AND LINEA NOT IN (%2)")
                             .arg(Schema::kTablaPlanta, numeros.isEmpty() ? QStringLiteral("0") : numeros.join(u',')),
                         {m_puesto})) {
            ++m_p->m_fallos;
            return false;
        }
        m_db = std::move(db);
        m_enviado.clear();
        return true;
    }

    bool ejecuta(const QJsonArray& lineas)
    {
        static const QString sql = sentencia(Schema::kTablaPlanta);
        const QString datos = QString::fromUtf8(QJsonDocument(lineas).toJson(QJsonDocument::Compact));
        ++m_p->m_sentencias;
        // The counter goes on through reconnections: the run is the same.
        ++m_n;
        m_envios.append(Reloj::ms());
        while (m_envios.size() > kMaximoPorSegundo)
            m_envios.removeFirst();
        if (m_db->Ejecuta(sql, valores(kCanal, m_puesto, m_nombre, m_corrida, m_n, datos)))
            return true;
        ++m_p->m_fallos;
        // The server went away or refused: a new connection next time, and
        // every line sent again on it.
        m_db.reset();
        m_enviado.clear();
        m_reintentoDesde = Reloj::ms() + kReintentoMs;
        return false;
    }

    PublicadorPlanta* m_p;
    const QString m_conexion;
    const QString m_puesto;
    const QString m_nombre;
    const QString m_corrida;
    qint64 m_n = 0;
    QTimer* m_reloj;
    std::unique_ptr<CDatos> m_db;
    QHash<int, QByteArray> m_enviado; // what each line's row says now
    struct Resumida
    {
        Linea linea;
        EstadoEstacion estado;
        QByteArray huella;
    };
    QHash<int, Resumida> m_resumidas; // each line's last summary, and what it was made of
    QList<qint64> m_envios;           // Reloj::ms() of the last statements, kMaximoPorSegundo at most
    bool m_pendiente = false;         // a line may have changed since the last turn
    qint64 m_ultimoMs = -1; // Reloj::ms() of the last turn that wrote every line it had to
    qint64 m_turnoMs = 0;   // of the last turn
    qint64 m_reintentoDesde = 0;
};

PublicadorPlanta::PublicadorPlanta(const Contexto& contexto, const QString& puesto, QObject* parent)
    : QObject(parent)
{
    if (!compartida(contexto))
        return;
    m_trabajo = new Trabajo(this, contexto.DataCSReporte, puesto, Puesto::nombre(contexto.directorio()));
    m_hilo.setObjectName(QStringLiteral("planta"));
    m_trabajo->moveToThread(&m_hilo);
    m_hilo.start();
    QMetaObject::invokeMethod(m_trabajo, [t = m_trabajo] { t->inicia(); }, Qt::QueuedConnection);
}

PublicadorPlanta::~PublicadorPlanta()
{
    if (!m_trabajo)
        return;
    QMetaObject::invokeMethod(
        m_trabajo,
        [t = m_trabajo] {
            t->final();
            delete t;
        },
        Qt::BlockingQueuedConnection);
    m_trabajo = nullptr;
    m_hilo.quit();
    m_hilo.wait();
}

QString PublicadorPlanta::sentencia(const QString& tabla)
{
    // Each row's state is the line's summary with the statement's run,
    // counter and workstation name.
    return QStringLiteral(
               "WITH e AS (SELECT (x->>'linea')::integer AS linea, "
               "(x::jsonb || jsonb_build_object('corrida', CAST(? AS text), 'n', CAST(? AS bigint), "
               "'nombrePuesto', CAST(? AS text)))::text AS estado "
               "FROM json_array_elements(CAST(? AS json)) AS x), "
               "u AS (INSERT INTO %1 (PUESTO, LINEA, ESTADO, VISTO) SELECT ?, linea, estado, now() FROM e "
               "ON CONFLICT (PUESTO, LINEA) DO UPDATE SET ESTADO = EXCLUDED.ESTADO, VISTO = EXCLUDED.VISTO "
               "RETURNING 1) "
               "SELECT pg_notify(?, json_build_object('puesto', CAST(? AS text), 'nombre', CAST(? AS text), "
               "'corrida', CAST(? AS text), 'n', CAST(? AS bigint), "
               "'ms', floor(extract(epoch FROM now()) * 1000), 'lineas', CAST(? AS json))::text), "
               "(SELECT count(*) FROM u)")
        .arg(tabla);
}

QVariantList PublicadorPlanta::valores(const QString& canal, const QString& puesto, const QString& nombre,
                                       const QString& corrida, qint64 n, const QString& lineas)
{
    return {corrida, n, nombre, lineas, puesto, canal, puesto, nombre, corrida, n, lineas};
}

bool PublicadorPlanta::compartida(const Contexto& contexto)
{
    return ConnectionString::parse(contexto.DataCSReporte, contexto.directorio()).engine ==
           ConnectionString::PostgreSQL;
}

void PublicadorPlanta::setLineas(const QVector<Linea>& lineas)
{
    {
        QMutexLocker l(&m_mutex);
        QMap<int, Entrada> nuevas;
        for (const Linea& linea : lineas) {
            Entrada e = m_lineas.value(linea.numero);
            e.linea = linea;
            nuevas.insert(linea.numero, e);
        }
        m_lineas = nuevas;
    }
    despierta();
}

void PublicadorPlanta::sigue(EstacionPesaje* estacion)
{
    const Linea linea = estacion->linea();
    connect(estacion, &EstacionPesaje::estadoCambiado, this,
            [this, linea](const EstadoEstacion& e) { publica(linea, e); }, Qt::DirectConnection);
    connect(estacion, &EstacionPesaje::cerrada, this, [this, n = linea.numero] { cerrada(n); },
            Qt::DirectConnection);
}

void PublicadorPlanta::publica(const Linea& linea, const EstadoEstacion& e)
{
    bool cambio;
    {
        QMutexLocker l(&m_mutex);
        Entrada& en = m_lineas[linea.numero];
        // A poll that only renews the time of the reading waits for the heartbeat.
        cambio = en.linea.nombre != linea.nombre || !EstadoJson::igualSalvoInstante(en.estado, e);
        en.linea = linea;
        en.estado = e;
    }
    if (cambio)
        despierta();
}

void PublicadorPlanta::cerrada(int linea)
{
    {
        QMutexLocker l(&m_mutex);
        const auto it = m_lineas.find(linea);
        if (it == m_lineas.end())
            return;
        it->estado.abierta = false;
    }
    despierta();
}

void PublicadorPlanta::despierta()
{
    if (m_trabajo && !m_despierto.exchange(true))
        QMetaObject::invokeMethod(m_trabajo, [t = m_trabajo] { t->despierta(); }, Qt::QueuedConnection);
}

PublicadorPlanta::Cuenta PublicadorPlanta::cuenta() const
{
    return {m_sentencias.load(), m_fallos.load(), m_cpuNs.load()};
}
