#include "Grabador.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <cstdio>

#include "CerrojoBus.h"
#include "Diario.h"
#include "EstacionPesaje.h"
#include "Lineas.h"
#include "Registrador.h"

namespace {

// A line whose link could not open (a settings fault, a serial adapter
// unplugged) is tried again this often.
constexpr int kReintentoAperturaMs = 15000;

} // namespace

struct Grabador::LineaGrabada
{
    std::unique_ptr<Registrador> registrador;
    std::unique_ptr<EstacionPesaje> estacion;
};

Grabador::Grabador(const Contexto& contexto, QObject* parent) : QObject(parent), m_contexto(contexto) {}

Grabador::~Grabador()
{
    detiene();
}

bool Grabador::inicia(QString* error)
{
    if (m_activo)
        return true;
    const QString directorio = m_contexto.directorio();
    m_directorio = directorio;
    m_cerrojo = CerrojoBus::toma(directorio, m_quien, error);
    if (!m_cerrojo)
        return false;
    const QDir dir(directorio);
    // Lines a hand-edited file names beyond the limit: said, not run.
    const QString fuera = Lineas::avisoFueraDeRango();
    if (!fuera.isEmpty()) {
        Diario::agrega(dir.absoluteFilePath(Diario::kLog),
                       Diario::registroError(0, fuera, QStringLiteral("Rutina: iniciaRegistro (Arranque)"),
                                             QDateTime::currentDateTime()));
        std::fprintf(stderr, "tolvex: %s\n", fuera.toLocal8Bit().constData());
    }
    m_activo = true;
    for (const Linea& l : Lineas::lista()) {
        auto g = std::make_unique<LineaGrabada>();
        // What a kill left half-written of the queue goes before it is read.
        ColaPendientes(dir.absoluteFilePath(l.archivo(Registrador::kArchivo)), {}, l.numero).quitaTemporales();
        g->registrador = std::make_unique<Registrador>(directorio, m_contexto, nullptr, l.numero);
        g->registrador->setPausaMs(m_pausaMs);
        if (m_preparaRegistro)
            m_preparaRegistro(*g->registrador);
        g->registrador->reintenta();
        g->estacion = std::make_unique<EstacionPesaje>(m_contexto, g->registrador.get(), nullptr, l);
        g->estacion->setOperadorPorDefecto(m_operadorPorDefecto);
        if (m_ajuste)
            g->estacion->setAjuste(m_ajuste);
        EstacionPesaje* e = g->estacion.get();
        // Opened again after a failure, for as long as the recorder runs.
        auto* reintento = new QTimer(e);
        reintento->setSingleShot(true);
        reintento->setInterval(kReintentoAperturaMs);
        connect(reintento, &QTimer::timeout, e, [this, e] {
            if (m_activo && !e->iniciada())
                e->abre();
        });
        connect(e, &EstacionBase::fallo, reintento, qOverload<>(&QTimer::start));
        m_lineas[l.numero] = std::move(g);
        Q_EMIT lineaIniciada(e);
        e->abre();
    }
    return true;
}

void Grabador::detiene()
{
    if (!m_activo)
        return;
    m_activo = false;
    for (auto& [n, g] : m_lineas)
        g->estacion->cierra();
    // Engines first: their last rows are queued before the writers go.
    for (auto& [n, g] : m_lineas)
        g->estacion.reset();
    m_lineas.clear();
    m_cerrojo.reset();
    Q_EMIT detenido();
}

QVector<int> Grabador::lineas() const
{
    QVector<int> v;
    for (const auto& [n, g] : m_lineas)
        v << n;
    return v;
}

EstacionPesaje* Grabador::estacion(int linea) const
{
    const auto i = m_lineas.find(linea);
    return i == m_lineas.end() ? nullptr : i->second->estacion.get();
}

Registrador* Grabador::registrador(int linea) const
{
    const auto i = m_lineas.find(linea);
    return i == m_lineas.end() ? nullptr : i->second->registrador.get();
}

QVector<const Registrador*> Grabador::registradores() const
{
    QVector<const Registrador*> v;
    for (const auto& [n, g] : m_lineas)
        v << g->registrador.get();
    return v;
}

int Grabador::pendientes() const
{
    int n = 0;
    for (const auto& [l, g] : m_lineas)
        n += g->registrador->pendientes();
    return n;
}

QStringList Grabador::descripcionesGrabando() const
{
    QStringList d;
    for (const auto& [n, g] : m_lineas)
        if (g->estacion->iniciada())
            d << g->estacion->linea().descripcion();
    return d;
}
