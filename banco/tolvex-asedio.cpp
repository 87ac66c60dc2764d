// tolvex-asedio: the web monitor attacked while the station records.
//
//   tolvex-asedio PATH/TO/tolvex-soak [--minutes M] [--nofile N] [--filas F] [--keep DIR]
//
// Prepares a program directory whose reports table already holds F rows
// (so that a listing is heavy), starts tolvex-soak --web on it with the
// descriptors limited to N (RLIMIT_NOFILE), and while the simulated station
// records for M minutes attacks its monitor from loopback addresses:
//  - a flood of 1,100 idle connections from 50 addresses, opened again as
//    the monitor closes them;
//  - requests with an Upgrade header that is no WebSocket, followed on the
//    same connection by a 100 KB header or a 400 MiB body;
//  - requests that arrive a byte a second and never end;
//  - WebSocket handshakes without a session, on the live page and elsewhere;
//  - rounds of four PDF listings and two workbooks at once, with a session;
// while a signed-in user asks /api/estado every second and a live page
// notes the time of every reading it is sent. At the end it reads the
// database and the journal itself and checks that every batch the
// simulator completed is one row and one journal entry; it prints what
// each attack met, the readings' spacing on the live page and the station's
// memory. Exit 0 when the records are whole, no attack got through and the
// user was answered (figures, not a time limit, say how well).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

#include "Asedio.h"
#include "CDatos.h"
#include "ClienteWeb.h"
#include "Config.h"
#include "Instalacion.h"
#include "Programa.h"

namespace {

constexpr qint64 kTicketInicial = 1'000'000; // the soak's own rows come after the old ones

using Asedio::Charla;
using Asedio::direccion;

struct Cifras : Asedio::Cifras
{
    // the user
    qint64 usuario200 = 0, usuario503 = 0, usuarioOtras = 0, usuarioSinRespuesta = 0;
    QVector<double> usuarioMs;
    // the live page
    qint64 mensajes = 0;
    QVector<double> intervalos;
};

// Rows and journal entries, read without the program's help.
bool leeRegistro(const QString& dir, qint64* filas, qint64* entradas, QString* error)
{
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("asedio"));
        db.setDatabaseName(QDir(dir).filePath(QStringLiteral("data.db")));
        QSqlQuery q(db);
        if (!db.open() ||
            !q.exec(QStringLiteral("SELECT COUNT(*) FROM Reporte WHERE TICKET >= %1")
                        .arg(kTicketInicial)) ||
            !q.next()) {
            *error = QStringLiteral("no se pudo leer data.db");
            return false;
        }
        *filas = q.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("asedio"));
    QFile f(QDir(dir).filePath(QStringLiteral("Transac.dat")));
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no se pudo leer Transac.dat");
        return false;
    }
    // Each opening: "[" and 11 fields, then 4 fields per batch, "*"-separated.
    *entradas = 0;
    for (const QByteArray& apertura : f.readAll().split('[')) {
        const QByteArray a = apertura.trimmed();
        if (!a.isEmpty())
            *entradas +=
                std::max<qsizetype>(0, (QByteArray(a).replace(']', "").split('*').size() - 11) / 4);
    }
    return true;
}

bool preparaPlanta(const QString& dir, int filas, QString* error)
{
    QDir::setCurrent(dir);
    qputenv("TOLVEX_HOME", dir.toLocal8Bit());
    Instalacion ins;
    ins.directorio = dir;
    if (!ins.ejecutar()) {
        *error = ins.error;
        return false;
    }
    Programa::leeVariables();
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte) || !db.IniciaTransaccion()) {
        *error = db.ultimoError();
        return false;
    }
    const QString sql =
        QStringLiteral("INSERT INTO ") + Programa::DataTbReporte +
        QStringLiteral(
            " (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, PESO, BACH, PRESET, "
            "FECHA, HORA, INFO, OPERADOR, OPCION1) VALUES (?, ?, 'Camion', '', '', '', '', ?, "
            "250, 250, 0, ?, ?, '', 'asedio', 0)");
    const QDateTime desde = QDateTime::currentDateTime().addDays(-30);
    for (int i = 1; i <= filas; ++i) {
        const QDateTime t = desde.addSecs(i * 20);
        if (!db.Ejecuta(sql, {i, QStringLiteral("Cliente %1").arg(i % 17), 250.0 * i, t.date(),
                              t.time()})) {
            *error = db.ultimoError();
            return false;
        }
    }
    if (!db.Confirma() ||
        !Config::GuardaConfig(QString(), QStringLiteral("Ticket"), QString::number(kTicketInicial),
                              false, true, error))
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("El monitor web atacado mientras la estación registra."));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("soak"), QStringLiteral("Ruta de tolvex-soak."));
    p.addOptions({
        {QStringLiteral("minutes"), QStringLiteral("Duración de la prueba (1)."),
         QStringLiteral("M"), QStringLiteral("1")},
        {QStringLiteral("nofile"), QStringLiteral("Descriptores de la estación (256)."),
         QStringLiteral("N"), QStringLiteral("256")},
        {QStringLiteral("filas"), QStringLiteral("Filas previas de la tabla (100000)."),
         QStringLiteral("F"), QStringLiteral("100000")},
        {QStringLiteral("keep"), QStringLiteral("Deja el directorio del programa en DIR."),
         QStringLiteral("DIR")},
    });
    p.process(app);
    const auto falla = [](const QString& texto) {
        std::fprintf(stderr, "tolvex-asedio: %s\n", qPrintable(texto));
        return 2;
    };
    if (p.positionalArguments().size() != 1)
        return falla(QStringLiteral("falta la ruta de tolvex-soak"));
    const QString soak = QFileInfo(p.positionalArguments().first()).absoluteFilePath();
    const double minutos = p.value(QStringLiteral("minutes")).toDouble();
    const rlim_t descriptores = p.value(QStringLiteral("nofile")).toULong();
    const int filasPrevias = p.value(QStringLiteral("filas")).toInt();
    QTemporaryDir temporal;
    const QString dir = p.isSet(QStringLiteral("keep"))
                            ? QDir(p.value(QStringLiteral("keep"))).absolutePath()
                            : temporal.path();
    QString error;
    if (!QDir().mkpath(dir) || !preparaPlanta(dir, filasPrevias, &error))
        return falla(QStringLiteral("no se pudo preparar %1: %2").arg(dir, error));
    // This side needs a descriptor per connection it opens.
    rlimit propio{};
    getrlimit(RLIMIT_NOFILE, &propio);
    propio.rlim_cur = propio.rlim_max;
    setrlimit(RLIMIT_NOFILE, &propio);

    QProcess estacion;
    estacion.setProcessEnvironment([] {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return e;
    }());
    estacion.setChildProcessModifier([descriptores] {
        const rlimit r{descriptores, descriptores};
        setrlimit(RLIMIT_NOFILE, &r);
    });
    estacion.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    estacion.start(soak, {QStringLiteral("--minutes"), QString::number(minutos),
                          QStringLiteral("--speed"), QStringLiteral("20"), QStringLiteral("--web"),
                          QStringLiteral("0"), QStringLiteral("--web-clave"),
                          QStringLiteral("asedio-clave"), QStringLiteral("--keep"), dir});
    if (!estacion.waitForStarted(10000))
        return falla(QStringLiteral("tolvex-soak no empezó"));
    while (!estacion.canReadLine() && estacion.waitForReadyRead(60000)) {
    }
    const QStringList web = QString::fromUtf8(estacion.readLine()).split(u' ');
    if (web.value(0) != u"web")
        return falla(QStringLiteral("tolvex-soak no sirvió el monitor"));
    const QUrl base(web.value(1));
    const quint16 puerto = quint16(base.port());
    const QByteArray cookie = ClienteWeb::ingresa(base, QStringLiteral("asedio-clave"));
    if (cookie.isEmpty())
        return falla(QStringLiteral("no se pudo ingresar en el monitor"));
    const QByteArray host = "Host: " + base.authority().toUtf8() + "\r\n";
    const auto get = [&host](const QByteArray& ruta, const QByteArray& extra = {}) {
        return "GET " + ruta + " HTTP/1.1\r\n" + host + extra + "\r\n";
    };

    Cifras c;
    Asedio::Ataques ataques(puerto, cookie, c);
    QObject& contexto = *ataques.contexto();

    // The station's users, on a thread of their own as they would be on
    // machines of their own: a live page noting the time of each reading it
    // is sent, rounds of downloads, and /api/estado every second.
    QThread hiloLegitimo;
    auto* legitimo = new QObject;
    legitimo->moveToThread(&hiloLegitimo);
    hiloLegitimo.start();
    QMetaObject::invokeMethod(
        legitimo,
        [&] {
            // The live page: the time of each reading it is sent.
            auto* vivo = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, legitimo);
            QObject::connect(
                vivo, &QWebSocket::textMessageReceived, legitimo,
                [&c, ultima = qint64(-1)](const QString& m) mutable {
                    const QJsonObject e = QJsonDocument::fromJson(m.toUtf8())
                                              .object()
                                              .value(QStringLiteral("estado"))
                                              .toObject();
                    ++c.mensajes;
                    const QString instante = e.value(QStringLiteral("instante")).toString();
                    if (!e.value(QStringLiteral("vigente")).toBool() || instante.isEmpty())
                        return;
                    const qint64 t =
                        QDateTime::fromString(instante, Qt::ISODateWithMs).toMSecsSinceEpoch();
                    if (ultima >= 0 && t > ultima)
                        c.intervalos << double(t - ultima);
                    ultima = t;
                });
            {
                QUrl u = base;
                u.setScheme(QStringLiteral("ws"));
                u.setPath(QStringLiteral("/ws/estado"));
                QNetworkRequest req(u);
                req.setRawHeader("Cookie", cookie);
                vivo->open(req);
            }

            // Rounds of downloads: four listings and two workbooks at once.
            auto* descargas = new QTimer(legitimo);
            QObject::connect(descargas, &QTimer::timeout, legitimo,
                             [&, legitimo] { ataques.descargas(legitimo, direccion(6)); });
            descargas->start(3000);

            // The user: /api/estado every second, each answer awaited up to 30 s.
            auto* usuario = new QTimer(legitimo);
            QObject::connect(usuario, &QTimer::timeout, legitimo, [&, legitimo] {
                auto reloj = std::make_shared<QElapsedTimer>();
                reloj->start();
                new Charla(
                    legitimo, direccion(1), puerto,
                    {get("/api/estado", "Cookie: " + cookie + "\r\n")},
                    [&c, reloj](const QList<int>& e) {
                        const int estado = e.value(0);
                        if (estado == 0) {
                            ++c.usuarioSinRespuesta;
                            return;
                        }
                        c.usuarioMs << double(reloj->elapsed());
                        ++(estado == 200   ? c.usuario200
                           : estado == 503 ? c.usuario503
                                           : c.usuarioOtras);
                    },
                    0, 30000);
            });
            usuario->start(1000);
        },
        Qt::BlockingQueuedConnection);

    // The flood: 1,100 connections from 50 addresses, opened again when
    // closed; oversized requests; requests that arrive a byte a second;
    // WebSocket handshakes without a session.
    QTimer relleno, grandes, goteo, trucos;
    QObject::connect(&relleno, &QTimer::timeout, &contexto, [&] { ataques.avalancha(); });
    QObject::connect(&grandes, &QTimer::timeout, &contexto, [&] { ataques.grandes(); });
    QObject::connect(&goteo, &QTimer::timeout, &contexto, [&] { ataques.goteo(); });
    QObject::connect(&trucos, &QTimer::timeout, &contexto, [&] { ataques.trucos(); });
    relleno.start(2000);
    grandes.start(2300);
    goteo.start(1000);
    trucos.start(3100);

    // The station's memory, every second.
    qint64 memoriaInicial = -1, memoriaMax = 0;
    QTimer memoria;
    QObject::connect(&memoria, &QTimer::timeout, &contexto, [&] {
        QFile f(QStringLiteral("/proc/%1/status").arg(estacion.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return;
        const QByteArray st = f.readAll();
        const qsizetype i = st.indexOf("VmRSS:");
        if (i < 0)
            return;
        const qint64 kb = st.mid(i + 6, st.indexOf('\n', i) - i - 6).trimmed().split(' ').value(0).toLongLong();
        if (memoriaInicial < 0)
            memoriaInicial = kb;
        memoriaMax = std::max(memoriaMax, kb);
    });
    memoria.start(1000);

    QObject::connect(&estacion, &QProcess::finished, &app, &QCoreApplication::quit);
    app.exec();
    for (QTimer* t : {&relleno, &grandes, &goteo, &trucos, &memoria})
        t->stop();
    QMetaObject::invokeMethod(
        legitimo, [legitimo] { delete legitimo; }, Qt::BlockingQueuedConnection);
    hiloLegitimo.quit();
    hiloLegitimo.wait();

    const QString salida = QString::fromUtf8(estacion.readAllStandardOutput());
    const auto resumen =
        QRegularExpression(
            QStringLiteral("batches (\\d+) rows (\\d+) lost (\\d+) duplicates (\\d+)"))
            .match(salida);
    qint64 filas = -1, entradas = -1;
    if (!leeRegistro(dir, &filas, &entradas, &error))
        return falla(error);
    const qint64 lotes = resumen.hasMatch() ? resumen.captured(1).toLongLong() : -1;
    const bool registrosBien = lotes > 0 && filas == lotes && entradas == lotes;
    // The user's answers are figures: on a loaded machine a flood on loopback
    // also fills the kernel's queue of new connections, which no server
    // empties; but some must have come.
    const bool ataquesBien = c.grandesAceptadas == 0 && c.trucosFiltraron == 0 && c.usuario200 > 0;
    std::printf("asedio: batches %lld rows %lld journal %lld soak_exit %d\n",
                static_cast<long long>(lotes), static_cast<long long>(filas),
                static_cast<long long>(entradas), estacion.exitCode());
    std::printf("asedio: station_rss_kb first %lld max %lld\n", static_cast<long long>(memoriaInicial),
                static_cast<long long>(memoriaMax));
    std::printf("asedio: live_page messages %lld reading_gap_ms median %.0f p99 %.0f max %.0f\n",
                static_cast<long long>(c.mensajes), ClienteWeb::percentil(c.intervalos, 0.5),
                ClienteWeb::percentil(c.intervalos, 0.99),
                ClienteWeb::percentil(c.intervalos, 1.0));
    std::printf("asedio: user /api/estado 200 %lld 503 %lld other %lld unanswered %lld ms median "
                "%.0f p99 %.0f max %.0f\n",
                static_cast<long long>(c.usuario200), static_cast<long long>(c.usuario503),
                static_cast<long long>(c.usuarioOtras),
                static_cast<long long>(c.usuarioSinRespuesta),
                ClienteWeb::percentil(c.usuarioMs, 0.5), ClienteWeb::percentil(c.usuarioMs, 0.99),
                ClienteWeb::percentil(c.usuarioMs, 1.0));
    std::printf(
        "asedio: flood attempts %lld refused_503 %lld closed_by_monitor %lld open_max %lld\n",
        static_cast<long long>(c.intentos), static_cast<long long>(c.rechazadas503),
        static_cast<long long>(c.cerradas), static_cast<long long>(c.abiertasMax));
    std::printf("asedio: oversized header_431 %lld body_413 %lld accepted %lld other %lld\n",
                static_cast<long long>(c.cabecera431), static_cast<long long>(c.cuerpo413),
                static_cast<long long>(c.grandesAceptadas), static_cast<long long>(c.grandesOtras));
    std::printf("asedio: trickle closed %lld of_them_408 %lld\n",
                static_cast<long long>(c.lentasCerradas), static_cast<long long>(c.lentas408));
    std::printf("asedio: websocket_tricks refused %lld leaked %lld\n",
                static_cast<long long>(c.trucosRechazados),
                static_cast<long long>(c.trucosFiltraron));
    std::printf("asedio: downloads 200 %lld 503 %lld other %lld\n",
                static_cast<long long>(c.descargas200), static_cast<long long>(c.descargas503),
                static_cast<long long>(c.descargasOtras));
    if (p.isSet(QStringLiteral("keep")))
        std::printf("asedio: directorio %s\n", qPrintable(dir));
    std::fflush(stdout);
    return registrosBien && ataquesBien && estacion.exitCode() == 0 ? 0 : 1;
}
