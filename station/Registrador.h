#pragma once

#include <QDate>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QSet>
#include <QVector>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "Contexto.h"

class QThread;

// One database write the station owes: a batch row (with the marking of
// the row before it), the marking at closing, a command audit entry, or the
// accumulator read when the link opened (a row for the kilos of the batches
// not seen, if the accumulator is above the last row's TOTAL).
struct Pendiente
{
    // Kept in the queue file by number: new kinds go last.
    enum Tipo
    {
        Lote,
        Cierre,
        Comando,
        Diferencia
    };

    Tipo tipo = Lote;
    quint64 id = 0;
    // Lote and Diferencia: the entry's identity, 128 random bits in
    // hexadecimal made when it is queued. Its row carries it (IDLOTE), and it is the only thing an
    // entry's row is looked for by.
    QString idLote;
    // Queued by the previous version, which gave entries no identity (the
    // queue gives it one made from the entry): its row may also be a row of
    // that version, without a workstation, found by content after `desde`.
    bool antigua = false;
    // Cierre: the row its marking went to (a retry does not mark it twice).
    // Lote, when the ticket counter is in another database: the ticket taken
    // for the entry, kept for a retry.
    qint64 ticket = 0;
    // A ticket the entry's row is known to follow: this workstation's last
    // one when the entry was written to the queue file; -1 when unknown.
    qint64 desde = -1;
    // An earlier attempt may have committed: its row is looked for before a
    // new one is inserted. Not kept in the file: every entry read from it is
    // such an entry.
    bool quiza = false;
    QDate fecha;
    QTime hora;
    QString operador;
    // Lote and Diferencia (total: the accumulator; a Diferencia's peso is
    // worked out when it is written)
    QStringList aux;
    double total = 0;
    double peso = 0;
    double bach = 0;
    double preset = 0;
    // Lote, Cierre and Diferencia: the accumulator the previous row's TOTAL
    // is compared with.
    double pTotal = 0;
    // Lote and Diferencia: why batches were not seen one by one (the row's
    // INFO says so); empty for a batch seen as it ended.
    QString motivo;
    // The row's INFO as committed: set for the writer's confirmation only,
    // never kept in the file.
    QString info;
    // Comando
    QString comando;
    QString valores;
    QString resultado;

    QByteArray aJson() const;
    static bool deJson(const QByteArray& linea, Pendiente* p);
};

// The writes not yet committed, in order, kept in a file of the program
// directory (rewritten atomically whenever an entry comes) so that they
// survive a restart. An entry written is taken off in memory only: the file
// catches up with the next entry or when the writer has nothing left (see
// asienta()), and an entry read again from it is first looked for in the
// database. Used from the window's thread and from the writer's thread.
class ColaPendientes
{
public:
    // The queue of one line of one workstation: its rows carry both, and
    // its markings and retries touch only rows of both. The last ticket is
    // kept beside the queue file, in UltimoTicket.dat for line 1 and
    // UltimoTicket_N.dat for line N.
    explicit ColaPendientes(const QString& archivo, const QString& puesto = {}, int linea = 1);

    // Loads the file; false (and error) when it exists but cannot be read.
    bool carga(QString* error = nullptr);
    // Removes what a kill in the middle of writing the queue file or the
    // last ticket left beside them (their temporaries), never the files
    // themselves nor another line's: for the start of the line's writer.
    int quitaTemporales() const;
    // Appends (a batch with a new identity); false when the file
    // could not be written (the entry is kept in memory and written with the
    // next change).
    bool agrega(Pendiente p, QString* error = nullptr);
    // A new entry identity.
    static QString nuevaIdentidad();
    // The first entry of the given kind (rows and markings, or audits).
    bool primero(bool auditoria, Pendiente* p) const;
    // Notes the ticket of an attempt before its commit (synced).
    bool fijaTicket(quint64 id, qint64 ticket, QString* error = nullptr);
    // The entry is about to be attempted: a retry looks for its row first.
    void intento(quint64 id);
    // Takes a written entry off (in memory).
    void quita(quint64 id);
    // Brings the files up to date with memory once the writer has caught
    // up: with entries left, the queue file is written again; with none, the
    // last ticket is kept in its own file (synced) and then the queue file is
    // removed. False (and the files as they were) when that fails.
    bool asienta(QString* error = nullptr);
    int cantidad() const;
    QString archivo() const { return m_archivo; }
    QString puesto() const { return m_puesto; }
    int linea() const { return m_linea; }
    // Entries held only in memory: the file could not be written since they
    // came (a kill now would lose them), and why ("disco lleno"...).
    int sinGuardar() const;
    QString causaSinGuardar() const;
    // Writes the file again when it lags behind memory; true when it is
    // (now) up to date.
    bool guardaPendiente(QString* error = nullptr);

    // Ticket of the last row this workstation wrote: 0 when it has written
    // none, -1 when unknown (a directory prepared before it was kept). Kept
    // in the queue file's entries (their `desde`) while it has any, and in
    // its own file once it has none.
    qint64 ultimo() const;
    void fijaUltimo(qint64 ticket);
    static inline const QString kArchivoUltimo = QStringLiteral("UltimoTicket.dat");

private:
    bool guarda(QString* error);

    mutable QMutex m_mutex;
    QString m_archivo;
    QString m_archivoUltimo;
    QString m_puesto;
    int m_linea = 1;
    qint64 m_ultimo = -1;
    qint64 m_ultimoGuardado = -1;
    // Entries written but still in the file.
    bool m_atrasado = false;
    QVector<Pendiente> m_cola;
    quint64 m_siguienteId = 1;
    // Ids of the entries the file holds, and whether it matches m_cola.
    QSet<quint64> m_enArchivo;
    bool m_alDia = true;
    QString m_causa;
};

class CDatos;

// The connections a writer keeps open from one entry to the next (the rows'
// database and, when it is another, the one holding the ticket counter).
// Closed after any failure, so the next attempt connects afresh.
class ConexionesRegistro
{
public:
    // The tables are those of the session given, which outlives the writer.
    explicit ConexionesRegistro(const Contexto& contexto = Contexto::programa());
    ~ConexionesRegistro();
    // The open connection to cs in slot cual (0 or 1); nullptr and error
    // when it cannot be opened.
    CDatos* abre(int cual, const QString& cs, QString* error);
    void cierra();
    // The reports database, its table given the identity columns once per
    // connection (a table of an earlier version gets them here).
    CDatos* abreReporte(QString* error);
    // Whether the entry used a server connection opened before it.
    bool reusada() const { return m_reusada; }
    void nuevaEntrada() { m_reusada = false; }
    const Contexto& contexto() const { return m_contexto; }

private:
    const Contexto& m_contexto;
    std::unique_ptr<CDatos> m_db[2];
    QString m_cs[2];
    quint64 m_id[2] = {};
    bool m_identidad = false;
    bool m_reusada = false;
};

// Database side of a unit of work on one entry.
namespace EscrituraRegistro {
// Writes one entry; true once it is committed (or found committed before,
// or, for a Diferencia, found to owe no row). What the error log should hear
// of (an entry found written already, one of the previous version, a
// difference row) goes to avisos. For a Lote or Diferencia whose row is this
// workstation's, fila gets the entry with the row's TICKET, PESO, TOTAL and
// INFO; its ticket is 0 when there is no such row.
bool escribe(ColaPendientes& cola, const Pendiente& p, QString* error);
bool escribe(ColaPendientes& cola, const Pendiente& p, QString* error, ConexionesRegistro& c,
             QStringList* avisos = nullptr, Pendiente* fila = nullptr);
// The marker appended to INFO of a dispatch total.
QString marcaTotal(const QDate& fecha, const QTime& hora);
// INFO of a row of batches not seen one by one: "Diferencia: <motivo>".
QString marcaDiferencia(const QString& motivo);
// INFO without its dispatch-total markers (what unmarking leaves).
QString sinMarcasTotal(const QString& info);
} // namespace EscrituraRegistro

class TrabajadorRegistro;

// Writes the station's rows on a thread of its own, so that a locked or
// unreachable database never holds up the window. Entries are written in
// order; one that fails stays first in the queue and is tried again by a
// later reintenta(). Rows and audit entries are two separate orders, so a
// failing audit never holds up the rows. Failures and notices go to the
// error log of the directory (Datos.log).
class Registrador : public QObject
{
    Q_OBJECT
public:
    static inline const QString kArchivo = QStringLiteral("Pendientes.dat");

    // The writer of one line's rows: its queue is the line's file
    // (Pendientes.dat for line 1, Pendientes_N.dat for line N).
    explicit Registrador(const QString& directorio, const Contexto& contexto = Contexto::programa(),
                         QObject* parent = nullptr, int linea = 1);
    ~Registrador() override;

    // The workstation's identity its rows carry, and the line.
    QString puesto() const { return m_puesto; }
    int linea() const { return m_cola.linea(); }

    bool agrega(const Pendiente& p, QString* error = nullptr);
    // Starts a write round unless one runs or the last failure is recent.
    void reintenta();
    int pendientes() const { return m_cola.cantidad(); }
    // Entries that would not survive a kill (the queue file could not be
    // written), and why.
    int sinGuardar() const { return m_cola.sinGuardar(); }
    QString causaSinGuardar() const { return m_cola.causaSinGuardar(); }
    bool ocupado() const { return m_ocupado; }
    // Minimum time between rounds after a failure.
    void setPausaMs(int ms) { m_pausaMs = ms; }
    QString errorCarga() const { return m_errorCarga; }
    // The error number the error log's records carry (the station's, which
    // it sets whenever it changes).
    void setNroError(qint32 n) { m_nroError = n; }
    // Called on the writer's thread once a batch or difference row of this
    // workstation is committed (or found committed after a crash), before
    // its entry leaves the queue, with the row's TICKET, PESO, TOTAL and
    // INFO in the entry. A crash between the two calls it again for the same
    // row at the next start. Set before the first agrega() or reintenta();
    // it must not block long (every row waits for it).
    void setAlConfirmar(std::function<void(const Pendiente&)> f);

Q_SIGNALS:
    // An entry could not be written (first failure of each entry, and when
    // the reason changes).
    void fallo(const QString& descripcion, const QString& error);
    // Something the error log was told that is not a failure (an entry
    // found written already after a crash...).
    void aviso(const QString& texto);
    void escrito(const Pendiente& p);
    void estado(int pendientes);

private:
    void ronda();
    void anota(const QString& texto);

    QString m_directorio;
    QString m_avisoPuesto; // why the identity could not be kept, if so
    QString m_puesto;
    ColaPendientes m_cola;
    const Contexto& m_contexto;
    QThread* m_hilo = nullptr;
    TrabajadorRegistro* m_trabajador = nullptr;
    std::atomic<bool> m_ocupado{false};
    bool m_fallaReciente = false;
    QElapsedTimer m_ultimoFallo;
    int m_pausaMs = 2000;
    QString m_errorCarga;
    std::atomic<qint32> m_nroError{0};
};

class TrabajadorRegistro : public QObject
{
    Q_OBJECT
public:
    TrabajadorRegistro(ColaPendientes& cola, const Contexto& contexto)
        : m_cola(cola), m_conexiones(contexto)
    {
    }

    void setAlConfirmar(std::function<void(const Pendiente&)> f) { m_alConfirmar = std::move(f); }

public Q_SLOTS:
    void ronda();

Q_SIGNALS:
    void fallo(const QString& descripcion, const QString& error);
    void aviso(const QString& texto);
    void escrito(const Pendiente& p);
    void terminada(bool ok);

private:
    bool escribeOrden(bool auditoria);

    ColaPendientes& m_cola;
    ConexionesRegistro m_conexiones;
    quint64 m_idFallido = 0;
    QString m_errorFallido;
    QString m_errorGuardado;
    std::function<void(const Pendiente&)> m_alConfirmar;
};

Q_DECLARE_METATYPE(Pendiente)
