// tolvex-sim: simulated weighing indicators (one, or several ids on one bus)
// answering Modbus RTU on TCP or on a pseudo-terminal. The first line of output says where: "port N" or the
// device path. "lotes" on standard input, or SIGTERM, prints the batch count
// and the kilos accumulated; "detiene" stops every indicator's cycle.
#include "IdEsclavo.h"
#include "Indicador.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <memory>
#include <optional>
#include <vector>
#include <unistd.h>

namespace {

int g_senal[2] = {-1, -1};

void alTerminar(int)
{
    const char c = 't';
    [[maybe_unused]] auto n = ::write(g_senal[1], &c, 1);
}

const char* const kUso =
    "uso: tolvex-sim (--tcp PUERTO | --pty) [opciones]\n"
    "  Indicador de pesaje simulado: esclavo Modbus RTU en 127.0.0.1:PUERTO (0: uno libre)\n"
    "  o en un pseudo-terminal nuevo. La primera línea de la salida dice dónde: \"port N\" o\n"
    "  la ruta del dispositivo. \"lotes\" por la entrada, o SIGTERM, escribe los lotes hechos\n"
    "  y los kg acumulados; \"detiene\" detiene el ciclo de cada indicador.\n"
    "  --id N                id de esclavo, de 1 a 247 (1); responde también al id 0\n"
    "  --ids LISTA           varios indicadores en el mismo bus, p. ej. 1,2,5 o 1-4: cada uno\n"
    "                        con su proceso y su semilla (--seed y el id); nadie responde a\n"
    "                        un id que no esté en la lista, ni al id 0\n"
    "  --silent-ids LISTA    esos ids no responden nunca\n"
    "  --faulty-ids LISTA    --drop, --corrupt, --late, --exception y --reply-id afectan\n"
    "                        sólo a esos ids\n"
    "  --baud B              responde al ritmo de una línea serie a B baudios (8N1): toma\n"
    "                        cada petición tras su tiempo en la línea y el silencio de 3,5\n"
    "                        caracteres, y envía la respuesta byte a byte a ese ritmo\n"
    "  --turnaround MS       con --baud, lo que tarda el indicador en responder (2)\n"
    "  --speed F             factor de velocidad del reloj del proceso (1)\n"
    "  --decimals D          decimales de los valores, de 0 a 6 (0)\n"
    "  --drop P              probabilidad de no responder\n"
    "  --corrupt P           probabilidad de responder con el CRC mal\n"
    "  --late P              probabilidad de responder tarde\n"
    "  --late-ms MS          demora de una respuesta tardía (2300)\n"
    "  --disconnect-every S  cierra las conexiones TCP cada S segundos\n"
    "  --split               envía cada respuesta TCP en dos segmentos\n"
    "  --silent              no responde nunca\n"
    "  --exception N         rechaza cada pedido con la excepción N (2: dirección no válida)\n"
    "  --reply-id N          responde cada pedido como si fuera el id N\n"
    "  --seed N              semilla del proceso (1)\n"
    "  --verbose             escribe cada trama en la salida de errores\n"
    "  --marcha              arranca cada indicador en marcha continua (tandas de 500, sin\n"
    "                        despacho), como si el operario hubiera dado Arranque\n"
    "  --help                esta ayuda\n"
    "Termina con 0 al detenerse, 1 si no pudo escuchar o abrir el pseudo-terminal, 2 si los\n"
    "argumentos no son válidos.\n";

int uso(const QString& mensaje)
{
    QTextStream err(stderr);
    err << "tolvex-sim: " << mensaje << "\n\n" << kUso;
    return 2;
}

// A finite number in [minimo, maximo]; above minimo only when abierto.
std::optional<double> numero(const QString& texto, double minimo, double maximo,
                             bool abierto = false)
{
    bool ok = false;
    const double v = texto.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < minimo || v > maximo || (abierto && v == minimo))
        return std::nullopt;
    return v;
}

std::optional<qint64> entero(const QString& texto, qint64 minimo, qint64 maximo)
{
    bool ok = false;
    const qint64 v = texto.toLongLong(&ok);
    if (!ok || v < minimo || v > maximo)
        return std::nullopt;
    return v;
}

// "1,2,5" or "1-4" or both mixed: slave ids, each once, in order.
std::optional<QList<int>> listaDeIds(const QString& texto)
{
    QList<int> ids;
    for (const QString& parte : texto.split(u',')) {
        const QStringList ab = parte.split(u'-');
        const auto a = ab.size() <= 2 ? entero(ab[0].trimmed(), IdEsclavo::kMinimo, IdEsclavo::kMaximo)
                                      : std::nullopt;
        const auto b = ab.size() == 2 ? entero(ab[1].trimmed(), IdEsclavo::kMinimo, IdEsclavo::kMaximo) : a;
        if (!a || !b || *a > *b)
            return std::nullopt;
        for (qint64 id = *a; id <= *b; ++id)
            if (!ids.contains(int(id)))
                ids.append(int(id));
    }
    return ids;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    std::optional<quint16> puertoTcp;
    bool pty = false, verboso = false, marcha = false;
    int id = 1, decimales = 0;
    QList<int> ids, mudos, conFallos;
    int baudios = 0;
    double giroMs = 2;
    double velocidad = 1;
    uint semilla = 1;
    FallosSimulados f;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        // The value of an option that takes one: the next argument.
        const QString v = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == u"--help" || a == u"-h") {
            QTextStream(stdout) << kUso;
            return 0;
        } else if (a == u"--pty") {
            pty = true;
        } else if (a == u"--split") {
            f.partida = true;
        } else if (a == u"--silent") {
            f.mudo = true;
        } else if (a == u"--verbose") {
            verboso = true;
        } else if (a == u"--marcha") {
            marcha = true;
        } else if (a == u"--tcp") {
            const auto n = entero(v, 0, 65535);
            if (!n)
                return uso(QStringLiteral("--tcp espera un puerto de 0 a 65535"));
            ++i;
            puertoTcp = quint16(*n);
        } else if (a == u"--id") {
            const auto n = entero(v, IdEsclavo::kMinimo, IdEsclavo::kMaximo);
            if (!n)
                return uso(QStringLiteral("--id espera un número de 1 a 247"));
            ++i;
            id = int(*n);
        } else if (a == u"--ids" || a == u"--silent-ids" || a == u"--faulty-ids") {
            const auto l = listaDeIds(v);
            if (!l)
                return uso(a + QStringLiteral(" espera ids de 1 a 247 como 1,2,5 o 1-4"));
            ++i;
            (a == u"--ids" ? ids : a == u"--silent-ids" ? mudos : conFallos) = *l;
        } else if (a == u"--baud") {
            const auto n = entero(v, 50, 4000000);
            if (!n)
                return uso(QStringLiteral("--baud espera una velocidad de 50 a 4000000"));
            ++i;
            baudios = int(*n);
        } else if (a == u"--turnaround") {
            const auto x = numero(v, 0, 10000);
            if (!x)
                return uso(QStringLiteral("--turnaround espera milisegundos"));
            ++i;
            giroMs = *x;
        } else if (a == u"--speed") {
            const auto x = numero(v, 0, 100000, true);
            if (!x)
                return uso(QStringLiteral("--speed espera un factor mayor que 0 y hasta 100000"));
            ++i;
            velocidad = *x;
        } else if (a == u"--decimals") {
            const auto n = entero(v, 0, 6);
            if (!n)
                return uso(QStringLiteral("--decimals espera un número de 0 a 6"));
            ++i;
            decimales = int(*n);
        } else if (a == u"--drop" || a == u"--corrupt" || a == u"--late") {
            const auto x = numero(v, 0, 1);
            if (!x)
                return uso(a + QStringLiteral(" espera una probabilidad entre 0 y 1"));
            ++i;
            (a == u"--drop" ? f.descarte : a == u"--corrupt" ? f.corrupcion : f.tardia) = *x;
        } else if (a == u"--late-ms") {
            const auto n = entero(v, 0, 3600000);
            if (!n)
                return uso(QStringLiteral("--late-ms espera milisegundos"));
            ++i;
            f.tardiaMs = int(*n);
        } else if (a == u"--disconnect-every") {
            const auto x = numero(v, 0, 86400, true);
            if (!x)
                return uso(QStringLiteral("--disconnect-every espera segundos"));
            ++i;
            f.desconectaCada = *x;
        } else if (a == u"--exception" || a == u"--reply-id") {
            const bool excepcion = a == u"--exception";
            const auto n = entero(v, 1, excepcion ? 255 : 247);
            if (!n)
                return uso(excepcion ? QStringLiteral("--exception espera un código de 1 a 255")
                                     : QStringLiteral("--reply-id espera un id de 1 a 247"));
            ++i;
            if (excepcion)
                f.excepcion = int(*n);
            else
                f.otroId = quint8(*n);
        } else if (a == u"--seed") {
            const auto n = entero(v, 0, 4294967295LL);
            if (!n)
                return uso(QStringLiteral("--seed espera un número"));
            ++i;
            semilla = uint(*n);
        } else if (a.startsWith(u'-')) {
            return uso(QStringLiteral("opción desconocida: ") + a);
        } else {
            return uso(QStringLiteral("sobra un argumento: ") + a);
        }
    }
    if (puertoTcp.has_value() == pty)
        return uso(QStringLiteral("indique --tcp PUERTO o --pty"));
    if (ids.isEmpty())
        ids.append(id);
    for (const QList<int>* l : {&mudos, &conFallos})
        for (int n : *l)
            if (!ids.contains(n))
                return uso(QStringLiteral("el id %1 no está entre los simulados").arg(n));
    QTextStream err(stderr);
    QString error;

    // One indicator keeps the seed as given; several each derive theirs.
    std::vector<std::unique_ptr<IndicadorSimulado>> indicadores;
    for (int n : std::as_const(ids)) {
        IndicadorSimulado::Parametros par;
        par.decimales = decimales;
        par.velocidad = velocidad;
        par.semilla = ids.size() == 1 ? semilla : semilla * 7919u + uint(n);
        indicadores.push_back(std::make_unique<IndicadorSimulado>(par));
    }
    ServidorRtu servidor(*indicadores[0], quint8(ids[0]));
    for (qsizetype k = 1; k < ids.size(); ++k)
        servidor.agrega(*indicadores[size_t(k)], quint8(ids[k]));
    servidor.setVerboso(verboso);
    servidor.setBaudios(baudios, giroMs);
    if (marcha)
        for (const auto& ind : indicadores) {
            ind->programa(0, 450, 500);
            ind->comando('V');
        }
    // The batches made and the kilos they added to the accumulators, all
    // indicators together and then each one: what an independent count of
    // the rows must find.
    const auto lotes = [&] {
        qint64 total = 0;
        double kg = 0;
        QString cada;
        for (qsizetype k = 0; k < qsizetype(indicadores.size()); ++k) {
            IndicadorSimulado& ind = *indicadores[size_t(k)];
            const qint64 n = ind.lotes();
            const double acumulado = ind.valor32(Indicador::kUlTotal) / std::pow(10.0, decimales);
            total += n;
            kg += acumulado;
            cada += QStringLiteral(" id%1 %2 %3").arg(ids[k]).arg(n).arg(acumulado, 0, 'f', decimales);
        }
        return QStringLiteral("%1 kg %2%3").arg(total).arg(kg, 0, 'f', decimales).arg(cada);
    };
    QTextStream out(stdout);
    if (puertoTcp) {
        if (!servidor.escuchaTcp(*puertoTcp, &error)) {
            err << "tolvex-sim: " << error << '\n';
            return 1;
        }
        out << "port " << servidor.puerto() << Qt::endl;
    } else {
        if (!servidor.abrePty(&error)) {
            err << "tolvex-sim: " << error << '\n';
            return 1;
        }
        out << servidor.dispositivo() << Qt::endl;
    }
    if (conFallos.isEmpty()) {
        servidor.setFallos(f);
    } else {
        // The faults of the listed ids; the rest answer well (the bus's TCP
        // faults stay bus-wide).
        FallosSimulados bus;
        bus.desconectaCada = f.desconectaCada;
        bus.partida = f.partida;
        bus.partidaMs = f.partidaMs;
        bus.mudo = f.mudo;
        servidor.setFallos(bus);
        for (int n : std::as_const(conFallos))
            servidor.setFallosDe(quint8(n), f);
    }
    for (int n : std::as_const(mudos)) {
        FallosSimulados m = conFallos.contains(n) ? f : FallosSimulados{};
        m.mudo = true;
        servidor.setFallosDe(quint8(n), m);
    }

    // Keeps the process model moving even when nobody asks.
    QTimer reloj;
    QObject::connect(&reloj, &QTimer::timeout, [&] {
        for (const auto& ind : indicadores)
            ind->sincroniza();
    });
    reloj.start(200);

    if (::pipe(g_senal) == 0) {
        std::signal(SIGTERM, alTerminar);
        std::signal(SIGINT, alTerminar);
        auto* n = new QSocketNotifier(g_senal[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, [&] {
            out << "lotes " << lotes() << Qt::endl;
            app.quit();
        });
    }
    auto* entrada = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QObject::connect(entrada, &QSocketNotifier::activated, [&, entrada] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            entrada->setEnabled(false); // end of input: keep serving
            return;
        }
        if (QByteArray(buf, n).contains("detiene"))
            for (const auto& ind : indicadores)
                ind->comando('X');
        if (QByteArray(buf, n).contains("lotes"))
            out << "lotes " << lotes() << Qt::endl;
    });
    return app.exec();
}
