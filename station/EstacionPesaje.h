#pragma once

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTime>
#include <QTimer>
#include <functional>
#include <optional>

#include "ConfigEnlace.h"
#include "Enlace.h"
#include "EstadoEstacion.h"
#include "LecturaPeso.h"
#include "Lineas.h"

struct Contexto;
class Registrador;
struct Pendiente;

// The weighing station without its window: polls the indicator (the link's
// own thread runs Timer1, so this one wakes once per reading),
// turns every reading into an EstadoEstacion, records every batch it
// completes, checks the operator's commands and sends them, and writes the
// journal and the error log. It never asks the operator anything: a view
// asks, then calls it.
class EstacionPesaje : public QObject
{
    Q_OBJECT
public:
    static inline const QString kSinRespuesta =
        QStringLiteral("Sin respuesta del indicador, reintentando...");
    static inline const QString kNoStandBy = QStringLiteral("El equipo no esta en Std. By");
    static inline const QString kFallo = QStringLiteral("No se pudo realizar la operación");
    // Datos.log hears a line's link went down at most once in this time.
    static constexpr qint64 kFallaAnotadaMs = 60000;

    // Kept for the program's life (across openings of the station), one per line.
    struct Memoria
    {
        qint32 NroError = 0;
        double DecimoFino = 0;
        double TotalAnterior = -1;
        double PesoBatch = 0;
    };
    static Memoria& memoria(int linea = 1);

    // Changes to the link settings read from the settings file (tests and
    // the soak program use it to shorten the waits).
    static void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste);

    // The station of one line: its settings, journal and link are the
    // line's, its rows go through registrador (the line's queue). The
    // operator of contexto signs the rows and audits; contexto is kept by
    // reference and must outlive the station.
    EstacionPesaje(const Contexto& contexto, Registrador* registrador, QObject* parent = nullptr,
                   const Linea& linea = Linea());
    ~EstacionPesaje() override;

    // Opens the link with the auxiliary data of this opening; the outcome
    // comes as abierta() or fallo().
    void abre(const QStringList& aux);

    const EstadoEstacion& estado() const { return m_estado; }
    const Linea& linea() const { return m_linea; }
    // The period readings really come at (the bus may not carry the one
    // configured), 0 while not polling.
    int periodoEfectivo() const { return m_enlace.periodoEfectivo(); }
    // The period of the settings ("Tiempo"), 0 while not polling.
    int periodoConfigurado() const { return m_periodo; }
    bool iniciada() const { return m_iniciada; }
    bool cerrarPedido() const { return m_cerrar; }
    bool descargada() const { return m_descargada; }
    int decimales() const { return m_decimales; }
    Registrador* registrador() const { return m_registrador; }
    // Batches that reached one row together (the accumulator rose by more
    // than one cycle between two polls in stand-by or loading).
    qint64 lotesFusionados() const { return m_fusionados; }
    // Polling periods that passed without a reading (a poll still running).
    qint64 ticksOmitidos() const { return m_omitidos; }
    // Whole-state reads the last poll made.
    int ultimosIntentos() const { return m_intentos; }

    // Stops polling while the operator answers a question, and resumes.
    void pausa();
    void reanuda();
    // The operator confirmed the close: the journal says so, and the station
    // closes after the poll in progress or the next (listoParaCerrar()),
    // which goes on while the indicator answers and ends at its first
    // unanswered exchange.
    void pideCierre();
    // Stops polling, closes the link and queues the closing marking.
    void cierra();

    // What the status bar says about records: unsaved, pending, journal errors.
    QStringList avisosRegistro() const;

    // Commands. Each check returns the message to show, empty when the
    // command may go; each command returns the operation's id, which
    // operacionTerminada() carries back.
    QString compruebaArranque() const;
    int comando(char letra, const QString& nombre);

    struct Programacion
    {
        quint32 despacho = 0;
        quint32 grueso = 0;
        quint32 fino = 0;
        qint64 fin = 0;
    };
    // The three typed values (preset, coarse cut, fine cut). On failure the
    // message, and in *campo the field to correct (-1: none).
    std::optional<Programacion> compruebaProgramacion(const QString (&textos)[3], QString* error,
                                                      int* campo) const;
    int programa(const Programacion& p);
    QString compruebaReset() const;
    int reset();

    // Integer value of a shown weight in the indicator's units.
    static std::optional<qint64> valorEntero(const QString& texto, int decimales);
    // Four bytes of a value, least significant first.
    static QByteArray cuatroBytes(quint32 v);

Q_SIGNALS:
    void abierta();
    void cerrada();
    // The station could not open: the text of the error box (logged already).
    void fallo(const QString& texto);
    // After every processed poll (valid or not), before lecturaProcesada.
    void estadoCambiado(const EstadoEstacion& estado);
    void lecturaProcesada(const LecturaPeso& l);
    // A batch row was queued.
    void loteRegistrado(double total, double peso);
    // A poll outlasts one reply wait: the values shown are no longer live.
    void sinRespuesta();
    void registrosCambiados();
    // Every write of an operation came back (audit queued already).
    void operacionTerminada(int id, bool ok);
    // One write failed.
    void escrituraFallida();
    // A requested close may be carried out now.
    void listoParaCerrar();
    // The bus cannot carry the configured period: readings come every ms.
    void periodoEfectivoCambiado(int ms);

private:
    struct Operacion
    {
        QString comando;
        QString valores;
        QDate fecha;
        QTime hora;
        int pendientes = 1;
        bool ok = true;
    };

    void alAbrir(bool ok, const QString& mensaje, const QString& detalle);
    // The watch starts again from now: a reading came, or polling resumed.
    void vigila();
    void lecturaTarde();
    void alLeer(const LecturaPeso& l);
    void guardardatos(const LecturaPeso& l);
    // Datos.log: the link went down (see the .cpp).
    void anotaFalla();
    void avisaAcumulador();
    void errorManager(const QString& msg, const QString& detalle = QString());
    void escribeLog(const QString& msg, const QString& rutina);
    void escribeDiario(const QString& texto, const QString& rutina);
    // Tells the window when what waits for the journal and the log changes,
    // and the log when the journal has caught up.
    void siguenEsperando();
    int nuevaOperacion(const QString& comando, const QString& valores = QString(), int pendientes = 1);
    void envia(quint16 direccion, const QByteArray& datos, int operacion);
    void alEscribir(int tag, bool ok);
    void encola(const Pendiente& p);

    const Contexto& m_contexto;
    Registrador* m_registrador;
    Linea m_linea;
    QString m_diario; // the line's journal
    Enlace m_enlace;
    // Runs while polling and fires only when a reading is late: counts the
    // missed periods and tells a poll that outlasts one reply wait.
    QTimer m_vigia;
    int m_periodo = 0;
    EstadoEstacion m_estado;
    bool m_cerrar = true;
    bool m_iniciada = false;
    bool m_descargada = false;
    int m_decimales = 0;
    std::optional<quint32> m_ciclosPrevios;
    qint64 m_fusionados = 0;
    qint64 m_omitidos = 0;
    int m_intentos = 0;
    // A poll that outlasts one reply wait is shown as such until it ends.
    QElapsedTimer m_ultimaLectura;
    int m_esperaMs = 2000;
    bool m_sinRespuesta = false;
    bool m_enlaceCaido = false; // the last poll failed: red until a read succeeds
    qint64 m_fallaAnotada = -1; // Reloj::ms() when Datos.log last heard the link went down
    QStringList m_aux;
    // Appends waiting for Transac.dat and Datos.log, as the window was told.
    std::pair<int, int> m_enEspera{0, 0};
    bool m_diarioFallando = false;
    int m_pendientes = 0;

    QHash<int, int> m_tagOperacion;
    QHash<int, Operacion> m_operaciones;
    int m_siguienteTag = 1;
    int m_siguienteOperacion = 1;
};
