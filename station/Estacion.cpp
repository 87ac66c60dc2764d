#include "Estacion.h"

#include <QDir>
#include <QFile>
#include <QPointer>

#include "EstacionPesaje.h"
#include "Programa.h"
#include "Registrador.h"
#include "frmPeso.h"

namespace Estacion {

namespace {
QPointer<frmPeso> g_ventana;
Registrador* g_registrador = nullptr;
std::function<void(EstacionPesaje*)> g_alAbrir;
} // namespace

void observa(std::function<void(EstacionPesaje*)> alAbrir)
{
    g_alAbrir = std::move(alAbrir);
}

void abrir(QWidget* ventanaPrincipal, const Contexto& contexto)
{
    if (g_ventana) {
        g_ventana->show();
        g_ventana->raise();
        g_ventana->activateWindow();
        return;
    }
    // The writer outlives the window: rows still pending when the station
    // closes keep being written while the program runs.
    if (!g_registrador)
        g_registrador = new Registrador(contexto.directorio(), contexto);
    g_ventana = new frmPeso(ventanaPrincipal, g_registrador, contexto);
    if (g_alAbrir)
        g_alAbrir(g_ventana->estacion());
    g_ventana->inicia();
}

void iniciaRegistro()
{
    if (g_registrador ||
        !QFile::exists(QDir(Programa::directorio()).absoluteFilePath(Registrador::kArchivo)))
        return;
    // Its failures go to the error log, as the station's do.
    g_registrador = new Registrador(Programa::directorio());
    g_registrador->reintenta();
}

int pendientes()
{
    return g_registrador ? g_registrador->pendientes() : 0;
}

bool confirmaCierre(QWidget* parent)
{
    return frmPeso::preguntaSinGuardar(parent, g_registrador);
}

EstacionPesaje* actual()
{
    return g_ventana ? g_ventana->estacion() : nullptr;
}

void cerrar()
{
    if (g_ventana)
        g_ventana->cierraYa();
    delete g_registrador;
    g_registrador = nullptr;
}

} // namespace Estacion
