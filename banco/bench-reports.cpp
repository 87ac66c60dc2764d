// Measures the reports browser and export on a table of N rows, each action
// beside the same statements run in this process through the engine's own C
// API (SQLite's, libpq) on a connection opened once, every row read; for the
// export, libxlsxwriter writing the same cells.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <libpq-fe.h>
#include <memory>
#include <sqlite3.h>
#include <xlsxwriter.h>

#include "CDatos.h"
#include "ConexionPiso.h"
#include "ConnectionString.h"
#include "Exportacion.h"
#include "Filtro.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "Programa.h"
#include "Schema.h"
#include "SqlDialect.h"
#include "XlsxPlantilla.h"
#include "frmPLANILLA.h"

namespace {

constexpr int kRepeticiones = 3;

double mediana(std::function<void()> f)
{
    QVector<double> t;
    for (int i = 0; i < kRepeticiones; ++i) {
        QElapsedTimer e;
        e.start();
        f();
        t << e.nsecsElapsed() / 1e6;
    }
    std::sort(t.begin(), t.end());
    return t.at(t.size() / 2);
}

// Bytes the floor read, kept so that the reads are not optimised away.
size_t g_leidos = 0;

// The floor's connection: the engine's C API, opened once.
struct Piso
{
    sqlite3* lite = nullptr;
    PGconn* pg = nullptr;
    ~Piso()
    {
        sqlite3_close(lite);
        if (pg)
            PQfinish(pg);
    }
    // Runs sql and reads every value of every row as text; the row count.
    qint64 ejecuta(const QString& sql)
    {
        const QByteArray t = sql.toUtf8();
        qint64 filas = 0;
        size_t bytes = 0;
        if (lite) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(lite, t.constData(), -1, &st, nullptr) != SQLITE_OK) {
                std::fprintf(stderr, "%s\n", sqlite3_errmsg(lite));
                return -1;
            }
            const int n = sqlite3_column_count(st);
            while (sqlite3_step(st) == SQLITE_ROW) {
                ++filas;
                for (int c = 0; c < n; ++c)
                    bytes += size_t(sqlite3_column_bytes(st, c)) + (sqlite3_column_text(st, c) ? 1 : 0);
            }
            sqlite3_finalize(st);
        } else {
            PGresult* r = PQexec(pg, t.constData());
            if (PQresultStatus(r) != PGRES_TUPLES_OK)
                std::fprintf(stderr, "%s\n", PQresultErrorMessage(r));
            filas = PQntuples(r);
            for (int i = 0; i < filas; ++i)
                for (int c = 0; c < PQnfields(r); ++c)
                    bytes += size_t(PQgetlength(r, i, c)) + (PQgetvalue(r, i, c) ? 1 : 0);
            PQclear(r);
        }
        g_leidos += bytes;
        return filas;
    }
};

struct Motor
{
    ConnectionString cs;
    QString conexion;
    QString tabla;
    std::shared_ptr<Piso> piso;
};

// A floor connection of its own, opened through the engine's C API.
std::shared_ptr<Piso> conectaPiso(const ConnectionString& cs)
{
    auto p = std::make_shared<Piso>();
    if (cs.engine == ConnectionString::SQLite) {
        if (sqlite3_open_v2(QFile::encodeName(cs.path).constData(), &p->lite, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK) {
            std::fprintf(stderr, "%s\n", sqlite3_errmsg(p->lite));
            return nullptr;
        }
    } else {
        p->pg = PQconnectdb(conninfoLibpq(cs).constData());
        if (PQstatus(p->pg) != CONNECTION_OK) {
            std::fprintf(stderr, "%s\n", PQerrorMessage(p->pg));
            return nullptr;
        }
    }
    return p;
}

double piso(const Motor& m, const QStringList& sentencias)
{
    return mediana([&] {
        for (const QString& s : sentencias)
            m.piso->ejecuta(s);
    });
}

QString adapta(const Motor& m, const QString& sql)
{
    return SqlDialect::adaptar(sql, m.cs.engine, CDatos::formatoFecha());
}

QStringList sentenciasDe(const Motor& m, const Filtros::Seleccion& s, bool ultimo)
{
    const QString cols = ModeloReporte::nombresColumnas().join(QStringLiteral(", "));
    return {adapta(m, QStringLiteral("SELECT COUNT(*) FROM %1%2").arg(m.tabla, s.filtro)),
            adapta(m, QStringLiteral("SELECT %1 FROM %2%3 ORDER BY %4 LIMIT %5 OFFSET 0")
                          .arg(cols, m.tabla, s.filtro, s.ordenCompleto(ultimo))
                          .arg(ModeloReporte::kPagina))};
}

bool llena(const Motor& m, qint64 filas)
{
    CDatos db;
    if (!db.AbrirBase(m.conexion, true)) {
        std::fprintf(stderr, "%s\n", qPrintable(db.ultimoError()));
        return false;
    }
    db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + m.tabla);
    QString error;
    if (!Schema::crear(db, m.tabla, m.tabla + QStringLiteral("_ope"), m.tabla + QStringLiteral("_glo"), nullptr, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    const bool sqlite = m.cs.engine == ConnectionString::SQLite;
    // Realistic rows: 40 customers, 12 trucks, 300 batches a day, a dispatch
    // total every 20 batches.
    const QString serie = sqlite ? QStringLiteral("WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < %1) ")
                                 : QStringLiteral("WITH s(i) AS (SELECT generate_series(1, %1)) ");
    const QString fecha = sqlite ? QStringLiteral("date('2016-01-01', '+' || (i / 300) || ' days')")
                                 : QStringLiteral("DATE '2016-01-01' + (i / 300)::int");
    const QString hora = sqlite ? QStringLiteral("time((i % 300) * 180 + 21600, 'unixepoch')")
                                : QStringLiteral("TIME '06:00' + ((i % 300) * 180) * INTERVAL '1 second'");
    const QString cat = QStringLiteral("||");
    const QString sql =
        serie.arg(filas) +
        QStringLiteral("INSERT INTO %1 (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, PESO, BACH, PRESET, FECHA, "
                       "HORA, INFO, OPERADOR, OPCION1) SELECT i, 'Cliente ' %2 (((i % 40) * 7919) % 40), 'Camión ' %2 (i % 12), "
                       "'Remito ' %2 (i / 20), 'Maíz', 'Planta 1', '', ((i % 20) + 1) * 512.5, 512.5, 500, 10000, "
                       "%3, %4, '', 'operario ' %2 (i % 3), CASE WHEN i % 20 = 0 THEN 1 ELSE 0 END FROM s")
            .arg(m.tabla, cat, fecha, hora);
    QSqlQuery q(db.base());
    if (!q.exec(sql)) {
        std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
        return false;
    }
    Schema::aseguraIndicesReporte(db.base(), m.tabla);
    q.exec(sqlite ? QStringLiteral("ANALYZE") : QStringLiteral("ANALYZE ") + m.tabla);
    return true;
}

// Date and time text of the engine read without trying several formats, so
// the floor does no more work than it must.
QDate fechaRapida(const QVariant& v)
{
    const QString t = v.toString();
    if (v.metaType().id() == QMetaType::QString && t.size() == 10)
        return QDate(QStringView(t).left(4).toInt(), QStringView(t).mid(5, 2).toInt(), QStringView(t).mid(8, 2).toInt());
    return CDatos::aFecha(v);
}

QTime horaRapida(const QVariant& v)
{
    const QString t = v.toString();
    if (v.metaType().id() == QMetaType::QString && t.size() == 8)
        return QTime(QStringView(t).left(2).toInt(), QStringView(t).mid(3, 2).toInt(), QStringView(t).mid(6, 2).toInt());
    return CDatos::aHora(v);
}

// One run of the floor, in ms.
double pisoXlsx(const Motor& m, const Filtros::Seleccion& s, const QString& archivo)
{
    // libxlsxwriter in constant-memory mode writing the same ten columns,
    // read from the same database in the same timed run.
    const QString sql = adapta(m, QStringLiteral("SELECT TICKET, FECHA, HORA, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL "
                                                 "FROM %1%2 ORDER BY %3")
                                      .arg(m.tabla, s.filtro, s.ordenCompleto()));
    const QByteArray nombre = QFile::encodeName(archivo);
    QElapsedTimer t;
    t.start();
    {
        CDatos db;
        db.AbrirBase(m.conexion);
        QSqlQuery q(db.base());
        q.setForwardOnly(true);
        q.exec(sql);
        lxw_workbook_options opciones;
        std::memset(&opciones, 0, sizeof opciones);
        opciones.constant_memory = LXW_TRUE;
        lxw_workbook* wb = workbook_new_opt(nombre.constData(), &opciones);
        lxw_worksheet* ws = workbook_add_worksheet(wb, "REPORTE");
        lxw_format* fFecha = workbook_add_format(wb);
        format_set_num_format(fFecha, "dd/mm/yyyy");
        lxw_format* fHora = workbook_add_format(wb);
        format_set_num_format(fHora, "hh:mm:ss");
        lxw_row_t r = XlsxPlantilla::kPrimeraFila - 1;
        while (q.next()) {
            worksheet_write_number(ws, r, 0, q.value(0).toDouble(), nullptr);
            const QDate fecha = fechaRapida(q.value(1));
            lxw_datetime d = {fecha.year(), fecha.month(), fecha.day(), 0, 0, 0};
            worksheet_write_datetime(ws, r, 1, &d, fFecha);
            const QTime hora = horaRapida(q.value(2));
            lxw_datetime h = {0, 0, 0, hora.hour(), hora.minute(), double(hora.second())};
            worksheet_write_datetime(ws, r, 2, &h, fHora);
            for (int i = 0; i < 6; ++i) {
                const QByteArray aux = q.value(3 + i).toString().toUtf8();
                if (!aux.isEmpty())
                    worksheet_write_string(ws, r, 3 + i, aux.constData(), nullptr);
            }
            worksheet_write_number(ws, r, 9, q.value(9).toDouble(), nullptr);
            ++r;
        }
        workbook_close(wb);
    }
    return t.nsecsElapsed() / 1e6;
}

void linea(const QString& accion, double ms, double pisoMs, double& peor)
{
    const double ratio = ms / std::max(pisoMs, 0.001);
    peor = std::max(peor, ratio);
    std::printf("%-36s %10.1f %10.1f %8.2f\n", qPrintable(accion), ms, pisoMs, ratio);
    std::fflush(stdout);
}

void mideExportacion(const Motor& m, const QString& pre, qint64 filas, double& peor);

void mide(const Motor& m, const QString& etiqueta, qint64 filas, double& peor, bool soloExportacion)
{
    Programa::DataCSReporte = m.conexion;
    Programa::DataTbReporte = m.tabla;
    const QString pre = etiqueta + u' ';
    if (soloExportacion)
        return mideExportacion(m, pre, filas, peor);

    // Opening: connection, count and the first page on screen.
    frmPLANILLA* b = nullptr;
    const double abrir = mediana([&] {
        delete b;
        b = new frmPLANILLA;
    });
    if (!b->cargado()) {
        std::fprintf(stderr, "no se pudo abrir el navegador\n");
        return;
    }
    // Its floor opens a connection too, as the screen must.
    const QStringList primeras = sentenciasDe(m, Filtros::Seleccion(), false);
    const double pisoAbrir = mediana([&] {
        const std::shared_ptr<Piso> p = conectaPiso(m.cs);
        for (const QString& s : primeras)
            p->ejecuta(s);
    });
    linea(pre + QStringLiteral("abrir"), abrir, pisoAbrir, peor);

    for (const Filtros::CampoBrowser& c : Filtros::camposBrowser()) {
        if (c.orden.isEmpty())
            continue;
        Filtros::Seleccion s;
        s.campoOrden = c.orden;
        const double ms = mediana([&] { b->ordenar(c.indice); });
        linea(pre + QStringLiteral("ordenar ") + c.orden.split(u',').first(), ms, piso(m, sentenciasDe(m, s, false)), peor);
    }

    struct Caso { QString nombre; QString campo; QString orden; Filtros::Criterio criterio; QString desc; };
    QString desde = QStringLiteral("%1").arg(filas / 2), hasta = QStringLiteral("%1").arg(filas / 2 + 5000);
    const auto fecha = Filtros::fecha(QDate(2017, 3, 1), QDate(2017, 3, 31), Programa::Fecha_Frm, Programa::Fecha_Chr);
    const QList<Caso> casos = {
        {QStringLiteral("filtro texto"), QStringLiteral("AUX1"), QStringLiteral("AUX1"), Filtros::texto(QStringLiteral("Cliente 1*")), {}},
        {QStringLiteral("filtro numero"), QStringLiteral("TICKET"), QStringLiteral("TICKET"), Filtros::numero(desde, hasta), {}},
        {QStringLiteral("filtro fecha"), QStringLiteral("FECHA"), QStringLiteral("FECHA, HORA"), *fecha, {}},
    };
    for (const Caso& caso : casos) {
        Filtros::Seleccion s;
        s.campoOrden = caso.orden;
        s.aplicaFiltro(Filtros::condicion(caso.campo, caso.criterio), caso.criterio.descripcion, caso.campo, false);
        const double ms = mediana([&] { b->aplicaSeleccion(s); });
        linea(pre + caso.nombre, ms, piso(m, sentenciasDe(m, s, false)), peor);
    }
    {
        Filtros::Seleccion s;
        s.aplicaTotales(true);
        const double ms = mediana([&] { b->aplicaSeleccion(s); });
        linea(pre + QStringLiteral("totales"), ms, piso(m, sentenciasDe(m, s, false)), peor);
    }

    Filtros::Seleccion todo;
    b->aplicaSeleccion(todo);
    const double cuenta = mediana([&] { b->modelo()->refresca(nullptr); });
    linea(pre + QStringLiteral("cuenta"), cuenta, piso(m, {sentenciasDe(m, todo, false).first()}), peor);

    const double ultimo = mediana([&] {
        b->modelo()->olvida();
        b->ultimo();
    });
    linea(pre + QStringLiteral("ultimo registro"), ultimo, piso(m, {sentenciasDe(m, todo, true).last()}), peor);
    if (b->cantidad() != filas)
        std::fprintf(stderr, "cuenta incorrecta: %d de %lld\n", b->cantidad(), static_cast<long long>(filas));

    // Walking the whole selection page by page, as the grid and the printed
    // listing do, beside one ordered scan of it. Once each: they are long.
    for (const QString& orden : {QStringLiteral("TICKET"), QStringLiteral("AUX1")}) {
        Filtros::Seleccion s;
        s.campoOrden = orden;
        b->aplicaSeleccion(s);
        QElapsedTimer t;
        t.start();
        qint64 vistas = 0;
        const ModeloReporte* modelo = b->modelo();
        for (int i = 0; i < modelo->rowCount(); ++i)
            vistas += modelo->valor(i, ModeloReporte::TICKET).isValid() ? 1 : 0;
        const double ms = double(t.nsecsElapsed()) / 1e6;
        t.restart();
        const QString cols = ModeloReporte::nombresColumnas().join(QStringLiteral(", "));
        const qint64 scan = m.piso->ejecuta(adapta(m, QStringLiteral("SELECT %1 FROM %2 ORDER BY %3").arg(cols, m.tabla, s.ordenCompleto())));
        const double pisoMs = double(t.nsecsElapsed()) / 1e6;
        if (vistas != filas || scan != filas)
            std::fprintf(stderr, "recorrido incompleto: %lld / %lld de %lld\n", static_cast<long long>(vistas),
                         static_cast<long long>(scan), static_cast<long long>(filas));
        linea(pre + QStringLiteral("recorrer todo por ") + orden, ms, pisoMs, peor);
    }
    delete b;
    mideExportacion(m, pre, filas, peor);
}

void mideExportacion(const Motor& m, const QString& pre, qint64 filas, double& peor)
{
    QTemporaryDir dir;
    XlsxPlantilla::crear(dir.filePath(XlsxPlantilla::kArchivo), nullptr);
    for (qint64 n : {qint64(10000), qint64(100000)}) {
        if (n > filas)
            continue;
        QString d1 = QStringLiteral("1"), d2 = QString::number(n);
        Filtros::Seleccion s;
        const auto c = Filtros::numero(d1, d2);
        s.aplicaFiltro(Filtros::condicion(QStringLiteral("TICKET"), c), c.descripcion, QStringLiteral("Ticket"), false);
        const QString destino = dir.filePath(QStringLiteral("export.xlsx"));
        bool ok = true;
        // Program and floor take turns, so that a busy moment of the
        // machine weighs on both alike; medians of five each.
        QVector<double> programa, pisos;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer t;
            t.start();
            const auto r = Exportacion::exportar(m.conexion, m.tabla, s, dir.filePath(XlsxPlantilla::kArchivo), destino);
            programa << t.nsecsElapsed() / 1e6;
            ok = ok && r.ok && r.filas == n;
            pisos << pisoXlsx(m, s, dir.filePath(QStringLiteral("piso.xlsx")));
        }
        if (!ok)
            std::fprintf(stderr, "exportación fallida\n");
        std::sort(programa.begin(), programa.end());
        std::sort(pisos.begin(), pisos.end());
        linea(pre + QStringLiteral("exportar %1").arg(n), programa.at(2), pisos.at(2), peor);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MessageBox::setScripted(true);
    QCommandLineParser p;
    p.addHelpOption();
    p.addOption({QStringLiteral("rows"), QStringLiteral("Filas de la tabla."), QStringLiteral("N")});
    p.addOption({QStringLiteral("postgres"), QStringLiteral("Cadena de conexión de un servidor PostgreSQL."),
                 QStringLiteral("CONEXION")});
    p.addOption({QStringLiteral("export-only"), QStringLiteral("Solo la exportación frente a libxlsxwriter.")});
    p.addOption({QStringLiteral("keep"), QStringLiteral("Directorio donde conservar la base SQLite (se reutiliza)."),
                 QStringLiteral("DIR")});
    if (!p.parse(app.arguments()) || !p.isSet(QStringLiteral("rows"))) {
        std::fprintf(stderr, "uso: tolvex-bench-reports --rows N [--postgres \"CONEXION\"]\n");
        return 2;
    }
    const qint64 filas = p.value(QStringLiteral("rows")).toLongLong();
    if (filas < 1)
        return 2;
    QTemporaryDir tmp;
    const QString dir = p.isSet(QStringLiteral("keep")) ? p.value(QStringLiteral("keep")) : tmp.path();
    QDir().mkpath(dir);
    QDir::setCurrent(dir);
    CDatos::setDirectorioBase(dir);

    QList<Motor> motores;
    Motor s;
    s.conexion = QStringLiteral("Driver=SQLite;Data Source=") + QDir(dir).filePath(QStringLiteral("bench.db"));
    s.cs = ConnectionString::parse(s.conexion, dir);
    s.tabla = QStringLiteral("Reporte");
    motores << s;
    if (p.isSet(QStringLiteral("postgres"))) {
        Motor g;
        g.conexion = p.value(QStringLiteral("postgres"));
        g.cs = ConnectionString::parse(g.conexion, dir);
        g.tabla = QStringLiteral("bench_reporte");
        motores << g;
    }

    std::printf("%-36s %10s %10s %8s\n", "action", "program_ms", "floor_ms", "ratio");
    double peor = 0;
    for (Motor& m : motores) {
        const bool sqlite = m.cs.engine == ConnectionString::SQLite;
        bool reutiliza = false;
        if (sqlite && p.isSet(QStringLiteral("keep")) && QFile::exists(m.cs.path)) {
            CDatos db;
            reutiliza = db.AbrirBase(m.conexion) && db.AbreRegistro(QStringLiteral("SELECT COUNT(*) FROM ") + m.tabla) &&
                        db.registroActual().value(0).toLongLong() == filas;
        }
        if (!reutiliza) {
            QElapsedTimer t;
            t.start();
            if (!llena(m, filas))
                return 1;
            std::fprintf(stderr, "%s: %lld filas en %.1f s\n", sqlite ? "sqlite" : "postgresql",
                         static_cast<long long>(filas), t.elapsed() / 1000.0);
        }
        m.piso = conectaPiso(m.cs);
        if (!m.piso)
            return 1;
        mide(m, sqlite ? QStringLiteral("sqlite") : QStringLiteral("postgresql"), filas, peor,
             p.isSet(QStringLiteral("export-only")));
        m.piso.reset();
        if (!sqlite) {
            CDatos db;
            if (db.AbrirBase(m.conexion))
                for (const QString& t : {m.tabla, m.tabla + QStringLiteral("_ope"), m.tabla + QStringLiteral("_glo")})
                    db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
        }
    }
    std::printf("worst ratio %.2f\n", peor);
    return 0;
}
