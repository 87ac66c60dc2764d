// tolvex-diag: reads and writes the indicator over the station's link code,
// for installers.
#include "Config.h"
#include "ConfigEnlace.h"
#include "IdEsclavo.h"
#include "Indicador.h"
#include "Lineas.h"
#include "Trama.h"
#include "Transporte.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

std::atomic<bool> g_interrumpido{false};

void alInterrumpir(int)
{
    g_interrumpido = true;
}

const char* const kUso =
    "uso: tolvex-diag [--tcp HOST:PORT | --serial DEVICE [--baud N]] [--id N] [--decimals D]\n"
    "                 [--timeout MS] [--trace] [--dir DIR] [--linea N] ORDEN\n"
    "ordenes:\n"
    "  read                       lee el estado completo (16 valores)\n"
    "  watch [--period MS] [--count N]\n"
    "                             repite read y resume lecturas, fallos y tiempos;\n"
    "                             termina con 1 si falló alguna lectura\n"
    "  command LETRA              escribe X, Z, V, W o C en el registro de comandos\n"
    "  write DIRECCION VALOR      escribe un registro de 16 bits\n"
    "  write32 DIRECCION VALOR    escribe un valor de 32 bits (palabra baja primero)\n"
    "  scan [--ids A-B]           busca los indicadores: prueba los ids A a B (1-247) y, por\n"
    "                             puerto serie sin --baud, las velocidades usuales; lista\n"
    "                             todos los ids que responden y el tiempo que tardó\n"
    "Sin --tcp ni --serial usa el enlace y el id de una línea (--linea N, la 1 si no se\n"
    "indica) del Tolvex.ini del directorio del programa (--dir DIR, o el directorio actual),\n"
    "y dice qué línea leyó.\n"
    "Con --tcp o --serial, --id es obligatorio: de 1 a 247, o 0 en un enlace punto a punto\n"
    "(un solo indicador en la línea): se toma el id con que responde la primera vez y\n"
    "desde entonces sólo se aceptan respuestas de ese id.\n"
    "Termina con 0 si todo salió bien, 1 si falló el enlace o el indicador, 2 si los\n"
    "argumentos no son válidos.\n";

// Speeds tried by scan on a serial line: those Tolvex can be set to
// (1200 x 2^n) that serial drivers support, the commonest first.
constexpr int kVelocidades[] = {19200, 9600, 38400, 4800, 2400, 1200};
// Per-try wait of scan unless --timeout is given.
constexpr int kEsperaScanMs = 150;

int uso(const QString& mensaje)
{
    QTextStream err(stderr);
    if (!mensaje.isEmpty())
        err << "tolvex-diag: " << mensaje << '\n';
    err << kUso;
    return 2;
}

std::optional<qint64> entero(const QString& t, qint64 min, qint64 max)
{
    bool ok = false;
    qint64 v = t.toLongLong(&ok, 0);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

void trazaAStderr(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    std::fprintf(stderr, "%s\n", qPrintable(msg));
}

QStringList lineas(const LecturaPeso& l, int d)
{
    auto f = [d](double v) { return QString::number(v, 'f', d); };
    return {
        QStringLiteral("Peso: ") + f(l.Peso),
        QStringLiteral("Despacho: ") + f(l.Despacho),
        QStringLiteral("CGrueso: ") + f(l.CGrueso),
        QStringLiteral("CFino: ") + f(l.CFino),
        QStringLiteral("Caudal: ") + f(l.Caudal),
        QStringLiteral("Resto: ") + f(l.Resto),
        QStringLiteral("CCiclos: ") + QString::number(l.CCiclos),
        QStringLiteral("CError: ") + QString::number(l.CError),
        QStringLiteral("UlTotal: ") + f(l.UlTotal),
        QStringLiteral("UlBatch: ") + f(l.UlBatch),
        QStringLiteral("Modo: ") + QString::number(l.Modo),
        QStringLiteral("SPFin: ") + QString::number(l.SPFin),
        QStringLiteral("Total: ") + f(l.Total),
        QStringLiteral("Salidas: ") + QString::number(l.Salidas),
        QStringLiteral("Entradas: ") + QString::number(l.Entradas),
        QStringLiteral("TotalF: ") + f(l.TotalF),
    };
}

double percentil(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = size_t(std::ceil(p * double(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// Tries every id (and speed) with a read of the weight; prints every id that
// answers (a bus may carry several indicators) and the time the scan took.
// Each try waits at most the reply wait, so the whole is bounded.
int explora(ConfigEnlace config, const std::vector<int>& velocidades, bool serie, int desde, int hasta,
            QTextStream& out, QTextStream& err)
{
    const qint64 intentos = qint64(velocidades.size()) * (hasta - desde + 1);
    // A try nobody answers waits the reply wait, then recovers: a serial line
    // stays quiet a reply wait more (longer while stray bytes come), a TCP
    // link opens a new connection (at most a reply wait).
    const qint64 mudo = serie ? 2 * config.esperaMs : config.esperaMs;
    const qint64 maximo = serie ? 2 * config.esperaMs + std::max(config.esperaMs, config.silencioMs)
                                : 2 * config.esperaMs;
    out << "Explorando ids " << desde << " a " << hasta;
    if (serie)
        out << " a " << velocidades.size() << (velocidades.size() == 1 ? " velocidad" : " velocidades");
    out << " (" << intentos << " pruebas, como mucho " << (intentos * maximo + 999) / 1000
        << " s; unos " << (intentos * mudo + 999) / 1000 << " s si nadie responde).\n";
    out.flush();
    QElapsedTimer reloj;
    reloj.start();
    QStringList encontrados;
    for (int baudios : velocidades) {
        if (g_interrumpido)
            break;
        config.baudios = baudios;
        auto t = config.creaTransporte();
        QString detalle;
        if (!t->abrir(&detalle)) {
            err << ConfigEnlace::mensajeError() << ' ' << detalle << '\n';
            if (velocidades.size() == 1)
                return 1;
            continue;
        }
        t->reconectar();
        for (int id = desde; id <= hasta && !g_interrumpido; ++id) {
            const auto r = Trama::verificaLectura(
                t->intercambio(Trama::pedidoLectura(quint8(id), Indicador::kPeso, 2), Trama::largoLectura(2)),
                quint8(id), 2);
            if (!r.ok() && r.fallo != Trama::Fallo::Excepcion) {
                t->recobra();
                continue;
            }
            encontrados << QString::number(id);
            out << "Responde el id " << id;
            if (serie)
                out << " a " << baudios << " baudios";
            if (!r.ok())
                out << " (" << r.falla().texto() << ")";
            out << ".\n";
            out.flush();
        }
        if (!encontrados.isEmpty())
            break; // the indicators of a bus answer at its one speed
    }
    const QString segundos = QString::number(double(reloj.elapsed()) / 1000, 'f', 1).replace(u'.', u',');
    if (encontrados.isEmpty()) {
        err << "Ningún id respondió. Exploración de " << segundos << " s.\n";
        return 1;
    }
    out << "Ids que responden: " << encontrados.join(QStringLiteral(", ")) << ". Exploración de " << segundos
        << " s.\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);

    std::optional<ConfigEnlace> config;
    std::optional<int> decimales;
    std::optional<quint8> id;
    int baudios = 19200;
    int esperaMs = Transporte::kEsperaMs;
    bool traza = false;
    int periodo = 1000;
    qint64 cuenta = 0;
    QStringList orden;
    bool conTcp = false, conSerie = false, conBaudios = false, conEspera = false;
    int idDesde = IdEsclavo::kMinimo, idHasta = IdEsclavo::kMaximo;
    std::optional<int> linea;
    QString directorio;

    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        auto valor = [&]() -> std::optional<QString> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (a == QLatin1String("--tcp")) {
            const auto v = valor();
            const int dos = v ? int(v->lastIndexOf(u':')) : -1;
            const auto puerto = dos > 0 ? entero(v->mid(dos + 1), 1, 65535) : std::nullopt;
            if (!puerto)
                return uso(QStringLiteral("--tcp espera HOST:PORT"));
            conTcp = true;
            ConfigEnlace c;
            c.comunicacion = 1;
            c.host = v->left(dos);
            c.puerto = quint16(*puerto);
            config = c;
        } else if (a == QLatin1String("--serial")) {
            const auto v = valor();
            const auto dev = v ? ConfigEnlace::dispositivoSerie(*v) : std::nullopt;
            if (!dev)
                return uso(QStringLiteral("--serial espera un dispositivo"));
            conSerie = true;
            ConfigEnlace c;
            c.comunicacion = 0;
            c.dispositivo = *dev;
            config = c;
        } else if (a == QLatin1String("--baud")) {
            const auto v = valor();
            const auto b = v ? entero(*v, 50, 4000000) : std::nullopt;
            if (!b)
                return uso(QStringLiteral("--baud espera una velocidad"));
            baudios = int(*b);
            conBaudios = true;
        } else if (a == QLatin1String("--id")) {
            const auto v = valor();
            const auto n = v ? entero(*v, IdEsclavo::kPuntoAPunto, IdEsclavo::kMaximo) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--id espera un número de 0 a 247"));
            id = quint8(*n);
        } else if (a == QLatin1String("--decimals")) {
            const auto v = valor();
            const auto n = v ? entero(*v, 0, 9) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--decimals espera un número de 0 a 9"));
            decimales = int(*n);
        } else if (a == QLatin1String("--timeout")) {
            const auto v = valor();
            const auto n = v ? entero(*v, 1, 600000) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--timeout espera milisegundos"));
            esperaMs = int(*n);
            conEspera = true;
        } else if (a == QLatin1String("--period")) {
            const auto v = valor();
            const auto n = v ? entero(*v, 0, 86400000) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--period espera milisegundos"));
            periodo = int(*n);
        } else if (a == QLatin1String("--count")) {
            const auto v = valor();
            const auto n = v ? entero(*v, 1, std::numeric_limits<qint64>::max()) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--count espera un número"));
            cuenta = *n;
        } else if (a == QLatin1String("--ids")) {
            const auto v = valor();
            const QStringList partes = v ? v->split(u'-') : QStringList();
            const auto a1 = partes.size() == 2 ? entero(partes[0], IdEsclavo::kMinimo, IdEsclavo::kMaximo) : std::nullopt;
            const auto b1 = partes.size() == 2 ? entero(partes[1], IdEsclavo::kMinimo, IdEsclavo::kMaximo) : std::nullopt;
            if (!a1 || !b1 || *a1 > *b1)
                return uso(QStringLiteral("--ids espera A-B, de 1 a 247"));
            idDesde = int(*a1);
            idHasta = int(*b1);
        } else if (a == QLatin1String("--linea")) {
            const auto v = valor();
            const auto n = v ? entero(*v, 1, std::numeric_limits<int>::max()) : std::nullopt;
            if (!n)
                return uso(QStringLiteral("--linea espera un número de línea"));
            linea = int(*n);
        } else if (a == QLatin1String("--dir")) {
            const auto v = valor();
            if (!v || v->isEmpty())
                return uso(QStringLiteral("--dir espera el directorio del programa"));
            directorio = *v;
        } else if (a == QLatin1String("--trace")) {
            traza = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out << kUso;
            return 0;
        } else if (a.startsWith(QLatin1String("--"))) {
            return uso(QStringLiteral("opción desconocida: ") + a);
        } else {
            orden << a;
        }
    }

    if (conTcp && conSerie)
        return uso(QStringLiteral("--tcp y --serial se excluyen"));
    if (config && (linea || !directorio.isEmpty()))
        return uso(QStringLiteral("--linea y --dir leen Tolvex.ini: no van con --tcp ni --serial"));
    if (!directorio.isEmpty() && !QDir::setCurrent(directorio)) {
        err << "tolvex-diag: no existe el directorio " << directorio << ".\n";
        return 2;
    }
    if (orden.isEmpty())
        return uso(QStringLiteral("falta la orden"));
    const QString verbo = orden.takeFirst();
    std::optional<quint16> direccion;
    QByteArray dato;
    const bool scan = verbo == QLatin1String("scan");
    if (!scan && config && !id)
        return uso(QStringLiteral("falta --id"));
    if (!scan && !config && !QFileInfo::exists(Config::rutaArchivo()))
        return uso(QStringLiteral("no hay Tolvex.ini en %1: indique --tcp o --serial y --id")
                       .arg(QDir::toNativeSeparators(QDir::currentPath())));
    if (verbo == QLatin1String("read") || verbo == QLatin1String("watch") || scan) {
        if (!orden.isEmpty())
            return uso(QStringLiteral("argumentos de más"));
    } else if (verbo == QLatin1String("command")) {
        if (orden.size() != 1 || orden[0].size() != 1 ||
            !QStringLiteral("XZVWC").contains(orden[0].toUpper()))
            return uso(QStringLiteral("command espera una de X Z V W C"));
        direccion = Indicador::kComando;
        dato = QByteArray(1, orden[0].toUpper().at(0).toLatin1());
    } else if (verbo == QLatin1String("write") || verbo == QLatin1String("write32")) {
        const bool largo = verbo == QLatin1String("write32");
        const auto d = orden.size() == 2 ? entero(orden[0], 0, 65535) : std::nullopt;
        const auto v = orden.size() == 2 ? (largo ? entero(orden[1], -2147483648LL, 4294967295LL)
                                                  : entero(orden[1], -32768, 65535))
                                         : std::nullopt;
        if (!d || !v)
            return uso(verbo + QStringLiteral(" espera DIRECCION VALOR"));
        direccion = quint16(*d);
        dato = largo ? Trama::cadena32(*v) : Trama::cadena16(quint16(*v & 0xFFFF));
    } else {
        return uso(QStringLiteral("orden desconocida: ") + verbo);
    }

    if (config) {
        config->baudios = baudios;
    } else {
        const int n = linea.value_or(1);
        const QVector<Linea> todas = Lineas::lista();
        const auto it = std::find_if(todas.begin(), todas.end(), [n](const Linea& l) { return l.numero == n; });
        if (it == todas.end()) {
            QStringList numeros;
            for (const Linea& l : todas)
                numeros << QString::number(l.numero);
            err << "tolvex-diag: la línea " << n << " no existe en " << QDir::toNativeSeparators(Config::rutaArchivo())
                << " (líneas: " << numeros.join(QStringLiteral(", ")) << ").\n";
            return 2;
        }
        QString error, detalle;
        config = ConfigEnlace::lee(&error, &detalle, n);
        if (!config) {
            err << it->descripcion() << ": " << error << " (" << detalle << ")\n";
            return 1;
        }
        err << it->descripcion() << " de " << QDir::toNativeSeparators(Config::rutaArchivo()) << ": "
            << (config->esTcp() ? QStringLiteral("TCP %1:%2").arg(config->host).arg(config->puerto)
                                : QStringLiteral("serie %1 a %2 baudios").arg(config->dispositivo).arg(config->baudios))
            << ", id " << config->id << ".\n";
        err.flush();
    }
    if (id)
        config->id = *id;
    if (decimales)
        config->decimales = *decimales;
    // Lines a hand-edited file names beyond the limit are no line to read.
    if (!conTcp && !conSerie) {
        const QString fuera = Lineas::avisoFueraDeRango();
        if (!fuera.isEmpty())
            err << "tolvex-diag: aviso: " << fuera << "\n";
    }
    if (scan && !conEspera)
        esperaMs = kEsperaScanMs;
    config->esperaMs = esperaMs;
    config->silencioMs = std::min(Transporte::kSilencioMs, esperaMs);

    if (traza) {
        QLoggingCategory::setFilterRules(QStringLiteral("tolvex.link.wire.debug=true"));
        qInstallMessageHandler(trazaAStderr);
    }

    std::signal(SIGINT, alInterrumpir);
    std::signal(SIGTERM, alInterrumpir);
    if (scan) {
        const bool serie = !config->esTcp();
        std::vector<int> velocidades;
        if (serie && !conBaudios)
            velocidades.assign(std::begin(kVelocidades), std::end(kVelocidades));
        else
            velocidades.push_back(config->baudios);
        return explora(*config, velocidades, serie, idDesde, idHasta, out, err);
    }

    auto transporte = config->creaTransporte();
    QString detalle;
    if (!transporte->abrir(&detalle)) {
        err << ConfigEnlace::mensajeError() << ' ' << detalle << '\n';
        return 1;
    }
    Indicador indicador(*transporte, config->id, config->decimales);
    // Why the last exchange failed, in the installer's words.
    const auto causa = [&]() -> QString {
        if (indicador.ultimoFallo() == Trama::Fallo::Excepcion)
            return QStringLiteral("El indicador rechaza la petición (excepción %1).")
                .arg(indicador.ultimaExcepcion());
        const QString conexion = transporte->sinConexion();
        if (!conexion.isEmpty())
            return conexion;
        return QStringLiteral("El indicador no responde (%1).").arg(indicador.textoUltimoFallo());
    };
    // With id 0 the id the indicator answers with is learned: say which, once.
    bool dicho = false;
    const auto dicePuntoAPunto = [&] {
        if (dicho || config->id != 0 || !indicador.idEsperado(0))
            return;
        dicho = true;
        err << "Id 0 (enlace punto a punto): el indicador responde con el id "
            << *indicador.idEsperado(0) << ".\n";
        err.flush();
    };

    if (direccion) {
        transporte->reconectar();
        const bool ok = !indicador.Escribir(*direccion, dato).isEmpty();
        dicePuntoAPunto();
        if (!ok) {
            err << "No se pudo realizar la operación. " << causa() << '\n';
            return 1;
        }
        if (verbo == QLatin1String("command"))
            out << "El indicador aceptó el comando " << QChar::fromLatin1(dato.at(0)) << ".\n";
        else
            out << "El indicador aceptó la escritura en " << *direccion << ".\n";
        return 0;
    }

    if (verbo == QLatin1String("read")) {
        LecturaPeso l;
        indicador.LeePeso(l);
        dicePuntoAPunto();
        if (!l.valida()) {
            err << causa() << '\n';
            return 1;
        }
        for (const QString& s : lineas(l, config->decimales))
            out << s << '\n';
        return 0;
    }

    std::vector<double> tiempos;
    qint64 lecturas = 0, fallos = 0;
    LecturaPeso l;
    while (!g_interrumpido && (cuenta == 0 || lecturas < cuenta)) {
        const QDeadlineTimer proxima(periodo, Qt::PreciseTimer);
        QElapsedTimer cron;
        cron.start();
        indicador.LeePeso(l);
        const double ms = double(cron.nsecsElapsed()) / 1e6;
        if (lecturas > 0)
            out << '\n';
        ++lecturas;
        if (l.valida()) {
            tiempos.push_back(ms);
            for (const QString& s : lineas(l, config->decimales))
                out << s << '\n';
        } else {
            ++fallos;
            out << "sin respuesta";
            if (l.falla.hay() && l.falla.fallo != Trama::Fallo::SinRespuesta)
                out << " (" << l.falla.texto() << ")";
            out << '\n';
        }
        out.flush();
        dicePuntoAPunto();
        if (cuenta != 0 && lecturas >= cuenta)
            break;
        while (!g_interrumpido && !proxima.hasExpired())
            QThread::msleep(ulong(std::min<qint64>(100, proxima.remainingTime())));
    }
    out << '\n'
        << "lecturas: " << lecturas << "  fallos: " << fallos
        << QStringLiteral("  mediana: %1 ms  p99: %2 ms")
               .arg(percentil(tiempos, 0.5), 0, 'f', 2)
               .arg(percentil(tiempos, 0.99), 0, 'f', 2)
        << '\n';
    if (fallos > 0) {
        err << fallos << " de " << lecturas << " lecturas fallaron.\n";
        return 1;
    }
    return 0;
}
