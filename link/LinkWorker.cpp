#include "LinkWorker.h"

#include "Indicador.h"
#include "Parada.h"
#include "Transporte.h"

Q_LOGGING_CATEGORY(lcEnlace, "tolvex.link", QtWarningMsg)

LinkWorker::LinkWorker(std::shared_ptr<Parada> parada, std::shared_ptr<ColaEscrituras> escrituras)
    : m_parada(std::move(parada)), m_escrituras(std::move(escrituras))
{
}

LinkWorker::~LinkWorker()
{
    m_indicador.reset();
    if (m_transporte)
        m_transporte->cerrar();
}

void LinkWorker::abrir(const ConfigEnlace& config)
{
    m_transporte = config.creaTransporte();
    m_transporte->setParada(m_parada.get());
    m_transporte->setCede([cola = m_escrituras] { return !cola->vacia(); });
    m_indicador = std::make_unique<Indicador>(*m_transporte, config.id, config.decimales);
    m_indicador->setAntesDeLeer([this] { atiendeEscrituras(); });
    m_indicador->setCorta([parada = m_parada] { return parada->cierreAnunciado(); });
    QString detalle;
    if (!m_transporte->abrir(&detalle)) {
        qCWarning(lcEnlace).noquote() << detalle;
        Q_EMIT abierto(false, ConfigEnlace::mensajeError(), detalle);
        return;
    }
    Q_EMIT abierto(true, QString(), QString());
}

void LinkWorker::leer(int maxIntentos)
{
    atiendeEscrituras();
    LecturaPeso l = m_ultima;
    l.Peso = LecturaPeso::kSinRespuesta;
    int intentos = 0;
    int repetidas = 0;
    while (m_indicador && !m_parada->pedida() && intentos < maxIntentos && !l.valida()) {
        if (intentos > 0 && m_parada->cierreAnunciado())
            break;
        ++intentos;
        m_interrumpida = false;
        m_indicador->LeePeso(l);
        // A read with writes in the middle mixes values from before and after
        // them: read again (not counted as a try).
        if (m_interrumpida && l.valida() && repetidas < maxIntentos) {
            ++repetidas;
            --intentos;
            l.Peso = LecturaPeso::kSinRespuesta;
        }
    }
    if (!l.valida())
        l.Peso = LecturaPeso::kSinRespuesta;
    m_ultima = l;
    m_ultimaLeida = m_parada->cierreAnunciado();
    Q_EMIT lecturaLista(l, intentos);
}

void LinkWorker::sondea(int periodoMs, int maxIntentos)
{
    if (!m_timer1) {
        m_timer1 = new QTimer(this);
        m_timer1->setObjectName(QStringLiteral("Timer1"));
        // Once a close is announced, the poll that ran under it was the last
        // one: a tick that comes before the station stops polling sends nothing.
        connect(m_timer1, &QTimer::timeout, this, [this] {
            if (!m_ultimaLeida)
                leer(m_intentosSondeo);
        });
    }
    m_intentosSondeo = maxIntentos;
    if (periodoMs <= 0) {
        m_timer1->stop();
        return;
    }
    m_timer1->setInterval(periodoMs);
    m_timer1->start();
}

void LinkWorker::atiendeEscrituras()
{
    ColaEscrituras::Escritura e;
    while (m_escrituras->toma(e)) {
        m_interrumpida = true;
        const bool ok = m_indicador && !m_parada->pedida() &&
                        !m_indicador->Escribir(e.direccion, e.cadena).isEmpty();
        Q_EMIT escrituraLista(e.tag, ok);
    }
}
