#include "EstacionPesaje.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "ArchivoAtomico.h"
#include "Config.h"
#include "Contexto.h"
#include "Conversiones.h"
#include "Diario.h"
#include "Indicador.h"
#include "Registrador.h"
#include "Reloj.h"

namespace {

std::function<void(ConfigEnlace&)> g_ajusteEnlace;

const QString kRutinaRegistro = QStringLiteral("Rutina: saveReporte (Formulario frmPeso)");
const QString kRutinaDiario = QStringLiteral("Rutina: saveTxt (Formulario frmPeso)");

QTime aSegundos(const QTime& t)
{
    return QTime(t.hour(), t.minute(), t.second());
}

} // namespace

void EstacionPesaje::setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste)
{
    g_ajusteEnlace = std::move(ajuste);
}

EstacionPesaje::EstacionPesaje(const Contexto& contexto, Registrador* registrador, QObject* parent,
                               const Linea& linea)
    : EstacionBase(linea, parent), m_contexto(contexto), m_registrador(registrador),
      m_diario(linea.archivo(Diario::kJournal)), m_ajuste(g_ajusteEnlace), m_operador(contexto.OperadorActual)
{
    // The auxiliary data and operator the line had in force when it last ran.
    QFile f(QDir(contexto.directorio()).absoluteFilePath(linea.archivo(kArchivoAux)));
    if (f.open(QIODevice::ReadOnly) && f.size() < 64 * 1024) {
        const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
        for (const QJsonValue& v : o.value(QStringLiteral("aux")).toArray())
            m_aux << v.toString().left(255);
        const QString op = o.value(QStringLiteral("operador")).toString().left(255);
        if (!op.isEmpty()) {
            m_operador = op;
            m_operadorPropio = true;
        }
    }
    connect(&m_enlace, &Enlace::periodoEfectivoCambiado, this, &EstacionPesaje::periodoEfectivoCambiado);
    connect(&m_vigia, &QTimer::timeout, this, &EstacionPesaje::lecturaTarde);
    connect(&m_enlace, &Enlace::abierto, this, &EstacionPesaje::alAbrir);
    connect(&m_enlace, &Enlace::lecturaLista, this, [this](const LecturaPeso& l, int intentos) {
        m_intentos = intentos;
        alLeer(l);
    });
    connect(&m_enlace, &Enlace::escrituraLista, this, &EstacionPesaje::alEscribir);
    if (m_registrador) {
        connect(m_registrador, &Registrador::estado, this, [this](int n) {
            m_pendientes = n;
            Q_EMIT registrosCambiados();
        });
        m_pendientes = m_registrador->pendientes();
    }
}

EstacionPesaje::~EstacionPesaje()
{
    m_enlace.cerrar();
}

// ------------------------------------------------------------------ opening

void EstacionPesaje::setOperadorPorDefecto(const QString& operador)
{
    if (!operador.isEmpty())
        m_operador = operador;
    else if (m_operador.isEmpty())
        m_operador = kSinOperador;
}

void EstacionPesaje::abre(const QStringList& aux)
{
    abreVista(aux, QString());
    abre();
}

void EstacionPesaje::abre()
{
    if (m_iniciada)
        return;
    m_cerrar = true;
    m_descargada = false;
    m_falloApertura.clear();
    QString error;
    auto config = ConfigEnlace::lee(&error, nullptr, m_linea.numero);
    if (!config) {
        errorManager(ConfigEnlace::mensajeError());
        return;
    }
    if (m_ajuste)
        m_ajuste(*config);
    m_esperaMs = config->esperaMs;
    m_enlace.abrir(*config);
}

void EstacionPesaje::alAbrir(bool ok, const QString& mensaje, const QString& detalle)
{
    if (m_descargada)
        return;
    if (!ok) {
        errorManager(mensaje.isEmpty() ? ConfigEnlace::mensajeError() : mensaje, detalle);
        return;
    }
    const auto decimales = ConfigEnlace::leeDecimales(m_linea.numero);
    const auto tiempo = Config::LeeEntero(QStringLiteral("global"), QStringLiteral("Tiempo"), 100);
    if (!decimales || !tiempo || *tiempo <= 0) {
        errorManager(QStringLiteral("La referencia de datos es incorrecta."));
        return;
    }
    m_decimales = *decimales;
    m_estado = EstadoEstacion();
    m_estado.abierta = true;
    m_estado.decimales = m_decimales;
    m_memoria.TotalAnterior = -1;
    m_cerrar = false;
    m_iniciada = true;
    m_periodo = *tiempo;
    if (m_aperturaPendiente)
        escribeApertura();
    reanuda();
    Q_EMIT abierta();
}

// ------------------------------------------------------------------- views

void EstacionPesaje::abreVista(const QStringList& aux, const QString& operador)
{
    m_aux = aux;
    if (!operador.isEmpty()) {
        m_operador = operador;
        m_operadorPropio = true;
    }
    guardaAux();
    m_aperturaPendiente = !m_iniciada;
    if (m_iniciada)
        escribeApertura();
}

void EstacionPesaje::cierraVista(const QString& operador)
{
    m_aperturaPendiente = false;
    if (m_tramo != Tramo::Vista)
        return;
    cierraTramo();
    // The dispatch ends with the view: the last row gets its total marking.
    if (m_registrador) {
        Pendiente p;
        p.tipo = Pendiente::Cierre;
        const QDateTime ahora = QDateTime::currentDateTime();
        p.fecha = ahora.date();
        p.hora = aSegundos(ahora.time());
        p.operador = operador.isEmpty() ? m_operador : operador;
        p.pTotal = 0;
        encola(p);
    }
}

// A record headed with the auxiliary data in force and what the indicator
// is programmed with; one of unattended batches, if open, ends first.
void EstacionPesaje::escribeApertura()
{
    m_aperturaPendiente = false;
    cierraTramo();
    abreTramo(Tramo::Vista, QDateTime::currentDateTime());
}

// A journal record headed with the data in force and the batch and preset
// the indicator was last read with ("0" before any reading).
void EstacionPesaje::abreTramo(Tramo tramo, const QDateTime& ahora)
{
    const bool leido = m_estado.instante.isValid();
    escribeDiario(Diario::cabecera(m_aux, leido ? 0.1 * m_estado.CFino : 0, m_decimales,
                                   leido ? m_estado.muestra(m_estado.CFino) : QStringLiteral("0"),
                                   leido ? m_estado.Despacho : 0,
                                   leido ? m_estado.muestra(m_estado.Despacho) : QStringLiteral("0"), ahora),
                  QStringLiteral("Rutina: openTxt (Formulario frmPeso)"));
    m_tramo = tramo;
}

void EstacionPesaje::cierraTramo()
{
    if (m_tramo == Tramo::Ninguno)
        return;
    escribeDiario(Diario::cierre(), QStringLiteral("Rutina: closeTxt (Formulario frmPeso)"));
    m_tramo = Tramo::Ninguno;
}

// Replaced whole or left as it was: a restart finds the last data given.
void EstacionPesaje::guardaAux()
{
    QJsonArray a;
    for (const QString& t : std::as_const(m_aux))
        a.append(t);
    QJsonObject o{{QStringLiteral("aux"), a}};
    if (m_operadorPropio)
        o.insert(QStringLiteral("operador"), m_operador);
    const QString archivo = QDir(m_contexto.directorio()).absoluteFilePath(m_linea.archivo(kArchivoAux));
    QString e;
    if (!ArchivoAtomico::reemplaza(archivo, QJsonDocument(o).toJson(QJsonDocument::Compact), &e))
        escribeLog(QStringLiteral("No se pudieron guardar los datos auxiliares en %1: %2").arg(archivo, e),
                   QStringLiteral("Rutina: PideDatos (Formulario frmPeso)"));
}

void EstacionPesaje::errorManager(const QString& msg, const QString& detalle)
{
    escribeLog(msg, Diario::kRutinaCarga);
    QString texto = QStringLiteral("Error de validacion Nº %1.\n%2").arg(m_memoria.NroError).arg(msg);
    if (!detalle.isEmpty())
        texto += u'\n' + detalle;
    m_falloApertura = texto;
    Q_EMIT fallo(texto);
}

// A record that cannot be written now waits in memory and is written later
// (the window says so meanwhile).
void EstacionPesaje::escribeLog(const QString& msg, const QString& rutina)
{
    // The log is the workstation's: a line other than the first is named.
    const QString texto = m_linea.numero == 1 ? msg : m_linea.descripcion() + QStringLiteral(": ") + msg;
    if (!Diario::agrega(Diario::kLog, Diario::registroError(m_memoria.NroError, texto, rutina,
                                                             QDateTime::currentDateTime())))
        siguenEsperando();
}

// An entry the journal cannot take now waits, in order, for the next
// append or poll; the log hears of it when it starts and when it ends.
void EstacionPesaje::escribeDiario(const QString& texto, const QString& rutina)
{
    QString e;
    if (Diario::agrega(m_diario, texto, &e))
        return;
    if (!m_diarioFallando) {
        m_diarioFallando = true;
        escribeLog(QStringLiteral("No se pudo escribir %1: %2. Las entradas esperan en memoria y se "
                                  "escriben, en orden, en cuanto se pueda.")
                       .arg(m_diario, e),
                   rutina);
    }
    siguenEsperando();
}

void EstacionPesaje::siguenEsperando()
{
    if (m_diarioFallando && Diario::enEspera(m_diario) == 0) {
        m_diarioFallando = false;
        escribeLog(QStringLiteral("%1 se pudo escribir de nuevo: las entradas que esperaban se escribieron.")
                       .arg(m_diario),
                   kRutinaDiario);
    }
    const std::pair<int, int> ahora{Diario::enEspera(m_diario), Diario::enEspera(Diario::kLog)};
    if (ahora == m_enEspera)
        return;
    m_enEspera = ahora;
    Q_EMIT registrosCambiados();
}

QStringList EstacionPesaje::avisosRegistro() const
{
    QStringList partes;
    if (const int n = m_registrador ? m_registrador->sinGuardar() : 0)
        partes << QStringLiteral("Registros sin guardar en disco: %1 (%2)")
                      .arg(n)
                      .arg(m_registrador->causaSinGuardar());
    if (m_pendientes > 0)
        partes << QStringLiteral("Registros pendientes: %1").arg(m_pendientes);
    QString causa;
    if (const int n = Diario::enEspera(m_diario, &causa))
        partes << QStringLiteral("%1 sin escribir: %2 entrada(s) (%3)").arg(m_diario).arg(n).arg(causa);
    if (const int n = Diario::enEspera(Diario::kLog, &causa))
        partes << QStringLiteral("Datos.log sin escribir: %1 registro(s) (%2)").arg(n).arg(causa);
    return partes;
}

// ------------------------------------------------------------------ polling

void EstacionPesaje::pausa()
{
    m_vigia.stop();
    m_enlace.sondea(0);
}

void EstacionPesaje::reanuda()
{
    if (m_periodo <= 0 || m_descargada)
        return; // not polling yet, or no more
    m_enlace.sondea(m_periodo, 6);
    vigila();
}

void EstacionPesaje::vigila()
{
    m_ultimaLectura.start();
    // Half a period of slack: a reading on time never wakes this timer.
    m_vigia.start(m_periodo + m_periodo / 2);
}

void EstacionPesaje::lecturaTarde()
{
    ++m_omitidos; // a period passed while the poll still runs
    m_vigia.start(m_periodo);
    // The indicator has missed a reply: the values shown are no longer
    // live, and the six reads may take half a minute to end. Say so, unless
    // the link is already known to be down: that stays red.
    // On a shared bus only its own exchanges count: a neighbour's reply wait
    // delays its reading but is no failure of this indicator.
    const bool propia = m_enlace.indicadoresEnBus() <= 1 || m_enlace.msLeyendo() > m_esperaMs;
    if (!m_sinRespuesta && !m_enlaceCaido && propia && m_ultimaLectura.elapsed() > m_periodo + m_esperaMs + 500) {
        m_sinRespuesta = true;
        Q_EMIT sinRespuesta();
    }
}

void EstacionPesaje::alLeer(const LecturaPeso& l)
{
    if (!m_iniciada || m_descargada)
        return;
    if (m_vigia.isActive()) // polling, not paused
        vigila();
    m_sinRespuesta = false;
    const bool caido = m_enlaceCaido;
    m_enlaceCaido = !l.valida();
    m_estado = EstadoEstacion::desde(l, m_decimales, m_estado);
    if (m_enlaceCaido && !caido)
        anotaFalla();
    if (l.valida()) {
        if (m_memoria.NroError != 422 && m_registrador)
            m_registrador->setNroError(422);
        m_memoria.NroError = 422;
        m_memoria.DecimoFino = 0.1 * l.CFino;
        if (l.Modo == 0 || l.Modo == 1)
            guardardatos(l);
    }
    if (m_registrador)
        m_registrador->reintenta();
    // The journal and the log catch up with what waits for them.
    Diario::reintenta();
    siguenEsperando();
    Q_EMIT estadoCambiado(m_estado);
    Q_EMIT lecturaProcesada(l);
    if (m_cerrar) {
        pausa();
        Q_EMIT listoParaCerrar();
    }
}

// The log hears that the link went down, and why, once per failure (not
// once per poll), and at most once a minute: a link that comes and goes
// does not fill it.
void EstacionPesaje::anotaFalla()
{
    const qint64 ahora = Reloj::ms();
    if (m_fallaAnotada >= 0 && ahora - m_fallaAnotada < kFallaAnotadaMs)
        return;
    m_fallaAnotada = ahora;
    QString texto = m_estado.textoError;
    if (m_estado.falla.hay())
        texto += QStringLiteral(": ") + m_estado.falla.texto();
    escribeLog(texto, QStringLiteral("Rutina: Timer1_Timer (Formulario frmPeso)"));
}

void EstacionPesaje::guardardatos(const LecturaPeso& l)
{
    Memoria& s = m_memoria;
    const double total = m_estado.Acumulado;
    if (total == 0)
        s.TotalAnterior = 0;
    if (s.TotalAnterior == -1) {
        s.TotalAnterior = total;
        m_ciclosPrevios = l.CCiclos;
        // What the indicator weighed while nobody read it: the writer
        // compares it with the line's last row, on its own thread.
        encola(pendienteLote(Pendiente::Diferencia, total, QStringLiteral("Tolvex no leía el indicador")));
        return;
    }
    if (s.TotalAnterior == total)
        return;
    s.PesoBatch = total - s.TotalAnterior;
    // Several batches between two readings (the link was down across them)
    // reach one row, which says so.
    QString motivo;
    if (m_ciclosPrevios && l.CCiclos > *m_ciclosPrevios + 1 && total > s.TotalAnterior) {
        m_fusionados += l.CCiclos - *m_ciclosPrevios - 1;
        motivo = QStringLiteral("%1 tandas sin leer una a una").arg(l.CCiclos - *m_ciclosPrevios);
    }
    m_ciclosPrevios = l.CCiclos;

    const QDateTime ahora = QDateTime::currentDateTime();
    Pendiente p = pendienteLote(Pendiente::Lote, total, motivo);
    p.fecha = ahora.date();
    p.hora = aSegundos(ahora.time());
    p.peso = Diario::redondea(s.PesoBatch, m_decimales);
    encola(p);
    // The journal follows the queue: a batch the journal names is never
    // one a kill could take from the queue. With no view open the batches
    // go to a record of their own, headed with the data in force.
    if (m_tramo == Tramo::Ninguno)
        abreTramo(Tramo::SinVista, ahora);
    escribeDiario(Diario::lote(s.PesoBatch, total, m_decimales, ahora), kRutinaDiario);
    s.TotalAnterior = total;
    Q_EMIT loteRegistrado(p.total, p.peso);
}

void EstacionPesaje::encola(const Pendiente& p)
{
    if (!m_registrador)
        return;
    QString e;
    if (!m_registrador->agrega(p, &e))
        escribeLog(e, kRutinaRegistro);
}

// A batch row (or the accumulator a difference is worked out from) with
// the data in force, batch and preset as the station shows them.
Pendiente EstacionPesaje::pendienteLote(int tipo, double total, const QString& motivo) const
{
    const QDateTime ahora = QDateTime::currentDateTime();
    Pendiente p;
    p.tipo = Pendiente::Tipo(tipo);
    p.fecha = ahora.date();
    p.hora = aSegundos(ahora.time());
    p.operador = m_operador;
    p.aux = m_aux;
    p.total = Diario::redondea(total, m_decimales);
    p.bach = KValNumero(m_estado.muestra(m_estado.CFino)).value_or(0);
    p.preset = KValNumero(m_estado.muestra(m_estado.Despacho)).value_or(0);
    p.pTotal = p.total;
    p.motivo = motivo;
    return p;
}

// ------------------------------------------------------------------ closing

void EstacionPesaje::pideCierre()
{
    m_cerrar = true;
    // The poll in progress (or the next) ends while the indicator answers, so
    // a batch in it is recorded; a silent indicator ends it after the reply
    // wait it is in.
    m_enlace.anunciaCierre();
}

void EstacionPesaje::cierra()
{
    if (m_descargada)
        return;
    m_descargada = true;
    m_cerrar = true;
    pausa();
    m_enlace.cerrar();
    m_estado.abierta = false;
    m_iniciada = false;
    m_periodo = 0;
    // A view's record ends, and its dispatch, as if it closed.
    if (m_tramo == Tramo::Vista)
        cierraVista(QString());
    cierraTramo();
    Q_EMIT cerrada();
}

// ----------------------------------------------------------------- commands

int EstacionPesaje::nuevaOperacion(const QString& operador, const QString& comando, const QString& valores,
                                   int pendientes)
{
    Operacion op;
    op.operador = operador.isEmpty() ? m_operador : operador;
    // The audit names the line, unless it is the first.
    op.comando = m_linea.numero == 1 ? comando : QStringLiteral("%1 [Línea %2]").arg(comando).arg(m_linea.numero);
    op.valores = valores;
    const QDateTime ahora = QDateTime::currentDateTime();
    op.fecha = ahora.date();
    op.hora = aSegundos(ahora.time());
    op.pendientes = pendientes;
    const int id = m_siguienteOperacion++;
    m_operaciones.insert(id, op);
    return id;
}

void EstacionPesaje::envia(quint16 direccion, const QByteArray& datos, int operacion)
{
    const int tag = m_siguienteTag++;
    m_tagOperacion.insert(tag, operacion);
    m_enlace.escribir(direccion, datos, tag);
}

void EstacionPesaje::alEscribir(int tag, bool ok)
{
    const auto it = m_tagOperacion.find(tag);
    if (it == m_tagOperacion.end())
        return;
    const int id = it.value();
    m_tagOperacion.erase(it);
    auto op = m_operaciones.find(id);
    if (op == m_operaciones.end())
        return;
    op->ok = op->ok && ok;
    const bool ultimo = --op->pendientes == 0;
    const Operacion copia = *op;
    if (ultimo) {
        m_operaciones.erase(op);
        // Audit first: a view's failure box may hold this handler.
        if (m_registrador) {
            Pendiente p;
            p.tipo = Pendiente::Comando;
            p.fecha = copia.fecha;
            p.hora = copia.hora;
            p.operador = copia.operador;
            p.comando = copia.comando;
            p.valores = copia.valores;
            p.resultado = copia.ok ? QStringLiteral("Aceptado") : QStringLiteral("No aceptado");
            encola(p);
        }
        Q_EMIT operacionTerminada(id, copia.ok);
    }
    if (!ok)
        Q_EMIT escrituraFallida();
}

int EstacionPesaje::comando(char letra, const QString& nombre, const QString& operador)
{
    const int id = nuevaOperacion(operador, QString(QLatin1Char(letra)) + u' ' + nombre);
    envia(Indicador::kComando, QByteArray(1, letra), id);
    return id;
}

int EstacionPesaje::programa(const Programacion& p, const QString& operador)
{
    const int id = nuevaOperacion(operador, QStringLiteral("Programar"),
                                  QStringLiteral("Despacho=%1 CGrueso=%2 CFino=%3 TotalF=%4")
                                      .arg(p.despacho)
                                      .arg(p.grueso)
                                      .arg(p.fino)
                                      .arg(p.fin),
                                  2);
    envia(Indicador::kDespacho, cuatroBytes(p.despacho) + cuatroBytes(p.grueso) + cuatroBytes(p.fino), id);
    envia(Indicador::kTotalF, cuatroBytes(quint32(p.fin)), id);
    return id;
}

int EstacionPesaje::reset(const QString& operador)
{
    const int id = nuevaOperacion(operador, QStringLiteral("Reset"), QString(), 4);
    envia(Indicador::kDespacho, QByteArray(4, '\0'), id);
    envia(Indicador::kResto, QByteArray(8, '\0'), id);
    envia(Indicador::kUlTotal, QByteArray(4, '\0'), id);
    envia(Indicador::kTotal, QByteArray(8, '\0'), id);
    return id;
}
