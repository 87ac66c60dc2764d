#include "Enlace.h"

#include "Indicador.h"
#include "LinkWorker.h"
#include "Parada.h"

#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <map>
#include <mutex>

// One bus: its worker thread and what the Enlaces on it share. The last
// Enlace to let go stops the thread.
class BusEnlace
{
public:
    BusEnlace()
        : parada(std::make_shared<Parada>()), escrituras(std::make_shared<ColaEscrituras>()),
          hilo(new QThread)
    {
        hilo->setObjectName(QStringLiteral("Enlace"));
        worker = new LinkWorker(parada, escrituras);
        worker->moveToThread(hilo);
        QObject::connect(hilo, &QThread::finished, worker, &QObject::deleteLater);
        hilo->start();
    }
    ~BusEnlace()
    {
        parada->pedir();
        hilo->quit();
        hilo->wait();
        delete hilo;
    }
    BusEnlace(const BusEnlace&) = delete;
    BusEnlace& operator=(const BusEnlace&) = delete;

    // The bus of that key, made when none is open.
    static std::shared_ptr<BusEnlace> de(const QString& clave)
    {
        static std::mutex mutex;
        static std::map<QString, std::weak_ptr<BusEnlace>> buses;
        std::lock_guard lock(mutex);
        for (auto it = buses.begin(); it != buses.end();)
            it = it->second.expired() ? buses.erase(it) : std::next(it);
        if (auto bus = buses[clave].lock())
            return bus;
        auto bus = std::make_shared<BusEnlace>();
        buses[clave] = bus;
        return bus;
    }

    std::shared_ptr<Parada> parada;
    std::shared_ptr<ColaEscrituras> escrituras;
    QThread* hilo;
    LinkWorker* worker = nullptr;
    std::atomic<int> puestos{0};
    std::atomic<int> ultimoPuesto{0};
};

Enlace::Enlace(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<LecturaPeso>();
    qRegisterMetaType<ConfigEnlace>();
}

Enlace::~Enlace()
{
    cerrar();
}

QString Enlace::claveBus(const ConfigEnlace& config)
{
    if (config.esTcp())
        return QStringLiteral("tcp:%1:%2").arg(config.host.trimmed().toLower()).arg(config.puerto);
    const QString canonica = QFileInfo(config.dispositivo).canonicalFilePath();
    return QStringLiteral("serie:") + (canonica.isEmpty() ? config.dispositivo : canonica);
}

qint64 Enlace::msLeyendo() const
{
    return m_parada && m_bus ? m_parada->msLeyendo() : 0;
}

int Enlace::indicadoresEnBus() const
{
    return m_bus ? m_bus->puestos.load() : 0;
}

void Enlace::abrir(const ConfigEnlace& config)
{
    cerrar();
    m_parada = std::make_shared<Parada>();
    m_bus = BusEnlace::de(claveBus(config));
    m_puesto = ++m_bus->ultimoPuesto;
    ++m_bus->puestos;
    LinkWorker* w = m_bus->worker;
    const int puesto = m_puesto;
    connect(w, &LinkWorker::abierto, this,
            [this, puesto](int n, bool ok, const QString& mensaje, const QString& detalle) {
                if (n == puesto)
                    Q_EMIT abierto(ok, mensaje, detalle);
            });
    connect(w, &LinkWorker::lecturaLista, this,
            [this, puesto](int n, const LecturaPeso& l, int intentos) {
                if (n != puesto)
                    return;
                m_lecturaPendiente = false;
                Q_EMIT lecturaLista(l, intentos);
            });
    connect(w, &LinkWorker::cadencia, this, [this, puesto](int n, int ms) {
        if (n != puesto || m_periodo <= 0)
            return;
        m_periodoEfectivo = ms;
        Q_EMIT periodoEfectivoCambiado(ms);
    });
    connect(w, &LinkWorker::escrituraLista, this, [this, puesto](int n, int tag, bool ok) {
        if (n == puesto)
            Q_EMIT escrituraLista(tag, ok);
    });
    QMetaObject::invokeMethod(
        w, [w, puesto, config, parada = m_parada] { w->agrega(puesto, config, parada); },
        Qt::QueuedConnection);
}

bool Enlace::leer(int maxIntentos)
{
    if (!m_bus || m_lecturaPendiente)
        return false;
    m_lecturaPendiente = true;
    LinkWorker* w = m_bus->worker;
    QMetaObject::invokeMethod(
        w, [w, puesto = m_puesto, maxIntentos] { w->leer(puesto, maxIntentos); }, Qt::QueuedConnection);
    return true;
}

void Enlace::sondea(int periodoMs, int maxIntentos)
{
    if (!m_bus)
        return;
    m_periodo = std::max(periodoMs, 0);
    m_periodoEfectivo = 0;
    LinkWorker* w = m_bus->worker;
    QMetaObject::invokeMethod(
        w, [w, puesto = m_puesto, periodoMs, maxIntentos] { w->sondea(puesto, periodoMs, maxIntentos); },
        Qt::QueuedConnection);
}

void Enlace::escribir(quint16 direccion, const QByteArray& cadena, int tag)
{
    if (!m_bus) {
        QMetaObject::invokeMethod(
            this, [this, tag] { Q_EMIT escrituraLista(tag, false); }, Qt::QueuedConnection);
        return;
    }
    m_bus->escrituras->pon({direccion, cadena, tag, m_puesto});
    // Taken at once when the worker is idle; a poll in progress on the bus
    // takes it before its next exchange.
    LinkWorker* w = m_bus->worker;
    QMetaObject::invokeMethod(w, [w] { w->atiendeEscrituras(); }, Qt::QueuedConnection);
}

void Enlace::comando(char letra, int tag)
{
    escribir(Indicador::kComando, QByteArray(1, letra), tag);
}

void Enlace::anunciaCierre()
{
    if (m_parada)
        m_parada->anunciaCierre();
}

void Enlace::cerrar()
{
    if (!m_bus)
        return;
    LinkWorker* w = m_bus->worker;
    disconnect(w, nullptr, this, nullptr);
    m_parada->pedir();
    --m_bus->puestos;
    QMetaObject::invokeMethod(w, [w, puesto = m_puesto] { w->quita(puesto); }, Qt::QueuedConnection);
    // The last Enlace on the bus stops its thread here.
    m_bus.reset();
    m_lecturaPendiente = false;
    m_periodoEfectivo = 0;
}
