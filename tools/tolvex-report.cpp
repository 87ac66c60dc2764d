// Produces the reports export or printed listing without the screen, for a
// selection given on the command line, so a timer can make the daily report.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPrinter>
#include <QRegularExpression>
#include <cstdio>

#include "CDatos.h"
#include "Config.h"
#include "Exportacion.h"
#include "FechaHora.h"
#include "Filtro.h"
#include "Lineas.h"
#include "Listado.h"
#include "Migracion.h"
#include "ModeloReporte.h"
#include "Programa.h"
#include "XlsxPlantilla.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kExito = 0;
constexpr int kFallo = 1;
constexpr int kArgumentos = 2;

void err(const QString& texto)
{
    std::fprintf(stderr, "tolvex-report: %s\n", texto.toLocal8Bit().constData());
}

// Builds the selection; empty on success, else why the arguments are wrong.
QString seleccion(const QCommandLineParser& p, Filtros::Seleccion& sel)
{
    const QStringList captions = Listado::captionsAuxiliares();
    if (p.isSet(QStringLiteral("totals")))
        sel.aplicaTotales(true);
    if (p.isSet(QStringLiteral("ticket"))) {
        static const QRegularExpression re(QStringLiteral("^\\s*(\\d+)\\s*-\\s*(\\d+)\\s*$"));
        const auto m = re.match(p.value(QStringLiteral("ticket")));
        if (!m.hasMatch())
            return QStringLiteral("--ticket espera DESDE-HASTA (números enteros).");
        QString desde = m.captured(1), hasta = m.captured(2);
        const Filtros::Criterio c = Filtros::numero(desde, hasta);
        sel.sumaFiltro(QStringLiteral("TICKET"), c, QStringLiteral("Ticket:"));
    }
    if (p.isSet(QStringLiteral("date"))) {
        // Dates as the screens show them, or AAAA-MM-DD: one day, or a range
        // whose "-" is the one that leaves a date on each side.
        const QString rango = p.value(QStringLiteral("date"));
        QDate d1 = FechaHora::leeFecha(rango), d2 = d1;
        for (qsizetype i = rango.indexOf(u'-'); i >= 0 && !d2.isValid(); i = rango.indexOf(u'-', i + 1)) {
            d1 = FechaHora::leeFecha(rango.left(i));
            d2 = d1.isValid() ? FechaHora::leeFecha(rango.mid(i + 1)) : QDate();
        }
        if (!d2.isValid())
            return QStringLiteral("--date espera FECHA o DESDE-HASTA, cada fecha como %1 o AAAA-MM-DD.")
                .arg(FechaHora::patronLegible());
        const auto c = Filtros::fecha(d1, d2, Programa::Fecha_Frm, Programa::Fecha_Chr);
        if (!c)
            return QStringLiteral("Error en el rango de fechas");
        sel.sumaFiltro(QStringLiteral("FECHA"), *c, QStringLiteral("Fecha y Hora:"));
    }
    if (p.isSet(QStringLiteral("linea"))) {
        const int n = Filtros::numeroLinea(p.value(QStringLiteral("linea")));
        if (n == 0)
            return QStringLiteral("--linea espera un número entero de 1 a %1.").arg(Lineas::kMaximo);
        const Filtros::Criterio c = Filtros::linea(n, Lineas::linea(n).nombre);
        sel.sumaFiltro(QStringLiteral("LINEA"), c, QStringLiteral("Línea:"));
    }
    for (const QString& aux : p.values(QStringLiteral("aux"))) {
        static const QRegularExpression re(QStringLiteral("^([1-6])=(.*)$"),
                                           QRegularExpression::DotMatchesEverythingOption);
        const auto m = re.match(aux);
        if (!m.hasMatch())
            return QStringLiteral("--aux espera N=PATRON con N de 1 a 6.");
        const int n = m.captured(1).toInt();
        const Filtros::Criterio c = Filtros::texto(m.captured(2));
        sel.sumaFiltro(QStringLiteral("AUX%1").arg(n), c, captions.value(n - 1));
    }
    return {};
}

QString ayuda(const QList<QCommandLineOption>& opciones)
{
    QString t = QStringLiteral("Uso: tolvex-report [opciones] --xlsx ARCHIVO | --pdf ARCHIVO\n\n"
                               "Exporta o imprime el reporte de pesadas sin abrir la pantalla, con la\n"
                               "configuración y la plantilla del directorio del programa.\n\nOpciones:\n");
    for (const QCommandLineOption& o : opciones) {
        QStringList nombres;
        for (const QString& n : o.names())
            nombres << (n.size() == 1 ? u"-"_s : u"--"_s) + n;
        QString izquierda = u"  "_s + nombres.join(u", "_s);
        if (!o.valueName().isEmpty())
            izquierda += u' ' + o.valueName();
        t += izquierda.leftJustified(26) + u' ' + o.description() + u'\n';
    }
    t += QStringLiteral("\nLas pesadas anteriores a las líneas de pesaje son de la línea 1. Con varias\n"
                        "líneas, el listado y el libro muestran la línea de cada pesada.\n");
    t += QStringLiteral("\nTermina con 0 cuando el archivo quedó escrito entero; con 1 ante cualquier\n"
                        "falla (el archivo anterior de ese nombre queda como estaba); con 2 cuando\n"
                        "los argumentos no son válidos.\n");
    return t;
}

// QCommandLineParser's error, said in Spanish.
QString errorDeArgumentos(const QCommandLineParser& p, const QList<QCommandLineOption>& opciones)
{
    const auto nombre = [](const QString& n) { return (n.size() == 1 ? u"-"_s : u"--"_s) + n; };
    if (!p.unknownOptionNames().isEmpty())
        return QStringLiteral("Opción desconocida: %1. Vea tolvex-report --help.")
            .arg(nombre(p.unknownOptionNames().constFirst()));
    // The other errors name the option between quotes.
    static const QRegularExpression reNombre(QStringLiteral("'-*([^']*)'"));
    const QString n = reNombre.match(p.errorText()).captured(1);
    for (const QCommandLineOption& o : opciones) {
        if (!o.names().contains(n))
            continue;
        return o.valueName().isEmpty() ? QStringLiteral("La opción %1 no lleva valor.").arg(nombre(n))
                                       : QStringLiteral("Falta el valor de %1 (%2).").arg(nombre(n), o.valueName());
    }
    return QStringLiteral("Argumentos no válidos. Vea tolvex-report --help.");
}

int listado(const Filtros::Seleccion& sel, bool filtrado, const QVector<Linea>& lineasPlanta, const QString& destino)
{
    CDatos datos;
    if (!datos.AbrirBase(Programa::DataCSReporte)) {
        err(QStringLiteral("No se pudo leer la base de datos: ") + datos.ultimoError());
        return kFallo;
    }
    ModeloReporte modelo;
    modelo.muestraLineas(lineasPlanta);
    QString error;
    if (!modelo.selecciona(datos.base(), datos.motor(), Programa::DataTbReporte, sel.filtro, sel.ordenCompleto(),
                           sel.ordenCompleto(true), &error)) {
        err(QStringLiteral("No se pudo leer la base de datos: ") + error);
        return kFallo;
    }
    Listado l;
    // As on the screen: the totals switch alone leaves the general caption.
    l.titulo = filtrado ? QStringLiteral("Reporte Parcial de Pesadas realizadas")
                        : QStringLiteral("Reporte General de Pesadas realizadas");
    l.descFiltro = sel.descFiltro;
    l.captions = Listado::captionsAuxiliares();
    l.totales = sel.totales;
    const QVector<Listado::Linea> lineas = l.lineas(modelo);
    if (!modelo.ultimoError().isEmpty()) {
        err(QStringLiteral("No se pudo leer la base de datos: ") + modelo.ultimoError());
        return kFallo;
    }
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageSize(QPageSize(QPageSize::A4));
    Listado::preparaPagina(printer);
    if (!Listado::imprimirPdf(printer, destino, lineas, &error)) {
        err(QStringLiteral("No se pudo escribir %1: %2").arg(destino, error));
        return kFallo;
    }
    return kExito;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-report"));

    // Qt's own help and option errors are in English: both are ours.
    QCommandLineParser p;
    const QList<QCommandLineOption> opciones = {
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Muestra esta ayuda.")},
        {QStringLiteral("dir"), QStringLiteral("Directorio del programa (por defecto, el actual)."),
         QStringLiteral("DIRECTORIO")},
        {QStringLiteral("ticket"), QStringLiteral("Rango de tickets."), QStringLiteral("DESDE-HASTA")},
        {QStringLiteral("date"),
         QStringLiteral("Un día o un rango de fechas: %1 (como en pantalla) o AAAA-MM-DD.")
             .arg(FechaHora::patronLegible()),
         QStringLiteral("FECHA|DESDE-HASTA")},
        {QStringLiteral("aux"), QStringLiteral("Patrón del dato auxiliar N (1 a 6), * como comodín."),
         QStringLiteral("N=PATRON")},
        {QStringLiteral("linea"),
         QStringLiteral("Solo las pesadas de la línea N (1 a %1).").arg(Lineas::kMaximo),
         QStringLiteral("N")},
        {QStringLiteral("totals"), QStringLiteral("Solo los registros de total, con la suma.")},
        {QStringLiteral("xlsx"), QStringLiteral("Exporta a este libro."), QStringLiteral("ARCHIVO")},
        {QStringLiteral("pdf"), QStringLiteral("Imprime el listado en este PDF."), QStringLiteral("ARCHIVO")}};
    p.addOptions(opciones);
    if (!p.parse(app.arguments())) {
        err(errorDeArgumentos(p, opciones));
        return kArgumentos;
    }
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(ayuda(opciones)), stdout);
        return kExito;
    }
    if (!p.positionalArguments().isEmpty()) {
        err(QStringLiteral("Argumento desconocido: ") + p.positionalArguments().constFirst());
        return kArgumentos;
    }
    if (p.isSet(QStringLiteral("xlsx")) == p.isSet(QStringLiteral("pdf"))) {
        err(QStringLiteral("Indique --xlsx ARCHIVO o --pdf ARCHIVO (uno de los dos)."));
        return kArgumentos;
    }
    const QString salida = QFileInfo(p.isSet(QStringLiteral("xlsx")) ? p.value(QStringLiteral("xlsx"))
                                                                      : p.value(QStringLiteral("pdf")))
                               .absoluteFilePath();
    const QString dir = p.isSet(QStringLiteral("dir")) ? p.value(QStringLiteral("dir")) : QDir::currentPath();
    if (!QFileInfo(dir).isDir() || !QDir::setCurrent(dir)) {
        err(QStringLiteral("No existe el directorio %1.").arg(dir));
        return kFallo;
    }
    if (!QFileInfo::exists(Config::rutaArchivo())) {
        err(QStringLiteral("No se encontró %1 en %2.").arg(Config::kArchivo, QDir::currentPath()));
        return kFallo;
    }
    const QString anterior = Migracion::avisoAnterior(QDir::currentPath());
    if (!anterior.isEmpty()) {
        err(anterior);
        return kFallo;
    }
    Programa::leeVariables();
    if (Programa::DataCSReporte.isEmpty() || Programa::DataTbReporte.isEmpty()) {
        err(QStringLiteral("%1 no indica la base de datos de reportes.").arg(Config::kArchivo));
        return kFallo;
    }

    Filtros::Seleccion sel;
    const QString malo = seleccion(p, sel);
    if (!malo.isEmpty()) {
        err(malo);
        return kArgumentos;
    }

    // With several lines the listing and the book show each row's line.
    const QVector<Linea> lineas = Lineas::varias() ? Lineas::lista() : QVector<Linea>();
    if (p.isSet(QStringLiteral("pdf")))
        return listado(sel,
                       p.isSet(QStringLiteral("ticket")) || p.isSet(QStringLiteral("date")) ||
                           p.isSet(QStringLiteral("aux")) || p.isSet(QStringLiteral("linea")),
                       lineas, salida);

    const QString plantilla = QDir::current().absoluteFilePath(XlsxPlantilla::kArchivo);
    const auto r =
        Exportacion::exportar(Programa::DataCSReporte, Programa::DataTbReporte, sel, plantilla, salida, {}, lineas);
    if (!r.ok) {
        err(QStringLiteral("No se pudo exportar los datos a formato Excel: ") + r.error);
        return kFallo;
    }
    return kExito;
}
