#pragma once

#include <QDialog>
#include <QMap>

struct ConfigMqtt;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTabWidget;

// Settings of the station and its link, the auxiliary data captions and the
// two master passwords. Reads every value when it opens and writes them all
// on Aceptar.
class frmOptions : public QDialog
{
    Q_OBJECT
public:
    explicit frmOptions(QWidget* parent = nullptr);

    bool Aceptado = false;

    QTabWidget* SSTab1;
    // The line whose indicator and port are shown (only with several lines).
    QComboBox* ListaLinea;
    QWidget* picOptions[3];
    QSpinBox* vsc_tiempo;
    QLabel* Lbl_tiempo;
    QSlider* HScrollId0;
    QLabel* LabelId0;
    QSlider* HScroll_DB;
    QLabel* Label_DB;
    QRadioButton* optSerie;
    QRadioButton* optTCP;
    QGroupBox* fraSerie;
    QComboBox* ListaPuerto;
    QComboBox* ListaBaudios;
    QGroupBox* FraTCP;
    QLineEdit* Txt_TCP_RemoteHost;
    QLineEdit* Txt_TCP_RemotePort;
    QLineEdit* Txt_Dato[6];
    QLineEdit* txtPassword1;
    QLineEdit* txtPassword2;
    QLineEdit* txtPassword3;
    QLineEdit* txtPassword4;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    // The MQTT page ([MQTT]), at the Instalador level only; null otherwise.
    QWidget* picMqtt = nullptr;
    QLineEdit* txtMqttHost = nullptr;
    QLineEdit* txtMqttPuerto = nullptr;
    QLineEdit* txtMqttCa = nullptr;
    QLineEdit* txtMqttUsuario = nullptr;
    QLineEdit* txtMqttClave = nullptr;
    QLineEdit* txtMqttGrupo = nullptr;
    QLineEdit* txtMqttNodo = nullptr;

    // The station's own defaults for a link never configured.
    static constexpr int kPuertoDefecto = 2;
    static constexpr int kBaudiosDefecto = 4; // 19200
    inline static const QString kPortDefecto = QStringLiteral("3000");

    inline static const QString kPreguntaOperario = QStringLiteral(
        "La contraseña de Operario ha sido modificada. Desea guardar los cambios?");
    inline static const QString kPreguntaSupervisor = QStringLiteral(
        "La contraseña de Supervisor ha sido modificada. Desea guardar los cambios?");

protected:
    void showEvent(QShowEvent* ev) override;
    bool eventFilter(QObject* obj, QEvent* ev) override;

private:
    void carga();
    // The indicator and port of one line: read from the widgets, shown in
    // them. Each line's values are kept while another is shown, and all
    // are written on Aceptar.
    struct EnlaceLinea
    {
        int id = 0;
        int decimales = 0;
        QString comm;
        int baudios = 0;
        bool tcp = false;
        QString host;
        QString port;
    };
    static EnlaceLinea leeLinea(int n);
    void muestraLinea(const EnlaceLinea& e);
    EnlaceLinea recogeLinea() const;
    QString puertoElegido() const;
    void creaPaginaMqtt();
    void cargaMqtt();
    // The page's values as settings; error says why they cannot be used.
    ConfigMqtt leeMqtt() const;
    void cambiaSolapa(int nueva);
    void eligeConexion(bool tcp);
    void revisaClaves();
    void aceptar();
    bool guarda(QString* error);

    int m_solapa = 0;
    QMap<int, EnlaceLinea> m_lineas;
    int m_linea = 1;
};
