#pragma once

#include <QRegularExpression>
#include <QScopeGuard>

#include "CDatos.h"
#include "Config.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "TestSupport.h"

// The program's per-user settings in a directory of the test's own; message
// boxes answered by script.
inline void preparaPrograma(const QTemporaryDir& config)
{
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("Tolvex"));
    QCoreApplication::setApplicationName(QStringLiteral("Tolvex"));
    MessageBox::setScripted(true);
}

// A program directory as the installation leaves it, made the
// working directory and TOLVEX_HOME, its settings loaded, nobody signed in.
struct Planta
{
    DirectorioDePrueba dir;
    bool ok = false;

    Planta()
    {
        qputenv("TOLVEX_HOME", dir.path().toLocal8Bit());
        Instalacion inst;
        inst.directorio = dir.path();
        ok = inst.ejecutar();
        Programa::leeVariables();
        Programa::OperadorActual.clear();
        Programa::NivelActual.clear();
        Programa::TipoAcceso = 0;
        MessageBox::limpiar();
    }
    QString marca() const { return dir.file(QStringLiteral("Tolvex.inf")); }
    void maestras(const QString& p1, const QString& p2)
    {
        QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass1"), p1, true));
        QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass2"), p2, true));
    }
};

// A new database of the test's own on the PostgreSQL server of pg, dropped
// when the returned guard ends; its connection string in *cs (left empty
// when it could not be made).
inline auto baseNueva(const QString& pg, const QString& nombre, QString* cs)
{
    const QString base = QStringLiteral("%1_%2").arg(nombre).arg(QCoreApplication::applicationPid());
    CDatos db;
    if (db.AbrirBase(pg)) {
        db.Ejecuta(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(base));
        if (db.Ejecuta(QStringLiteral("CREATE DATABASE ") + base)) {
            *cs = pg;
            cs->replace(QRegularExpression(QStringLiteral("Database=[^;]*"), QRegularExpression::CaseInsensitiveOption),
                        QStringLiteral("Database=") + base);
        }
    }
    return qScopeGuard([pg, base] {
        CDatos db;
        if (db.AbrirBase(pg))
            db.Ejecuta(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(base));
    });
}
