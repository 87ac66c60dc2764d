// tolvex-registro DIR: the recorder of a program directory without a
// window, as a service runs it: every line of DIR polled and recorded, the
// web monitor and the plant's publisher as the settings say, and the local
// channel through which the desktop programs of DIR show and command the
// lines. Rows weighed before an operator opens a line's station through the
// channel carry "(sin operador)". SIGTERM and SIGINT stop it cleanly: the
// lines' journal records are closed, their links closed, rows not yet
// written stay in their queue files for the next start.
//
// Exit status: 0 stopped by a signal; 1 the lines could not start; 2 bad
// arguments or no settings file in DIR; 3 another process holds DIR's bus
// (it is named on stderr).
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "CanalLocal.h"
#include "ServicioMqtt.h"
#include "CerrojoBus.h"
#include "Config.h"
#include "ConfigWeb.h"
#include "Contexto.h"
#include "Diario.h"
#include "EstacionPesaje.h"
#include "Grabador.h"
#include "IniFile.h"
#include "Lineas.h"
#include "MonitorWeb.h"
#include "Programa.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"

namespace {

const QString kQuien = QStringLiteral("tolvex-registro");
int g_senal[2] = {-1, -1};

void alSenal(int)
{
    const char c = 1;
    // Nothing else is safe in a handler; the loop reads the byte.
    [[maybe_unused]] const auto n = ::write(g_senal[1], &c, 1);
}

void dice(const QString& texto)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(kQuien), texto.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Said on stderr (the service's journal) and in the error log.
void anota(const QString& texto)
{
    dice(texto);
    Diario::agrega(Diario::kLog, Diario::registroError(0, texto, QStringLiteral("Rutina: ") + kQuien,
                                                       QDateTime::currentDateTime()));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(kQuien);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2 || args.at(1).startsWith(u'-')) {
        std::fprintf(stderr, "uso: tolvex-registro DIR\n");
        return 2;
    }
    const QString dir = QDir(args.at(1)).absolutePath();
    if (!QDir(dir).exists() || IniFile::find(dir, Config::kArchivo).isEmpty()) {
        dice(QStringLiteral("%1 no es un directorio de programa (falta %2)").arg(dir, Config::kArchivo));
        return 2;
    }
    qputenv("TOLVEX_HOME", QFile::encodeName(dir));
    if (!QDir::setCurrent(dir)) {
        dice(QStringLiteral("no se puede entrar en %1").arg(dir));
        return 2;
    }
    Programa::leeVariables();
    Contexto& contexto = Contexto::programa();

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_senal) != 0) {
        dice(QStringLiteral("no se pudo preparar la espera de señales"));
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = alSenal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    QSocketNotifier senal(g_senal[0], QSocketNotifier::Read);
    QObject::connect(&senal, &QSocketNotifier::activated, &app, [&] {
        char c;
        [[maybe_unused]] const auto n = ::read(g_senal[0], &c, 1);
        QCoreApplication::quit();
    });

    Grabador grabador(contexto);
    grabador.setNombreProceso(kQuien);
    // Nobody signed in here: the rows carry the last opener, else kSinOperador.
    grabador.setOperadorPorDefecto(QString());
    CanalLocal canal(contexto, kQuien, true);
    // The plant's broker, when [MQTT] names one: made before the lines start.
    const std::unique_ptr<ServicioMqtt> mqtt = ServicioMqtt::crea(dir, grabador);

    // The web monitor and the plant's publisher follow every line, as in
    // the desktop program.
    std::unique_ptr<MonitorWeb> monitor;
    const ConfigWeb web = ConfigWeb::lee();
    if (web.activo) {
        monitor = std::make_unique<MonitorWeb>(contexto);
        QString error;
        if (!monitor->inicia(web, &error)) {
            anota(error);
            monitor.reset();
        }
    }
    std::unique_ptr<PublicadorPlanta> planta;
    if (PublicadorPlanta::compartida(contexto)) {
        planta = std::make_unique<PublicadorPlanta>(contexto, Puesto::de(dir));
        planta->setLineas(Lineas::lista());
    }
    QObject::connect(&grabador, &Grabador::lineaIniciada, &app, [&](EstacionPesaje* e) {
        canal.sirve(e);
        if (monitor)
            monitor->sigue(e);
        if (planta)
            planta->sigue(e);
        if (mqtt)
            mqtt->sigue(e);
    });

    QString error;
    if (!grabador.inicia(&error)) {
        const bool otro = !CerrojoBus::titular(dir).isEmpty();
        dice(error);
        return otro ? 3 : 1;
    }
    if (!canal.escucha(dir, &error))
        anota(error); // the lines record all the same; no desktop sees them
    else
        dice(QStringLiteral("%1: %2 líneas; canal %3").arg(dir).arg(grabador.lineas().size()).arg(canal.ruta()));

    const int rc = QCoreApplication::exec();
    if (const int p = grabador.pendientes(); p > 0)
        dice(QStringLiteral("deteniendo: %1 registros en cola quedan para el próximo inicio").arg(p));
    else
        dice(QStringLiteral("deteniendo"));
    grabador.detiene();
    return rc;
}
