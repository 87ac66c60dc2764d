#include "LinkWorker.h"

#include "Indicador.h"
#include "Parada.h"
#include "Transporte.h"

Q_LOGGING_CATEGORY(lcEnlace, "tolvex.link", QtWarningMsg)

LinkWorker::LinkWorker(std::shared_ptr<Parada> parada) : m_parada(std::move(parada)) {}

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
    m_indicador = std::make_unique<Indicador>(*m_transporte, config.id, config.decimales);
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
    LecturaPeso l = m_ultima;
    l.Peso = LecturaPeso::kSinRespuesta;
    int intentos = 0;
    while (m_indicador && !m_parada->pedida() && intentos < maxIntentos && !l.valida()) {
        ++intentos;
        m_indicador->LeePeso(l);
    }
    if (!l.valida())
        l.Peso = LecturaPeso::kSinRespuesta;
    m_ultima = l;
    Q_EMIT lecturaLista(l, intentos);
}

void LinkWorker::escribir(quint16 direccion, const QByteArray& cadena, int tag)
{
    const bool ok = m_indicador && !m_parada->pedida() &&
                    !m_indicador->Escribir(direccion, cadena).isEmpty();
    Q_EMIT escrituraLista(tag, ok);
}
