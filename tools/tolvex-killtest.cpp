// tolvex-killtest: a recording station (tolvex-soak on a kept program
// directory with a SQLite database) is killed with SIGKILL at random
// moments while it records, and started again, K times. Every run types its
// own name ("Corrida N") as the first auxiliary datum, so a batch is known by
// (AUX1, TOTAL). In every second run, and in the last, the database is held
// locked from the first batch on, so that rows pile up in the pending queue
// and the kill finds them there, or a write waiting for the lock.
// After every kill and at the end it checks:
//  - PRAGMA integrity_check says "ok";
//  - the pending queue Pendientes.dat parses whole;
//  - the journal Transac.dat has no torn entry: every opening is "[" and its
//    11 header fields, then whole batch entries of 4 fields ("*date*time*
//    weight*total", each total the one before plus the weight), then "]" and
//    CRLF; an opening without its "]" is one whose run was killed;
// and at the end, after a clean start of the program (the main window loads
// and writes what was left queued):
//  - the queue is empty and every batch a run reported as queued is a row;
//  - no row has an empty required field, tickets are 1..N, the Ticket
//    setting is N + 1, no batch has two rows, every batch in the journal is
//    a row, and at most one row per kill lacks its journal entry.
// Prints
//   kills K rows N queued_batches Q missing M duplicates D torn T integrity ok|bad
// and a second line of details; exits non-zero when anything is wrong.
#include <QApplication>
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
#include "Registrador.h"
#include "frmMain.h"

namespace {

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

using Lote = QPair<QString, qint64>; // AUX1, TOTAL

QString integridad(const QString& archivo)
{
    QString r = QStringLiteral("sin respuesta");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("integridad"));
        db.setDatabaseName(archivo);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next())
                r = q.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("integridad"));
    return r;
}

struct Diario_
{
    int aperturas = 0;
    int abiertas = 0; // openings without their "]": runs killed
    int rotas = 0;
    QStringList detalle;
    QSet<Lote> lotes;
};

// Reads the journal as a sequence of openings (see the top of the file).
Diario_ leeDiario(const QString& archivo)
{
    Diario_ d;
    QFile f(archivo);
    if (!f.open(QIODevice::ReadOnly))
        return d;
    const QString texto = QString::fromLatin1(f.readAll());
    const QStringList partes = texto.split(u'[');
    if (!partes.first().isEmpty()) {
        ++d.rotas;
        d.detalle << QStringLiteral("texto antes de la primera apertura");
    }
    const QLocale loc = Diario::locale();
    const QRegularExpression fechaHora(QStringLiteral("^[0-9][0-9/.:\\- ]*[0-9]$"));
    for (qsizetype i = 1; i < partes.size(); ++i) {
        QString parte = partes[i];
        ++d.aperturas;
        if (parte.endsWith(QStringLiteral("]\r\n")))
            parte.chop(3);
        else
            ++d.abiertas;
        const QStringList campos = parte.split(u'*');
        auto rota = [&](const QString& por) {
            ++d.rotas;
            d.detalle << QStringLiteral("apertura %1: %2").arg(i).arg(por);
        };
        if (parte.contains(u']') || parte.contains(u'\n') || campos.size() < 11 || (campos.size() - 11) % 4 != 0) {
            rota(QStringLiteral("%1 campos").arg(campos.size()));
            continue;
        }
        const QString aux1 = campos[0].trimmed();
        double anterior = 0;
        for (qsizetype k = 11; k < campos.size(); k += 4) {
            bool ok1 = false, ok2 = false;
            const double peso = loc.toDouble(campos[k + 2].trimmed(), &ok1);
            const double total = loc.toDouble(campos[k + 3].trimmed(), &ok2);
            if (!fechaHora.match(campos[k]).hasMatch() || !fechaHora.match(campos[k + 1]).hasMatch() || !ok1 ||
                !ok2 || (k > 11 && std::llround(anterior + peso) != std::llround(total))) {
                rota(QStringLiteral("entrada %1").arg((k - 11) / 4 + 1));
                break;
            }
            anterior = total;
            d.lotes.insert({aux1, std::llround(total)});
        }
    }
    return d;
}

bool colaLegible(const QString& archivo, int* entradas, QString* error)
{
    ColaPendientes c(archivo);
    const bool ok = c.carga(error);
    *entradas = c.cantidad();
    return ok;
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
    });
    p.process(app);
    bool ok1 = false, ok2 = false, ok3 = false;
    const int kills = p.value(QStringLiteral("kills")).toInt(&ok1);
    const int maxMs = p.value(QStringLiteral("max-ms")).toInt(&ok2);
    const quint32 semilla = p.value(QStringLiteral("seed")).toUInt(&ok3);
    if (!p.isSet(QStringLiteral("dir")) || !ok1 || !ok2 || !ok3 || kills < 1 || kills > 1000 || maxMs < 0) {
        err() << "tolvex-killtest: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    const QString dir = QDir(p.value(QStringLiteral("dir"))).absolutePath();
    {
        Instalacion ins;
        ins.directorio = dir;
        ins.id = 1;
        if (!ins.ejecutar()) {
            err() << "tolvex-killtest: " << ins.error << "\n";
            return 2;
        }
    }
    QDir::setCurrent(dir);
    qputenv("TOLVEX_HOME", dir.toLocal8Bit());
    const QString base = QDir(dir).absoluteFilePath(QStringLiteral("data.db"));
    const QString cola = QDir(dir).absoluteFilePath(Registrador::kArchivo);
    const QString diario = QDir(dir).absoluteFilePath(Diario::kJournal);

    // Runs of an earlier test in the same directory are told apart too.
    int corrida0 = 0;
    {
        CDatos db;
        if (db.AbrirBase(ConnectionString::sqlite(base)) &&
            db.AbreRegistro(QStringLiteral("SELECT * FROM Reporte ORDER BY TICKET DESC"))) {
            for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
                corrida0 = std::max(corrida0, db.Campo(QStringLiteral("AUX1")).toString().section(u' ', 1).toInt());
        }
    }

    QRandomGenerator azar(semilla);
    const QString soak = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("tolvex-soak"));
    QSet<Lote> encolados;
    QStringList problemas;
    int maxPendientes = 0;
    for (int k = 1; k <= kills; ++k) {
        const QString nombre = QStringLiteral("Corrida %1").arg(corrida0 + k);
        QProcess estacion;
        estacion.setProcessChannelMode(QProcess::SeparateChannels);
        estacion.setStandardErrorFile(QProcess::nullDevice());
        estacion.start(soak, {QStringLiteral("--keep"), dir, QStringLiteral("--puesto"), nombre, QStringLiteral("--lotes"),
                              QStringLiteral("--minutes"), QStringLiteral("600"), QStringLiteral("--speed"),
                              p.value(QStringLiteral("speed")), QStringLiteral("--poll"), QStringLiteral("50"),
                              QStringLiteral("--seed"), QString::number(corrida0 + k)});
        if (!estacion.waitForStarted(10000)) {
            err() << "tolvex-killtest: no se pudo iniciar " << soak << "\n";
            return 2;
        }
        // Killed at a random moment after its first queued batch; every
        // third run instead the moment a batch reaches the journal, which
        // is where a batch journaled before it was queued would be lost.
        const bool trabar = k % 2 == 0 || k == kills;
        const bool alDiario = k % 3 == 1;
        qint64 diarioAntes = -1;
        QSqlDatabase traba;
        const int espera = int(azar.bounded(maxMs + 1));
        QElapsedTimer t;
        t.start();
        qint64 desde = -1;
        int propios = 0;
        while (t.elapsed() < 60000 && estacion.state() == QProcess::Running) {
            estacion.waitForReadyRead(5);
            while (estacion.canReadLine()) {
                const QString l = QString::fromUtf8(estacion.readLine()).trimmed();
                if (l.startsWith(QStringLiteral("lote "))) {
                    encolados.insert({nombre, l.mid(5).toLongLong()});
                    ++propios;
                    if (desde < 0) {
                        desde = t.elapsed();
                        if (trabar) {
                            traba = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("traba"));
                            traba.setDatabaseName(base);
                            traba.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
                            QSqlQuery q(traba);
                            if (!traba.open() || !q.exec(QStringLiteral("BEGIN EXCLUSIVE")))
                                problemas << QStringLiteral("%1: no se pudo trabar la base").arg(nombre);
                        }
                    }
                }
            }
            if (alDiario && desde >= 0) {
                if (diarioAntes < 0)
                    diarioAntes = QFileInfo(diario).size();
                while (estacion.state() == QProcess::Running && QFileInfo(diario).size() == diarioAntes &&
                       t.elapsed() < 60000) {
                }
                break;
            }
            if (desde >= 0 && t.elapsed() - desde >= espera)
                break;
        }
        if (desde < 0) {
            err() << "tolvex-killtest: " << nombre << " no grabó ningún lote\n";
            estacion.kill();
            estacion.waitForFinished(5000);
            return 1;
        }
        ::kill(pid_t(estacion.processId()), SIGKILL);
        estacion.waitForFinished(10000);
        if (traba.isValid()) {
            QSqlQuery(traba).exec(QStringLiteral("ROLLBACK"));
            traba.close();
            traba = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("traba"));
        }
        // What was already written to the pipe was queued before the kill.
        for (const QByteArray& linea : estacion.readAllStandardOutput().split('\n')) {
            const QString l = QString::fromUtf8(linea).trimmed();
            if (l.startsWith(QStringLiteral("lote "))) {
                encolados.insert({nombre, l.mid(5).toLongLong()});
                ++propios;
            }
        }

        const QString integ = integridad(base);
        if (integ != u"ok")
            problemas << QStringLiteral("%1: integrity_check %2").arg(nombre, integ);
        int entradas = 0;
        QString e;
        if (!colaLegible(cola, &entradas, &e))
            problemas << QStringLiteral("%1: cola ilegible: %2").arg(nombre, e);
        maxPendientes = std::max(maxPendientes, entradas);
        const Diario_ d = leeDiario(diario);
        if (d.rotas > 0)
            problemas << QStringLiteral("%1: diario roto: %2").arg(nombre, d.detalle.join(QStringLiteral("; ")));
        err() << nombre << ": " << propios << " lotes, muerta "
              << (alDiario ? QStringLiteral("al escribir el diario") : QStringLiteral("a los %1 ms").arg(espera))
              << (trabar ? QStringLiteral(" (base trabada)") : QString()) << ", " << entradas << " pendientes\n";
        err().flush();
    }

    // A clean start of the program: the main window loads.
    int pendientesAlIniciar = 0;
    {
        QString e;
        colaLegible(cola, &pendientesAlIniciar, &e);
    }
    MessageBox::setScripted(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Tolvex"));
    Programa::leeVariables();
    Programa::OperadorActual = QStringLiteral("SOAK");
    Programa::NivelActual = QStringLiteral("Instalador");
    bool vaciada = false;
    {
        frmMain principal;
        principal.carga();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 120000 && !(vaciada = Estacion::pendientes() == 0 && !QFile::exists(cola))) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        Estacion::cerrar();
    }

    // The end state.
    const QString integ = integridad(base);
    const Diario_ d = leeDiario(diario);
    qint64 filas = 0, vacios = 0, saltos = 0, duplicados = 0, fueraDelDiario = 0;
    qint64 ticketGlobal = 0;
    QSet<Lote> filasLotes;
    {
        CDatos db;
        if (!db.AbrirBase(Programa::DataCSReporte) ||
            !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(Programa::DataTbReporte))) {
            err() << "tolvex-killtest: " << db.ultimoError() << "\n";
            return 1;
        }
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            ++filas;
            if (db.Campo(QStringLiteral("TICKET")).toLongLong() != filas)
                ++saltos;
            for (const char* c : {"TICKET", "AUX1", "TOTAL", "PESO", "FECHA", "HORA", "OPERADOR"}) {
                const QVariant v = db.Campo(QString::fromLatin1(c));
                if (v.isNull() || v.toString().trimmed().isEmpty())
                    ++vacios;
            }
            const Lote l{db.Campo(QStringLiteral("AUX1")).toString(),
                         std::llround(db.Campo(QStringLiteral("TOTAL")).toDouble())};
            if (filasLotes.contains(l))
                ++duplicados;
            filasLotes.insert(l);
            if (!d.lotes.contains(l))
                ++fueraDelDiario;
        }
        ticketGlobal = Config::LeeConfig(QString(), QStringLiteral("Ticket"), QStringLiteral("1"), false, true)
                           .toLongLong();
    }
    qint64 faltan = 0;
    for (const Lote& l : std::as_const(encolados))
        faltan += filasLotes.contains(l) ? 0 : 1;
    qint64 soloDiario = 0;
    for (const Lote& l : std::as_const(d.lotes))
        soloDiario += filasLotes.contains(l) ? 0 : 1;

    QTextStream(stdout) << QStringLiteral("kills %1 rows %2 queued_batches %3 missing %4 duplicates %5 torn %6 "
                                          "integrity %7\n")
                               .arg(kills)
                               .arg(filas)
                               .arg(encolados.size())
                               .arg(faltan)
                               .arg(duplicados)
                               .arg(d.rotas)
                               .arg(integ == u"ok" ? QStringLiteral("ok") : QStringLiteral("bad"));
    QTextStream(stdout) << QStringLiteral("openings %1 unclosed %2 max_pending_after_kill %3 pending_at_start %4 "
                                          "queue_emptied %5 ticket_gaps %6 empty_fields %7 ticket_setting_ok %8 "
                                          "rows_not_in_journal %9 journal_batches_without_row %10\n")
                               .arg(d.aperturas)
                               .arg(d.abiertas)
                               .arg(maxPendientes)
                               .arg(pendientesAlIniciar)
                               .arg(vaciada ? QStringLiteral("yes") : QStringLiteral("no"))
                               .arg(saltos)
                               .arg(vacios)
                               .arg(ticketGlobal == filas + 1 ? QStringLiteral("yes") : QStringLiteral("no"))
                               .arg(fueraDelDiario)
                               .arg(soloDiario);
    for (const QString& s : std::as_const(problemas))
        err() << s << "\n";
    err().flush();
    // Every batch the journal names is a row. A batch queued just before a
    // kill may lack its journal entry (the kill came before it was
    // journaled): at most one per kill.
    const bool bien = problemas.isEmpty() && integ == u"ok" && faltan == 0 && duplicados == 0 && d.rotas == 0 &&
                      vaciada && saltos == 0 && vacios == 0 && ticketGlobal == filas + 1 && soloDiario == 0 &&
                      fueraDelDiario <= kills && !encolados.isEmpty();
    return bien ? 0 : 1;
}
