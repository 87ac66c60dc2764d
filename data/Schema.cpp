#include "Schema.h"

#include <QScopeGuard>
#include <QSet>
#include <QSqlRecord>
#include <algorithm>
#include <optional>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "CDatos.h"

namespace Schema {

namespace {

struct Types
{
    bool sqlite;
    QString integerKey, bigint, real, text, date, time, serialKey;
    // SQLite keeps any length in TEXT; PostgreSQL gets the declared limit.
    QString varchar(int n) const { return sqlite ? text : QStringLiteral("VARCHAR(%1)").arg(n); }
};

Types typesFor(ConnectionString::Engine e)
{
    if (e == ConnectionString::SQLite)
        return {true,
                QStringLiteral("INTEGER PRIMARY KEY"),
                QStringLiteral("INTEGER"),
                QStringLiteral("REAL"),
                QStringLiteral("TEXT"),
                QStringLiteral("DATE"),
                QStringLiteral("TIME"),
                QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT")};
    return {false,
            QStringLiteral("BIGINT PRIMARY KEY"),
            QStringLiteral("BIGINT"),
            QStringLiteral("DOUBLE PRECISION"),
            QStringLiteral("TEXT"),
            QStringLiteral("DATE"),
            QStringLiteral("TIME"),
            QStringLiteral("BIGSERIAL PRIMARY KEY")};
}

// The advisory lock every workstation of one PostgreSQL database takes to
// change its schema.
constexpr qint64 kCandado = 0x546F6C76;

// Starts the transaction of a schema change: on SQLite it holds the file's
// write lock, on PostgreSQL the advisory lock as well, until it ends.
bool iniciaCambio(CDatos& db, QString* error)
{
    if (db.IniciaTransaccion() &&
        (db.motor() != ConnectionString::PostgreSQL ||
         db.Ejecuta(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kCandado))))
        return true;
    if (error)
        *error = db.ultimoError();
    db.Deshace();
    return false;
}

QString indiceIdentidad(const QString& tabla)
{
    return QStringLiteral("UX_%1_IDLOTE").arg(tabla);
}

// Whether an index of that name exists (names compared regardless of case).
bool hayIndice(const QSqlDatabase& db, const QString& nombre)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (db.driverName() == QStringLiteral("QSQLITE"))
        q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ? COLLATE NOCASE"));
    else
        q.prepare(QStringLiteral("SELECT 1 FROM pg_indexes WHERE indexname = lower(?) "
                                 "AND schemaname = ANY (current_schemas(false))"));
    q.addBindValue(nombre);
    return q.exec() && q.next();
}

// The columns of a table. PostgreSQL keeps unquoted names in lower case,
// and its driver looks the name up as given.
QSqlRecord columnas(CDatos& db, const QString& tabla)
{
    return db.base().record(db.motor() == ConnectionString::PostgreSQL ? tabla.toLower() : tabla);
}

// Adds what the reports table lacks of its identity columns and index; in
// the transaction of a schema change.
bool completaIdentidad(CDatos& db, const QString& tabla, const Types& t, QString* error)
{
    const QSqlRecord r = columnas(db, tabla);
    const QList<QPair<QString, QString>> identidad = {
        {kPuesto, t.varchar(100)}, {kLinea, QStringLiteral("INTEGER")}, {kIdLote, t.varchar(32)}};
    for (const auto& [nombre, tipo] : identidad) {
        if (!r.contains(nombre) &&
            !db.Ejecuta(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3").arg(tabla, nombre, tipo))) {
            *error = db.ultimoError();
            return false;
        }
    }
    if (!db.Ejecuta(QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS %1 ON %2 (%3)")
                        .arg(indiceIdentidad(tabla), tabla, kIdLote))) {
        *error = db.ultimoError();
        return false;
    }
    return true;
}

} // namespace

void aseguraIndicesReporte(const QSqlDatabase& db, const QString& tabla)
{
    const bool sqlite = db.driverName() == QStringLiteral("QSQLITE");
    // SQLite keeps the ticket (the row id) in every index already.
    const QString tail = sqlite ? QString() : QStringLiteral(", TICKET");
    const QList<QPair<QString, QString>> indexes = {
        {QStringLiteral("FECHA"), QStringLiteral("FECHA, HORA")},
        {QStringLiteral("AUX1"), QStringLiteral("AUX1")},
        {QStringLiteral("AUX2"), QStringLiteral("AUX2")},
        {QStringLiteral("AUX3"), QStringLiteral("AUX3")},
        {QStringLiteral("AUX4"), QStringLiteral("AUX4")},
        {QStringLiteral("AUX5"), QStringLiteral("AUX5")},
        {QStringLiteral("AUX6"), QStringLiteral("AUX6")},
        {QStringLiteral("OPCION1"), QStringLiteral("OPCION1")},
        {QStringLiteral("OPERADOR"), QStringLiteral("OPERADOR")},
        {QStringLiteral("TOTAL"), QStringLiteral("TOTAL")},
        {QStringLiteral("PESO"), QStringLiteral("PESO")},
        {QStringLiteral("BACH"), QStringLiteral("BACH")},
        {QStringLiteral("PRESET"), QStringLiteral("PRESET")},
    };
    // The names already there, read once: opening a screen on a table that
    // has them all costs one statement, not one per index.
    QSet<QString> hay;
    const auto leeHay = [&] {
        hay.clear();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (sqlite) {
            q.prepare(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? COLLATE NOCASE"));
        } else {
            q.prepare(QStringLiteral("SELECT indexname FROM pg_indexes WHERE tablename = lower(?) "
                                     "AND schemaname = ANY (current_schemas(false))"));
        }
        q.addBindValue(tabla);
        if (q.exec()) {
            while (q.next())
                hay.insert(q.value(0).toString().toUpper());
        }
    };
    leeHay();
    const auto falta = [&](const QString& nombre) { return !hay.contains(nombre.toUpper()); };
    const auto completos = [&] {
        bool todos = std::none_of(indexes.cbegin(), indexes.cend(), [&](const auto& i) {
            return falta(QStringLiteral("IX_%1_%2").arg(tabla, i.first));
        });
        for (int i = 1; i <= 6 && !sqlite; ++i)
            todos = todos && !falta(QStringLiteral("IXT_%1_AUX%2").arg(tabla).arg(i));
        return todos;
    };
    if (completos())
        return;
    std::optional<QSqlQuery> candado;
    if (!sqlite) {
        // Workstations preparing one database at once create each index
        // (and the extension) once, one after the other.
        candado.emplace(db);
        candado->exec(QStringLiteral("SELECT pg_advisory_lock(%1)").arg(kCandado));
        leeHay();
    }
    const auto suelta = qScopeGuard([&] {
        if (candado)
            candado->exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(kCandado));
    });
    for (const auto& [name, columns] : indexes) {
        const QString nombre = QStringLiteral("IX_%1_%2").arg(tabla, name);
        if (!falta(nombre))
            continue;
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3%4)").arg(nombre, tabla, columns, tail));
    }
    if (sqlite || completos())
        return;
    // Text filters are case-insensitive patterns (ILIKE), which a B-tree
    // cannot serve; trigram indexes can, where the server offers them.
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("CREATE EXTENSION IF NOT EXISTS pg_trgm")))
        return;
    for (int i = 1; i <= 6; ++i)
        q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS IXT_%1_AUX%2 ON %1 USING gin (AUX%2 gin_trgm_ops)")
                   .arg(tabla)
                   .arg(i));
}

bool existeTabla(CDatos& db, const QString& tabla)
{
    const QStringList tables = db.base().tables(QSql::Tables);
    for (const QString& t : tables) {
        if (t.compare(tabla, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool creaPlanta(CDatos& db, QString* error)
{
    QString e;
    if (!iniciaCambio(db, &e) ||
        !db.Ejecuta(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (PUESTO VARCHAR(100) NOT NULL, LINEA INTEGER NOT NULL, "
                                   "ESTADO TEXT NOT NULL, VISTO TIMESTAMP WITH TIME ZONE NOT NULL, "
                                   "PRIMARY KEY (PUESTO, LINEA))")
                        .arg(kTablaPlanta)) ||
        !db.Confirma()) {
        if (e.isEmpty())
            e = db.ultimoError();
        db.Deshace();
        if (error)
            *error = e;
        return false;
    }
    return true;
}

bool crear(CDatos& db, const QString& reporte, const QString& operarios, const QString& global,
           QStringList* creadas, QString* error)
{
    const Types t = typesFor(db.motor());
    const QList<QPair<QString, QStringList>> tables = {
        {reporte,
         {QStringLiteral(
              "CREATE TABLE %1 (TICKET %2, AUX1 %3, AUX2 %3, AUX3 %3, AUX4 %3, AUX5 %3, AUX6 %3, "
              "TOTAL %4, PESO %4, BACH %4, PRESET %4, FECHA %5, HORA %6, INFO TEXT, OPERADOR %3, "
              "OPCION1 %7 NOT NULL DEFAULT 0, PUESTO %8, LINEA INTEGER, IDLOTE %9)")
              .arg(reporte, t.integerKey, t.varchar(255), t.real, t.date, t.time, t.bigint, t.varchar(100),
                   t.varchar(32))}},
        {operarios,
         {QStringLiteral("CREATE TABLE %1 (OPERADOR %2 PRIMARY KEY, PASSWORD %3, JERARQUIA %4)")
              // PASSWORD holds a password's hashes (Secreto::kLargo).
              .arg(operarios, t.varchar(30), t.varchar(255), t.varchar(15))}},
        {global,
         {QStringLiteral("CREATE TABLE %1 (VARIABLE %2 PRIMARY KEY, VALOR %3, DESCRIPCION %3)")
              .arg(global, t.varchar(50), t.text),
          // The counter is there from the start, not made by the first
          // batches of several workstations at once.
          QStringLiteral("INSERT INTO %1 (VARIABLE, VALOR, DESCRIPCION) VALUES ('Ticket', '1', '-')").arg(global)}},
        {kTablaComandos,
         {QStringLiteral(
              "CREATE TABLE %1 (ID %2, FECHA %3, HORA %4, OPERADOR %5, COMANDO %5, VALORES %5, "
              "RESULTADO %5)")
              .arg(kTablaComandos, t.serialKey, t.date, t.time, t.varchar(255)),
          QStringLiteral("CREATE INDEX IX_%1_FECHA ON %1 (FECHA, HORA)").arg(kTablaComandos)}},
    };

    // Whether a table is there is asked under the lock: another workstation
    // may be creating it at this moment.
    if (!iniciaCambio(db, error))
        return false;
    QStringList nuevas;
    QString e;
    for (const auto& [nombre, sentencias] : tables) {
        if (existeTabla(db, nombre))
            continue;
        for (const QString& s : sentencias) {
            if (!db.Ejecuta(s)) {
                e = QStringLiteral("No se pudo crear la tabla %1: %2").arg(nombre, db.ultimoError());
                break;
            }
        }
        if (!e.isEmpty())
            break;
        nuevas.append(nombre);
    }
    if (e.isEmpty() && !completaIdentidad(db, reporte, t, &e))
        e = QStringLiteral("No se pudo completar la tabla %1: %2").arg(reporte, e);
    if (e.isEmpty() && !db.Confirma())
        e = QStringLiteral("No se pudieron crear las tablas: %1").arg(db.ultimoError());
    if (!e.isEmpty()) {
        db.Deshace();
        if (error)
            *error = e;
        return false;
    }
    if (creadas)
        creadas->append(nuevas);
    aseguraIndicesReporte(db.base(), reporte);
    return true;
}

bool aseguraIdentidad(CDatos& db, const QString& reporte, QString* error)
{
    const QSqlRecord r = columnas(db, reporte);
    if (r.contains(kPuesto) && r.contains(kLinea) && r.contains(kIdLote) &&
        hayIndice(db.base(), indiceIdentidad(reporte)))
        return true;
    QString e;
    if (!iniciaCambio(db, &e) || !completaIdentidad(db, reporte, typesFor(db.motor()), &e) || !db.Confirma()) {
        if (e.isEmpty())
            e = db.ultimoError();
        db.Deshace();
        if (error)
            *error = QStringLiteral("No se pudieron agregar las columnas %1, %2 y %3 a la tabla %4: %5")
                         .arg(kPuesto, kLinea, kIdLote, reporte, e);
        return false;
    }
    return true;
}

} // namespace Schema
