#pragma once

// What the tests of the record writer share: a program directory prepared
// by the installation tool, entries of each kind, this run's own tables on
// the PostgreSQL server, and waiting for a writer to catch up.
#include <QScopeGuard>
#include <QtTest>

#include "CDatos.h"
#include "Instalacion.h"
#include "Programa.h"
#include "Registrador.h"
#include "Schema.h"
#include "TestSupport.h"
#include "tst_station_comun.h"

inline Pendiente lote(double total, double peso, const QTime& hora = QTime(10, 0, 0))
{
    Pendiente p;
    p.tipo = Pendiente::Lote;
    p.fecha = QDate(2026, 12, 5);
    p.hora = hora;
    p.operador = QStringLiteral("ANA");
    p.aux = QStringList{QStringLiteral("a"), QStringLiteral("b"), QString(), QString(), QString(),
                        QStringLiteral("f")};
    p.total = total;
    p.peso = peso;
    p.bach = 250;
    p.pTotal = total;
    return p;
}

inline Pendiente cierre(const QTime& hora)
{
    Pendiente p;
    p.tipo = Pendiente::Cierre;
    p.fecha = QDate(2026, 12, 5);
    p.hora = hora;
    return p;
}

// The dispatch-total marks of the rows, in ticket order.
inline QList<int> marcas()
{
    QList<int> m;
    for (const QSqlRecord& f : filasDe())
        m << f.value(QStringLiteral("OPCION1")).toInt();
    return m;
}

struct Programa_
{
    DirectorioDePrueba dir;
    bool ok;
    Programa_()
    {
        qputenv("TOLVEX_HOME", dir.path().toLocal8Bit());
        Instalacion ins;
        ins.directorio = dir.path();
        ok = ins.ejecutar();
        Programa::leeVariables();
    }
};

inline bool vacia(Registrador& r)
{
    r.reintenta();
    return r.pendientes() == 0 && !r.ocupado();
}

inline bool escribe(Registrador& r, const Pendiente& p)
{
    r.agrega(p);
    return QTest::qWaitFor([&] { return vacia(r); }, kEspera);
}

// This run's own tables on the server, dropped when the returned guard ends.
inline auto tablasPropias(const QString& pg, const QString& sufijo)
{
    Programa::DataCSReporte = Programa::DataCSGlobal = Programa::DataCSOperarios = pg;
    Programa::DataTbReporte = QStringLiteral("reporte") + sufijo;
    Programa::DataTbGlobal = QStringLiteral("global") + sufijo;
    Programa::DataTbOperarios = QStringLiteral("operarios") + sufijo;
    return qScopeGuard([pg, tablas = QStringList{Programa::DataTbReporte, Programa::DataTbGlobal,
                                                 Programa::DataTbOperarios}] {
        CDatos db;
        if (db.AbrirBase(pg))
            for (const QString& t : tablas)
                db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
    });
}

inline bool creaTablas(QString* error = nullptr)
{
    CDatos db;
    return db.AbrirBase(Programa::DataCSReporte, true) &&
           Schema::crear(db, Programa::DataTbReporte, Programa::DataTbOperarios, Programa::DataTbGlobal, nullptr,
                         error);
}

