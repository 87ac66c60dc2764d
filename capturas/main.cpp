// tolvex-capturas DIR: the manual's screenshots, saved in DIR.
#include <QApplication>
#include <QDir>
#include <QtTest>
#include <cstdio>

#include "Capturas.h"

namespace {
QString g_destino;
}

QString Capturas::destino()
{
    return g_destino;
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "uso: tolvex-capturas DIRECTORIO\n");
        return 2;
    }
    g_destino = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(g_destino)) {
        std::fprintf(stderr, "No se pudo crear %s\n", argv[1]);
        return 1;
    }
    int fallos = 0;
    for (const auto& parte : {Capturas::app, Capturas::estacion, Capturas::reportes}) {
        const std::unique_ptr<QObject> p = parte();
        fallos += QTest::qExec(p.get(), QStringList{QString::fromLocal8Bit(argv[0])});
    }
    return fallos == 0 ? 0 : 1;
}
