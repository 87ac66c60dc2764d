#include <QApplication>

#include "Arranque.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tolvex"));
    QApplication::setApplicationName(QStringLiteral("Tolvex"));
    return Arranque::ejecutar();
}
