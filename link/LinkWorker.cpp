#include "LinkWorker.h"

#include "Indicador.h"
#include "Parada.h"
#include "Transporte.h"

#include <algorithm>

Q_LOGGING_CATEGORY(lcEnlace, "tolvex.link", QtWarningMsg)

LinkWorker::LinkWorker(std::shared_ptr<Parada> parada, std::shared_ptr<ColaEscrituras> escrituras)
    : m_parada(std::move(parada)), m_escrituras(std::move(escrituras))
{
    m_reloj.start();
}

LinkWorker::~LinkWorker()
{
    m_puestos.clear();
    if (m_transporte)
        m_transporte->cerrar();
}

LinkWorker::Puesto* LinkWorker::puesto(int numero)
{
    for (auto& p : m_puestos)
        if (p->numero == numero)
            return p.get();
    return nullptr;
}

bool LinkWorker::detenido(const Puesto& p) const
{
    return m_parada->pedida() || p.parada->pedida();
}

void LinkWorker::agrega(int numero, const ConfigEnlace& config, std::shared_ptr<Parada> paradaPuesto)
{
    if (!m_transporte) {
        m_config = config;
        m_transporte = config.creaTransporte();
        m_transporte->setParada(m_parada.get());
        m_transporte->setCede([cola = m_escrituras] { return !cola->vacia(); });
    }
    auto p = std::make_unique<Puesto>();
    p->numero = numero;
    p->parada = std::move(paradaPuesto);
    p->indicador = std::make_unique<Indicador>(*m_transporte, config.id, config.decimales);
    p->indicador->setAntesDeLeer([this] { atiendeEscrituras(); });
    Puesto* q = p.get();
    // On a shared bus an unanswered exchange ends the read: its neighbours
    // wait one reply wait for it, not three.
    p->indicador->setCorta([this, q] {
        return q->parada->cierreAnunciado() || q->parada->pedida() || m_puestos.size() > 1;
    });
    m_puestos.push_back(std::move(p));
    if (!m_abierto) {
        QString detalle;
        if (!m_transporte->abrir(&detalle)) {
            qCWarning(lcEnlace).noquote() << detalle;
            Q_EMIT abierto(numero, false, ConfigEnlace::mensajeError(), detalle);
            return;
        }
        m_abierto = true;
    }
    Q_EMIT abierto(numero, true, QString(), QString());
}

void LinkWorker::quita(int numero)
{
    const auto it = std::find_if(m_puestos.begin(), m_puestos.end(),
                                 [numero](const auto& p) { return p->numero == numero; });
    if (it != m_puestos.end()) {
        delete (*it)->timer1;
        m_puestos.erase(it);
    }
}

bool LinkWorker::pruebaDebida(const Puesto& p) const
{
    const qint64 ahora = m_reloj.elapsed();
    if (ahora < p.proximaPrueba)
        return false;
    // At most a third of the bus for probes.
    if (m_finPrueba >= 0 && ahora - m_finPrueba < 2 * m_costePrueba)
        return false;
    // The absent indicator due longest goes first.
    for (const auto& q : m_puestos)
        if (q.get() != &p && q->ausente && q->proximaPrueba < p.proximaPrueba)
            return false;
    return true;
}

int LinkWorker::esperaPrueba(const Puesto& p) const
{
    if (p.lecturaTipicaMs < 0)
        return m_config.esperaMs;
    return int(std::min<qint64>(m_config.esperaMs, std::max<qint64>(2 * p.lecturaTipicaMs, kEsperaPruebaMinMs)));
}

qint64 LinkWorker::intervaloPrueba(const Puesto& p) const
{
    // A failure cycle: the reply wait and the recovery (a serial line's is at
    // most one more wait and the quiet period).
    const qint64 ciclo = 2 * esperaPrueba(p) + m_config.silencioMs;
    const int doblado = std::clamp(p.pruebasFallidas - 1, 0, 8);
    return std::min<qint64>(kPruebaMaxMs, (10 * ciclo) << doblado);
}

void LinkWorker::leer(int numero, int maxIntentos)
{
    atiendeEscrituras();
    Puesto* p = puesto(numero);
    if (!p)
        return;
    LecturaPeso l = p->ultima;
    l.Peso = LecturaPeso::kSinRespuesta;
    const bool compartido = m_puestos.size() > 1;
    bool prueba = false;
    if (compartido) {
        maxIntentos = std::min(maxIntentos, 1);
        if (p->ausente) {
            if (!pruebaDebida(*p)) {
                Q_EMIT lecturaLista(numero, l, 0);
                return;
            }
            prueba = true;
        }
    }
    // A probe gives the line back within what the indicator has taken to answer.
    const int espera = m_transporte->espera();
    if (prueba)
        m_transporte->setEspera(esperaPrueba(*p));
    const qint64 inicio = m_reloj.elapsed();
    p->parada->empiezaLectura();
    const bool enPaso = !m_transporte->desfasado();
    int intentos = 0;
    int repetidas = 0;
    bool limpia = true; // no writes in its middle
    while (!detenido(*p) && intentos < maxIntentos && !l.valida()) {
        if (intentos > 0 && p->parada->cierreAnunciado())
            break;
        ++intentos;
        p->interrumpida = false;
        p->indicador->LeePeso(l);
        limpia = limpia && !p->interrumpida;
        // A read with writes in the middle mixes values from before and after
        // them: read again (not counted as a try).
        if (p->interrumpida && l.valida() && repetidas < maxIntentos) {
            ++repetidas;
            --intentos;
            l.Peso = LecturaPeso::kSinRespuesta;
        }
    }
    if (!l.valida())
        l.Peso = LecturaPeso::kSinRespuesta;
    bool callada = false; // a failure not reported yet
    if (compartido && !detenido(*p)) {
        const qint64 ahora = m_reloj.elapsed();
        if (l.valida()) {
            // A spike is taken at once, forgotten slowly.
            const qint64 d = ahora - inicio;
            if (enPaso && limpia)
                p->lecturaTipicaMs = p->lecturaTipicaMs < 0 ? d : std::max(d, (7 * p->lecturaTipicaMs + d) / 8);
            p->ausente = false;
        } else {
            if (!p->ausente) {
                // Tried again at its next turn (a probe, at its own wait), and
                // only a second failure is reported: one lost frame is no failure.
                p->ausente = true;
                p->pruebasFallidas = 0;
                p->proximaPrueba = ahora;
                callada = m_enRonda;
            } else {
                ++p->pruebasFallidas;
                p->proximaPrueba = ahora + intervaloPrueba(*p);
            }
            // Back in step at once, within the indicator's own time.
            if (m_transporte->desfasado()) {
                m_transporte->setEspera(esperaPrueba(*p));
                if (m_transporte->recobra())
                    m_transporte->setDesfasado(false);
            }
        }
        if (prueba) {
            m_finPrueba = m_reloj.elapsed();
            m_costePrueba = m_finPrueba - inicio;
        }
    } else if (!compartido) {
        p->ausente = false;
    }
    m_transporte->setEspera(espera);
    p->parada->terminaLectura();
    p->ultima = l;
    p->ultimaLeida = p->parada->cierreAnunciado();
    if (callada && !p->ultimaLeida)
        return;
    Q_EMIT lecturaLista(numero, l, intentos);
}

void LinkWorker::anotaInicio(Puesto& p)
{
    const qint64 ahora = m_reloj.elapsed();
    p.inicios.push_back(ahora);
    if (p.inicios.size() > size_t(kVentanaCadencia) + 1)
        p.inicios.pop_front();
    if (p.inicios.size() < 2)
        return;
    const qint64 media = (ahora - p.inicios.front()) / qint64(p.inicios.size() - 1);
    const int efectivo = int(std::max<qint64>(p.periodoMs, media));
    // Told when it moves by a tenth, and whenever it comes within a tenth of
    // the period asked or leaves it, so that a reading that caught up is
    // never left shown as slow by a last step smaller than a tenth.
    const auto alRitmo = [&p](qint64 ms) { return ms * 10 <= qint64(p.periodoMs) * 11; };
    if (p.cadenciaMs == 0 || std::abs(efectivo - p.cadenciaMs) * 10 >= p.cadenciaMs ||
        alRitmo(efectivo) != alRitmo(p.cadenciaMs)) {
        p.cadenciaMs = efectivo;
        Q_EMIT cadencia(p.numero, efectivo);
    }
}

void LinkWorker::sondea(int numero, int periodoMs, int maxIntentos)
{
    Puesto* p = puesto(numero);
    if (!p)
        return;
    if (!p->timer1) {
        p->timer1 = new QTimer(this);
        p->timer1->setObjectName(QStringLiteral("Timer1"));
        // Once a close is announced, the poll that ran under it was the last
        // one: a tick that comes before the station stops polling sends nothing.
        connect(p->timer1, &QTimer::timeout, this, [this, numero] {
            Puesto* q = puesto(numero);
            if (!q || q->ultimaLeida)
                return;
            if (m_puestos.size() == 1) {
                anotaInicio(*q);
                leer(numero, q->intentosSondeo);
                return;
            }
            // On a shared bus the ticks only mark the line due; the due
            // lines are read in turn, whatever order the timers fire in.
            q->debida = true;
            if (!m_rondaPendiente) {
                m_rondaPendiente = true;
                QMetaObject::invokeMethod(this, &LinkWorker::ronda, Qt::QueuedConnection);
            }
        });
    }
    p->intentosSondeo = maxIntentos;
    p->periodoMs = std::max(periodoMs, 0);
    p->inicios.clear();
    p->cadenciaMs = 0;
    if (periodoMs <= 0) {
        p->timer1->stop();
        p->debida = false;
        return;
    }
    p->timer1->setInterval(periodoMs);
    p->timer1->start();
}

void LinkWorker::ronda()
{
    m_rondaPendiente = false;
    const size_t n = m_puestos.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t k = (m_turno + i) % n;
        Puesto& p = *m_puestos[k];
        if (!p.debida)
            continue;
        m_turno = k + 1;
        p.debida = false;
        anotaInicio(p);
        m_enRonda = true;
        leer(p.numero, p.intentosSondeo);
        m_enRonda = false;
        break;
    }
    for (const auto& p : m_puestos) {
        if (p->debida) {
            m_rondaPendiente = true;
            QMetaObject::invokeMethod(this, &LinkWorker::ronda, Qt::QueuedConnection);
            break;
        }
    }
}

void LinkWorker::atiendeEscrituras()
{
    ColaEscrituras::Escritura e;
    while (m_escrituras->toma(e)) {
        Puesto* p = puesto(e.puesto);
        if (!p)
            continue; // its Enlace is closed: nobody waits for the answer
        p->interrumpida = true;
        const bool ok = !detenido(*p) && !p->indicador->Escribir(e.direccion, e.cadena).isEmpty();
        Q_EMIT escrituraLista(e.puesto, e.tag, ok);
    }
}
