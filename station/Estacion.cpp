#include "Estacion.h"

#include <QCoreApplication>
#include <QPointer>
#include <map>
#include <memory>

#include "CerrojoBus.h"
#include "Diario.h"
#include "EstacionRemota.h"
#include "EstacionPesaje.h"
#include "Grabador.h"
#include "MessageBox.h"
#include "frmPeso.h"

namespace Estacion {

namespace {

std::unique_ptr<Grabador> g_grabador;
std::unique_ptr<CanalCliente> g_canal;
std::function<EstacionBase*(int)> g_remotas;
std::function<void(Grabador&)> g_preparar;
bool g_servicio = false;
std::map<int, QPointer<frmPeso>> g_ventanas;
std::map<const void*, std::function<void(EstacionPesaje*)>> g_observadores;
QPointer<QWidget> g_principal;
const Contexto* g_contexto = nullptr;

} // namespace

bool iniciaGrabador(const Contexto& contexto, QString* error)
{
    if (g_grabador && g_grabador->activo() && &g_grabador->contexto() == &contexto &&
        g_grabador->directorio() == contexto.directorio())
        return true;
    cerrar();
    static const bool alSalir = [] {
        // Stopped while the application still exists, however it ends.
        qAddPostRoutine(cerrar);
        return true;
    }();
    (void)alSalir;
    g_grabador = std::make_unique<Grabador>(contexto);
    g_grabador->setOperadorPorDefecto(contexto.OperadorActual);
    if (g_preparar)
        g_preparar(*g_grabador);
    QObject::connect(g_grabador.get(), &Grabador::lineaIniciada, g_grabador.get(), [](EstacionPesaje* e) {
        for (const auto& [quien, alIniciar] : g_observadores)
            alIniciar(e);
    });
    if (!g_grabador->inicia(error)) {
        g_grabador.reset();
        return false;
    }
    return true;
}

bool conecta(const Contexto& contexto, QString* error)
{
    const QString dir = contexto.directorio();
    if (CerrojoBus::titular(dir).isEmpty())
        return iniciaGrabador(contexto, error);
    // Another process (the service, another desktop) holds the bus: its
    // lines are shown and commanded through its channel.
    QString e;
    g_canal = CanalCliente::conecta(dir, &e);
    if (!g_canal) {
        // The holder may have just ended: then this process records.
        if (CerrojoBus::titular(dir).isEmpty())
            return iniciaGrabador(contexto, error);
        if (error)
            *error = QStringLiteral("Las líneas las registra otro programa (%1), pero no se pudo conectar con él: %2")
                         .arg(CerrojoBus::titular(dir), e);
        return false;
    }
    CanalCliente* c = g_canal.get();
    usaRemotas([c](int linea) -> EstacionBase* { return c->estacion(linea); }, c->esServicio());
    return true;
}

QString quienRegistra()
{
    if (g_canal)
        return g_canal->quien();
    return {};
}

void alPrepararGrabador(std::function<void(Grabador&)> f)
{
    g_preparar = std::move(f);
}

Grabador* grabador()
{
    return g_grabador.get();
}

void usaRemotas(std::function<EstacionBase*(int)> fuente, bool servicio)
{
    g_remotas = std::move(fuente);
    g_servicio = g_remotas && servicio;
}

bool enServicio()
{
    return g_servicio;
}

void observa(const void* quien, std::function<void(EstacionPesaje*)> alIniciar)
{
    if (!alIniciar) {
        g_observadores.erase(quien);
        return;
    }
    g_observadores[quien] = alIniciar;
    if (g_grabador)
        for (int n : g_grabador->lineas())
            alIniciar(g_grabador->estacion(n));
}

EstacionBase* estacion(int linea)
{
    if (g_remotas)
        return g_remotas(linea);
    return motor(linea);
}

EstacionBase* actual()
{
    return estacion(1);
}

EstacionPesaje* motor(int linea)
{
    return g_grabador ? g_grabador->estacion(linea) : nullptr;
}

frmPeso* ventana(int linea)
{
    const auto i = g_ventanas.find(linea);
    return i != g_ventanas.end() && i->second && !i->second->descargada() ? i->second.data() : nullptr;
}

void abrir(QWidget* ventanaPrincipal, const Contexto& contexto, int linea)
{
    g_principal = ventanaPrincipal;
    g_contexto = &contexto;
    if (frmPeso* v = ventana(linea)) {
        v->show();
        v->raise();
        v->activateWindow();
        return;
    }
    QString error;
    if (!g_remotas && !iniciaGrabador(contexto, &error)) {
        MessageBox::mostrar(ventanaPrincipal, MessageBox::Critico, QStringLiteral("Error!!!"), error);
        return;
    }
    EstacionBase* e = estacion(linea);
    if (!e) {
        MessageBox::mostrar(ventanaPrincipal, MessageBox::Critico, QStringLiteral("Error!!!"),
                            QStringLiteral("La línea %1 no existe en Tolvex.ini.").arg(linea));
        return;
    }
    auto* v = new frmPeso(ventanaPrincipal, e, contexto);
    QObject::connect(v, &frmPeso::lineaElegida, v, [](int n) { cambiaA(n); });
    g_ventanas[linea] = v;
    v->inicia();
}

void cambiaA(int linea)
{
    abrir(g_principal, g_contexto ? *g_contexto : Contexto::programa(), linea);
}

int pendientes()
{
    return g_grabador ? g_grabador->pendientes() : 0;
}

bool confirmaCierre(QWidget* parent)
{
    if (g_grabador) {
        const QStringList lineas = g_grabador->descripcionesGrabando();
        if (!lineas.isEmpty()) {
            const QString que = Lineas::varias()
                                    ? QStringLiteral("Al cerrar Tolvex dejan de registrarse los lotes de: %1.")
                                          .arg(lineas.join(QStringLiteral(", ")))
                                    : QStringLiteral("Al cerrar Tolvex dejan de registrarse los lotes del indicador.");
            if (!MessageBox::pregunta(parent, MessageBox::Exclamacion, QStringLiteral("Salir"),
                                      que + QStringLiteral("\nDesea salir?"), false))
                return false;
        }
        return frmPeso::preguntaSinGuardar(parent, g_grabador->registradores());
    }
    if (g_servicio)
        return MessageBox::pregunta(parent, MessageBox::Informacion, QStringLiteral("Salir"),
                                    QStringLiteral("El servicio de registro sigue registrando los lotes de "
                                                   "las líneas.\nDesea salir?"),
                                    true);
    return true;
}

int abiertas()
{
    int n = 0;
    for (const auto& [linea, v] : g_ventanas)
        n += v && !v->descargada() ? 1 : 0;
    return n;
}

void cerrar()
{
    for (auto& [linea, v] : g_ventanas)
        if (v)
            v->cierraYa();
    g_ventanas.clear();
    usaRemotas({}, false);
    g_canal.reset();
    if (g_grabador)
        g_grabador->detiene();
    g_grabador.reset();
}

} // namespace Estacion
