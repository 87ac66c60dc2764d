#include "Estacion.h"

#include <QDir>
#include <QFile>
#include <QDateTime>
#include <QPointer>
#include <cstdio>
#include <map>

#include "Diario.h"
#include "EstacionPesaje.h"
#include "Programa.h"
#include "Registrador.h"
#include "frmPeso.h"

namespace Estacion {

namespace {

// What one line of the workstation holds while the program runs. The writer
// outlives the window: rows still pending when the station closes keep
// being written.
struct ContextoLinea
{
    Registrador* registrador = nullptr;
    QPointer<frmPeso> ventana;
};

std::map<int, ContextoLinea> g_lineas;
// The viewers of the stations, by who registered them.
std::map<const void*, std::function<void(EstacionPesaje*)>> g_observadores;
QPointer<QWidget> g_principal;
const Contexto* g_contexto = nullptr;

Registrador* registradorDe(int linea, const Contexto& contexto)
{
    ContextoLinea& c = g_lineas[linea];
    if (!c.registrador)
        c.registrador = new Registrador(contexto.directorio(), contexto, nullptr, linea);
    return c.registrador;
}

} // namespace

void observa(const void* quien, std::function<void(EstacionPesaje*)> alAbrir)
{
    if (alAbrir)
        g_observadores[quien] = std::move(alAbrir);
    else
        g_observadores.erase(quien);
}

void abrir(QWidget* ventanaPrincipal, const Contexto& contexto, int linea)
{
    g_principal = ventanaPrincipal;
    g_contexto = &contexto;
    ContextoLinea& c = g_lineas[linea];
    if (c.ventana) {
        c.ventana->show();
        c.ventana->raise();
        c.ventana->activateWindow();
        return;
    }
    Registrador* r = registradorDe(linea, contexto);
    c.ventana = new frmPeso(ventanaPrincipal, r, contexto, Lineas::linea(linea));
    for (const auto& [quien, alAbrir] : g_observadores)
        alAbrir(c.ventana->estacion());
    c.ventana->inicia();
}

void cambiaA(int linea)
{
    abrir(g_principal, g_contexto ? *g_contexto : Contexto::programa(), linea);
}

void iniciaRegistro()
{
    const QDir dir(Programa::directorio());
    // Lines a hand-edited file names beyond the limit: said, not run.
    const QString fuera = Lineas::avisoFueraDeRango();
    if (!fuera.isEmpty()) {
        Diario::agrega(dir.absoluteFilePath(Diario::kLog),
                       Diario::registroError(EstacionPesaje::memoria(1).NroError, fuera,
                                             QStringLiteral("Rutina: iniciaRegistro (Arranque)"),
                                             QDateTime::currentDateTime()));
        std::fprintf(stderr, "tolvex: %s\n", fuera.toLocal8Bit().constData());
    }
    for (const Linea& l : Lineas::lista()) {
        if (g_lineas[l.numero].registrador)
            continue;
        const QString cola = dir.absoluteFilePath(l.archivo(Registrador::kArchivo));
        if (!QFile::exists(cola)) {
            // What a kill left half-written of a queue that never got its file.
            ColaPendientes(cola, {}, l.numero).quitaTemporales();
            continue;
        }
        // Its failures go to the error log, as the station's do.
        registradorDe(l.numero, Contexto::programa())->reintenta();
    }
}

int pendientes()
{
    int n = 0;
    for (const auto& [linea, c] : g_lineas)
        n += c.registrador ? c.registrador->pendientes() : 0;
    return n;
}

bool confirmaCierre(QWidget* parent)
{
    QVector<const Registrador*> rs;
    for (const auto& [linea, c] : g_lineas)
        if (c.registrador)
            rs << c.registrador;
    return frmPeso::preguntaSinGuardar(parent, rs);
}

EstacionPesaje* estacion(int linea)
{
    const auto i = g_lineas.find(linea);
    return i != g_lineas.end() && i->second.ventana ? i->second.ventana->estacion() : nullptr;
}

EstacionPesaje* actual()
{
    return estacion(1);
}

int abiertas()
{
    int n = 0;
    for (const auto& [linea, c] : g_lineas)
        n += c.ventana && !c.ventana->descargada() ? 1 : 0;
    return n;
}

void cerrar()
{
    for (auto& [linea, c] : g_lineas)
        if (c.ventana)
            c.ventana->cierraYa();
    for (auto& [linea, c] : g_lineas)
        delete c.registrador;
    g_lineas.clear();
}

} // namespace Estacion
