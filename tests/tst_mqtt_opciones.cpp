// The MQTT page of Opciones: shown to the Instalador only, read from and
// written to [MQTT], values that cannot be used refused with the reason.
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include "Config.h"
#include "ConfigMqtt.h"
#include "MessageBox.h"
#include "Niveles.h"
#include "Programa.h"
#include "Secreto.h"
#include "TestSupport.h"
#include "frmOptions.h"

class TestMqttOpciones : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        MessageBox::setScripted(true);
        MessageBox::limpiar();
    }

    void soloInstalador()
    {
        DirectorioDePrueba d;
        QVERIFY(escribeArchivo(d.file(QStringLiteral("Tolvex.ini")), "[Global]\r\nComunicacion_1=1.\r\n"));
        for (const QString& nivel : {Niveles::kOperador, Niveles::kSuperior, Niveles::kGerencia}) {
            Programa::NivelActual = nivel;
            frmOptions f;
            QVERIFY(!f.picMqtt);
            QCOMPARE(f.SSTab1->count(), 3);
        }
        Programa::NivelActual = Niveles::kInstalador;
        frmOptions f;
        QVERIFY(f.picMqtt);
        QCOMPARE(f.SSTab1->tabText(f.SSTab1->indexOf(f.picMqtt)), QStringLiteral("MQTT"));
    }

    void guardaYLee()
    {
        DirectorioDePrueba d;
        QVERIFY(escribeArchivo(d.file(QStringLiteral("Tolvex.ini")), "[Global]\r\nComunicacion_1=1.\r\n"));
        QVERIFY(Secreto::guardaMaestra(Secreto::kPass1, QStringLiteral("Operario-1")));
        QVERIFY(Secreto::guardaMaestra(Secreto::kPass2, QStringLiteral("Supervisor-1")));
        Programa::NivelActual = Niveles::kInstalador;
        {
            frmOptions f;
            QVERIFY(f.txtMqttHost->text().isEmpty());
            f.txtMqttHost->setText(QStringLiteral("mqtt.planta"));
            f.txtMqttPuerto->setText(QStringLiteral("1884"));
            f.txtMqttUsuario->setText(QStringLiteral("tolvex"));
            f.txtMqttClave->setText(QStringLiteral("Clave-de-MQTT"));
            f.txtMqttGrupo->setText(QStringLiteral("Norte"));
            f.txtMqttNodo->setText(QStringLiteral("Balanza 1"));
            f.cmdOK->click();
            QVERIFY(f.Aceptado);
        }
        QVERIFY(!leeArchivo(d.file(QStringLiteral("Tolvex.ini"))).contains("Clave-de-MQTT"));
        ConfigMqtt c = ConfigMqtt::lee(d.path());
        QVERIFY2(c.activo && c.error.isEmpty(), qPrintable(c.error));
        QCOMPARE(c.host, QStringLiteral("mqtt.planta"));
        QCOMPARE(c.puerto, quint16(1884));
        QCOMPARE(c.usuario, QStringLiteral("tolvex"));
        QCOMPARE(c.clave, QStringLiteral("Clave-de-MQTT"));
        QCOMPARE(c.grupo, QStringLiteral("Norte"));
        QCOMPARE(c.nodo, QStringLiteral("Balanza 1"));

        // Shown again as stored; a node with '/' is refused, nothing written.
        const QByteArray antes = leeArchivo(d.file(QStringLiteral("Tolvex.ini")));
        {
            frmOptions f;
            QCOMPARE(f.txtMqttHost->text(), QStringLiteral("mqtt.planta"));
            QCOMPARE(f.txtMqttClave->text(), QStringLiteral("Clave-de-MQTT"));
            QCOMPARE(f.txtMqttNodo->text(), QStringLiteral("Balanza 1"));
            f.txtMqttNodo->setText(QStringLiteral("Balanza/1"));
            f.txtMqttGrupo->setText(QStringLiteral("Sur"));
            f.cmdOK->click();
            QVERIFY(!f.Aceptado);
            QCOMPARE(f.SSTab1->currentWidget(), f.picMqtt);
            QVERIFY(MessageBox::ultimoTexto().contains(u"nodo \"Balanza/1\""));
        }
        QCOMPARE(leeArchivo(d.file(QStringLiteral("Tolvex.ini"))), antes);

        // No host: off, the rest kept for another day.
        {
            frmOptions f;
            f.txtMqttHost->clear();
            f.cmdOK->click();
            QVERIFY(f.Aceptado);
        }
        c = ConfigMqtt::lee(d.path());
        QVERIFY(!c.activo);
        QCOMPARE(Config::LeeConfig(ConfigMqtt::kSeccion, QStringLiteral("Usuario"), {}), QStringLiteral("tolvex"));
    }
};

QTEST_MAIN(TestMqttOpciones)
#include "tst_mqtt_opciones.moc"
