// tolvex-killtest: a recording station (tolvex-soak on a kept program
// directory) is killed with SIGKILL while it records, and started again, K
// times. Every run types its own name ("Corrida N") as the first auxiliary
// datum, so a batch is known by its workstation (PUESTO), AUX1 and TOTAL.
// Kill moments: in every second run, and in the last, the database is held
// locked from the first batch on, so that rows pile up in the pending queue
// and the kill finds them there, or a write waiting for the lock; every
// third run is killed the moment a batch reaches the journal; every sixth
// (from the third) the moment a row of it is committed, before the queue
// file can follow; the others at a random moment after the first batch.
// --postgres puts the rows in a PostgreSQL database instead of SQLite.
// --lineas N runs a workstation of N lines instead (tolvex-lineas: two on one
// bus, one failing), and every check is made for each line: its queue, its
// journal, its last ticket, its rows.
// --gemelo DIR2 adds a twin workstation in DIR2 on the same database: every
// run starts it with the same seed, name and start (tolvex-soak --sincronia),
// so that it writes rows equal to the station's in the same second, and
// kills it too, a moment later.
// After every kill and at the end it checks:
//  - PRAGMA integrity_check says "ok" (SQLite);
//  - the pending queues Pendientes.dat parse whole;
//  - the journals Transac.dat have no torn entry: every opening is "[" and its
//    11 header fields, then whole batch entries of 4 fields ("*date*time*
//    weight*total", each total the one before plus the weight), then "]" and
//    CRLF; an opening without its "]" is one whose run was killed;
// and at the end, after a clean start of the program in each directory (the
// main window loads and writes what was left queued):
//  - the queues are empty and every batch a run reported as queued is a row
//    of its own workstation;
//  - no row has an empty required field, tickets are 1..N, the Ticket
//    setting is N + 1, no batch has two rows, every batch in a journal is a
//    row of its workstation, and at most one row per kill lacks its journal
//    entry;
//  - each directory's last ticket (UltimoTicket.dat) is its workstation's
//    last row, and every row's dispatch mark is what its own workstation's
//    next row makes of it (a mark on another's row would show).
// Prints
//   kills K rows N queued_batches Q missing M duplicates D torn T integrity ok|bad|n/a
// and two lines of details; exits non-zero when anything is wrong.
#include <QApplication>
#include <QDateTime>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>
#include <csignal>
#include <sys/types.h>

#include "CDatos.h"
#include "Config.h"
#include "Diario.h"
#include "Estacion.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Puesto.h"
#include "Registrador.h"
#include "Schema.h"
#include "Revision.h"

namespace {

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

using Revision::Lote;
using Revision::colaLegible;
using Revision::integridad;
using Revision::leeDiario;

// One workstation under test: its program directory, identity, the
// recording process of the current run and what its runs reported queued.
struct Puesto_
{
    QString dir;
    QString identidad;
    QProcess proceso;
    // Per line (Revision::clave): the batches its runs reported queued.
    QHash<QString, QSet<Lote>> encolados;
    int lotesCorrida = 0;
    QString archivo(const QString& nombre) const { return QDir(dir).absoluteFilePath(nombre); }

    // Takes the "lote TOTAL" (or "lote LINE TOTAL") lines the process has written.
    void lee(const QString& nombre)
    {
        while (proceso.canReadLine()) {
            const QStringList l = QString::fromUtf8(proceso.readLine()).trimmed().split(u' ');
            if (l.value(0) != u"lote" || l.size() < 2)
                continue;
            const int linea = l.size() > 2 ? l[1].toInt() : 1;
            encolados[Revision::clave(identidad, linea)].insert({nombre, l.last().toLongLong()});
            ++lotesCorrida;
        }
    }
};

// Rows committed by a workstation so far; -1 when they cannot be counted.
qint64 filasDe(CDatos& db, const QString& tabla, const QString& puesto)
{
    if (!db.AbreRegistro(QStringLiteral("SELECT COUNT(*) AS N FROM %1 WHERE %2 = ?").arg(tabla, Schema::kPuesto),
                         {puesto}))
        return -1;
    return db.Campo(QStringLiteral("N")).toLongLong();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-killtest"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Estación matada mientras graba, y vuelta a iniciar."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("dir"), QStringLiteral("Directorio del programa (nuevo o de una prueba anterior)."), QStringLiteral("DIR")},
        {QStringLiteral("kills"), QStringLiteral("Cantidad de veces que se mata la estación (20)."), QStringLiteral("K"), QStringLiteral("20")},
        {QStringLiteral("max-ms"), QStringLiteral("Espera máxima al azar antes de matar, en ms (3000)."), QStringLiteral("MS"), QStringLiteral("3000")},
        {QStringLiteral("speed"), QStringLiteral("Velocidad del simulador (50)."), QStringLiteral("F"), QStringLiteral("50")},
        {QStringLiteral("seed"), QStringLiteral("Semilla de los momentos (1)."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("postgres"), QStringLiteral("Base PostgreSQL en lugar de SQLite."), QStringLiteral("CONEXION")},
        {QStringLiteral("lineas"), QStringLiteral("Un puesto de N líneas (tolvex-lineas) en lugar de una."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("gemelo"), QStringLiteral("Un puesto gemelo en DIR2 sobre la misma base, que graba filas iguales en el mismo segundo."), QStringLiteral("DIR2")},
    });
    p.process(app);
    bool ok1 = false, ok2 = false, ok3 = false, ok4 = false;
    const int lineas = p.value(QStringLiteral("lineas")).toInt(&ok4);
    const int kills = p.value(QStringLiteral("kills")).toInt(&ok1);
    const int maxMs = p.value(QStringLiteral("max-ms")).toInt(&ok2);
    const quint32 semilla = p.value(QStringLiteral("seed")).toUInt(&ok3);
    if (!p.isSet(QStringLiteral("dir")) || !ok1 || !ok2 || !ok3 || kills < 1 || kills > 1000 || maxMs < 0 ||
        !ok4 || lineas < 1 || lineas > 16 || (lineas > 1 && (lineas < 4 || p.isSet(QStringLiteral("gemelo"))))) {
        err() << "tolvex-killtest: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    const QString postgres = p.value(QStringLiteral("postgres"));
    QList<Puesto_*> puestos;
    Puesto_ principal_, gemelo_;
    principal_.dir = QDir(p.value(QStringLiteral("dir"))).absolutePath();
    puestos << &principal_;
    if (p.isSet(QStringLiteral("gemelo"))) {
        gemelo_.dir = QDir(p.value(QStringLiteral("gemelo"))).absolutePath();
        puestos << &gemelo_;
    }
    // The database: a shared one, or the first directory's file (named by
    // its whole path in the twin's settings).
    const QString cs = !postgres.isEmpty() ? postgres
                       : puestos.size() > 1 ? ConnectionString::sqlite(principal_.archivo(QStringLiteral("data.db")))
                                            : QString();
    const bool sqlite = postgres.isEmpty();
    for (Puesto_* e : puestos) {
        Instalacion ins;
        ins.directorio = e->dir;
        ins.postgres = cs;
        ins.id = 1;
        if (!ins.ejecutar()) {
            err() << "tolvex-killtest: " << ins.error << "\n";
            return 2;
        }
        e->identidad = Puesto::de(e->dir);
    }
    QDir::setCurrent(principal_.dir);
    qputenv("TOLVEX_HOME", principal_.dir.toLocal8Bit());
    Programa::leeVariables();
    const QString base = principal_.archivo(QStringLiteral("data.db"));
    const QString tabla = Programa::DataTbReporte;

    // Runs of an earlier test in the same directory are told apart too.
    int corrida0 = 0;
    {
        CDatos db;
        if (db.AbrirBase(Programa::DataCSReporte) &&
            db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET DESC").arg(tabla))) {
            for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
                corrida0 = std::max(corrida0, db.Campo(QStringLiteral("AUX1")).toString().section(u' ', 1).toInt());
        }
    }

    QRandomGenerator azar(semilla);
    const QString soak = QDir(QCoreApplication::applicationDirPath())
                             .absoluteFilePath(lineas > 1 ? QStringLiteral("tolvex-lineas") : QStringLiteral("tolvex-soak"));
    // Every line's files.
    QVector<Linea> cadaLinea;
    for (int n = 1; n <= lineas; ++n)
        cadaLinea << Linea{n, {}};
    QStringList problemas;
    int maxPendientes = 0;
    CDatos contador;
    for (int k = 1; k <= kills; ++k) {
        const QString nombre = QStringLiteral("Corrida %1").arg(corrida0 + k);
        // Twins start their processes' clocks at the same second.
        const qint64 inicio = QDateTime::currentSecsSinceEpoch() + 3;
        for (Puesto_* e : puestos) {
            e->lotesCorrida = 0;
            e->proceso.setProcessChannelMode(QProcess::SeparateChannels);
            e->proceso.setStandardErrorFile(QProcess::nullDevice());
            QStringList args{QStringLiteral("--keep"), e->dir, QStringLiteral("--puesto"), nombre, QStringLiteral("--lotes"),
                             QStringLiteral("--minutes"), QStringLiteral("600"), QStringLiteral("--speed"),
                             p.value(QStringLiteral("speed")), QStringLiteral("--poll"), QStringLiteral("50"),
                             QStringLiteral("--seed"), QString::number(corrida0 + k)};
            if (!postgres.isEmpty())
                args << QStringLiteral("--postgres") << postgres;
            if (puestos.size() > 1)
                args << QStringLiteral("--sincronia") << QString::number(inicio);
            if (lineas > 1)
                args << QStringLiteral("--lineas") << QString::number(lineas);
            e->proceso.start(soak, args);
            if (!e->proceso.waitForStarted(10000)) {
                err() << "tolvex-killtest: no se pudo iniciar " << soak << "\n";
                return 2;
            }
        }
        QProcess& estacion = principal_.proceso;
        const auto bombea = [&] {
            estacion.waitForReadyRead(5);
            for (Puesto_* e : puestos)
                e->lee(nombre);
        };
        const bool trabar = k % 2 == 0 || k == kills;
        const bool alDiario = k % 3 == 1;
        const bool alConfirmar = !trabar && !alDiario && k % 6 == 3;
        const QString diario = principal_.archivo(Diario::kJournal);
        CDatos traba;
        const int espera = int(azar.bounded(maxMs + 1));
        QElapsedTimer t;
        t.start();
        qint64 desde = -1;
        while (t.elapsed() < 60000 && estacion.state() == QProcess::Running) {
            bombea();
            if (desde < 0 && principal_.lotesCorrida > 0) {
                desde = t.elapsed();
                // From the first batch on, nothing more can be written.
                if (trabar && (!traba.AbrirBase(Programa::DataCSReporte) || !traba.IniciaTransaccion() ||
                               (!sqlite && !traba.Ejecuta(QStringLiteral("LOCK TABLE %1 IN EXCLUSIVE MODE").arg(tabla)))))
                    problemas << QStringLiteral("%1: no se pudo trabar la base: %2").arg(nombre, traba.ultimoError());
            }
            if (desde < 0)
                continue;
            if (alDiario) {
                // The moment a batch reaches the journal.
                const qint64 antes = QFileInfo(diario).size();
                while (estacion.state() == QProcess::Running && QFileInfo(diario).size() == antes &&
                       t.elapsed() < 60000) {
                }
                break;
            }
            if (alConfirmar) {
                // The moment a row is committed: its entry still in the queue file.
                if (!contador.abierta())
                    contador.AbrirBase(Programa::DataCSReporte);
                const qint64 antes = filasDe(contador, tabla, principal_.identidad);
                while (estacion.state() == QProcess::Running && filasDe(contador, tabla, principal_.identidad) == antes &&
                       t.elapsed() < 60000) {
                }
                break;
            }
            if (t.elapsed() - desde >= espera)
                break;
        }
        if (desde < 0) {
            err() << "tolvex-killtest: " << nombre << " no grabó ningún lote\n";
            for (Puesto_* e : puestos) {
                e->proceso.kill();
                e->proceso.waitForFinished(5000);
            }
            return 1;
        }
        ::kill(pid_t(estacion.processId()), SIGKILL);
        if (puestos.size() > 1) {
            // The twin a moment later: it writes on while the station is dead.
            QElapsedTimer g;
            g.start();
            const int mas = int(azar.bounded(1001));
            while (g.elapsed() < mas)
                bombea();
            ::kill(pid_t(gemelo_.proceso.processId()), SIGKILL);
        }
        for (Puesto_* e : puestos) {
            e->proceso.waitForFinished(10000);
            // What was already written to the pipe was queued before the kill.
            e->lee(nombre);
        }
        traba.Deshace();
        traba.CerrarBase();

        if (sqlite) {
            const QString integ = integridad(base);
            if (integ != u"ok")
                problemas << QStringLiteral("%1: integrity_check %2").arg(nombre, integ);
        }
        QStringList estado;
        for (Puesto_* e : puestos) {
            int entradas = 0;
            for (const Linea& l : cadaLinea) {
                int n = 0;
                QString error;
                if (!colaLegible(e->archivo(l.archivo(Registrador::kArchivo)), &n, &error))
                    problemas << QStringLiteral("%1 %2: cola ilegible: %3").arg(nombre, Revision::clave(e->identidad, l.numero), error);
                entradas += n;
                const Revision::Diario_ d = leeDiario(e->archivo(l.archivo(Diario::kJournal)));
                if (d.rotas > 0)
                    problemas << QStringLiteral("%1 %2: diario roto: %3")
                                     .arg(nombre, Revision::clave(e->identidad, l.numero), d.detalle.join(QStringLiteral("; ")));
            }
            maxPendientes = std::max(maxPendientes, entradas);
            estado << QStringLiteral("%1 lotes, %2 pendientes").arg(e->lotesCorrida).arg(entradas);
        }
        err() << nombre << ": " << estado.join(QStringLiteral(" / ")) << ", muerta "
              << (alDiario      ? QStringLiteral("al escribir el diario")
                  : alConfirmar ? QStringLiteral("al confirmar una fila")
                                : QStringLiteral("a los %1 ms").arg(espera))
              << (trabar ? QStringLiteral(" (base trabada)") : QString()) << "\n";
        err().flush();
    }
    contador.CerrarBase();

    // A clean start of the program in each directory: the main window loads.
    int pendientesAlIniciar = 0;
    bool vaciada = true;
    for (Puesto_* e : puestos) {
        for (const Linea& l : cadaLinea) {
            int n = 0;
            QString error;
            colaLegible(e->archivo(l.archivo(Registrador::kArchivo)), &n, &error);
            pendientesAlIniciar += n;
        }
        vaciada = Revision::arranqueLimpio(e->dir) && vaciada;
    }

    // The end state.
    const QString integ = sqlite ? integridad(base) : QStringLiteral("n/a");
    QList<Revision::PuestoBase> revisados;
    for (Puesto_* e : puestos)
        for (const Linea& l : cadaLinea)
            revisados.append({e->dir, e->identidad, false, l.numero});
    const Revision::Base rb = Revision::revisaBase(revisados);
    if (!rb.leida) {
        err() << "tolvex-killtest: " << rb.detalle.join(u' ') << "\n";
        return 1;
    }
    qint64 faltan = 0, ajenas = 0, encolados = 0;
    for (Puesto_* e : puestos) {
        for (auto it = e->encolados.cbegin(); it != e->encolados.cend(); ++it) {
            const QSet<Lote> propios = rb.lotesDe.value(it.key());
            encolados += it.value().size();
            for (const Lote& l : it.value()) {
                if (propios.contains(l))
                    continue;
                ++faltan;
                problemas << QStringLiteral("%1: el lote %2 total %3 encolado no es fila suya").arg(it.key(), l.first).arg(l.second);
                // Missing, and taken for another workstation's or line's equal row.
                for (auto otra = rb.lotesDe.cbegin(); otra != rb.lotesDe.cend(); ++otra)
                    ajenas += otra.key() != it.key() && otra.value().contains(l) ? 1 : 0;
            }
        }
    }
    const qint64 filas = rb.filas;
    problemas += rb.detalle;

    QTextStream(stdout) << QStringLiteral("kills %1 rows %2 queued_batches %3 missing %4 duplicates %5 torn %6 "
                                          "integrity %7\n")
                               .arg(kills)
                               .arg(filas)
                               .arg(encolados)
                               .arg(faltan)
                               .arg(rb.duplicados)
                               .arg(rb.rotas)
                               .arg(integ == u"ok" || integ == u"n/a" ? integ : QStringLiteral("bad"));
    QTextStream(stdout) << QStringLiteral("openings %1 unclosed %2 max_pending_after_kill %3 pending_at_start %4 "
                                          "queue_emptied %5 ticket_gaps %6 empty_fields %7 ticket_setting_ok %8 "
                                          "rows_not_in_journal %9 journal_batches_without_row %10\n")
                               .arg(rb.aperturas)
                               .arg(rb.abiertas)
                               .arg(maxPendientes)
                               .arg(pendientesAlIniciar)
                               .arg(vaciada ? QStringLiteral("yes") : QStringLiteral("no"))
                               .arg(rb.saltos)
                               .arg(rb.vacios)
                               .arg(rb.ticketOk() ? QStringLiteral("yes") : QStringLiteral("no"))
                               .arg(rb.fueraDelDiario)
                               .arg(rb.soloDiario);
    QTextStream(stdout) << QStringLiteral("workstations %1 credited_to_other %2 last_ticket_not_own %3 marks_wrong %4 lines %5\n")
                               .arg(puestos.size())
                               .arg(ajenas)
                               .arg(rb.ultimosMal)
                               .arg(rb.marcasMal)
                               .arg(lineas);
    for (const QString& s : std::as_const(problemas))
        err() << s << "\n";
    err().flush();
    // Every batch a journal names is a row of its workstation. A batch
    // queued just before a kill may lack its journal entry (the kill came
    // before it was journaled): at most one per kill and workstation.
    const bool bien = problemas.isEmpty() && (integ == u"ok" || integ == u"n/a") && faltan == 0 && rb.bien() &&
                      vaciada && rb.fueraDelDiario <= kills * puestos.size() * lineas && encolados > 0 && ajenas == 0;
    return bien ? 0 : 1;
}
