// tolvex-lineas: one workstation with several weighing lines recording at
// once, each through its real station window (offscreen), opened as the
// main window opens them. The default four lines are wired as a plant wires
// them: lines 1 and 2 are two indicators (ids 1 and 2) on one shared bus,
// line 3 has a port of its own, and line 4's indicator fails (lost, corrupt
// and late replies, dropped connections, and silent spells). Lines 5..N get
// a port each. Every indicator is a simulator driven faster than real time,
// held after each batch until its station has read it (as tolvex-soak does),
// so that batches == rows is the exact test.
//
// At the end the stations are closed and the record writers drained, and
// the database and files are judged: every line's batches are its rows, no
// batch has two rows, tickets are 1..N across the lines (a fresh
// database), each line's journal holds exactly its rows with their weights,
// each line's last ticket is its own last row, and each row's dispatch mark
// is what its own line's next row (or the close) makes of it. Prints
//   lines N batches B rows R lost L duplicates D
// and a line per line; exits non-zero unless everything holds.
//
// --puesto NAME types NAME ("Lineas" without it) as the first auxiliary
// datum of every line, and only the rows with it are counted (a kept
// directory run again).
// --lotes prints "lote LINE TOTAL" once each batch is queued, for a driver
// that kills this process. --cpu S only measures: N lines (8 by default)
// at --poll ms, each on a simulator process of its own, for S seconds.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <memory>
#include <sys/resource.h>

#include "Banco.h"
#include "Config.h"
#include "Estacion.h"
#include "EstacionPesaje.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Puesto.h"
#include "Revision.h"
#include "SimuladorEnHilo.h"
#include "frmPeso.h"

namespace {

QTextStream& err()
{
    static QTextStream s(stderr);
    return s;
}

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

using Banco::cpuSegundos;
using Banco::esperaHasta;

// One line as the run drives it: its simulated indicator and what its
// station has shown of it.
struct LineaSoak
{
    int numero = 1;
    IndicadorSimulado* ind = nullptr;
    SimuladorEnHilo* sim = nullptr;
    quint8 id = 1;
    bool falla = false;
    LecturaPeso ultima;
    qint64 lecturas = 0;
    qint64 fallidas = 0;
    qint64 gate = 0;
    bool esperando = false;
    qint64 vistos = 0;
    qint64 lotes0 = 0;
    qint64 fusionados = 0;
};

bool prepara(const QString& dir, const QVector<std::pair<quint16, quint8>>& enlaces, const QString& postgres,
             int periodo, bool pideDato)
{
    QString error;
    if (!Banco::prepara(dir, enlaces, postgres, periodo, pideDato, &error)) {
        err() << "tolvex-lineas: " << error << "\n";
        return false;
    }
    return true;
}

void abreLineas(QWidget* principal, int n)
{
    for (int i = 1; i <= n; ++i)
        Estacion::abrir(principal, Contexto::programa(), i);
}

void cierraVentanas()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<frmPeso*>(w))
            v->cierraYa();
}

int mideCpu(int segundos, int lineas, int periodo, const QString& dir)
{
    // Each indicator a process of its own, so only the workstation is measured.
    std::vector<std::unique_ptr<QProcess>> sims;
    QVector<std::pair<quint16, quint8>> enlaces;
    const QString exe = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("tolvex-sim"));
    for (int i = 0; i < lineas; ++i) {
        auto s = std::make_unique<QProcess>();
        s->start(exe, {QStringLiteral("--tcp"), QStringLiteral("0")});
        if (!s->waitForStarted(5000) || !s->waitForReadyRead(5000)) {
            err() << "tolvex-lineas: no se pudo iniciar " << exe << "\n";
            return 2;
        }
        enlaces.append({quint16(QString::fromUtf8(s->readLine()).trimmed().section(u' ', 1).toUInt()), 1});
        sims.push_back(std::move(s));
    }
    if (!prepara(dir, enlaces, QString(), periodo, false))
        return 2;
    qint64 lecturas = 0;
    Estacion::observa(&lecturas, [&](EstacionPesaje* e) {
        QObject::connect(e, &EstacionPesaje::lecturaProcesada, e, [&](const LecturaPeso& l) { lecturas += l.valida(); });
    });
    QWidget principal;
    abreLineas(&principal, lineas);
    if (!esperaHasta([&] { return Estacion::abiertas() == lineas && lecturas >= 2 * lineas; }, 30000)) {
        err() << "tolvex-lineas: las estaciones no leyeron sus indicadores\n";
        return 1;
    }
    // Every indicator cycling, so that every display changes.
    for (int i = 1; i <= lineas; ++i)
        Estacion::estacion(i)->comando('V', QStringLiteral("Arranque / Parada"));
    const double c0 = cpuSegundos();
    const qint64 l0 = lecturas;
    QElapsedTimer t;
    t.start();
    {
        QEventLoop bucle;
        QTimer::singleShot(segundos * 1000, Qt::PreciseTimer, &bucle, &QEventLoop::quit);
        bucle.exec();
    }
    const double cpu = (cpuSegundos() - c0) / (double(t.elapsed()) / 1000.0) * 100;
    const qint64 lecturasMedidas = lecturas - l0;
    const double pared = double(t.elapsed()) / 1000.0;
    cierraVentanas();
    Estacion::cerrar();

    // The floor: the diagnostic tool polling every indicator as often, one
    // process per line, for as long; CPU from the kernel's account of children.
    const QString diag = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("tolvex-diag"));
    const double h0 = cpuSegundos(RUSAGE_CHILDREN);
    QElapsedTimer td;
    td.start();
    std::vector<std::unique_ptr<QProcess>> diags;
    for (const auto& [puerto, id] : enlaces) {
        auto d = std::make_unique<QProcess>();
        d->setStandardOutputFile(QProcess::nullDevice());
        d->start(diag, {QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:%1").arg(puerto), QStringLiteral("--id"),
                        QString::number(id), QStringLiteral("watch"), QStringLiteral("--period"),
                        QString::number(periodo), QStringLiteral("--count"),
                        QString::number(qint64(segundos) * 1000 / periodo)});
        diags.push_back(std::move(d));
    }
    bool diagOk = true;
    for (auto& d : diags)
        diagOk = d->waitForFinished(segundos * 1000 + 60000) && d->exitCode() == 0 && diagOk;
    const double paredDiag = double(td.elapsed()) / 1000.0;
    const double piso = (cpuSegundos(RUSAGE_CHILDREN) - h0) / paredDiag * 100;
    for (auto& s : sims) {
        s->terminate();
        s->waitForFinished(3000);
    }
    out() << QStringLiteral("cpu %1% lines %2 per_line %3% polls %4 seconds %5 period_ms %6\n")
                 .arg(cpu, 0, 'f', 2)
                 .arg(lineas)
                 .arg(cpu / lineas, 0, 'f', 2)
                 .arg(lecturasMedidas)
                 .arg(pared, 0, 'f', 1)
                 .arg(periodo);
    if (diagOk)
        out() << QStringLiteral("floor (tolvex-diag watch x%1) cpu %2% ratio %3\n")
                     .arg(lineas)
                     .arg(piso, 0, 'f', 2)
                     .arg(piso > 0 ? cpu / piso : 0, 0, 'f', 2);
    else
        err() << "tolvex-lineas: " << diag << " no midió el piso\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-lineas"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Varias líneas de pesaje de un puesto registrando a la vez."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("lineas"), QStringLiteral("Cantidad de líneas (4; con --cpu, 8)."), QStringLiteral("N")},
        {QStringLiteral("minutes"), QStringLiteral("Duración (1)."), QStringLiteral("M"), QStringLiteral("1")},
        {QStringLiteral("speed"), QStringLiteral("Velocidad de los simuladores (20)."), QStringLiteral("F"), QStringLiteral("20")},
        {QStringLiteral("poll"), QStringLiteral("Período de encuesta en ms (100)."), QStringLiteral("MS"), QStringLiteral("100")},
        {QStringLiteral("postgres"), QStringLiteral("Base PostgreSQL en lugar de SQLite."), QStringLiteral("CONEXION")},
        {QStringLiteral("keep"), QStringLiteral("Deja el directorio del programa en DIR."), QStringLiteral("DIR")},
        {QStringLiteral("puesto"), QStringLiteral("NOMBRE va como primer dato auxiliar de cada línea."), QStringLiteral("NOMBRE")},
        {QStringLiteral("lotes"), QStringLiteral("Escribe \"lote LINEA TOTAL\" por cada lote encolado.")},
        {QStringLiteral("seed"), QStringLiteral("Semilla de los simuladores (7)."), QStringLiteral("N"), QStringLiteral("7")},
        {QStringLiteral("cpu"), QStringLiteral("Sólo mide la CPU del puesto con las líneas abiertas durante S segundos."), QStringLiteral("S")},
    });
    p.process(app);
    bool ok1 = false, ok2 = false, ok3 = false, ok4 = false;
    const double minutos = p.value(QStringLiteral("minutes")).toDouble(&ok1);
    const double velocidad = p.value(QStringLiteral("speed")).toDouble(&ok2);
    const int periodo = p.value(QStringLiteral("poll")).toInt(&ok3);
    const quint32 semilla = p.value(QStringLiteral("seed")).toUInt(&ok4);
    const bool midiendo = p.isSet(QStringLiteral("cpu"));
    bool okLineas = true;
    const int lineas = p.isSet(QStringLiteral("lineas")) ? p.value(QStringLiteral("lineas")).toInt(&okLineas)
                                                         : (midiendo ? 8 : 4);
    const QString puestoDado = p.value(QStringLiteral("puesto")).trimmed();
    // Every row says which run typed it.
    const QString puesto = puestoDado.isEmpty() ? QStringLiteral("Lineas") : puestoDado;
    if (!ok1 || !ok2 || !ok3 || !ok4 || !okLineas || minutos <= 0 || velocidad <= 0 || velocidad > 200 ||
        periodo < 10 || lineas < (midiendo ? 1 : 4) || lineas > Lineas::kMaximo ||
        (p.isSet(QStringLiteral("puesto")) && puestoDado.isEmpty())) {
        err() << "tolvex-lineas: valores no válidos\n\n" << p.helpText();
        return 2;
    }

    QTemporaryDir temporal;
    QString dir = temporal.path();
    if (p.isSet(QStringLiteral("keep"))) {
        dir = QDir(p.value(QStringLiteral("keep"))).absolutePath();
        if (!QDir().mkpath(dir)) {
            err() << "tolvex-lineas: no se pudo crear " << dir << "\n";
            return 2;
        }
    }
    QDir::setCurrent(dir);
    qputenv("TOLVEX_HOME", dir.toLocal8Bit());
    MessageBox::setScripted(true);
    Programa::OperadorActual = QStringLiteral("SOAK");
    Programa::NivelActual = QStringLiteral("Instalador");

    if (midiendo) {
        bool ok = false;
        const int s = p.value(QStringLiteral("cpu")).toInt(&ok);
        if (!ok || s <= 0)
            return 2;
        return mideCpu(s, lineas, periodo, dir);
    }

    // The indicators: lines 1 and 2 share a bus, every other line has its own.
    std::vector<std::unique_ptr<SimuladorEnHilo>> sims;
    std::vector<std::unique_ptr<IndicadorSimulado>> extra;
    QVector<LineaSoak> ls(lineas);
    QVector<std::pair<quint16, quint8>> enlaces;
    auto parametros = [&](int n) {
        IndicadorSimulado::Parametros par;
        par.semilla = semilla + quint32(n);
        return par;
    };
    for (int i = 0; i < lineas; ++i) {
        LineaSoak& l = ls[i];
        l.numero = i + 1;
        if (i == 1) {
            extra.push_back(std::make_unique<IndicadorSimulado>(parametros(l.numero)));
            l.ind = extra.back().get();
            l.sim = ls[0].sim;
            l.id = 2;
            QMetaObject::invokeMethod(
                &l.sim->servidor(), [&l] { l.sim->servidor().agrega(*l.ind, 2); }, Qt::BlockingQueuedConnection);
        } else {
            sims.push_back(std::make_unique<SimuladorEnHilo>(parametros(l.numero), 1));
            if (!sims.back()->ok()) {
                err() << "tolvex-lineas: el simulador no pudo escuchar\n";
                return 2;
            }
            l.sim = sims.back().get();
            l.ind = &l.sim->indicador();
        }
        l.ind->setReloj(false);
        l.falla = l.numero == 4;
        enlaces.append({l.sim->puerto(), l.id});
    }
    FallosSimulados fallos;
    fallos.descarte = 0.03;
    fallos.corrupcion = 0.02;
    fallos.tardia = 0.01;
    fallos.tardiaMs = 450;
    fallos.desconectaCada = 5;
    ls[3].sim->fallos(fallos);
    // Waits as short as a faulty soak needs to keep moving.
    EstacionPesaje::setAjusteEnlace([](ConfigEnlace& c) {
        c.esperaMs = 300;
        c.silencioMs = 60;
    });

    if (!prepara(dir, enlaces, p.value(QStringLiteral("postgres")), periodo, true))
        return 2;
    Banco::rellenaDatos(&app, puesto, true);

    const bool imprimeLotes = p.isSet(QStringLiteral("lotes"));
    Estacion::observa(&app, [&](EstacionPesaje* e) {
        LineaSoak* l = &ls[e->linea().numero - 1];
        QObject::connect(e, &EstacionPesaje::lecturaProcesada, e, [l](const LecturaPeso& r) {
            if (r.valida()) {
                l->ultima = r;
                ++l->lecturas;
            } else {
                ++l->fallidas;
            }
        });
        if (imprimeLotes)
            QObject::connect(e, &EstacionPesaje::loteRegistrado, e, [l](double total, double) {
                out() << "lote " << l->numero << ' ' << QString::number(total, 'f', 0) << '\n';
                out().flush();
            });
    });
    QWidget principal;
    abreLineas(&principal, lineas);
    if (!esperaHasta([&] { return std::all_of(ls.cbegin(), ls.cend(), [](const LineaSoak& l) { return l.lecturas > 0; }); },
                     60000)) {
        err() << "tolvex-lineas: alguna estación no leyó su indicador\n";
        return 1;
    }
    for (LineaSoak& l : ls) {
        l.lotes0 = l.vistos = l.ind->lotes();
        l.ind->comando('V');
    }

    QElapsedTimer reloj;
    reloj.start();
    const qint64 duracionMs = qint64(minutos * 60000);
    bool terminando = false;
    bool callado = false;
    qint64 ultimoPaso = 0;
    QTimer paso;
    paso.setInterval(5);
    QObject::connect(&paso, &QTimer::timeout, &app, [&] {
        const qint64 ahora = reloj.elapsed();
        const double dt = std::min(double(ahora - ultimoPaso) / 1000.0 * velocidad, 0.5);
        ultimoPaso = ahora;
        // The failing line also falls silent: 8 s of every 20.
        if (const bool mudo = !terminando && ahora % 20000 >= 12000; mudo != callado) {
            callado = mudo;
            FallosSimulados f = fallos;
            f.mudo = mudo;
            ls[3].sim->fallos(f);
        }
        for (LineaSoak& l : ls) {
            if (l.esperando) {
                if (l.lecturas > l.gate && (l.ultima.Modo == 0 || l.ultima.Modo == 1) &&
                    std::llround(l.ultima.UlTotal) == qint64(l.ind->valor32(Indicador::kUlTotal)))
                    l.esperando = false;
                else
                    continue;
            }
            if (terminando && !l.ind->enMarcha())
                continue;
            l.ind->avanza(std::round(dt * 100) / 100);
            // A batch done and back in stand-by or loading: held there
            // until the station has read it.
            const int estado = l.ind->estado();
            if (l.ind->lotes() > l.vistos && (estado == 0 || estado == 1)) {
                l.vistos = l.ind->lotes();
                l.esperando = true;
                l.gate = l.lecturas;
            }
        }
    });
    paso.start();
    esperaHasta([&] { return reloj.elapsed() >= duracionMs; }, int(duracionMs + 5000));
    // Stop at the end of every cycle in progress and let each station see it.
    terminando = true;
    for (LineaSoak& l : ls)
        l.ind->comando('V');
    const bool quietas = esperaHasta(
        [&] {
            return std::all_of(ls.cbegin(), ls.cend(), [](const LineaSoak& l) { return !l.ind->enMarcha() && !l.esperando; });
        },
        180000);
    paso.stop();
    ls[3].sim->fallos(fallos);
    for (LineaSoak& l : ls)
        l.fusionados = Estacion::motor(l.numero) ? Estacion::motor(l.numero)->lotesFusionados() : -1;
    cierraVentanas();
    const bool escrito = esperaHasta([] { return Estacion::pendientes() == 0; }, 120000);
    const QString identidad = Puesto::de(dir);
    Estacion::cerrar();

    QList<Revision::PuestoBase> revisar;
    for (const LineaSoak& l : ls)
        revisar.append({dir, identidad, true, l.numero});
    const Revision::Base b = Revision::revisaBase(revisar);
    qint64 lotes = 0, filas = 0, perdidos = 0, fusionados = 0;
    bool porLinea = true;
    for (const LineaSoak& l : ls) {
        const qint64 B = l.ind->lotes() - l.lotes0;
        qint64 R = 0;
        for (const Revision::Lote& x : b.lotesDe.value(Revision::clave(identidad, l.numero)))
            R += x.first == puesto ? 1 : 0;
        lotes += B;
        filas += R;
        perdidos += std::max<qint64>(0, B - R);
        fusionados += l.fusionados;
        porLinea = porLinea && B > 0 && B == R;
        err() << QStringLiteral("linea %1 batches %2 rows %3 merged %4 polls %5 failed %6%7\n")
                     .arg(l.numero)
                     .arg(B)
                     .arg(R)
                     .arg(l.fusionados)
                     .arg(l.lecturas)
                     .arg(l.fallidas)
                     .arg(l.falla ? QStringLiteral(" (con fallas)") : QString());
    }
    out() << QStringLiteral("lines %1 batches %2 rows %3 lost %4 duplicates %5\n")
                 .arg(lineas)
                 .arg(lotes)
                 .arg(filas)
                 .arg(perdidos)
                 .arg(b.duplicados);
    err() << QStringLiteral("tickets %1 ticket_setting %2 journal_only %3 journal_differs %4 missing_from_journal %5 "
                            "marks_wrong %6 last_ticket_wrong %7 stopped %8 flushed %9\n")
                 .arg(b.filas)
                 .arg(b.ticketGlobal)
                 .arg(b.soloDiario)
                 .arg(b.diarioDistinto)
                 .arg(b.fueraDelDiario)
                 .arg(b.marcasMal)
                 .arg(b.ultimosMal)
                 .arg(quietas ? QStringLiteral("yes") : QStringLiteral("no"))
                 .arg(escrito ? QStringLiteral("yes") : QStringLiteral("no"));
    for (const QString& d : b.detalle.mid(0, 20))
        err() << "  " << d << "\n";
    if (p.isSet(QStringLiteral("keep")))
        err() << "tolvex-lineas: directorio " << dir << "\n";
    err().flush();
    const bool bien = porLinea && fusionados == 0 && b.bien() && b.fueraDelDiario == 0 && quietas && escrito;
    return bien ? 0 : 1;
}
