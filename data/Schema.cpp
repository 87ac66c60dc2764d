#include "Schema.h"

#include <QSet>
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
    {
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
    }
    const auto falta = [&](const QString& nombre) { return !hay.contains(nombre.toUpper()); };
    for (const auto& [name, columns] : indexes) {
        const QString nombre = QStringLiteral("IX_%1_%2").arg(tabla, name);
        if (!falta(nombre))
            continue;
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (%3%4)").arg(nombre, tabla, columns, tail));
    }
    if (sqlite)
        return;
    bool todos = true;
    for (int i = 1; i <= 6; ++i)
        todos = todos && !falta(QStringLiteral("IXT_%1_AUX%2").arg(tabla).arg(i));
    if (todos)
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

bool crear(CDatos& db, const QString& reporte, const QString& operarios, const QString& global,
           QStringList* creadas, QString* error)
{
    const Types t = typesFor(db.motor());
    struct Table
    {
        QString name;
        QStringList statements;
    };
    const QList<Table> tables = {
        {reporte,
         {QStringLiteral(
              "CREATE TABLE %1 (TICKET %2, AUX1 %3, AUX2 %3, AUX3 %3, AUX4 %3, AUX5 %3, AUX6 %3, "
              "TOTAL %4, PESO %4, BACH %4, PRESET %4, FECHA %5, HORA %6, INFO TEXT, OPERADOR %3, "
              "OPCION1 %7 NOT NULL DEFAULT 0)")
              .arg(reporte, t.integerKey, t.varchar(255), t.real, t.date, t.time, t.bigint)}},
        {operarios,
         {QStringLiteral("CREATE TABLE %1 (OPERADOR %2 PRIMARY KEY, PASSWORD %3, JERARQUIA %4)")
              .arg(operarios, t.varchar(30), t.varchar(30), t.varchar(15))}},
        {global,
         {QStringLiteral("CREATE TABLE %1 (VARIABLE %2 PRIMARY KEY, VALOR %3, DESCRIPCION %3)")
              .arg(global, t.varchar(50), t.text)}},
        {kTablaComandos,
         {QStringLiteral(
              "CREATE TABLE %1 (ID %2, FECHA %3, HORA %4, OPERADOR %5, COMANDO %5, VALORES %5, "
              "RESULTADO %5)")
              .arg(kTablaComandos, t.serialKey, t.date, t.time, t.varchar(255))}},
    };
    const QString comandosIndex =
        QStringLiteral("CREATE INDEX IX_%1_FECHA ON %1 (FECHA, HORA)").arg(kTablaComandos);

    for (const Table& table : tables) {
        if (existeTabla(db, table.name))
            continue;
        if (!db.IniciaTransaccion()) {
            if (error)
                *error = db.ultimoError();
            return false;
        }
        QStringList statements = table.statements;
        if (table.name == kTablaComandos)
            statements += comandosIndex;
        bool ok = true;
        for (const QString& s : statements) {
            if (!db.Ejecuta(s)) {
                ok = false;
                break;
            }
        }
        if (!ok || !db.Confirma()) {
            const QString e = db.ultimoError();
            db.Deshace();
            if (error)
                *error = QStringLiteral("No se pudo crear la tabla %1: %2").arg(table.name, e);
            return false;
        }
        if (creadas)
            creadas->append(table.name);
    }
    aseguraIndicesReporte(db.base(), reporte);
    return true;
}

} // namespace Schema
