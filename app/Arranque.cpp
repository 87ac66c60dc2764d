#include "Arranque.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <cstdio>
#include <sys/stat.h>

#include "Config.h"
#include "Diario.h"
#include "CanalLocal.h"
#include "Grabador.h"
#include "ServicioMqtt.h"
#include "Estacion.h"
#include "Dialogos.h"
#include "IniFile.h"
#include "MessageBox.h"
#include "Migracion.h"
#include "MonitorWeb.h"
#include "Programa.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmMain.h"
#include "frmPeso.h"
#include "frmPreparar.h"
#include "frmSplash.h"

namespace Arranque {

bool notaPermisos()
{
    const QString ini = IniFile::find(Programa::directorio(), Config::kArchivo);
    struct stat st {};
    if (ini.isEmpty() || ::stat(QFile::encodeName(ini).constData(), &st) != 0 || (st.st_mode & 0007) == 0)
        return false;
    const QString msg =
        QStringLiteral("%1 puede ser leído por cualquier usuario de este equipo (permisos %2) y guarda las "
                       "claves maestras y las conexiones. Deje el acceso sólo al dueño y al grupo: chmod o-rwx %1")
            .arg(ini)
            .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
    Diario::agrega(Diario::kLog, Diario::registroError(0, msg,
                                                       QStringLiteral("Rutina: Main (Arranque)"),
                                                       QDateTime::currentDateTime()));
    return true;
}

bool hayArchivoConfig()
{
    return !IniFile::find(Programa::directorio(), Config::kArchivo).isEmpty();
}

Resultado iniciar(frmMain& ventana)
{
    Programa::VentanaPrincipal = &ventana;
    Programa::leeVariables();

    if (!hayArchivoConfig()) {
        MessageBox::mostrar(nullptr, MessageBox::Critico, QStringLiteral("Error"),
                            QString::fromUtf8(kMensajeSinIni));
        return Resultado::SinConfig;
    }
    // A directory of the older program that was never moved: what to run
    // instead of a sign-in without a database.
    const QString anterior = Migracion::avisoAnterior(Programa::directorio());
    if (!anterior.isEmpty()) {
        MessageBox::mostrar(nullptr, MessageBox::Critico, QStringLiteral("Error"), anterior);
        return Resultado::SinConfig;
    }
    notaPermisos();
    // A directory of an earlier version gets its workstation's identity now.
    QString aviso;
    Puesto::de(Programa::directorio(), &aviso);
    if (!aviso.isEmpty())
        Diario::agrega(Diario::kLog, Diario::registroError(0, aviso,
                                                           QStringLiteral("Rutina: Main (Arranque)"),
                                                           QDateTime::currentDateTime()));

    const QString marca = IniFile::find(Programa::directorio(), QStringLiteral("Tolvex.inf"));
    if (!marca.isEmpty()) {
        frmLogin2 primeraVez;
        Dialogos::ejecutar(primeraVez);
        if (!primeraVez.Aceptado)
            return Resultado::PrimeraVezSalir;
        QFile::remove(marca);
    }

    {
        frmLogin1 login;
        Dialogos::ejecutar(login);
        if (!login.Aceptado)
            return Resultado::SinIngreso;
    }

    frmSplash splash;
    splash.show();
    splash.repaint();
    QCoreApplication::processEvents();
    ventana.carga();
    splash.close();
    ventana.show();
    return Resultado::Continuar;
}

std::unique_ptr<MonitorWeb> iniciaMonitor()
{
    const ConfigWeb config = ConfigWeb::lee();
    if (!config.activo)
        return nullptr;
    auto monitor = std::make_unique<MonitorWeb>();
    QString error;
    if (!monitor->inicia(config, &error)) {
        // The program goes on without the monitor; the installer reads why here.
        Diario::agrega(Diario::kLog, Diario::registroError(0, error, QStringLiteral("Rutina: iniciaMonitor (Arranque)"),
                                                           QDateTime::currentDateTime()));
        std::fprintf(stderr, "tolvex: %s\n", error.toLocal8Bit().constData());
        return nullptr;
    }
    // A station that outlives the monitor (closing at exit) finds it gone.
    const QPointer<MonitorWeb> m = monitor.get();
    Estacion::observa(monitor.get(), [m](EstacionPesaje* e) {
        if (m)
            m->sigue(e);
    });
    return monitor;
}

std::unique_ptr<PublicadorPlanta> iniciaPlanta()
{
    if (!PublicadorPlanta::compartida(Contexto::programa()))
        return nullptr;
    auto p = std::make_unique<PublicadorPlanta>(Contexto::programa(), Puesto::de(Programa::directorio()));
    p->setLineas(Lineas::lista());
    Estacion::observa(p.get(), [q = p.get()](EstacionPesaje* e) { q->sigue(e); });
    return p;
}

std::unique_ptr<CanalLocal> iniciaCanal()
{
    // Only the process that records the lines serves them.
    if (!Estacion::grabador())
        return nullptr;
    auto canal = std::make_unique<CanalLocal>(
        Contexto::programa(), QStringLiteral("tolvex, escritorio de %1").arg(Programa::OperadorActual), false);
    QString error;
    if (!canal->escucha(Programa::directorio(), &error)) {
        // The lines record all the same; a second desktop cannot see them.
        Diario::agrega(Diario::kLog, Diario::registroError(0, error, QStringLiteral("Rutina: iniciaCanal (Arranque)"),
                                                           QDateTime::currentDateTime()));
        return nullptr;
    }
    Estacion::observa(canal.get(), [c = canal.get()](EstacionPesaje* e) { c->sirve(e); });
    return canal;
}

bool preparaDirectorio(const QString& directorio)
{
    if (IniFile::find(directorio, Config::kArchivo).isEmpty()) {
        frmPreparar d(directorio);
        Dialogos::ejecutar(d);
        if (d.result() != QDialog::Accepted) {
            MessageBox::mostrar(nullptr, MessageBox::Informacion, QStringLiteral("Tolvex"),
                                frmPreparar::mensajeSinDirectorio(directorio));
            return false;
        }
    }
    qputenv("TOLVEX_HOME", QFile::encodeName(QDir(directorio).absolutePath()));
    return QDir::setCurrent(directorio);
}

int ejecutar()
{
    const QStringList args = QCoreApplication::arguments();
    const qsizetype i = args.indexOf(QStringLiteral("--preparar"));
    if (i > 0 && i + 1 < args.size() && !preparaDirectorio(args.at(i + 1)))
        return 1;

    // The platform's own texts (Sí/No, Aceptar/Cancelar) in Spanish.
    MessageBox::cargaTraduccionQt();

    // The plant's broker hears the lines of the recorder this process runs.
    std::unique_ptr<ServicioMqtt> mqtt;
    Estacion::alPrepararGrabador([&mqtt](Grabador& g) { mqtt = ServicioMqtt::crea(g.directorio(), g); });
    Estacion::observa(&mqtt, [&mqtt](EstacionPesaje* e) {
        if (mqtt)
            mqtt->sigue(e);
    });
    frmMain ventana;
    const Resultado r = iniciar(ventana);
    int rc = 0;
    if (r == Resultado::Continuar) {
        // The plant sees this workstation's lines whether or not it has a monitor.
        const std::unique_ptr<PublicadorPlanta> planta = iniciaPlanta();
        const std::unique_ptr<MonitorWeb> monitor = iniciaMonitor();
        const std::unique_ptr<CanalLocal> canal = iniciaCanal();
        rc = QApplication::exec();
        // The recorder stops while what follows it is still there.
        Estacion::cerrar();
        Estacion::observa(canal.get(), {});
        Estacion::observa(monitor.get(), {});
        Estacion::observa(planta.get(), {});
    }
    else if (r == Resultado::SinConfig)
        rc = 1;
    Estacion::observa(&mqtt, {});
    Estacion::alPrepararGrabador({});
    Programa::VentanaPrincipal = nullptr;
    return rc;
}

} // namespace Arranque
