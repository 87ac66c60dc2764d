#include "Arranque.h"

#include <QApplication>
#include <QFile>

#include "Config.h"
#include "Dialogos.h"
#include "IniFile.h"
#include "MessageBox.h"
#include "Programa.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmMain.h"
#include "frmSplash.h"

namespace Arranque {

bool hayArchivoConfig()
{
    return !IniFile::find(Programa::directorio(), Config::kArchivo).isEmpty();
}

Resultado iniciar(frmMain& ventana)
{
    Programa::VentanaPrincipal = &ventana;
    Programa::leeVariables();

    if (!hayArchivoConfig()) {
        MessageBox::mostrar(nullptr, MessageBox::Critico, QStringLiteral("Error"),
                            QString::fromUtf8(kMensajeSinIni));
        return Resultado::SinConfig;
    }

    const QString marca = IniFile::find(Programa::directorio(), QStringLiteral("Tolvex.inf"));
    if (!marca.isEmpty()) {
        frmLogin2 primeraVez;
        Dialogos::ejecutar(primeraVez);
        if (!primeraVez.Aceptado)
            return Resultado::PrimeraVezSalir;
        QFile::remove(marca);
    }

    {
        frmLogin1 login;
        Dialogos::ejecutar(login);
        if (!login.Aceptado)
            return Resultado::SinIngreso;
    }

    frmSplash splash;
    splash.show();
    splash.repaint();
    QCoreApplication::processEvents();
    ventana.carga();
    splash.close();
    ventana.show();
    return Resultado::Continuar;
}

int ejecutar()
{
    // The platform's own texts (Sí/No, Aceptar/Cancelar) in Spanish.
    MessageBox::cargaTraduccionQt();

    frmMain ventana;
    const Resultado r = iniciar(ventana);
    int rc = 0;
    if (r == Resultado::Continuar)
        rc = QApplication::exec();
    else if (r == Resultado::SinConfig)
        rc = 1;
    Programa::VentanaPrincipal = nullptr;
    return rc;
}

} // namespace Arranque
