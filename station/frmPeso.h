#pragma once

#include <QSet>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

#include "ConfigEnlace.h"
#include "Enlace.h"
#include "EstacionPesaje.h"
#include "LecturaPeso.h"

class DibujoTolva;
class Lampara;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class Registrador;
class Tendencia;
class Visor;

// The weighing station's window: builds the controls, renders the state the
// station (EstacionPesaje) gives it, and turns clicks and the operator's
// answers into calls on the station.
class frmPeso : public QMainWindow
{
    Q_OBJECT
public:
    static inline const QString& kSinRespuesta = EstacionPesaje::kSinRespuesta;

    using Estado = EstacionPesaje::Memoria;
    static Estado& estado(int linea = 1) { return EstacionPesaje::memoria(linea); }

    // The station of line 1 with the window's session (Contexto::programa()),
    // or of the line and session given.
    frmPeso(QWidget* ventanaPrincipal, Registrador* registrador);
    frmPeso(QWidget* ventanaPrincipal, Registrador* registrador, const Contexto& contexto,
            const Linea& linea = Linea());
    ~frmPeso() override;

    // The opening sequence: auxiliary data, link, display, journal, timer.
    // The window shows itself once the link is open; any failure closes it.
    void inicia();

    static void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste)
    {
        EstacionPesaje::setAjusteEnlace(std::move(ajuste));
    }

    EstacionPesaje* estacion() { return m_estacion; }
    bool iniciada() const { return m_estacion->iniciada(); }
    bool cerrarPedido() const { return m_estacion->cerrarPedido(); }
    int decimales() const { return m_estacion->decimales(); }
    qint64 lotesFusionados() const { return m_estacion->lotesFusionados(); }
    qint64 ticksOmitidos() const { return m_estacion->ticksOmitidos(); }
    int ultimosIntentos() const { return m_estacion->ultimosIntentos(); }
    bool descargada() const { return m_descargada; }

    // Asks before closing while rows are held only in memory (of the writers
    // given, and of every line's journal and the error log); true to close.
    static bool preguntaSinGuardar(QWidget* parent, const Registrador* registrador);
    static bool preguntaSinGuardar(QWidget* parent, const QVector<const Registrador*>& registradores);

    // Forces the close without the question (the main window is closing).
    void cierraYa();

Q_SIGNALS:
    void abierta();
    void cerrada();
    // After every completed tick (valid or not).
    void lecturaProcesada(const LecturaPeso& l);
    // A batch row was queued.
    void loteRegistrado(double total, double peso);

protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void construye();
    void alAbrir();
    void muestra(const EstadoEstacion& e);
    void enVivo(bool vivo);
    void descarga();
    void actualizaPanelRegistros();
    void muestraPeriodo(int ms);

    void comandoLetra(char letra, const QString& titulo, const QString& pregunta,
                      const QString& nombre);
    void alTerminar(int operacion, bool ok);
    void editar();
    void cancelarEdicion();
    void programar();
    void reset();
    void error(const QString& texto);

    QWidget* m_principal;
    Registrador* m_registrador;
    const Contexto& m_contexto;
    EstacionPesaje* m_estacion;
    QTimer m_reloj;
    bool m_descargada = false;
    // A valid reading is on screen: the values are live, the commands can go.
    bool m_vivo = false;
    int m_ultimoPeriodo = 0;
    // Operations that disabled the run commands, and the programming that
    // ends the editing when it comes back.
    QSet<int> m_liberanArranque;
    int m_programacion = 0;

    // Controls.
    Visor* Label_Peso;
    Visor* Label_Total;
    Visor* Label_Preset;
    Visor* Label_Resto;
    Visor* Label_Ciclos;
    Visor* Label_Caudal;
    QGroupBox* Fra_Preset;
    QGroupBox* Fra_Resto;
    QGroupBox* Fra_Arranque;
    QGroupBox* Fra1;
    Lampara* Shape_Estado;
    QLabel* Lbl_ing[3];
    QLineEdit* Txt_dat[3];
    QPushButton* Cmd_ProgEdit;
    QPushButton* Cmd_Prog;
    QPushButton* Cmd_ProgCancel;
    QPushButton* Cmd_Run;
    QPushButton* Cmd_Cero;
    QPushButton* Cmd_Cancel;
    QPushButton* Cmd_Test;
    QPushButton* Cmd_Reset;
    QCheckBox* Chk_Habilitar;
    Lampara* Shape_Salida[8];
    Lampara* Shape_Entrada[8];
    DibujoTolva* m_tolva;
    Tendencia* m_tendencia;
    QStatusBar* sbStatusBar;
    Visor* m_panel[4];
    QLabel* m_aviso = nullptr;
    QLabel* m_periodo = nullptr;
    QLabel* m_falla = nullptr; // beside "Error de conexion": why the link failed
};
