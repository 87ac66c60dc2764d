#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class frmAyuda;
class QPrinter;
class QToolBar;
class PanelLineas;

// The main window: a low strip with menus, toolbar and status bar from which
// every other screen opens, each as the signed-in level allows. Closing it
// ends the program.
class frmMain : public QMainWindow
{
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Placement, title, level-dependent commands and status bar.
    void carga();

    // Commands, as the menus and the toolbar run them.
    // The station of line `linea`; 0 asks which line when the workstation
    // has several.
    void pesar(int linea = 0);
    void reporte();
    void opciones();
    void copiarBase();
    void operarios();
    void contrasenias();
    void configurarPagina();
    void ayuda();
    void acercaDe();
    // A toolbar button by its key ("reporte", "Pesar", "opciones", ...).
    void botonToolbar(const QString& clave);

    // Chooses the destination of the database copy (empty: cancelled).
    // Tests replace it.
    std::function<QString(const QString& inicial)> eligeDestino;

    QAction* accion(const QString& nombre) const;

    // Registers the icons and logo of the program's resources.
    static void cargaIconos();

    static constexpr int kTwipsPorPixel = 15;
    // The operator's guide Ayuda opens; tests point it elsewhere (an empty
    // text restores the installed one).
    static QString rutaManual();
    static void setRutaManual(const QString& ruta);

    inline static const QString kMensajeAyuda = QStringLiteral(
        "Imposible mostrar los contenidos de la Ayuda. No hay una Ayuda asociada con este proyecto.");

protected:
    void closeEvent(QCloseEvent* ev) override;

private:
    void creaMenus();
    void creaToolbar();
    void ocultaPorNivel();
    void guardaToolbar();

    QToolBar* tbToolBar;
    QLabel* m_panel;
    QPointer<frmAyuda> m_ayuda;
    PanelLineas* m_lineas = nullptr;
};
