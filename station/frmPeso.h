#pragma once

#include <QSet>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

#include "ConfigEnlace.h"
#include "Enlace.h"
#include "EstacionBase.h"
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

// The weighing station's window: a view over one line (EstacionBase), which
// records whether or not the window is open. Builds the controls, renders
// the state the line gives it, and turns clicks and the operator's answers
// into calls on the line.
class frmPeso : public QMainWindow
{
    Q_OBJECT
public:
    static inline const QString& kSinRespuesta = EstacionBase::kSinRespuesta;

    // A view over a line the recorder (or another process) keeps; the
    // operator of contexto commands it.
    frmPeso(QWidget* ventanaPrincipal, EstacionBase* linea, const Contexto& contexto);
    // A window with an engine of its own for line 1 with the window's
    // session, or for the line and session given: the line polls while the
    // window is open (tests and benches drive one engine this way).
    frmPeso(QWidget* ventanaPrincipal, Registrador* registrador);
    frmPeso(QWidget* ventanaPrincipal, Registrador* registrador, const Contexto& contexto,
            const Linea& linea = Linea());
    ~frmPeso() override;

    // The opening sequence: auxiliary data, then the journal's record. The
    // window shows itself once the line polls; a line that cannot poll
    // says why and the window closes.
    void inicia();

    static void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste)
    {
        EstacionPesaje::setAjusteEnlace(std::move(ajuste));
    }

    EstacionBase* linea() { return m_estacion; }
    // The engine of this process behind the view (null over another process).
    EstacionPesaje* estacion() { return qobject_cast<EstacionPesaje*>(m_estacion); }
    bool iniciada() const { return m_abierta; }
    // The window's own engine was asked to close (it ends after a poll).
    bool cerrarPedido() const { return m_propia && m_propia->cerrarPedido(); }
    int decimales() const { return m_estacion->decimales(); }
    qint64 lotesFusionados() const { return m_propia ? m_propia->lotesFusionados() : 0; }
    qint64 ticksOmitidos() const { return m_propia ? m_propia->ticksOmitidos() : 0; }
    int ultimosIntentos() const { return m_propia ? m_propia->ultimosIntentos() : 0; }
    bool descargada() const { return m_descargada; }

    // Asks before closing while rows are held only in memory (of the writers
    // given, and of every line's journal and the error log); true to close.
    static bool preguntaSinGuardar(QWidget* parent, const Registrador* registrador);
    static bool preguntaSinGuardar(QWidget* parent, const QVector<const Registrador*>& registradores);

    // Forces the close without the question (the main window is closing).
    void cierraYa();

    // What the question before closing a view says: the line goes on.
    static inline const QString kPreguntaCierre =
        QStringLiteral("Desea cerrar la ventana? La línea sigue registrando los lotes.");

Q_SIGNALS:
    void abierta();
    void cerrada();
    // The operator chose another line in the overview.
    void lineaElegida(int linea);
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
    // The line cannot poll: the box says why, the window closes.
    void noAbre(const QString& texto);
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

    void conecta();

    QWidget* m_principal;
    Registrador* m_registrador = nullptr;
    const Contexto& m_contexto;
    EstacionBase* m_estacion;
    EstacionPesaje* m_propia = nullptr; // the window's own engine, if it has one
    bool m_abierta = false;             // shown over a polling line
    bool m_esperaApertura = false;      // asked for its data, waits for the line to poll
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
