// The texts an operator or a browser gives the reports' filters: the filter
// dialog's text pattern and number range, and the monitor's query string
// turned into a selection, all run against a real SQLite reports table.
//
// Properties: the statement a filter makes either is refused before it is
// run or runs without error; it never changes a table; a text pattern
// without wildcards of its own finds the row that holds that very text.

#include "FuzzApoyo.h"

#include "CDatos.h"
#include "ConnectionString.h"
#include "ConsultaReportes.h"
#include "Contexto.h"
#include "Filtro.h"
#include "Puerta.h"
#include "Schema.h"
#include "SqlDialect.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {

CDatos* g_db = nullptr;

QSqlQuery consulta()
{
    QSqlQuery q(g_db->base());
    q.setForwardOnly(true);
    return q;
}

qint64 cuenta(const QString& sql)
{
    QSqlQuery q = consulta();
    FUZZ_EXIGE(q.exec(sql) && q.next(), sql + u'\n' + q.lastError().text());
    return q.value(0).toLongLong();
}

// Both tables as the setup left them: the reports table with its three rows
// and the operators table with its one.
void intactas()
{
    FUZZ_EXIGE(cuenta(QStringLiteral("SELECT COUNT(*) FROM Reporte")) == 3, QString());
    FUZZ_EXIGE(cuenta(QStringLiteral("SELECT COUNT(*) FROM Operarios WHERE OPERADOR = 'ana'")) == 1, QString());
}

// Runs a statement of the reports table with the selection's filter, as
// the export and the screens build it; false when the engine refuses it.
bool ejecuta(const QString& filtro, const QString& orden)
{
    QSqlQuery q = consulta();
    const QString sql = QStringLiteral("SELECT COUNT(*) FROM Reporte") + filtro +
                        (orden.isEmpty() ? QString() : QStringLiteral(" ORDER BY ") + orden);
    const bool ok = q.exec(SqlDialect::adaptar(sql, ConnectionString::SQLite, CDatos::formatoFecha()));
    FUZZ_EXIGE(ok, sql + u'\n' + q.lastError().text());
    return ok;
}

// The text pattern of one datum: the row holding the text itself is found.
// A NUL, which no statement literal holds, never gets here: the monitor
// refuses it (ConsultaReportes) and the filter dialog's box cannot take it.
void patron(const QString& t)
{
    if (t.contains(QChar(0)))
        return;
    const Filtros::Criterio c = Filtros::texto(t);
    const QString cond = Filtros::condicion(QStringLiteral("AUX3"), c);
    FUZZ_EXIGE(!cond.isEmpty(), t);
    QSqlQuery q = consulta();
    q.prepare(QStringLiteral("UPDATE Reporte SET AUX3 = ? WHERE TICKET = 2"));
    q.addBindValue(t);
    FUZZ_EXIGE(q.exec(), q.lastError().text());
    ejecuta(QStringLiteral(" WHERE ") + cond, QString());
    if (!t.isEmpty())
        FUZZ_EXIGE(cuenta(QStringLiteral("SELECT COUNT(*) FROM Reporte WHERE TICKET = 2 AND ") + cond) == 1,
                   t + u'\n' + cond);
    intactas();
}

void rango(QString desde, QString hasta)
{
    const Filtros::Criterio c = Filtros::numero(desde, hasta);
    ejecuta(QStringLiteral(" WHERE ") + Filtros::condicion(QStringLiteral("TICKET"), c), QString());
    intactas();
}

// A query string as the monitor's reports API reads it.
void peticion(const QByteArray& q)
{
    const ConsultaReportes::Peticion p = ConsultaReportes::lee(Puerta::consultaDe(q), Contexto());
    if (!p.error.isEmpty())
        return;
    ejecuta(p.sel.filtro, p.sel.ordenCompleto());
    ejecuta(p.sel.filtro, p.sel.ordenCompleto(true));
    intactas();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    QDir::setCurrent(FuzzApoyo::carpeta());
    const QString base = FuzzApoyo::carpeta() + QStringLiteral("/filtro.sqlite");
    g_db = new CDatos;
    QString error;
    if (!g_db->AbrirBase(ConnectionString::sqlite(base), true) ||
        !Schema::crear(*g_db, QStringLiteral("Reporte"), QStringLiteral("Operarios"), QStringLiteral("Global"),
                       nullptr, &error))
        FuzzApoyo::falla("no se pudo preparar la base", error + g_db->ultimoError());
    QSqlQuery q = consulta();
    for (int t = 1; t <= 3; ++t) {
        q.prepare(QStringLiteral("INSERT INTO Reporte (TICKET, FECHA, HORA, AUX1, AUX2, AUX3, TOTAL, PESO, OPCION1) "
                                 "VALUES (?, ?, '10:00:00', ?, 'Ñandú \"x\"', 'b', ?, 1.5, ?)"));
        q.addBindValue(t);
        q.addBindValue(QStringLiteral("2026-01-0%1").arg(t));
        q.addBindValue(QStringLiteral("O'Higgins %1").arg(t));
        q.addBindValue(t * 100);
        q.addBindValue(t == 3 ? 1 : 0);
        if (!q.exec())
            FuzzApoyo::falla("no se pudo llenar la tabla", q.lastError().text());
    }
    if (!q.exec(QStringLiteral("INSERT INTO Operarios (OPERADOR, PASSWORD, JERARQUIA) VALUES ('ana', 'x', 'Gerencia')")))
        FuzzApoyo::falla("no se pudo llenar los operarios", q.lastError().text());
    return 0;
}

// The input's first byte chooses the filter; the rest is its text (UTF-8).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray texto(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 3) {
    case 0:
        patron(QString::fromUtf8(texto));
        break;
    case 1: {
        const qsizetype tab = texto.indexOf('\t');
        rango(QString::fromUtf8(texto.left(tab)), tab < 0 ? QString() : QString::fromUtf8(texto.mid(tab + 1)));
        break;
    }
    default:
        peticion(texto);
        break;
    }
    return 0;
}
