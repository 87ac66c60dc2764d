// tolvex-sim: a simulated weighing indicator answering Modbus RTU on TCP or
// on a pseudo-terminal. The first line of output says where: "port N" or the
// device path. "lotes" on standard input, or SIGTERM, prints the batch count.
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <unistd.h>

namespace {

int g_senal[2] = {-1, -1};

void alTerminar(int)
{
    const char c = 't';
    [[maybe_unused]] auto n = ::write(g_senal[1], &c, 1);
}

bool probabilidad(const QCommandLineParser& p, const QString& nombre, double& destino, QString& error)
{
    if (!p.isSet(nombre))
        return true;
    bool ok = false;
    const double v = p.value(nombre).toDouble(&ok);
    if (!ok || v < 0 || v > 1) {
        error = QStringLiteral("--%1 espera una probabilidad entre 0 y 1").arg(nombre);
        return false;
    }
    destino = v;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-sim"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Indicador de pesaje simulado (esclavo Modbus RTU)."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("tcp"), QStringLiteral("Escucha en 127.0.0.1:PORT (0: uno libre)."), QStringLiteral("PORT")},
        {QStringLiteral("pty"), QStringLiteral("Atiende en un pseudo-terminal nuevo.")},
        {QStringLiteral("id"), QStringLiteral("Id de esclavo (1)."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("speed"), QStringLiteral("Factor de velocidad del reloj (1)."), QStringLiteral("F"), QStringLiteral("1")},
        {QStringLiteral("decimals"), QStringLiteral("Decimales de los valores (0)."), QStringLiteral("D"), QStringLiteral("0")},
        {QStringLiteral("drop"), QStringLiteral("Probabilidad de no responder."), QStringLiteral("P")},
        {QStringLiteral("corrupt"), QStringLiteral("Probabilidad de CRC incorrecto."), QStringLiteral("P")},
        {QStringLiteral("late"), QStringLiteral("Probabilidad de responder tarde."), QStringLiteral("P")},
        {QStringLiteral("late-ms"), QStringLiteral("Demora de una respuesta tardía (2300)."), QStringLiteral("MS"), QStringLiteral("2300")},
        {QStringLiteral("disconnect-every"), QStringLiteral("Cierra las conexiones cada S segundos."), QStringLiteral("S")},
        {QStringLiteral("split"), QStringLiteral("Envía cada respuesta en dos segmentos.")},
        {QStringLiteral("silent"), QStringLiteral("No responde nunca.")},
        {QStringLiteral("seed"), QStringLiteral("Semilla del proceso (1)."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("verbose"), QStringLiteral("Registra cada trama en stderr.")},
    });
    if (!p.parse(app.arguments())) {
        QTextStream(stderr) << p.errorText() << "\n\n" << p.helpText();
        return 2;
    }
    if (p.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << p.helpText();
        return 0;
    }
    QTextStream err(stderr);
    auto uso = [&](const QString& msg) {
        err << "tolvex-sim: " << msg << "\n\n" << p.helpText();
        return 2;
    };
    if (p.isSet(QStringLiteral("tcp")) == p.isSet(QStringLiteral("pty")))
        return uso(QStringLiteral("indique --tcp PORT o --pty"));
    bool ok1 = false, ok2 = false, ok3 = false, ok4 = false, ok5 = false;
    const int id = p.value(QStringLiteral("id")).toInt(&ok1);
    const double velocidad = p.value(QStringLiteral("speed")).toDouble(&ok2);
    const int decimales = p.value(QStringLiteral("decimals")).toInt(&ok3);
    const int tardiaMs = p.value(QStringLiteral("late-ms")).toInt(&ok4);
    const uint semilla = p.value(QStringLiteral("seed")).toUInt(&ok5);
    if (!ok1 || id < 1 || id > 247)
        return uso(QStringLiteral("--id espera un número de 1 a 247"));
    if (!ok2 || !std::isfinite(velocidad) || velocidad <= 0 || velocidad > 100000)
        return uso(QStringLiteral("--speed espera un factor mayor que 0 y hasta 100000"));
    if (!ok3 || decimales < 0 || decimales > 6)
        return uso(QStringLiteral("--decimals espera un número de 0 a 6"));
    if (!ok4 || tardiaMs < 0)
        return uso(QStringLiteral("--late-ms espera milisegundos"));
    if (!ok5)
        return uso(QStringLiteral("--seed espera un número"));
    FallosSimulados f;
    QString error;
    if (!probabilidad(p, QStringLiteral("drop"), f.descarte, error) ||
        !probabilidad(p, QStringLiteral("corrupt"), f.corrupcion, error) ||
        !probabilidad(p, QStringLiteral("late"), f.tardia, error))
        return uso(error);
    f.tardiaMs = tardiaMs;
    f.mudo = p.isSet(QStringLiteral("silent"));
    f.partida = p.isSet(QStringLiteral("split"));
    if (p.isSet(QStringLiteral("disconnect-every"))) {
        bool ok = false;
        f.desconectaCada = p.value(QStringLiteral("disconnect-every")).toDouble(&ok);
        if (!ok || f.desconectaCada <= 0)
            return uso(QStringLiteral("--disconnect-every espera segundos"));
    }

    IndicadorSimulado::Parametros par;
    par.decimales = decimales;
    par.velocidad = velocidad;
    par.semilla = semilla;
    IndicadorSimulado indicador(par);
    ServidorRtu servidor(indicador, quint8(id));
    servidor.setVerboso(p.isSet(QStringLiteral("verbose")));
    QTextStream out(stdout);
    if (p.isSet(QStringLiteral("tcp"))) {
        bool ok = false;
        const uint puerto = p.value(QStringLiteral("tcp")).toUInt(&ok);
        if (!ok || puerto > 65535)
            return uso(QStringLiteral("--tcp espera un puerto de 0 a 65535"));
        if (!servidor.escuchaTcp(quint16(puerto), &error)) {
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
    servidor.setFallos(f);

    // Keeps the process model moving even when nobody asks.
    QTimer reloj;
    QObject::connect(&reloj, &QTimer::timeout, [&] { indicador.sincroniza(); });
    reloj.start(200);

    if (::pipe(g_senal) == 0) {
        std::signal(SIGTERM, alTerminar);
        std::signal(SIGINT, alTerminar);
        auto* n = new QSocketNotifier(g_senal[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, [&] {
            out << "lotes " << indicador.lotes() << Qt::endl;
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
        if (QByteArray(buf, n).contains("lotes"))
            out << "lotes " << indicador.lotes() << Qt::endl;
    });
    return app.exec();
}
