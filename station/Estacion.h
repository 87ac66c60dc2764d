#pragma once

#include <QVector>
#include <functional>

#include "Contexto.h"
#include "Lineas.h"

class EstacionBase;
class EstacionPesaje;
class Grabador;
class QWidget;
class frmPeso;

// The desktop's side of the lines: the recorder that polls and records
// them (in this process from sign-in to exit), and their station windows,
// which are views over it. A line records whether or not its window is
// open, and the main window stays available while stations are open.
namespace Estacion {

// Starts the recorder of the session's program directory: every line polls
// and records from now on. False, and in *error why (another process holds
// the bus), when it cannot.
bool iniciaGrabador(const Contexto& contexto = Contexto::programa(), QString* error = nullptr);
// The lines of the session's directory: through the channel of the process
// that holds its bus (the service, another desktop program), or else
// recorded by this process from now on. False, and in *error why, when
// neither can be.
bool conecta(const Contexto& contexto = Contexto::programa(), QString* error = nullptr);
// How the process that records the lines describes itself (empty when it
// is this one).
QString quienRegistra();

// Called with the recorder this process makes, before it starts (the MQTT
// outbox hooks into its writers there).
void alPrepararGrabador(std::function<void(Grabador&)> f);

// The recorder of this process, or null.
Grabador* grabador();

// Lines another process records (it holds the bus) and shows through the
// local channel: views open over them instead. An empty function leaves it.
void usaRemotas(std::function<EstacionBase*(int linea)> fuente, bool servicio);
// The lines are recorded by the service (not by this process).
bool enServicio();

// Opens the station window of line `linea` (modeless) over the line; the
// window works for the session given (its operator commands and signs),
// which must outlive it. Opening a line that is open brings its window to
// the front. Without a recorder yet, one starts for the session.
void abrir(QWidget* ventanaPrincipal, const Contexto& contexto = Contexto::programa(), int linea = 1);
// Opens line `linea` from wherever the operator is (the overview, a
// shortcut), with the main window and session of the stations open.
void cambiaA(int linea);

// Rows and markings not yet written, of every line.
int pendientes();
// Asks before the program ends: which lines stop recording (or that the
// service goes on), and rows held only in memory; true when it may end.
bool confirmaCierre(QWidget* parent);

// The line (its state and signals), or null; line 1.
EstacionBase* estacion(int linea);
EstacionBase* actual();
// The engine of this process's recorder for the line, or null.
EstacionPesaje* motor(int linea);
// The open window of a line, or null; windows open now.
frmPeso* ventana(int linea);
int abiertas();

// Closes every window and stops the recorder (the program ends).
void cerrar();

// A follower of the lines (the web monitor, the plant's publisher), known
// by quien: alIniciar gets every engine of the recorder, those running now
// and those started later; an empty function stops it.
void observa(const void* quien, std::function<void(EstacionPesaje*)> alIniciar);

} // namespace Estacion
