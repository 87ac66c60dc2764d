// tolvex-bench-datos [--rows N] [--postgres "CONNECTION"]
// Time to record one batch as the station's writer does (mark the previous
// row, take the ticket, append the row, commit), beside the floor: the same
// statements in the same transaction on one open connection through the
// engine's own C API (SQLite's, libpq) with statements prepared once. Both
// run in the same process on the same tables, in interleaved rounds.
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <libpq-fe.h>
#include <memory>
#include <sqlite3.h>
#include <vector>

#include "CDatos.h"
#include "ConexionPiso.h"
#include "Programa.h"
#include "Registrador.h"
#include "Schema.h"

namespace {

constexpr int kRondas = 10;

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t i =
        std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

// The writer's statements for one batch, with the previous row's ticket.
const char* const kSentencias[] = {
    "SELECT VALOR FROM %g WHERE VARIABLE = 'Ticket'",
    "UPDATE %g SET VALOR = $1 WHERE VARIABLE = 'Ticket'",
    "SELECT * FROM %r WHERE TICKET = $1",
    "UPDATE %r SET OPCION1 = $1, INFO = $2 WHERE TICKET = $3",
    "SELECT * FROM %r WHERE TICKET = $1",
    "INSERT INTO %r (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, PESO, BACH, PRESET, FECHA, "
    "HORA, INFO, OPERADOR) VALUES ($1, $2, $3, '', '', '', '', $4, $5, $6, $7, $8, $9, '', $10)",
};

QByteArray sentencia(int i, bool postgres)
{
    QString s = QString::fromLatin1(kSentencias[i]);
    s.replace(QStringLiteral("%g"), Schema::kTablaGlobal).replace(QStringLiteral("%r"), Schema::kTablaReporte);
    if (!postgres)
        s.replace(u'$', u'?');
    if (postgres && i == 0)
        s += QStringLiteral(" FOR UPDATE");
    return s.toUtf8();
}

struct Lote
{
    qint64 anterior;
    double total;
    QDate fecha;
    QTime hora;
};

// The floor: one open connection, statements prepared once.
class Piso
{
public:
    virtual ~Piso() = default;
    // The ticket the batch took; 0 on failure.
    virtual qint64 graba(const Lote& l) = 0;
    QString error;
};

class PisoSqlite : public Piso
{
public:
    explicit PisoSqlite(const QString& archivo)
    {
        if (sqlite3_open(QFile::encodeName(archivo).constData(), &m_db) != SQLITE_OK)
            return;
        sqlite3_busy_timeout(m_db, 15000);
        sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(m_db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        for (int i = 0; i < 6; ++i)
            sqlite3_prepare_v2(m_db, sentencia(i, false).constData(), -1, &m_st[i], nullptr);
    }
    ~PisoSqlite() override
    {
        for (sqlite3_stmt* s : m_st)
            sqlite3_finalize(s);
        sqlite3_close(m_db);
    }
    qint64 graba(const Lote& l) override
    {
        if (!exec("BEGIN IMMEDIATE"))
            return 0;
        sqlite3_stmt* s = m_st[0];
        qint64 ticket = 1;
        if (sqlite3_step(s) == SQLITE_ROW)
            ticket = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))).toLongLong();
        sqlite3_reset(s);
        const QByteArray siguiente = QByteArray::number(ticket + 1);
        sqlite3_bind_text(m_st[1], 1, siguiente.constData(), -1, SQLITE_TRANSIENT);
        bool ok = paso(m_st[1]);
        sqlite3_bind_int64(m_st[2], 1, l.anterior);
        bool cierra = false;
        if (sqlite3_step(m_st[2]) == SQLITE_ROW)
            cierra = sqlite3_column_double(m_st[2], 7) > l.total;
        sqlite3_reset(m_st[2]);
        sqlite3_bind_int(m_st[3], 1, cierra ? 1 : 0);
        sqlite3_bind_text(m_st[3], 2, "", -1, SQLITE_STATIC);
        sqlite3_bind_int64(m_st[3], 3, l.anterior);
        ok = ok && paso(m_st[3]);
        sqlite3_bind_int64(m_st[4], 1, ticket);
        while (sqlite3_step(m_st[4]) == SQLITE_ROW) {
        }
        sqlite3_reset(m_st[4]);
        sqlite3_stmt* in = m_st[5];
        const QByteArray fecha = l.fecha.toString(Qt::ISODate).toUtf8();
        const QByteArray hora = l.hora.toString(QStringLiteral("HH:mm:ss")).toUtf8();
        sqlite3_bind_int64(in, 1, ticket);
        sqlite3_bind_text(in, 2, "Cliente", -1, SQLITE_STATIC);
        sqlite3_bind_text(in, 3, "Producto", -1, SQLITE_STATIC);
        sqlite3_bind_double(in, 4, l.total);
        sqlite3_bind_double(in, 5, 250);
        sqlite3_bind_double(in, 6, 250);
        sqlite3_bind_double(in, 7, 0);
        sqlite3_bind_text(in, 8, fecha.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(in, 9, hora.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(in, 10, "bench", -1, SQLITE_STATIC);
        ok = ok && paso(in);
        return exec(ok ? "COMMIT" : "ROLLBACK") && ok ? ticket : 0;
    }

private:
    bool exec(const char* sql)
    {
        char* e = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &e) == SQLITE_OK)
            return true;
        error = QString::fromUtf8(e);
        sqlite3_free(e);
        return false;
    }
    bool paso(sqlite3_stmt* s)
    {
        const int r = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (r == SQLITE_DONE)
            return true;
        error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return false;
    }
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_st[6] = {};
};

class PisoPostgres : public Piso
{
public:
    explicit PisoPostgres(const ConnectionString& cs)
    {
        const QByteArray info = conninfoLibpq(cs);
        m_c = PQconnectdb(info.constData());
        for (int i = 0; i < 6; ++i) {
            PGresult* r = PQprepare(m_c, QByteArray::number(i).constData(), sentencia(i, true).constData(),
                                    0, nullptr);
            if (PQresultStatus(r) != PGRES_COMMAND_OK)
                error = QString::fromUtf8(PQerrorMessage(m_c));
            PQclear(r);
        }
    }
    ~PisoPostgres() override { PQfinish(m_c); }
    qint64 graba(const Lote& l) override
    {
        if (!exec("BEGIN"))
            return 0;
        PGresult* r = ejecuta(0, {});
        qint64 ticket = PQntuples(r) > 0 ? QByteArray(PQgetvalue(r, 0, 0)).toLongLong() : 1;
        PQclear(r);
        bool ok = cierra(ejecuta(1, {QByteArray::number(ticket + 1)}));
        r = ejecuta(2, {QByteArray::number(l.anterior)});
        const bool marca = PQntuples(r) > 0 && QByteArray(PQgetvalue(r, 0, 7)).toDouble() > l.total;
        PQclear(r);
        ok = ok && cierra(ejecuta(3, {marca ? "1" : "0", "", QByteArray::number(l.anterior)}));
        PQclear(ejecuta(4, {QByteArray::number(ticket)}));
        ok = ok && cierra(ejecuta(5, {QByteArray::number(ticket), "Cliente", "Producto",
                                      QByteArray::number(l.total, 'g', 17), "250", "250", "0",
                                      l.fecha.toString(Qt::ISODate).toUtf8(),
                                      l.hora.toString(QStringLiteral("HH:mm:ss")).toUtf8(), "bench"}));
        return exec(ok ? "COMMIT" : "ROLLBACK") && ok ? ticket : 0;
    }

private:
    PGresult* ejecuta(int i, const QList<QByteArray>& valores)
    {
        std::vector<const char*> v;
        for (const QByteArray& b : valores)
            v.push_back(b.constData());
        return PQexecPrepared(m_c, QByteArray::number(i).constData(), int(v.size()), v.data(), nullptr,
                              nullptr, 0);
    }
    bool cierra(PGresult* r)
    {
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok)
            error = QString::fromUtf8(PQresultErrorMessage(r));
        PQclear(r);
        return ok;
    }
    bool exec(const char* sql) { return cierra(PQexec(m_c, sql)); }
    PGconn* m_c = nullptr;
};

void imprime(const char* nombre, const std::vector<double>& v, const std::vector<double>& piso)
{
    const double m = percentile(v, 0.5), p = percentile(v, 0.99);
    std::printf("%-34s median %7.3f ms  p99 %7.3f ms  ratio to floor %.2f / %.2f\n", nombre, m, p,
                m / percentile(piso, 0.5), p / percentile(piso, 0.99));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int rows = 1000;
    QString cs;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == u"--rows" && i + 1 < args.size())
            rows = args[++i].toInt();
        else if (args[i] == u"--postgres" && i + 1 < args.size())
            cs = args[++i];
        else {
            std::fprintf(stderr, "uso: tolvex-bench-datos [--rows N] [--postgres \"CONEXION\"]\n");
            return 2;
        }
    }
    if (rows < kRondas)
        rows = 1000;
    // The database and the writer's queue beside it (the program directory),
    // and a second queue in memory (/dev/shm) to tell the queue's synced
    // writes from the database work.
    QTemporaryDir tmp;
    QTemporaryDir shm(QStringLiteral("/dev/shm/tolvex-bench-XXXXXX"));
    const bool postgres = !cs.isEmpty();
    if (!postgres)
        cs = ConnectionString::sqlite(tmp.path() + QStringLiteral("/data.db"));
    {
        CDatos db;
        QString error;
        if (!db.AbrirBase(cs, true)) {
            std::fprintf(stderr, "%s\n", qPrintable(db.ultimoError()));
            return 1;
        }
        for (const QString& t : {Schema::kTablaReporte, Schema::kTablaGlobal})
            if (postgres)
                db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
        if (!Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal,
                           nullptr, &error) ||
            db.TomaTicket(Schema::kTablaGlobal) == 0) {
            std::fprintf(stderr, "%s\n", qPrintable(error.isEmpty() ? db.ultimoError() : error));
            return 1;
        }
    }
    Programa::DataCSReporte = Programa::DataCSGlobal = cs;
    Programa::DataTbReporte = Schema::kTablaReporte;
    Programa::DataTbGlobal = Schema::kTablaGlobal;

    std::unique_ptr<Piso> piso;
    if (postgres)
        piso = std::make_unique<PisoPostgres>(ConnectionString::parse(cs, QString()));
    else
        piso = std::make_unique<PisoSqlite>(ConnectionString::parse(cs, QString()).path);
    ColaPendientes enDisco(QDir(tmp.path()).absoluteFilePath(Registrador::kArchivo));
    ColaPendientes enMemoria(QDir(shm.isValid() ? shm.path() : tmp.path()).absoluteFilePath(Registrador::kArchivo));
    ConexionesRegistro conexiones;
    std::vector<double> tPiso, tDisco, tMemoria, tRondaDisco, tRondaMemoria;
    double total = 0;
    qint64 ultimo = 0;
    const auto lote = [&] {
        total += 250;
        return Lote{ultimo, total, QDate::currentDate(), QTime::currentTime()};
    };
    // The writer as the station runs it: the entry queued, written, taken
    // off; t to the commit, r to the end of its round (the queue's files
    // brought up to date).
    const auto escritor = [&](ColaPendientes& cola, std::vector<double>& t, std::vector<double>& r) {
        const Lote l = lote();
        Pendiente p;
        p.fecha = l.fecha;
        p.hora = l.hora.addMSecs(-l.hora.msec());
        p.operador = QStringLiteral("bench");
        p.aux = {QStringLiteral("Cliente"), QStringLiteral("Producto")};
        p.total = l.total;
        p.peso = p.bach = 250;
        p.pTotal = l.total - 250;
        cola.fijaUltimo(ultimo);
        cola.agrega(p);
        QElapsedTimer e;
        e.start();
        cola.primero(false, &p);
        QString error;
        if (!EscrituraRegistro::escribe(cola, p, &error, conexiones)) {
            std::fprintf(stderr, "writer: %s\n", qPrintable(error));
            return false;
        }
        cola.quita(p.id);
        t.push_back(double(e.nsecsElapsed()) / 1e6);
        if (!cola.asienta(&error)) {
            std::fprintf(stderr, "queue: %s\n", qPrintable(error));
            return false;
        }
        r.push_back(double(e.nsecsElapsed()) / 1e6);
        ultimo = cola.ultimo();
        return true;
    };
    for (int ronda = 0; ronda < kRondas; ++ronda) {
        for (int i = 0; i < rows / kRondas; ++i) {
            const Lote l = lote();
            QElapsedTimer e;
            e.start();
            const qint64 t = piso->graba(l);
            if (t == 0) {
                std::fprintf(stderr, "floor: %s\n", qPrintable(piso->error));
                return 1;
            }
            tPiso.push_back(double(e.nsecsElapsed()) / 1e6);
            ultimo = t;
        }
        for (int i = 0; i < rows / kRondas; ++i)
            if (!escritor(enMemoria, tMemoria, tRondaMemoria) || !escritor(enDisco, tDisco, tRondaDisco))
                return 1;
    }
    std::printf("engine %s rows %zu per figure\n", postgres ? "postgresql" : "sqlite", tPiso.size());
    std::printf("%-34s median %7.3f ms  p99 %7.3f ms\n", "floor (C API, one connection)",
                percentile(tPiso, 0.5), percentile(tPiso, 0.99));
    imprime("writer, queue in memory", tMemoria, tPiso);
    imprime("writer, queue beside the data", tDisco, tPiso);
    imprime("round, queue in memory", tRondaMemoria, tPiso);
    imprime("round, queue beside the data", tRondaDisco, tPiso);
    return 0;
}
