#pragma once

#include <QDateTime>
#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <optional>

#include "ConfigEnlace.h"
#include "Enlace.h"
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

// The weighing station: polls the indicator on Timer1, shows its state,
// sends the operator's commands and records every batch it completes.
class frmPeso : public QMainWindow
{
    Q_OBJECT
public:
    static inline const QString kSinRespuesta =
        QStringLiteral("Sin respuesta del indicador, reintentando...");

    // State kept for the program's life (across openings of the window).
    struct Estado
    {
        qint32 NroError = 0;
        double DecimoFino = 0;
        double TotalAnterior = -1;
        double PesoBatch = 0;
    };
    static Estado& estado();

    frmPeso(QWidget* ventanaPrincipal, Registrador* registrador);
    ~frmPeso() override;

    // The opening sequence: auxiliary data, link, display, journal, timer.
    // The window shows itself once the link is open; any failure closes it.
    void inicia();

    // Changes to the link settings read from the settings file (tests and
    // the soak program use it to shorten the waits).
    static void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste);

    bool iniciada() const { return m_iniciada; }
    bool cerrarPedido() const { return m_cerrar; }
    QTimer* timer1() { return &m_timer1; }
    int decimales() const { return m_decimales; }
    // Batches that reached one row together (the accumulator rose by more
    // than one cycle between two polls in stand-by or loading).
    qint64 lotesFusionados() const { return m_fusionados; }
    qint64 ticksOmitidos() const { return m_omitidos; }
    // Whole-state reads the last poll made.
    int ultimosIntentos() const { return m_intentos; }

    // Asks before closing while rows are held only in memory; true to close.
    static bool preguntaSinGuardar(QWidget* parent, const Registrador* registrador);

    // Forces the close without the question (the main window is closing).
    void cierraYa();

    // Integer value of a shown weight in the indicator's units.
    static std::optional<qint64> valorEntero(const QString& texto, int decimales);
    // Four bytes of a value, least significant first.
    static QByteArray cuatroBytes(quint32 v);
    static QString textoError(int codigo);

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

private:
    struct Operacion
    {
        QString comando;
        QString valores;
        QDate fecha;
        QTime hora;
        int pendientes = 1;
        bool ok = true;
        bool liberaArranque = false;
        bool terminaEdicion = false;
    };

    void construye();
    void alAbrir(bool ok, const QString& mensaje, const QString& detalle);
    void tick();
    void alLeer(const LecturaPeso& l);
    void guardardatos(const LecturaPeso& l);
    void descarga();
    // Logs msg and shows it; detalle (the cause, for the installer) goes on
    // the box only, so the log record keeps its fixed lines.
    void errorManager(const QString& msg, const QString& detalle = QString());
    void escribeLog(const QString& msg, const QString& rutina);
    void escribeDiario(const QString& texto, const QString& rutina);
    void avisaAcumulador();
    void actualizaPanelRegistros();

    bool standBy() const;
    void comandoLetra(char letra, const QString& titulo, const QString& pregunta,
                      const QString& nombre);
    int envia(quint16 direccion, const QByteArray& datos, int operacion);
    int nuevaOperacion(const Operacion& op);
    void alEscribir(int tag, bool ok);
    void editar();
    void cancelarEdicion();
    void programar();
    void reset();
    void fallaOperacion();
    bool valida(QLineEdit* campo, const QString& nombre, quint32* valor);

    QWidget* m_principal;
    Registrador* m_registrador;
    Enlace m_enlace;
    QTimer m_timer1;
    QTimer m_reloj;
    QTimer m_plazoCierre;
    bool m_cerrar = true;
    bool m_iniciada = false;
    bool m_descargada = false;
    int m_modo = 0;
    int m_decimales = 0;
    QString m_formato;
    double m_pesoActual = 0;
    double m_totalActual = 0;
    std::optional<quint32> m_ciclosPrevios;
    qint64 m_fusionados = 0;
    qint64 m_omitidos = 0;
    int m_intentos = 0;
    // A poll that outlasts one reply wait is shown as such until it ends.
    QElapsedTimer m_lecturaDesde;
    int m_esperaMs = 2000;
    bool m_sinRespuesta = false;
    bool m_enlaceCaido = false; // the last poll failed: red until a read succeeds
    QStringList m_aux;
    QString m_errorDiario;
    int m_pendientes = 0;

    QHash<int, int> m_tagOperacion;
    QHash<int, Operacion> m_operaciones;
    int m_siguienteTag = 1;
    int m_siguienteOperacion = 1;

    // Controls.
    QLabel* Label_Peso;
    QLabel* Label_Total;
    QLabel* Label_Preset;
    QLabel* Label_Resto;
    QLabel* Label_Ciclos;
    QLabel* Label_Caudal;
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
    QLabel* m_panel[4];
    QLabel* m_aviso = nullptr;
};
