#include "Enlace.h"

#include "Indicador.h"
#include "LinkWorker.h"
#include "Parada.h"

#include <QThread>

Enlace::Enlace(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<LecturaPeso>();
    qRegisterMetaType<ConfigEnlace>();
}

Enlace::~Enlace()
{
    cerrar();
}

void Enlace::abrir(const ConfigEnlace& config)
{
    cerrar();
    m_parada = std::make_shared<Parada>();
    m_hilo = new QThread;
    m_hilo->setObjectName(QStringLiteral("Enlace"));
    m_escrituras = std::make_shared<ColaEscrituras>();
    m_worker = new LinkWorker(m_parada, m_escrituras);
    m_worker->moveToThread(m_hilo);
    connect(m_hilo, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &LinkWorker::abierto, this, &Enlace::abierto);
    connect(m_worker, &LinkWorker::lecturaLista, this,
            [this](const LecturaPeso& l, int intentos) {
                m_lecturaPendiente = false;
                Q_EMIT lecturaLista(l, intentos);
            });
    connect(m_worker, &LinkWorker::escrituraLista, this, &Enlace::escrituraLista);
    m_hilo->start();
    QMetaObject::invokeMethod(m_worker, "abrir", Qt::QueuedConnection,
                              Q_ARG(ConfigEnlace, config));
}

bool Enlace::leer(int maxIntentos)
{
    if (!m_worker || m_lecturaPendiente)
        return false;
    m_lecturaPendiente = true;
    QMetaObject::invokeMethod(m_worker, "leer", Qt::QueuedConnection, Q_ARG(int, maxIntentos));
    return true;
}

void Enlace::sondea(int periodoMs, int maxIntentos)
{
    if (m_worker)
        QMetaObject::invokeMethod(m_worker, "sondea", Qt::QueuedConnection, Q_ARG(int, periodoMs),
                                  Q_ARG(int, maxIntentos));
}

void Enlace::escribir(quint16 direccion, const QByteArray& cadena, int tag)
{
    if (!m_worker) {
        QMetaObject::invokeMethod(
            this, [this, tag] { Q_EMIT escrituraLista(tag, false); }, Qt::QueuedConnection);
        return;
    }
    m_escrituras->pon({direccion, cadena, tag});
    // Taken at once when the worker is idle; a poll in progress takes it
    // before its next exchange.
    QMetaObject::invokeMethod(m_worker, "atiendeEscrituras", Qt::QueuedConnection);
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
    if (!m_hilo)
        return;
    disconnect(m_worker, nullptr, this, nullptr);
    m_parada->pedir();
    m_hilo->quit();
    m_hilo->wait();
    delete m_hilo;
    m_hilo = nullptr;
    m_worker = nullptr;
    m_lecturaPendiente = false;
}
