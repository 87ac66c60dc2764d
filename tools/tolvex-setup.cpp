// tolvex-setup DIR [--postgres "CONNECTION"] [--tcp HOST:PORT | --serial PORT] [--id N] [--web PORT]
// tolvex-setup DIR --linea N [--nombre NAME] [--tcp HOST:PORT | --serial PORT] [--id N] [--decimales D]
// tolvex-setup DIR --desde OLD_DIR [--postgres "CONNECTION"]
// tolvex-setup DIR --lineas
// tolvex-setup DIR --quita-linea N
// tolvex-setup DIR --puesto-nombre NAME   (also with the first form)
// tolvex-setup DIR --mqtt HOST:PORT [--mqtt-ca FILE] [--mqtt-usuario U] [--mqtt-clave P]
//              [--mqtt-grupo G] [--mqtt-nodo N]      (also with the first form)
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>

#include "ConfigMqtt.h"
#include "IdEsclavo.h"
#include "Instalacion.h"
#include "Puesto.h"
#include "Migracion.h"

namespace {

int usage(const char* why)
{
    if (why)
        std::fprintf(stderr, "tolvex-setup: %s\n", why);
    std::fprintf(
        stderr,
        "uso: tolvex-setup DIRECTORIO [--postgres \"CONEXION\"] [--tcp HOST:PUERTO | --serial "
        "PUERTO]"
        " [--id N] [--web PUERTO]\n"
        "  Prepara un directorio de programa de Tolvex: Tolvex.ini, base de datos, Tolvex.inf,\n"
        "  REPORTE.xlsx y el lanzador 'tolvex'. Nunca reemplaza lo que ya existe.\n"
        "  --postgres  base compartida, p. ej. \"Driver=PostgreSQL;Host=srv;Port=5432;"
        "Database=tolvex;User=tolvex;Password=...\"\n"
        "  --tcp, --serial, --id  enlace con el indicador (sólo en un Tolvex.ini nuevo); --id de\n"
        "              1 a 247, o 0 si el indicador es el único de la línea (se toma el id con\n"
        "              que responde)\n"
        "  --web       puerto del monitor web ([Web] Puerto en Tolvex.ini; escucha en 127.0.0.1\n"
        "              salvo que [Web] Direccion diga otra cosa)\n"
        "  --puesto-nombre NOMBRE  nombre del puesto en la página de la planta de todos los\n"
        "              monitores (en lugar de su identidad; [global] PuestoNombre en Tolvex.ini)\n"
        "  --mqtt HOST:PUERTO  publica las líneas (Sparkplug B) y los lotes en ese broker MQTT\n"
        "              ([MQTT] en Tolvex.ini), con --mqtt-ca ARCHIVO (TLS: la autoridad que\n"
        "              firmó el certificado del broker), --mqtt-usuario U, --mqtt-clave C,\n"
        "              --mqtt-grupo G (Tolvex) y --mqtt-nodo N (el nombre del puesto)\n"
        "  Termina con 0 si preparó el directorio, 1 si algo no se pudo escribir, 2 si los\n"
        "  argumentos no son válidos.\n"
        "\n"
        "Desde el programa anterior:\n"
        "  tolvex-setup DIRECTORIO --desde DIRECTORIO_ANTERIOR [--postgres \"CONEXION\"]\n"
        "              prepara DIRECTORIO con los ajustes, operarios, registros, Transac.dat,\n"
        "              Datos.log y plantilla del directorio del programa anterior, que no se\n"
        "              modifica. Se puede repetir: trae sólo los registros nuevos. Termina con 0\n"
        "              si pasó todo, 3 si rechazó filas (se listan con su motivo), 1 si falló.\n"
        "\n"
        "Líneas de pesaje (un indicador cada una; la línea 1 es la de siempre):\n"
        "  tolvex-setup DIRECTORIO --linea N [--nombre NOMBRE] [--tcp HOST:PUERTO | --serial PUERTO]\n"
        "               [--id N] [--decimales D]\n"
        "              agrega la línea N (2 a 16) o cambia lo indicado de una existente; varias\n"
        "              líneas con el mismo puerto serie o el mismo HOST:PUERTO comparten el bus\n"
        "              (cada indicador con su --id); --nombre y --decimales van siempre con\n"
        "              --linea N (de la línea 1, sólo --nombre)\n"
        "  tolvex-setup DIRECTORIO --lineas         lista las líneas\n"
        "  tolvex-setup DIRECTORIO --quita-linea N  quita la línea N (sus registros y su\n"
        "              Transac_N.dat quedan)\n");
    return 2;
}

void imprime(const QStringList& l, const char* como)
{
    for (const QString& x : l)
        std::printf(como, qPrintable(x));
}

QString cifra(double v)
{
    return QString::number(v, 'f', 3);
}

bool nombraPuesto(const QString& directorio, const QString& nombre)
{
    QString error;
    if (!Puesto::nombra(directorio, nombre, &error)) {
        std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(error));
        return false;
    }
    std::printf("Nombre del puesto: %s\n", qPrintable(nombre.trimmed()));
    return true;
}

// Writes [MQTT] into the prepared directory's settings file.
bool guardaMqtt(const QString& directorio, const ConfigMqtt& c)
{
    EnDirectorio en(directorio);
    QString error;
    if (en.ok(&error) && c.guarda(&error)) {
        std::printf("MQTT: %s:%u, grupo %s\n", qPrintable(c.host), unsigned(c.puerto), qPrintable(c.grupo));
        return true;
    }
    std::fprintf(stderr, "tolvex-setup: no se pudo guardar [MQTT]: %s\n", qPrintable(error));
    return false;
}

int migra(const QString& desde, const Instalacion& inst)
{
    Migracion m;
    m.desde = desde;
    m.directorio = inst.directorio;
    m.postgres = inst.postgres;
    m.programa = inst.programa;
    const bool ok = m.ejecutar();
    imprime(m.creados, "creado: %s\n");
    imprime(m.existentes, "existente, sin cambios: %s\n");
    if (!ok) {
        std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(m.error));
        return 1;
    }
    std::printf("Programa anterior: %s (byte de cifrado 0x%02X)\n", qPrintable(QDir(desde).absolutePath()), m.byte);
    for (const Migracion::Tabla& t : m.tablas)
        std::printf("Tabla %s: %lld leídas, %lld escritas, %lld ya estaban, %lld rechazadas\n", qPrintable(t.nombre),
                    t.leidas, t.escritas, t.yaEstaban, t.rechazadas);
    std::printf("Por día (programa anterior | Tolvex):\n");
    QList<QDate> dias = m.diasAnterior.keys();
    for (const QDate& d : m.diasTolvex.keys()) {
        if (!m.diasAnterior.contains(d))
            dias << d;
    }
    std::sort(dias.begin(), dias.end());
    int distintos = 0;
    for (const QDate& d : dias) {
        const Migracion::Dia a = m.diasAnterior.value(d), b = m.diasTolvex.value(d);
        const bool igual = a.filas == b.filas && cifra(a.peso) == cifra(b.peso) && cifra(a.total) == cifra(b.total);
        distintos += igual ? 0 : 1;
        std::printf("%s  filas %lld | %lld  PESO %s | %s  TOTAL %s | %s%s\n", qPrintable(d.toString(u"dd/MM/yyyy")),
                    a.filas, b.filas, qPrintable(cifra(a.peso)), qPrintable(cifra(b.peso)), qPrintable(cifra(a.total)),
                    qPrintable(cifra(b.total)), igual ? "" : "  <- distinto");
    }
    for (const Migracion::Rechazo& r : m.rechazos)
        std::printf("rechazada: %s fila %lld%s: %s\n", qPrintable(r.tabla), r.fila,
                    r.ticket.isEmpty() ? "" : qPrintable(QStringLiteral(" (ticket %1)").arg(r.ticket)),
                    qPrintable(r.motivo));
    imprime(m.avisos, "aviso: %s\n");
    std::printf("Contador Ticket: %lld\n", m.ticket);
    if (!m.rechazos.isEmpty() || distintos) {
        std::printf("Directorio de programa listo, con %lld fila(s) rechazada(s) y %d día(s) distintos: %s\n",
                    qint64(m.rechazos.size()), distintos, qPrintable(QDir(inst.directorio).absolutePath()));
        return 3;
    }
    std::printf("Directorio de programa listo: %s\n", qPrintable(QDir(inst.directorio).absolutePath()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    Instalacion inst;
    LineaInstalada linea;
    QString desde;
    bool listar = false;
    int quitar = 0;
    QString puestoNombre;
    // --mqtt HOST:PORT, then --mqtt-ca, -usuario, -clave, -grupo, -nodo.
    QString mqtt[6];
    const QStringList opcionesMqtt{QStringLiteral("--mqtt-ca"), QStringLiteral("--mqtt-usuario"),
                                   QStringLiteral("--mqtt-clave"), QStringLiteral("--mqtt-grupo"),
                                   QStringLiteral("--mqtt-nodo")};
    auto numeroLinea = [](const QString& v, int* n) {
        bool ok = false;
        *n = v.toInt(&ok);
        return ok && *n >= 1 && *n <= 16;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString a = args.at(i);
        auto next = [&](QString* into) {
            if (i + 1 >= args.size())
                return false;
            *into = args.at(++i);
            return !into->isEmpty();
        };
        if (a == u"--help" || a == u"-h") {
            usage(nullptr);
            return 0;
        } else if (a == u"--postgres") {
            if (!next(&inst.postgres))
                return usage("--postgres necesita una cadena de conexión");
        } else if (a == u"--tcp") {
            if (!next(&inst.tcp))
                return usage("--tcp necesita HOST:PUERTO");
            const qsizetype colon = inst.tcp.lastIndexOf(u':');
            bool ok = false;
            const int port = colon > 0 ? inst.tcp.mid(colon + 1).toInt(&ok) : 0;
            if (!ok || port <= 0 || port > 65535)
                return usage("--tcp necesita HOST:PUERTO");
        } else if (a == u"--serial") {
            if (!next(&inst.serie))
                return usage("--serial necesita un puerto");
        } else if (a == u"--id") {
            QString v;
            bool ok = false;
            if (next(&v))
                inst.id = v.toInt(&ok);
            if (!ok || !IdEsclavo::validoEnAjustes(inst.id))
                return usage("--id necesita un número de 1 a 247, o 0 en un enlace punto a punto");
        } else if (a == u"--web") {
            QString v;
            bool ok = false;
            if (next(&v))
                inst.web = v.toInt(&ok);
            if (!ok || inst.web < 1 || inst.web > 65535)
                return usage("--web necesita un puerto de 1 a 65535");
        } else if (a == u"--linea") {
            QString v;
            if (!next(&v) || !numeroLinea(v, &linea.numero))
                return usage("--linea necesita un número de 1 a 16");
        } else if (a == u"--nombre") {
            if (!next(&linea.nombre) || linea.nombre.trimmed().isEmpty())
                return usage("--nombre necesita un texto");
        } else if (a == u"--decimales") {
            QString v;
            bool ok = false;
            if (next(&v))
                linea.decimales = v.toInt(&ok);
            if (!ok || linea.decimales < 0 || linea.decimales > 4)
                return usage("--decimales necesita un número de 0 a 4");
        } else if (a == u"--puesto-nombre") {
            if (!next(&puestoNombre) || puestoNombre.trimmed().isEmpty())
                return usage("--puesto-nombre necesita un texto");
        } else if (a == u"--mqtt") {
            if (!next(&mqtt[0]))
                return usage("--mqtt necesita HOST:PUERTO");
        } else if (a.startsWith(u"--mqtt-") && opcionesMqtt.contains(a)) {
            if (!next(&mqtt[opcionesMqtt.indexOf(a) + 1]))
                return usage("las opciones --mqtt-... necesitan un valor");
        } else if (a == u"--desde") {
            if (!next(&desde))
                return usage("--desde necesita el directorio del programa anterior");
        } else if (a == u"--lineas") {
            listar = true;
        } else if (a == u"--quita-linea") {
            QString v;
            if (!next(&v) || !numeroLinea(v, &quitar) || quitar == 1)
                return usage("--quita-linea necesita un número de 2 a 16");
        } else if (a.startsWith(u"--")) {
            return usage("opción desconocida");
        } else if (inst.directorio.isEmpty()) {
            inst.directorio = a;
        } else {
            return usage("sobra un argumento");
        }
    }
    if (inst.directorio.isEmpty())
        return usage("falta el directorio");
    // [MQTT] checked now, written once the directory is ready.
    ConfigMqtt configMqtt;
    if (!mqtt[0].isEmpty()) {
        const qsizetype colon = mqtt[0].lastIndexOf(u':');
        if (colon <= 0)
            return usage("--mqtt necesita HOST:PUERTO");
        configMqtt = ConfigMqtt::desde(mqtt[0].left(colon), mqtt[0].mid(colon + 1), mqtt[1], mqtt[2], mqtt[3],
                                       mqtt[4], mqtt[5], QStringLiteral("-"));
        if (!configMqtt.error.isEmpty()) {
            std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(configMqtt.error));
            return 2;
        }
    } else if (std::any_of(mqtt + 1, mqtt + 6, [](const QString& v) { return !v.isEmpty(); })) {
        return usage("las opciones --mqtt-... van con --mqtt HOST:PUERTO");
    }
    if (!inst.tcp.isEmpty() && !inst.serie.isEmpty())
        return usage("--tcp y --serial se excluyen");

    // A line's own options name no line by themselves: never line 1 by default.
    if (!linea.numero && (!linea.nombre.isEmpty() || linea.decimales >= 0))
        return usage("--nombre y --decimales son de una línea: indique cuál con --linea N");

    if (listar || quitar || linea.numero) {
        if (int(listar) + int(quitar != 0) + int(linea.numero != 0) > 1)
            return usage("--linea, --lineas y --quita-linea se excluyen");
        if (!inst.postgres.isEmpty() || inst.web || !puestoNombre.isEmpty() || configMqtt.activo)
            return usage("--postgres, --web, --mqtt y --puesto-nombre no van con las opciones de líneas");
        const QString fuera = InstalacionLineas::avisoFueraDeRango(inst.directorio);
        if (!fuera.isEmpty())
            std::fprintf(stderr, "tolvex-setup: aviso: %s\n", qPrintable(fuera));
        QString error;
        if (listar) {
            const QStringList l = InstalacionLineas::lista(inst.directorio, &error);
            for (const QString& x : l)
                std::printf("%s\n", qPrintable(x));
            if (!error.isEmpty()) {
                std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(error));
                return 1;
            }
            return 0;
        }
        if (quitar) {
            if (!InstalacionLineas::quita(inst.directorio, quitar, &error)) {
                std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(error));
                return 1;
            }
            std::printf("Línea %d quitada.\n", quitar);
            return 0;
        }
        if (linea.numero == 1 && (!inst.tcp.isEmpty() || !inst.serie.isEmpty() || inst.id >= 0 ||
                                  linea.decimales >= 0))
            return usage("la línea 1 se cambia en Opciones; aquí sólo su --nombre");
        linea.tcp = inst.tcp;
        linea.serie = inst.serie;
        linea.id = inst.id;
        if (!InstalacionLineas::agrega(inst.directorio, linea, &error)) {
            std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("Línea %d lista.\n", linea.numero);
        return 0;
    }

    const QString own = QCoreApplication::applicationDirPath() + QStringLiteral("/tolvex");
    if (QFileInfo(own).isExecutable())
        inst.programa = own;

    if (!desde.isEmpty()) {
        if (!inst.tcp.isEmpty() || !inst.serie.isEmpty() || inst.id >= 0 || inst.web)
            return usage("--desde lleva el enlace del programa anterior: no va con --tcp, --serial, --id ni --web");
        const int r = migra(desde, inst);
        // A move that wrote its directory (all rows, or some refused) still takes the name.
        if ((r == 0 || r == 3) && !puestoNombre.isEmpty() && !nombraPuesto(inst.directorio, puestoNombre))
            return 1;
        if ((r == 0 || r == 3) && configMqtt.activo && !guardaMqtt(inst.directorio, configMqtt))
            return 1;
        return r;
    }
    // The older program's directory is moved, never prepared in place.
    const QString anterior = Migracion::avisoAnterior(inst.directorio);
    if (!anterior.isEmpty()) {
        std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(anterior));
        return 1;
    }

    const bool ok = inst.ejecutar();
    for (const QString& c : inst.creados)
        std::printf("creado: %s\n", qPrintable(c));
    for (const QString& e : inst.existentes)
        std::printf("existente, sin cambios: %s\n", qPrintable(e));
    if (!ok) {
        std::fprintf(stderr, "tolvex-setup: %s\n", qPrintable(inst.error));
        return 1;
    }
    if (!puestoNombre.isEmpty() && !nombraPuesto(inst.directorio, puestoNombre))
        return 1;
    if (configMqtt.activo && !guardaMqtt(inst.directorio, configMqtt))
        return 1;
    if (inst.programa.isEmpty())
        std::fprintf(stderr, "tolvex-setup: aviso: no se encontró el programa tolvex junto a "
                             "tolvex-setup; no se creó el lanzador.\n");
    std::printf("Directorio de programa listo: %s\n",
                qPrintable(QDir(inst.directorio).absolutePath()));
    return 0;
}
