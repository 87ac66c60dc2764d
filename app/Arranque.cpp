#include "Arranque.h"

#include <QApplication>

#include "Config.h"
#include "IniFile.h"
#include "MessageBox.h"
#include "Programa.h"
#include "frmMain.h"

namespace Arranque {

bool hayArchivoConfig()
{
    return !IniFile::find(Programa::directorio(), Config::kArchivo).isEmpty();
}

int ejecutar()
{
    frmMain ventana;
    Programa::VentanaPrincipal = &ventana;
    Programa::leeVariables();

    if (!hayArchivoConfig()) {
        MessageBox::mostrar(nullptr, MessageBox::Critico, QStringLiteral("Error"),
                            QString::fromUtf8(kMensajeSinIni));
        Programa::VentanaPrincipal = nullptr;
        return 1;
    }

    // First-run definition, sign-in and splash take their place here.

    ventana.carga();
    ventana.show();
    const int rc = QApplication::exec();
    Programa::VentanaPrincipal = nullptr;
    return rc;
}

} // namespace Arranque
