#pragma once

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
