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
#include "EstacionBase.h"
#include "LecturaPeso.h"
#include "Lineas.h"

struct Contexto;
class Registrador;
struct Pendiente;

// The engine of one line, without a window: polls the indicator (the link's
// own thread runs Timer1, so this one wakes once per reading), turns every
// reading into an EstadoEstacion, records every batch it completes whether
// or not a view is open, checks the operator's commands and sends them, and
// writes the journal and the error log. It never asks the operator
// anything: a view asks, then calls it. The recorder (Grabador) owns it.
class EstacionPesaje : public EstacionBase
{
    Q_OBJECT
public:
    using EstacionBase::kFallo;
    using EstacionBase::kNoStandBy;
    using EstacionBase::kSinRespuesta;
    // Datos.log hears a line's link went down at most once in this time.
    static constexpr qint64 kFallaAnotadaMs = 60000;
    // The auxiliary data and operator in force, kept for a restart
    // (Auxiliares.dat for line 1, Auxiliares_N.dat for line N).
    static inline const QString kArchivoAux = QStringLiteral("Auxiliares.dat");

    // What the engine keeps from one reading to the next.
    struct Memoria
    {
        qint32 NroError = 0;
        double DecimoFino = 0;
        double TotalAnterior = -1;
        double PesoBatch = 0;
    };
    const Memoria& memoria() const { return m_memoria; }

    // Changes to the link settings of every engine made from now on (tests
    // and the soak program shorten the waits); setAjuste changes one.
    static void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste);
    void setAjuste(std::function<void(ConfigEnlace&)> ajuste) { m_ajuste = std::move(ajuste); }

    // The engine of one line: its settings, journal and link are the
    // line's, its rows go through registrador (the line's queue). contexto
    // gives the program directory and its operator signs the rows until a
    // view opens (unless the line kept one of its own, see
    // setOperadorPorDefecto); it is kept by reference and must outlive the
    // engine.
    EstacionPesaje(const Contexto& contexto, Registrador* registrador, QObject* parent = nullptr,
                   const Linea& linea = Linea());
    ~EstacionPesaje() override;

    // Who signs the rows until a view opens: empty keeps the operator the
    // line kept from its last opening (or the context's).
    void setOperadorPorDefecto(const QString& operador);
    const QString& operador() const { return m_operador; }
    const QStringList& aux() const { return m_aux; }

    // Opens the link; the outcome comes as abierta() or fallo(). The
    // auxiliary data in force are the ones kept, until a view gives others.
    void abre();
    // Opens the link and, with it, a view's record with aux (a driver that
    // is its own view).
    void abre(const QStringList& aux);

    // The period readings really come at (the bus may not carry the one
    // configured), 0 while not polling.
    int periodoEfectivo() const { return m_enlace.periodoEfectivo(); }
    int periodoConfigurado() const override { return m_periodo; }
    bool iniciada() const override { return m_iniciada; }
    QString falloApertura() const override { return m_falloApertura; }
    bool cerrarPedido() const { return m_cerrar; }
    bool descargada() const { return m_descargada; }
    Registrador* registrador() const { return m_registrador; }
    // Batches that reached one row together (the accumulator rose by more
    // than one cycle between two polls in stand-by or loading).
    qint64 lotesFusionados() const { return m_fusionados; }
    // Polling periods that passed without a reading (a poll still running).
    qint64 ticksOmitidos() const { return m_omitidos; }
    // Whole-state reads the last poll made.
    int ultimosIntentos() const { return m_intentos; }
    // A view is open (between abreVista and cierraVista).
    bool conVista() const { return m_tramo == Tramo::Vista; }

    void abreVista(const QStringList& aux, const QString& operador) override;
    void cierraVista(const QString& operador) override;

    // Stops polling while the link is paused, and resumes.
    void pausa();
    void reanuda();
    // The recorder stops: the line closes after the poll in progress or the
    // next (listoParaCerrar()), which goes on while the indicator answers
    // and ends at its first unanswered exchange.
    void pideCierre();
    // Stops polling and closes the link; an open journal record ends.
    void cierra();

    QStringList avisosRegistro() const override;

    int comando(char letra, const QString& nombre, const QString& operador = QString()) override;
    int programa(const Programacion& p, const QString& operador = QString()) override;
    int reset(const QString& operador = QString()) override;

Q_SIGNALS:
    // A requested close may be carried out now.
    void listoParaCerrar();

private:
    // Which journal record is open: none, the one a view opened, or one of
    // batches recorded while no view was open.
    enum class Tramo
    {
        Ninguno,
        Vista,
        SinVista
    };

    struct Operacion
    {
        QString operador;
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
    Pendiente pendienteLote(int tipo, double total, const QString& motivo) const;
    void errorManager(const QString& msg, const QString& detalle = QString());
    void escribeLog(const QString& msg, const QString& rutina);
    void escribeDiario(const QString& texto, const QString& rutina);
    // Tells the window when what waits for the journal and the log changes,
    // and the log when the journal has caught up.
    void siguenEsperando();
    int nuevaOperacion(const QString& operador, const QString& comando, const QString& valores = QString(),
                       int pendientes = 1);
    void escribeApertura();
    void abreTramo(Tramo tramo, const QDateTime& ahora);
    void cierraTramo();
    void guardaAux();
    void envia(quint16 direccion, const QByteArray& datos, int operacion);
    void alEscribir(int tag, bool ok);
    void encola(const Pendiente& p);

    const Contexto& m_contexto;
    Registrador* m_registrador;
    QString m_diario; // the line's journal
    Memoria m_memoria;
    std::function<void(ConfigEnlace&)> m_ajuste;
    QString m_operador;
    bool m_operadorPropio = false; // m_operador was kept by the line
    Tramo m_tramo = Tramo::Ninguno;
    bool m_aperturaPendiente = false; // a view opened before the link did
    QString m_falloApertura;
    Enlace m_enlace;
    // Runs while polling and fires only when a reading is late: counts the
    // missed periods and tells a poll that outlasts one reply wait.
    QTimer m_vigia;
    int m_periodo = 0;
    bool m_cerrar = true;
    bool m_iniciada = false;
    bool m_descargada = false;
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
