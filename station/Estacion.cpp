#include "Estacion.h"

#include <QPointer>

#include "Programa.h"
#include "Registrador.h"
#include "frmPeso.h"

namespace Estacion {

namespace {
QPointer<frmPeso> g_ventana;
Registrador* g_registrador = nullptr;
} // namespace

void abrir(QWidget* ventanaPrincipal)
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
        g_registrador = new Registrador(Programa::directorio());
    g_ventana = new frmPeso(ventanaPrincipal, g_registrador);
    g_ventana->inicia();
}

void cerrar()
{
    if (g_ventana)
        g_ventana->cierraYa();
    delete g_registrador;
    g_registrador = nullptr;
}

} // namespace Estacion
